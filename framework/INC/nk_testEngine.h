// The test engine: runs a sequence of test items on a thread of its own. Each item
// names a command that a subclass registered; its kind decides what a failure skips.
//
// Codes are the library's (nk_error.h): 0xE001 no sequence, 0xE00E a run still
// going, 0xE014 a command nobody registered; item results are the commands' own.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nk_log.h"
#include "nk_typedef.h"

// One entry of a sequence; a sequence ends with an entry of kind 0.
//   kind 1: a failure skips ahead to the next kind-3 item
//   kind 2: the same, except in continue-on-fail mode, where the run goes on
//   kind 3: always runs, also after a failure or an abort
//   other:  a failure does not change the order
typedef struct {
    i32 kind;
    i32 status;  // written by the engine in its own copy, see below
    const char* command;
    const char* arguments;
} t_nkTestItem;

enum : i32 {
    k_nkTestStatus_running = 1,
    k_nkTestStatus_passed = 2,
    k_nkTestStatus_failed = 3,
    k_nkTestStatus_failedCof = 4,  // failed in continue-on-fail mode
    k_nkTestStatus_end = 5,        // the terminating entry, once the run has ended
};

class ONK_testEngine {
public:
    // A command gets the item's argument text; 0 is a pass, anything else a failure.
    using t_nkTestCommand = std::function<u16(const char* arguments)>;

    ONK_testEngine();
    // Aborts a run still going and waits for it. A subclass whose commands touch its own
    // members calls abortTest() in its own destructor: those are gone before this runs.
    virtual ~ONK_testEngine();
    ONK_testEngine(const ONK_testEngine&) = delete;
    ONK_testEngine& operator=(const ONK_testEngine&) = delete;

    // Copies the sequence (texts included: the caller's may go once this returns) and
    // starts a run on a new thread. `lm` gets the reports and must outlive the run.
    // 0xE001 for no sequence, 0xE00E while a run is still going.
    u16 startTest(CNK_logManager* lm, const t_nkTestItem* pSequence, bool cofMode);
    // Performs a registered command with the argument text; 0xE014 (reported through
    // the run's log manager) for a name that is not registered.
    u16 execute(const char* command, const char* arguments);
    // Stops the run: the current item finishes, kind-3 items still run, the rest is
    // skipped. Returns once the run has ended. From a command of the run itself it can
    // only ask (a thread cannot wait for itself).
    void abortTest();

    u32 testItemCount() const { return _testItemCount.load(); }
    u32 testItemCurrentIndex() const { return _testItemCurrentIndex.load(); }
    // The engine's copy of the last sequence with its statuses as they are now, the
    // terminating entry included. Its texts live until the next startTest or the end of
    // the engine.
    std::vector<t_nkTestItem> testItems() const;
    bool isRunning() const { return _isRunning.load(); }
    bool isCofMode() const { return _isCofMode.load(); }

protected:
    // The commands a script may reach by name; nothing else of the engine is reachable.
    // Registering a name again replaces its command.
    void registerCommand(const std::string& name, t_nkTestCommand command);

private:
    void _thread_proc();
    u32 nextAlwaysItem(u32 from) const;
    void setStatus(u32 index, i32 status);
    bool onRunThread() const;

    std::thread _testThread;
    // Held by startTest and abortTest while they replace or end the run (never by the run).
    std::mutex _testThreadLock;
    std::atomic<bool> _runActive{false};  // set by startTest, cleared once the run has ended
    std::atomic<CNK_logManager*> _lm{nullptr};
    std::atomic<bool> _isRunning{false};
    std::atomic<bool> _isCofMode{false};
    std::atomic<u32> _testItemCount{0};
    std::atomic<u32> _testItemCurrentIndex{0};

    mutable std::mutex _itemsLock;  // replacing the copy against testItems(); statuses are atomic
    std::vector<t_nkTestItem> _testItems;
    std::vector<std::string> _texts;  // the copied command and argument texts

    mutable std::mutex _commandsLock;
    std::map<std::string, t_nkTestCommand, std::less<>> _commands;
};
