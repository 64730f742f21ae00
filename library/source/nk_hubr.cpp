// One factory test record in the outside logging library, and the posting of a
// session's test data as one record.
#include "nk_hubr.h"

#include <charconv>
#include <cstdio>
#include <cstring>

#include "nk_test.h"
#include "quenbar.h"

namespace {

const char* errorOf(const QB_reply* reply) {
    const char* e = QB_reply_getError(reply);
    return e ? e : "";
}

// After the add calls the library may answer "success" and still explain a
// refusal in its error text; a text of two characters or more is a refusal.
bool accepted(const QB_reply* reply) { return QB_success(reply) && std::strlen(errorOf(reply)) < 2; }

// Six decimals with a '.', whatever the locale; "NA" where there is no number.
std::string numberText(double v) {
    if (!nkMath_isValid(v)) return "NA";
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof(buf), v, std::chars_format::fixed, 6);
    return std::string(buf, r.ptr);
}

// Runs one library call, destroys its reply and tells whether it succeeded; on
// failure the reply's text goes to standard error under `what`.
template <typename Call>
bool replyCall(const char* what, bool strict, Call call) {
    QB_reply* reply = call();
    const bool ok = strict ? accepted(reply) : QB_success(reply);
    if (!ok) std::fprintf(stderr, "%s fail: %s\n", what, errorOf(reply));
    QB_reply_destroy(reply);
    return ok;
}

}  // namespace

CNK_quenbar::CNK_quenbar() { NK_CLASS_NAME(); }

CNK_quenbar::~CNK_quenbar() {
    // A record left open would stay open in the logging library for good.
    if (_uid) {
        QB_reply_destroy(QB_UUTCancel(_uid));
        release();
    }
}

u16 CNK_quenbar::setLogManager(CNK_logManager* lm) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const u16 rtn = acceptLogManager(lm);
    if (rtn == kNKErr_OK) _logManager = lm;
    return rtn;
}

void CNK_quenbar::release() {
    QB_UID_destroy(_uid);
    _uid = nullptr;
}

#define NK_HUBR_NEEDS_RECORD()                                   \
    do {                                                         \
        if (!_uid) {                                             \
            NK_REPORT(kNKErr_QB_UUTNotStarted, "_uid!=NULL");    \
            return kNKErr_QB_UUTNotStarted;                      \
        }                                                        \
    } while (0)

u16 CNK_quenbar::begin(const char* swVersion, const char* swName, const char* serialNumber) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (_uid) {
        // A second begin would lose the open record; close it first.
        QB_reply_destroy(QB_UUTCancel(_uid));
        release();
    }
    QB_UID* uid = nullptr;
    const bool started = replyCall("QB_UUTStart", false, [&] { return QB_UUTStart(&uid); });
    if (!started) {
        // Whatever the library left in the handle is not a record of ours.
        if (uid) QB_UID_destroy(uid);
        NK_REPORT(kNKErr_QB_UUTStart_failed, nullptr);
        return kNKErr_QB_UUTStart_failed;
    }
    _uid = uid;
    const char* const names[] = {"softwareversion", "softwarename", "serialnumber"};
    const char* const values[] = {swVersion, swName, serialNumber};
    for (int i = 0; i < 3; ++i) {
        const u16 rtn = addAttribute(names[i], values[i] ? values[i] : "");
        if (rtn != kNKErr_OK) {
            // Half a record is no record: a failed begin leaves nothing open.
            QB_reply_destroy(QB_UUTCancel(_uid));
            release();
            return rtn;
        }
    }
    return kNKErr_OK;
}

u16 CNK_quenbar::addAttribute(const char* attrName, const char* attrValue) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_HUBR_NEEDS_RECORD();
    if (!replyCall("QB_addAttribute", true, [&] { return QB_addAttribute(_uid, attrName, attrValue); })) {
        NK_REPORT(kNKErr_QB_addAttribute_failed, nullptr);
        return kNKErr_QB_addAttribute_failed;
    }
    return kNKErr_OK;
}

u16 CNK_quenbar::addBlob(const char* blobName, const char* filePath) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_HUBR_NEEDS_RECORD();
    if (!replyCall("QB_addBlob", true, [&] { return QB_addBlob(_uid, blobName, filePath); })) {
        NK_REPORT(kNKErr_QB_addBlob_failed, nullptr);
        return kNKErr_QB_addBlob_failed;
    }
    return kNKErr_OK;
}

bool CNK_quenbar::isPass(double value, double lowerLimit, double upperLimit) {
    const bool hasL = nkMath_isValid(lowerLimit), hasU = nkMath_isValid(upperLimit);
    if (!nkMath_isValid(value)) return !hasL && !hasU;
    return (!hasL || value >= lowerLimit) && (!hasU || value <= upperLimit);
}

u16 CNK_quenbar::addTestItem(const char* testName, const char* subTestName, const char* /*subSubTestName*/,
                             double upperLimit, double lowerLimit, double value, const char* units,
                             t_nkHubr_priority priority) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_HUBR_NEEDS_RECORD();
    const char* test = testName ? testName : "";
    const char* sub = subTestName ? subTestName : "";

    QB_testSpec* spec = QB_testSpec_create();
    QB_testResult* result = nullptr;
    u16 rtn = kNKErr_OK;
    const std::string lower = numberText(lowerLimit), upper = numberText(upperLimit), valueText = numberText(value);
    const bool pass = isPass(value, lowerLimit, upperLimit);

    if (!QB_testSpec_setTestName(spec, test, std::strlen(test))) rtn = kNKErr_QB_testSpec_setTestName_failed;
    else if (!QB_testSpec_setSubTestName(spec, sub, std::strlen(sub))) rtn = kNKErr_QB_testSpec_setSubTestName_failed;
    else if (!QB_testSpec_setPriority(spec, static_cast<int>(priority))) rtn = kNKErr_QB_testSpec_setPriority_failed;
    else if (units && *units && !QB_testSpec_setUnits(spec, units, std::strlen(units)))
        rtn = kNKErr_QB_testSpec_setUnit_failed;
    else if (!QB_testSpec_setLimits(spec, lower.c_str(), lower.size(), upper.c_str(), upper.size()))
        rtn = kNKErr_QB_testSpec_setLimits_failed;

    if (rtn == kNKErr_OK) {
        result = QB_testResult_create();
        if (!QB_testResult_setValue(result, valueText.c_str(), valueText.size()))
            rtn = kNKErr_QB_testResult_setValue_failed;
        else if (!QB_testResult_setResult(result, pass ? 1 : 0))
            rtn = kNKErr_QB_testResult_setResult_failed;
        else if (!pass) {
            const std::string message = std::string(test) + "::" + sub + "' failed";
            if (!QB_testResult_setMessage(result, message.c_str(), message.size()))
                rtn = kNKErr_QB_testResult_setMessage_failed;
        }
    }
    if (rtn == kNKErr_OK &&
        !replyCall("QB_addResult", true, [&] { return QB_addResult(_uid, spec, result); }))
        rtn = kNKErr_QB_addResult_failed;

    QB_testResult_destroy(result);
    QB_testSpec_destroy(spec);
    if (rtn != kNKErr_OK) NK_REPORT(rtn, nullptr);
    return rtn;
}

u16 CNK_quenbar::finish(bool pass) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_HUBR_NEEDS_RECORD();
    if (!replyCall("QB_UUTDone", false, [&] { return QB_UUTDone(_uid); })) {
        NK_REPORT(kNKErr_QB_UUTDone_failed, nullptr);
        return kNKErr_QB_UUTDone_failed;
    }
    if (!replyCall("QB_UUTCommit", false, [&] { return QB_UUTCommit(_uid, pass ? 1 : 0); })) {
        NK_REPORT(kNKErr_QB_UUTCommit_failed, nullptr);
        return kNKErr_QB_UUTCommit_failed;
    }
    release();
    return kNKErr_OK;
}

u16 CNK_quenbar::cancel() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    NK_HUBR_NEEDS_RECORD();
    QB_reply_destroy(QB_UUTCancel(_uid));
    release();
    return kNKErr_OK;
}

u16 nkHubr_postData(const std::string& swVersion, const std::string& swName, const std::string& serialNumber,
                    CNK_testData& testData, CNK_logManager* lm) {
    CNK_quenbar qb;
    qb.setLogManager(lm);

    u16 rtn = qb.begin(swVersion.c_str(), swName.c_str(), serialNumber.c_str());
    if (rtn != kNKErr_OK) {
        // begin closed whatever it had opened.
        nkDebug_printError(lm, __FILE__, nullptr, "nkHubr_postData", __LINE__, rtn, nullptr);
        return rtn;
    }
    bool allPassed = true;
    for (const t_nkTestData& d : testData._testDataTable) {
        if (d.typeStr == "string") continue;
        rtn = qb.addTestItem(d.testName.c_str(), d.itemName.c_str(), "", d.USL, d.LSL, d.value, d.unit.c_str(),
                             kNkHubrPriority_important);
        if (rtn != kNKErr_OK) break;
        allPassed = allPassed && CNK_quenbar::isPass(d.value, d.LSL, d.USL);
    }
    // The record passes only when none of its items failed.
    if (rtn == kNKErr_OK) rtn = qb.finish(allPassed);
    if (rtn != kNKErr_OK) {
        nkDebug_printError(lm, __FILE__, nullptr, "nkHubr_postData", __LINE__, rtn, nullptr);
        if (qb._uid) qb.cancel();
    }
    return rtn;
}
