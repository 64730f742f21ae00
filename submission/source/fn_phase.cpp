// The control-bit state machine of a session, driven by phases or by the older
// task interface. Evaluations index the records by the sizes this library gave
// them, never by counts the caller could have changed.
#include <algorithm>

#include "fn_internal.h"

namespace ferrin {

namespace {

enum : uint32_t { kInitial = 0, kOwnRead = 1, kOwnWrite = 2, kRun = 3, kClearWrite = 4, kFinal = 5, kDone = 7 };

uint32_t* newArray(size_t n, uint32_t fill) {
    if (n == 0) return nullptr;
    auto* a = new uint32_t[n]();
    std::fill(a, a + n, fill);
    return a;
}

// An entry the caller leaves untouched reads as failed (outcome 1).
FN_Phase* newPhase(uint32_t type, size_t n) {
    auto* p = new FN_Phase{};
    p->type = type;
    p->count = static_cast<int32_t>(n);
    p->ids = newArray(n, 0);
    p->action = newArray(n, FN_ACTION_READ);
    p->value = newArray(n, 0);
    p->status = newArray(n, 0);
    p->failCount = newArray(n, 0);
    p->outcome = newArray(n, FN_OUTCOME_FAILED);
    return p;
}

FN_Task* newTask(uint32_t type, const std::vector<uint32_t>& ids, bool withStatus, bool withFailCount,
                 uint32_t value) {
    auto* t = new FN_Task{};
    t->type = type;
    t->count = static_cast<int32_t>(ids.size());
    t->ids = newArray(ids.size(), 0);
    std::copy(ids.begin(), ids.end(), t->ids);
    t->value = value;
    if (withStatus) t->status = newArray(ids.size(), 0);
    if (withFailCount) t->failCount = newArray(1, 0);
    return t;
}

std::vector<uint32_t> asIds(const std::vector<int32_t>& v) { return {v.begin(), v.end()}; }

void queueFinalPhase(FN_Session& s) {
    const auto& list = s.passed ? s.record.clearOnPass : s.record.clearOnFail;
    const size_t n = list.size() + (s.record.setsOwnBit ? 1 : 0);
    FN_Phase* p = newPhase(FN_PHASE_CB_LIST, n);
    for (size_t i = 0; i < list.size(); ++i) {
        p->ids[i] = static_cast<uint32_t>(list[i]);
        p->action[i] = FN_ACTION_WRITE;
        p->value[i] = FN_CB_NOT_TESTED;
    }
    if (s.record.setsOwnBit) {
        p->ids[n - 1] = s.ownCbId;
        p->action[n - 1] = FN_ACTION_WRITE;
        p->value[n - 1] = s.passed ? FN_CB_PASSED : FN_CB_FAILED;
    }
    s.phases.push_back(p);
}

bool failCountReached(const FN_TestRecord& r, uint32_t failCount) {
    return r.allowedFailCount != -1 && static_cast<int64_t>(failCount) >= r.allowedFailCount;
}

void evaluateInitialPhase(FN_Session& s, const FN_Phase& p) {
    const size_t n = s.record.checkIds.size();
    for (size_t i = 0; i < n; ++i) {
        if (p.outcome[i] == FN_OUTCOME_FAILED) return setResult(s, 1);
        if (p.outcome[i] == FN_OUTCOME_DONE && p.status[i] != FN_CB_PASSED) return setResult(s, 4, 0, 0, i);
    }
    if (p.outcome[n] == FN_OUTCOME_FAILED) return setResult(s, 1);
    if (p.outcome[n] == FN_OUTCOME_DONE && failCountReached(s.record, p.failCount[n]))
        return setResult(s, 3, p.failCount[n], s.record.allowedFailCount);
    if (p.outcome[n + 1] == FN_OUTCOME_FAILED) return setResult(s, 2);
    s.state = kRun;
    s.phases.push_back(newPhase(FN_PHASE_RUN, 0));
}

bool runHealthCheck(FN_Session& s, bool unitFailed) {
    if (!s.record.healthQuery(s.serialNumber.c_str())) {
        setResult(s, 5);
        return false;
    }
    s.passed = unitFailed ? 0 : 1;
    return true;
}

}  // namespace

void freePhase(FN_Phase* p) {
    if (!p) return;
    delete[] p->ids;
    delete[] p->action;
    delete[] p->value;
    delete[] p->status;
    delete[] p->failCount;
    delete[] p->outcome;
    delete p;
}

void freeTask(FN_Task* t) {
    if (!t) return;
    delete[] t->ids;
    delete[] t->status;
    delete[] t->failCount;
    delete t;
}

void queueInitialWork(FN_Session& s) {
    const auto& checks = s.record.checkIds;
    s.tasks.push_back(newTask(0, asIds(checks), true, false, 0));

    const size_t n = checks.size();
    FN_Phase* p = newPhase(FN_PHASE_CB_LIST, n + 2);
    for (size_t i = 0; i < n; ++i) p->ids[i] = static_cast<uint32_t>(checks[i]);
    p->ids[n] = s.ownCbId;
    p->ids[n + 1] = s.ownCbId;
    p->action[n + 1] = FN_ACTION_WRITE;
    p->value[n + 1] = FN_CB_INCOMPLETE;
    s.phases.push_back(p);
}

void setResult(FN_Session& s, uint32_t r, int64_t a, int64_t b, size_t check) {
    s.result = r;
    s.state = kDone;
    char* text = s.lastError.data();
    const char* subTest = "";
    switch (r) {
        case 1:
            setText(text, "CB Read Fail");
            subTest = "Read";
            break;
        case 2:
            setText(text, "CB Write Fail");
            subTest = "Write";
            break;
        case 3:
            setText(text, "Relative Fail Count: %d >= %d", static_cast<int>(a), static_cast<int>(b));
            subTest = "Over Allowed Relative Fail Count";
            break;
        case 4: {
            const uint32_t id = check < s.record.checkIds.size() ? static_cast<uint32_t>(s.record.checkIds[check]) : 0;
            setText(text, "0x%X %s not PASS", id, s.record.checkName(check).c_str());
            subTest = "CB not PASS";
            break;
        }
        default:
            setText(text, "%s", s.record.errorText.data());
            logLine("[FERRIN]Message returned: %s", text);
            return;
    }
    s.record.addResultItem("CB Error", subTest, "NA", "FAIL", text, "0");
}

}  // namespace ferrin

using namespace ferrin;

extern "C" {

FN_Phase* FN_GetCurrentPhase(const char* sn) {
    return guarded<FN_Phase*>(nullptr, [&]() -> FN_Phase* {
        FN_Session* s = findSession(sn);
        return s && !s->phases.empty() ? s->phases.front() : nullptr;
    });
}

int32_t FN_CompleteCurrentPhase(const char* sn) {
    return guarded<int32_t>(FN_ERROR_FATAL_ERROR, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (s->phases.empty()) return mapResult(s->result);
        FN_Phase* p = s->phases.front();
        s->phases.pop_front();
        switch (s->state) {
            case kInitial:
                evaluateInitialPhase(*s, *p);
                break;
            case kRun:
                if (runHealthCheck(*s, p->failed != 0)) {
                    s->state = kFinal;
                    queueFinalPhase(*s);
                }
                break;
            case kFinal:
                for (size_t i = 0; i < static_cast<size_t>(std::max(p->count, 0)) && p->outcome; ++i) {
                    if (p->outcome[i] == FN_OUTCOME_FAILED) {
                        setResult(*s, 2);
                        break;
                    }
                }
                s->state = kDone;
                break;
            default:
                break;
        }
        freePhase(p);
        return mapResult(s->result);
    });
}

FN_Task* FN_GetCurrentTask(const char* sn) {
    return guarded<FN_Task*>(nullptr, [&]() -> FN_Task* {
        FN_Session* s = findSession(sn);
        return s && !s->tasks.empty() ? s->tasks.front() : nullptr;
    });
}

int32_t FN_CompleteCurrentTask(const char* sn) {
    return guarded<int32_t>(FN_ERROR_FATAL_ERROR, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (s->tasks.empty()) return mapResult(s->result);
        FN_Task* t = s->tasks.front();
        s->tasks.pop_front();
        const std::vector<uint32_t> own{s->ownCbId};
        switch (s->state) {
            case kInitial: {
                if (t->failed) {
                    setResult(*s, 1);
                    break;
                }
                const size_t n = s->record.checkIds.size();
                size_t bad = n;
                for (size_t i = 0; i < n; ++i) {
                    if (t->status[i] != FN_CB_PASSED) {
                        bad = i;
                        break;
                    }
                }
                if (bad < n) {
                    setResult(*s, 4, 0, 0, bad);
                    break;
                }
                s->state = kOwnRead;
                s->tasks.push_back(newTask(0, own, true, true, 0));
                break;
            }
            case kOwnRead:
                if (t->failed) setResult(*s, 1);
                else if (failCountReached(s->record, t->failCount[0]))
                    setResult(*s, 3, t->failCount[0], s->record.allowedFailCount);
                else {
                    s->state = kOwnWrite;
                    s->tasks.push_back(newTask(1, own, false, false, FN_CB_INCOMPLETE));
                }
                break;
            case kOwnWrite:
                if (t->failed) setResult(*s, 2);
                else {
                    s->state = kRun;
                    s->tasks.push_back(newTask(2, {}, false, false, 0));
                }
                break;
            case kRun:
                if (runHealthCheck(*s, t->failed != 0)) {
                    s->state = kClearWrite;
                    const auto& list = s->passed ? s->record.clearOnPass : s->record.clearOnFail;
                    s->tasks.push_back(newTask(1, asIds(list), false, false, FN_CB_NOT_TESTED));
                }
                break;
            case kClearWrite:
                if (t->failed) setResult(*s, 2);
                else if (s->record.setsOwnBit) {
                    s->state = kFinal;
                    s->tasks.push_back(newTask(1, own, false, false, s->passed ? FN_CB_PASSED : FN_CB_FAILED));
                } else {
                    s->state = kDone;
                }
                break;
            case kFinal:
                if (t->failed) setResult(*s, 2);
                else s->state = kDone;
                break;
            default:
                break;
        }
        freeTask(t);
        return mapResult(s->result);
    });
}

void FN_IgnoreCurrentTask(const char* sn) {
    guarded<int>(0, [&] {
        FN_Session* s = findSession(sn);
        if (!s || s->tasks.empty()) return 0;
        freeTask(s->tasks.front());
        s->tasks.pop_front();
        const std::vector<uint32_t> own{s->ownCbId};
        switch (s->state) {
            case kInitial:
                s->state = kOwnRead;
                s->tasks.push_back(newTask(0, own, true, true, 0));
                break;
            case kOwnRead:
                s->state = kOwnWrite;
                s->tasks.push_back(newTask(1, own, false, false, FN_CB_INCOMPLETE));
                break;
            case kOwnWrite:
                s->state = kRun;
                s->tasks.push_back(newTask(2, {}, false, false, 0));
                break;
            case kClearWrite:
                if (s->record.setsOwnBit) {
                    s->state = kFinal;
                    s->tasks.push_back(newTask(1, own, false, false, s->passed ? FN_CB_PASSED : FN_CB_FAILED));
                } else {
                    s->state = kDone;
                }
                break;
            case kRun:
            case kFinal:
                s->state = kDone;
                break;
            default:
                break;
        }
        return 0;
    });
}

}  // extern "C"
