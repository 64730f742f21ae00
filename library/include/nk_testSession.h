// Test session: the items of one tester position, run by the library on a
// worker thread or driven by the host as the endpoint of one NTCP connection.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nk_ntcp.h"
#include "nk_test.h"

// Hears a session's begin and end, item status changes and log lines.
class INK_testSession_callback {
public:
    virtual void onTestBegin(long sessionIndex) = 0;
    virtual void onTestEnd(long sessionIndex) = 0;
    virtual void onStatusUpdated(long sessionIndex, long itemIndex) = 0;
    virtual void onLogStrUpdated(long sessionIndex, const char* text) = 0;

protected:
    ~INK_testSession_callback() = default;
};

// A station subclass supplies isReadyToTest and processNtcpPacket. Its
// destructor ends the link first (shutdownAndWait()), so that no packet reaches
// a half-destroyed subclass.
class CNK_testSession : public CNK_ntcp, public INK_testItem_callback, public INK_logRelay, public INK_ntcpCallback {
public:
    CNK_testSession(long index, const std::string& name, const std::string& scriptFileName);
    ~CNK_testSession() override;
    u16 setLogManager(CNK_logManager* lm) override;

    void onStatusUpdated(long itemIndex) override;
    void onLogRelay(const char* text) override;
    virtual bool isReadyToTest(std::string& text) = 0;
    // One host packet; the payload starts right after the 16-byte header.
    virtual void processNtcpPacket(const tNTCP_header* header, const u8* payload) = 0;
    void onNtcpConnect(u32 connectionId) override;
    void onNtcpReceive(u32 connectionId, const tNTCP_packet* packet) override;
    void onNtcpClose(u32 connectionId) override;

    u16 setupTestSession(const std::string& sn);
    void resetTestSession();
    void setSerialNumber(const std::string& sn);
    t_nkTestStat getStatus();
    void setCallback(INK_testSession_callback* callback);
    void removeCallback(INK_testSession_callback* callback);
    u16 performTest(t_nkTestMode mode);
    // Asks a running worker to stop after the current item; does not wait.
    void abortTest();
    bool isNtcpRunning();
    u16 setSocket(int socket, CNK_logManager* log, t_nkVbsLvl level);

    i64 _index = 0;
    std::string _serialNumber;
    std::string _sessionName;
    std::vector<CNK_testItem*> _items;  // owned
    CNK_testData _testData;
    CNK_logManager* _logManager = nullptr;  // the session's own, owned

protected:
    std::vector<INK_testSession_callback*> _callbacks;  // not owned

public:
    // The title of the session's test-cell button ("" leaves the button its
    // own). A station writes it on the session's threads, the button reads it
    // on the GUI thread.
    std::string cellTitle() const;
    void setCellTitle(const std::string& title);

    std::atomic<double> _testStartTime{kNK_noValue};

protected:
    std::thread _thread;
    std::atomic<bool> _isThreadRunning{false};
    t_nkTestMode _testMode = kNkTestMode_PROD;

private:
    void workerRun();
    void resetItems();
    std::vector<INK_testSession_callback*> listeners();
    // Joins a worker that has finished; false when one is still running or the
    // caller is the worker itself.
    bool joinFinishedWorker(const char* func, int line, u16 code);
    void logException(const char* what);

    std::mutex _callbackMutex;
    std::mutex _threadMutex;  // the worker's handle and its start
    std::string _cellTitle;   // under _cellTitleMutex
    mutable std::mutex _cellTitleMutex;
};
