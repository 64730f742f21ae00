// Test session: builds its items from a script, runs them on a worker thread
// or serves one NTCP connection, and relays item and log events to listeners.
#include "nk_testSession.h"

#include <exception>
#include <system_error>

CNK_testSession::CNK_testSession(long index, const std::string& name, const std::string& scriptFileName) {
    NK_CLASS_NAME();
    _index = index;
    if (!(index >= 0)) nkDebug_assertFail(__FILE__, this->name, __func__, __LINE__, "testSessionIdx>=0");
    if (scriptFileName.empty())
        nkDebug_assertFail(__FILE__, this->name, __func__, __LINE__, "scriptFileName.size()>0");

    _logManager = new CNK_logManager();
    _logManager->setLogRelay(this);
    _testData.setLogManager(_logManager);
    acceptLogManager(_logManager);
    _sessionName = name;
    CNK_ntcp::setCallback(this);

    std::vector<INK_testItem> entries;
    const u16 err = nkTest_loadTestScript(scriptFileName, entries);
    if (err != kNKErr_OK) nkDebug_assertFail(__FILE__, this->name, __func__, __LINE__, "!err");

    for (size_t i = 0; i < entries.size(); ++i) {
        CNK_testItem* cls = nkTest_createTestClassInstance(entries[i].className);
        if (!cls) {
            NK_REPORT(kNKErr_objectCreationFailed, "cls!=NULL");
            break;  // the items made so far stay
        }
        cls->_index = static_cast<i64>(i);
        cls->setItemInfo(entries[i], "", _sessionName, &_items);
        cls->setLogManager(_logManager);
        cls->_testData = &_testData;
        cls->registerDataSymbol();
        cls->setCallback(this);
        _items.push_back(cls);
    }
}

CNK_testSession::~CNK_testSession() {
    if (!nkObj_isValid(this)) return;
    abortTest();
    {
        std::lock_guard<std::mutex> lock(_threadMutex);
        if (_thread.joinable()) {
            if (_thread.get_id() == std::this_thread::get_id()) _thread.detach();
            else _thread.join();
        }
    }
    // The link's receive thread and its close handler end before the items go.
    shutdownAndWait();
    for (CNK_testItem* item : _items) delete item;
    _items.clear();
    _testData.setLogManager(nullptr);
    _logManager->setLogRelay(nullptr);
    logManager = nullptr;
    delete _logManager;
    _logManager = nullptr;
}

u16 CNK_testSession::setLogManager(CNK_logManager* lm) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    return acceptLogManager(lm);
}

std::vector<INK_testSession_callback*> CNK_testSession::listeners() {
    std::lock_guard<std::mutex> lock(_callbackMutex);
    return _callbacks;
}

void CNK_testSession::setCallback(INK_testSession_callback* callback) {
    NK_VALID_OR_RETURN_VOID();
    if (!callback) return;
    std::lock_guard<std::mutex> lock(_callbackMutex);
    for (INK_testSession_callback* cb : _callbacks)
        if (cb == callback) return;
    _callbacks.push_back(callback);
}

void CNK_testSession::removeCallback(INK_testSession_callback* callback) {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> lock(_callbackMutex);
    for (auto it = _callbacks.begin(); it != _callbacks.end(); ++it) {
        if (*it == callback) {
            _callbacks.erase(it);
            return;
        }
    }
}

std::string CNK_testSession::cellTitle() const {
    std::lock_guard<std::mutex> lock(_cellTitleMutex);
    return _cellTitle;
}

void CNK_testSession::setCellTitle(const std::string& title) {
    std::lock_guard<std::mutex> lock(_cellTitleMutex);
    _cellTitle = title;
}

void CNK_testSession::onStatusUpdated(long itemIndex) {
    for (INK_testSession_callback* cb : listeners()) cb->onStatusUpdated(static_cast<long>(_index), itemIndex);
}

void CNK_testSession::onLogRelay(const char* text) {
    for (INK_testSession_callback* cb : listeners()) cb->onLogStrUpdated(static_cast<long>(_index), text);
}

bool CNK_testSession::joinFinishedWorker(const char* func, int line, u16 code) {
    if (_isThreadRunning.load()) {
        nkDebug_printError(logManager, __FILE__, name, func, line, code, "_isThreadRunning==false");
        return false;
    }
    if (_thread.joinable()) {
        // A listener of the worker's own end cannot wait for that worker.
        if (_thread.get_id() == std::this_thread::get_id()) {
            nkDebug_printError(logManager, __FILE__, name, func, line, code, "_thread.joinable()==false");
            return false;
        }
        _thread.join();  // it has finished its walk and is leaving
    }
    return true;
}

void CNK_testSession::resetItems() {
    for (CNK_testItem* item : _items) {
        item->_serialNumber = _serialNumber;
        item->setStatus(kNkTestStat_NA);
    }
}

u16 CNK_testSession::setupTestSession(const std::string& sn) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_threadMutex);
    if (!joinFinishedWorker(__func__, __LINE__, kNKErr_invalidStatus)) return kNKErr_invalidStatus;
    if (sn.empty()) {
        NK_REPORT(kNKErr_invalidParam, "sn.size()>0");
        return kNKErr_invalidParam;
    }
    _serialNumber = sn;
    _testData.reset();
    resetItems();
    return kNKErr_OK;
}

void CNK_testSession::resetTestSession() {
    NK_VALID_OR_RETURN_VOID();
    _serialNumber.clear();
    _testData.reset();
    resetItems();
}

void CNK_testSession::setSerialNumber(const std::string& sn) {
    NK_VALID_OR_RETURN_VOID();
    if (!sn.empty()) _serialNumber = sn;
}

t_nkTestStat CNK_testSession::getStatus() {
    NK_VALID_OR_RETURN(kNkTestStat_NA);
    if (_isThreadRunning.load()) return kNkTestStat_TESTING;
    if (_items.empty()) return kNkTestStat_PASS;
    for (CNK_testItem* item : _items)
        if (item->testStatus() == kNkTestStat_ABORTED) return kNkTestStat_ABORTED;
    for (CNK_testItem* item : _items) {
        const t_nkTestStat st = item->testStatus();
        if (st == kNkTestStat_FAIL || st == kNkTestStat_COF) return st;
    }
    return kNkTestStat_PASS;
}

u16 CNK_testSession::performTest(t_nkTestMode mode) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    std::lock_guard<std::mutex> lock(_threadMutex);
    if (!joinFinishedWorker(__func__, __LINE__, kNKErr_threadAlreadyRunning)) return kNKErr_threadAlreadyRunning;
    _testMode = mode;
    _isThreadRunning.store(true);  // before the start, so a second call is refused at once
    try {
        _thread = std::thread(&CNK_testSession::workerRun, this);
    } catch (const std::system_error&) {
        _isThreadRunning.store(false);
        NK_REPORT(kNKErr_threadCreationFailed, "thread constructor failed");
        return kNKErr_threadCreationFailed;
    }
    return kNKErr_OK;
}

void CNK_testSession::abortTest() {
    NK_VALID_OR_RETURN_VOID();
    if (!_isThreadRunning.load()) return;
    for (CNK_testItem* item : _items) item->abortTest();
    _isThreadRunning.store(false);
}

void CNK_testSession::workerRun() {
    _testStartTime.store(nkTest_now());
    for (INK_testSession_callback* cb : listeners()) cb->onTestBegin(static_cast<long>(_index));

    const t_nkTestMode mode = _testMode;
    size_t i = 0;
    while (i < _items.size() && _isThreadRunning.load()) {
        CNK_testItem* item = _items[i];
        item->_testStartTime = _testStartTime.load();
        if (item->_type == kNkTestType_wrapup && i > 0) {
            for (size_t j = 0; j < i; ++j) {
                const t_nkTestStat st = _items[j]->testStatus();
                if (st == kNkTestStat_TESTING || st == kNkTestStat_STANDBY) _items[j]->waitForCompletion(10.0);
            }
        }
        _logManager->printText(kVL1, "*** %s ***\n", item->_name.c_str());
        item->performTest(mode);

        if (item->testStatus() == kNkTestStat_FAIL) {
            if (mode == kNkTestMode_PROD || item->_type == kNkTestType_setup) {
                // On to the wrap-up section; a failed wrap-up item goes on with the next one.
                size_t next = i + 1;
                while (next < _items.size() && _items[next]->_type != kNkTestType_wrapup) ++next;
                i = next;
                continue;
            }
            item->setStatus(kNkTestStat_COF);
        }
        ++i;
    }
    for (CNK_testItem* item : _items) item->waitForCompletion(10.0);
    _isThreadRunning.store(false);
    for (INK_testSession_callback* cb : listeners()) cb->onTestEnd(static_cast<long>(_index));
}

bool CNK_testSession::isNtcpRunning() {
    NK_VALID_OR_RETURN(false);
    return isRunning();
}

u16 CNK_testSession::setSocket(int socket, CNK_logManager* log, t_nkVbsLvl level) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const u16 rc = Append(socket, nullptr);
    if (rc == kNKErr_OK) {
        if (nkObj_isValid(log)) log->printText(level, "\t[%d] client from [%s]", static_cast<int>(_index), getPeerName());
    } else {
        nkDebug_printError(log, __FILE__, name, __func__, __LINE__, rc, "");
    }
    return rc;
}

void CNK_testSession::logException(const char* what) {
    _logManager->printText(kVL1, "[Err] Exception for : %s !!!!", what);
}

void CNK_testSession::onNtcpConnect(u32) {
    try {
        for (CNK_testItem* item : _items) item->setStatus(kNkTestStat_NA);
        for (INK_testSession_callback* cb : listeners()) cb->onTestBegin(static_cast<long>(_index));
    } catch (const std::exception& e) {
        logException(e.what());
    } catch (...) {
        logException("unknown exception");
    }
    _testStartTime.store(nkTest_now());
}

void CNK_testSession::onNtcpReceive(u32, const tNTCP_packet* packet) {
    // No exception may end the connection's receive thread.
    try {
        processNtcpPacket(&packet->header, packet->payload);
    } catch (const std::exception& e) {
        logException(e.what());
    } catch (...) {
        logException("unknown exception");
    }
}

void CNK_testSession::onNtcpClose(u32) {
    try {
        for (CNK_testItem* item : _items) item->setStatus(kNkTestStat_NA);
        for (INK_testSession_callback* cb : listeners()) cb->onTestEnd(static_cast<long>(_index));
    } catch (const std::exception& e) {
        logException(e.what());
    } catch (...) {
        logException("unknown exception");
    }
}
