// Test data from a property-list file or an in-memory dictionary, blob folders
// and finishing the record; and the key names of the test data.
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "ferrin_dictionary.h"
#include "fn_internal.h"

using pf::plist::Value;

namespace ferrin {

namespace {

const char* const kTests = "Tests";
const char* const kAttributes = "Attributes";
const char* const kTestName = "testname";
const char* const kSubTestName = "subtestname";
const char* const kSubSubTestName = "subsubtestname";
const char* const kPriority = "priority";
const char* const kResult = "result";
const char* const kFailureMessage = "failure_message";
const char* const kValue = "value";
const char* const kUnits = "units";
const char* const kLowerLimit = "lowerlimit";
const char* const kUpperLimit = "upperlimit";

// Only texts are read from the test data; any other value counts as absent.
const std::string* textOf(const Value& dict, const char* key) {
    if (dict.type() != Value::Type::Dict) return nullptr;
    const Value* v = dict.find(key);
    return v && v->type() == Value::Type::String ? &v->str() : nullptr;
}

std::string textOr(const Value& dict, const char* key, const std::string& fallback, bool emptyToo) {
    const std::string* s = textOf(dict, key);
    if (!s || (emptyToo && s->empty())) return fallback;
    return *s;
}

// A key's integer value as its leading number reads; a key without one is 0.
long long keyValue(const std::string& key) {
    return std::strtoll(key.c_str(), nullptr, 10);
}

const Value* pickEntry(const Value& root) {
    const Value* best = nullptr;
    long long bestKey = 0;
    for (size_t i = 0; i < root.keys().size(); ++i) {
        const long long k = keyValue(root.keys()[i]);
        if (!best || k > bestKey) {
            best = &root.items()[i];
            bestKey = k;
        }
    }
    return best;
}

}  // namespace

bool addTestItem(FN_TestRecord& r, const Value& test, char* text) {
    const std::string* name = textOf(test, kTestName);
    const std::string* priority = textOf(test, kPriority);
    const std::string* result = textOf(test, kResult);
    // A failing test fails the unit whether or not it could be sent.
    if (result && *result == "FAIL") r.hasFailingItem = 1;
    if (name && *name == "CONFIG") return true;
    if (!name || name->empty() || !priority || priority->empty() || !result || result->empty()) {
        setText(text, "Valid HUBR item requires test name, test result, and priority");
        return false;
    }
    const std::string message = textOr(test, kFailureMessage, "No info!", true);
    const std::string sub = textOr(test, kSubTestName, "", false);
    const std::string subSub = textOr(test, kSubSubTestName, "", false);
    const std::string* value = textOf(test, kValue);
    bool ok;
    if (value && !value->empty()) {
        ok = r.addResultItem(*name, sub, subSub, *result, message, *priority, value, textOr(test, kUnits, "NA", true),
                             textOr(test, kLowerLimit, "NA", false), textOr(test, kUpperLimit, "NA", false));
    } else {
        ok = r.addResultItem(*name, sub, subSub, *result, message, *priority);
    }
    if (!ok) setText(text, "Unable to add test item %s to HUBR: %s", name->c_str(), r.errorText.data());
    return ok;
}

bool submitDictionary(FN_Session& s, const Value& root, char* text) {
    FN_TestRecord& r = s.record;
    bool success = true;
    uint32_t count = 0;
    const Value* entry = pickEntry(root);
    const Value* tests = entry && entry->type() == Value::Type::Dict ? entry->find(kTests) : nullptr;
    if (tests && tests->type() == Value::Type::Array) {
        const Value* errCode = nullptr;
        auto add = [&](const Value& test) {
            if (addTestItem(r, test, success ? text : nullptr)) ++count;
            else success = false;
        };
        for (const Value& test : tests->items()) {
            const std::string* name = textOf(test, kTestName);
            if (name && *name == "errCode") {
                errCode = &test;
                continue;
            }
            if (name && *name == "TesterID") {
                const std::string* id = textOf(test, kValue);
                QB_reply_destroy(QB_setDUTPos(r.handle, id ? id->c_str() : "", "NA"));
            }
            add(test);
        }
        if (errCode) {
            Value copy = *errCode;
            copy.set(kTestName, Value::string(textOr(*errCode, kFailureMessage, "", false)));
            add(copy);
        }
    }
    s.itemsSent = count;
    if (!success) return false;

    const Value* attributes = entry && entry->type() == Value::Type::Dict ? entry->find(kAttributes) : nullptr;
    if (attributes && attributes->type() == Value::Type::Dict) {
        for (size_t i = 0; i < attributes->keys().size(); ++i) {
            const std::string& key = attributes->keys()[i];
            if (key == "serialnumber" || key == "softwareversion" || key == "softwarename") continue;
            const Value& v = attributes->items()[i];
            if (v.type() != Value::Type::String) continue;
            if (!r.addAttribute(key.c_str(), v.str().c_str())) {
                setText(text, "Unable to add attribute %s with value %s to HUBR", key.c_str(), v.str().c_str());
                return false;
            }
        }
    }
    return true;
}

bool submitPlistFile(FN_Session& s, const char* path, char* text) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        setText(text, "Path for plist does not exist: %s", path);
        return false;
    }
    Value root;
    std::string why;
    // A file that is not a dictionary of test data is refused: taking it for an
    // empty one would commit the unit as passed with none of its results.
    if (!pf::plist::readFile(path, root, &why) || root.type() != Value::Type::Dict) {
        s.itemsSent = 0;
        setText(text, "Unable to read plist: %s", path);
        return false;
    }
    return submitDictionary(s, root, text);
}

}  // namespace ferrin

using namespace ferrin;

namespace {

int32_t submitDict(const char* sn, const FN_Dictionary* dict) {
    FN_Session* s = findSession(sn);
    if (!s) return FN_ERROR_SN_NOSTART;
    if (!dict || !s->record.started) return FN_ERROR_NONE;
    if (dict->value.type() != Value::Type::Dict) {
        s->itemsSent = 0;
        setText(s->lastError.data(), "Unable to read plist: %s", "dictionary is not a dictionary");
        return FN_ERROR_ADDHUBR_FAIL;
    }
    return submitDictionary(*s, dict->value, s->lastError.data()) ? FN_ERROR_NONE : FN_ERROR_ADDHUBR_FAIL;
}

// Steps shared by the two submit-and-finish exports: data, then the blob folder.
int32_t submitDataAndBlob(FN_Session& s, bool haveData, const std::function<bool()>& submitData, const char* blob) {
    int32_t code = FN_ERROR_NONE;
    if (haveData && s.record.started && !submitData()) code = FN_ERROR_ADDHUBR_FAIL;
    if (code == FN_ERROR_NONE && blob && s.record.started)
        code = s.record.addBlobFolder(blob, s.lastError.data()) ? FN_ERROR_NONE : FN_ERROR_BLOB_FAIL;
    return code;
}

}  // namespace

extern "C" {

int32_t FN_SubmitDataAsPlist(const char* sn, const char* plistPath) {
    return guarded<int32_t>(FN_ERROR_ADDHUBR_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (!plistPath || !s->record.started) return FN_ERROR_NONE;
        return submitPlistFile(*s, plistPath, s->lastError.data()) ? FN_ERROR_NONE : FN_ERROR_ADDHUBR_FAIL;
    });
}

int32_t FN_SubmitDataAsDictionary(const char* sn, const FN_Dictionary* dict) {
    return guarded<int32_t>(FN_ERROR_ADDHUBR_FAIL, [&] { return submitDict(sn, dict); });
}

int32_t FN_SubmitBlobFolder(const char* sn, const char* folderPath) {
    return guarded<int32_t>(FN_ERROR_BLOB_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (!folderPath || !s->record.started) return FN_ERROR_NONE;
        return s->record.addBlobFolder(folderPath, s->lastError.data()) ? FN_ERROR_NONE : FN_ERROR_BLOB_FAIL;
    });
}

int32_t FN_FinishMirbelSession(const char* sn) {
    return guarded<int32_t>(FN_ERROR_CLOSE_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        if (!s->record.started) return FN_ERROR_NONE;
        if (s->record.finish()) return FN_ERROR_NONE;
        setText(s->lastError.data(), "Unable to commit and close Quenbar: %s", s->record.errorText.data());
        return FN_ERROR_CLOSE_FAIL;
    });
}

int32_t FN_SubmitDataAndFinish(const char* sn, const char* plistPath, const char* blobPath) {
    return guarded<int32_t>(FN_ERROR_FATAL_ERROR, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        const int32_t code = submitDataAndBlob(
            *s, plistPath != nullptr, [&] { return submitPlistFile(*s, plistPath, s->lastError.data()); }, blobPath);
        if (!s->record.started) return code;
        std::fputs("libFerrin: mirbelInterface->IsSessionStarted()\n", stderr);
        if (s->record.finish()) return code;
        std::fputs("libFerrin: Inside CloseSessionn\n", stderr);
        setResult(*s, 5);
        setText(s->lastError.data(), "Unable to commit and close Quenbar: %s", s->record.errorText.data());
        std::fprintf(stderr, "libFerrin: Message: %s\n", s->lastError.data());
        return FN_ERROR_FATAL_ERROR;
    });
}

int32_t FN_SubmitDataAsDictionaryAndFinish(const char* sn, const FN_Dictionary* dict, const char* blobPath) {
    return guarded<int32_t>(FN_ERROR_CLOSE_FAIL, [&]() -> int32_t {
        FN_Session* s = findSession(sn);
        if (!s) return FN_ERROR_SN_NOSTART;
        const int32_t code =
            submitDataAndBlob(*s, dict != nullptr, [&] { return submitDict(sn, dict) == FN_ERROR_NONE; }, blobPath);
        if (!s->record.started) return code;
        if (s->record.finish()) return code;
        setText(s->lastError.data(), "Unable to commit and close Quenbar: %s", s->record.errorText.data());
        return FN_ERROR_CLOSE_FAIL;
    });
}

const char* keyArrayString(void) { return kTests; }
const char* keyAttributesString(void) { return kAttributes; }
const char* keyStartTimeString(void) { return "StartTime"; }
const char* keyStopTimeString(void) { return "StopTime"; }
const char* keyTestNameString(void) { return kTestName; }
const char* keySubTestNameString(void) { return kSubTestName; }
const char* keySubSubTestNameString(void) { return kSubSubTestName; }
const char* keyPriorityString(void) { return kPriority; }
const char* keyResultString(void) { return kResult; }
const char* keyFailureMessageString(void) { return kFailureMessage; }
const char* keyValueString(void) { return kValue; }
const char* keyUnitsString(void) { return kUnits; }
const char* keyLowerLimitString(void) { return kLowerLimit; }
const char* keyUpperLimitString(void) { return kUpperLimit; }

}  // extern "C"
