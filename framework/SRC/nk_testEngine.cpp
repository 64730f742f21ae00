#include "nk_testEngine.h"

#include "nk_error.h"

namespace {

const char* const kClassName = "ONK_testEngine";

// The engine whose run this thread is, so that abortTest and startTest called from a
// command never wait for their own thread.
thread_local const ONK_testEngine* tl_runningEngine = nullptr;

}  // namespace

ONK_testEngine::ONK_testEngine() { nkDebug_PrintMarker(__FILE__, kClassName, "init", __LINE__); }

ONK_testEngine::~ONK_testEngine() { abortTest(); }

void ONK_testEngine::registerCommand(const std::string& name, t_nkTestCommand command) {
    std::lock_guard<std::mutex> hold(_commandsLock);
    _commands[name] = std::move(command);
}

bool ONK_testEngine::onRunThread() const { return tl_runningEngine == this; }

u16 ONK_testEngine::startTest(CNK_logManager* lm, const t_nkTestItem* pSequence, bool cofMode) {
    if (!pSequence) {
        nkDebug_printError(lm, __FILE__, kClassName, "startTest", __LINE__, kNKErr_invalidPointer, "pSequence!=NULL");
        return kNKErr_invalidPointer;
    }
    // A command of the run starting another: its own thread is the one still executing.
    if (onRunThread()) {
        nkDebug_printError(lm, __FILE__, kClassName, "startTest", __LINE__, kNKErr_threadAlreadyRunning,
                           "[_testThread isExecuting]==false");
        return kNKErr_threadAlreadyRunning;
    }

    std::lock_guard<std::mutex> control(_testThreadLock);
    if (_runActive.load()) {
        nkDebug_printError(lm, __FILE__, kClassName, "startTest", __LINE__, kNKErr_threadAlreadyRunning,
                           "[_testThread isExecuting]==false");
        return kNKErr_threadAlreadyRunning;
    }
    // The run before has ended; only its thread's return is left.
    if (_testThread.joinable()) _testThread.join();

    u32 count = 0;
    while (pSequence[count].kind != 0) ++count;

    {
        std::lock_guard<std::mutex> hold(_itemsLock);
        // The texts are copied: a caller's buffers need not outlive its call.
        std::vector<std::string> texts;
        texts.reserve(2 * static_cast<size_t>(count));
        std::vector<t_nkTestItem> items(count + 1, t_nkTestItem{0, 0, nullptr, nullptr});
        for (u32 i = 0; i < count; ++i) {
            items[i].kind = pSequence[i].kind;
            items[i].status = pSequence[i].status;
            if (pSequence[i].command) items[i].command = texts.emplace_back(pSequence[i].command).c_str();
            if (pSequence[i].arguments) items[i].arguments = texts.emplace_back(pSequence[i].arguments).c_str();
        }
        _texts = std::move(texts);  // a moved vector keeps its elements, so the pointers stay
        _testItems = std::move(items);
    }
    _testItemCount.store(count);
    _testItemCurrentIndex.store(0);
    _lm.store(lm);
    _isCofMode.store(cofMode);
    // Running from here on, not from when the thread gets going: an abort right after
    // this call must find a run to stop, and a caller waiting for the end must not see
    // one that has not begun.
    _runActive.store(true);
    _isRunning.store(true);
    _testThread = std::thread(&ONK_testEngine::_thread_proc, this);
    return kNKErr_OK;
}

u16 ONK_testEngine::execute(const char* command, const char* arguments) {
    t_nkTestCommand fn;
    if (command) {
        std::lock_guard<std::mutex> hold(_commandsLock);
        auto found = _commands.find(std::string_view(command));
        if (found != _commands.end()) fn = found->second;
    }
    if (!fn) {
        CNK_logManager* lm = _lm.load();
        if (nkObj_isValid(lm)) lm->printText(kVL1, "[ERR] \"%s\" is NOT supported\n", command ? command : "(null)");
        return kNKErr_notSupported;
    }
    return fn(arguments);
}

void ONK_testEngine::abortTest() {
    _isRunning.store(false);
    // The run's own command cannot wait for its run; the flag is all it can do.
    if (onRunThread()) return;
    std::lock_guard<std::mutex> control(_testThreadLock);
    if (_testThread.joinable()) _testThread.join();
}

std::vector<t_nkTestItem> ONK_testEngine::testItems() const {
    std::lock_guard<std::mutex> hold(_itemsLock);
    std::vector<t_nkTestItem> copy;
    copy.reserve(_testItems.size());
    // The run writes statuses meanwhile: each is read as one atomic value.
    for (const t_nkTestItem& item : _testItems)
        copy.push_back({item.kind, std::atomic_ref<i32>(const_cast<i32&>(item.status)).load(), item.command,
                        item.arguments});
    return copy;
}

void ONK_testEngine::setStatus(u32 index, i32 status) {
    std::atomic_ref<i32>(_testItems[index].status).store(status);
}

u32 ONK_testEngine::nextAlwaysItem(u32 from) const {
    const u32 count = _testItemCount.load();
    while (from < count && _testItems[from].kind != 3) ++from;
    return from;
}

void ONK_testEngine::_thread_proc() {
    tl_runningEngine = this;
    nkDebug_PrintMarker(__FILE__, kClassName, "_thread_proc", __LINE__);
    const u32 count = _testItemCount.load();
    const bool cof = _isCofMode.load();
    u32 index = 0;
    _testItemCurrentIndex.store(index);
    while (index < count) {
        if (!_isRunning.load() && _testItems[index].kind != 3) {
            index = nextAlwaysItem(index + 1);
            _testItemCurrentIndex.store(index);
            if (index >= count) break;
        }
        const t_nkTestItem& item = _testItems[index];
        setStatus(index, k_nkTestStatus_running);
        const u16 result = execute(item.command, item.arguments);
        if (result == kNKErr_OK) {
            setStatus(index, k_nkTestStatus_passed);
            ++index;
        } else {
            setStatus(index, cof ? k_nkTestStatus_failedCof : k_nkTestStatus_failed);
            if (item.kind == 1 || (item.kind == 2 && !cof))
                index = nextAlwaysItem(index + 1);
            else
                ++index;
        }
        _testItemCurrentIndex.store(index);
    }
    setStatus(index, k_nkTestStatus_end);
    // Ended before "not running" shows: whoever sees the run stopped may start the next.
    _runActive.store(false);
    _isRunning.store(false);
    tl_runningEngine = nullptr;
}
