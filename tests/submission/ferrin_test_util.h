// Fixture of the submission tests: the two stand-ins reset and pointed at a
// temporary record folder, the "[FERRIN]" lines captured, and helpers to write
// test data with Python's plistlib and to read committed records back.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "ferrin.h"
#include "fn_internal.h"
#include "nk_test_util.h"
#include "plist/pf_plist.h"
#include "quenbar.h"
#include "tamsel.h"

namespace fntest {

class FerrinTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("NK_QUENBAR_CONFIG");
        unsetenv("NK_TAMSEL_CONFIG");
        QBStub_reset();
        TamselStub_reset();
        std::filesystem::create_directories(records());
        QBStub_setRecordDir(records().c_str());
        ferrin::setLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        });
    }
    void TearDown() override { ferrin::setLogSink({}); }

    std::string records() const { return dir_.file("records"); }
    std::string file(const std::string& name) const { return dir_.file(name); }

    bool logged(const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex_);
        for (const auto& l : log_)
            if (l == line) return true;
        return false;
    }

    // Writes `pyValue` (a Python literal) as an XML property list with plistlib.
    std::string writePlist(const std::string& name, const std::string& pyValue) {
        const std::string path = file(name);
        const std::string script = file(name + ".py");
        nktest::writeFile(script, "import plistlib,sys\nplistlib.dump(" + pyValue +
                                      ", open(sys.argv[1],'wb'), fmt=plistlib.FMT_XML)\n");
        int status = -1;
        const std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + script + " " + path + " 2>&1", &status);
        EXPECT_EQ(status, 0) << out;
        return path;
    }

    // Every committed record of the stand-in, in no particular order.
    std::vector<pf::plist::Value> committed() const {
        std::vector<pf::plist::Value> out;
        for (const auto& e : std::filesystem::directory_iterator(records())) {
            if (e.path().extension() != ".plist") continue;
            pf::plist::Value v;
            std::string err;
            EXPECT_TRUE(pf::plist::readFile(e.path().string(), v, &err)) << err;
            out.push_back(v);
        }
        return out;
    }

    // The one committed record; fails the test when there is not exactly one.
    pf::plist::Value onlyRecord() const {
        auto all = committed();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? pf::plist::Value::dict() : all.front();
    }

    // Starts a session and answers its initial phase: every read done with status
    // and fail count 0, every write ignored.
    int32_t startAndAnswer(const char* sn, uint32_t own = 0x20) {
        int32_t rc = FN_StartSession(sn, "1.0", "Lumbrel", own);
        if (rc != FN_ERROR_NONE) return rc;
        FN_Phase* p = FN_GetCurrentPhase(sn);
        if (!p) return -1;
        for (int32_t i = 0; i < p->count; ++i) {
            if (p->action[i] == FN_ACTION_READ) {
                p->status[i] = FN_CB_PASSED;
                p->failCount[i] = 0;
                p->outcome[i] = FN_OUTCOME_DONE;
            } else {
                p->outcome[i] = FN_OUTCOME_IGNORED;
            }
        }
        return FN_CompleteCurrentPhase(sn);
    }

private:
    nktest::TempDir dir_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

// Items of a committed record as "testname/subtestname/subsubtestname".
inline std::vector<std::string> itemNames(const pf::plist::Value& record) {
    std::vector<std::string> names;
    const pf::plist::Value* items = record.find("Items");
    if (!items) return names;
    for (const auto& item : items->items()) {
        auto get = [&](const char* k) {
            const pf::plist::Value* v = item.find(k);
            return v ? v->str() : std::string();
        };
        names.push_back(get("testname") + "/" + get("subtestname") + "/" + get("subsubtestname"));
    }
    return names;
}

inline std::string itemField(const pf::plist::Value& record, size_t i, const char* key) {
    const pf::plist::Value* items = record.find("Items");
    if (!items || i >= items->items().size()) return "<none>";
    const pf::plist::Value* v = items->items()[i].find(key);
    if (!v) return "<absent>";
    if (v->type() == pf::plist::Value::Type::Integer) return std::to_string(v->integer());
    return v->str();
}

inline bool passed(const pf::plist::Value& record) {
    const pf::plist::Value* v = record.find("Passed");
    return v && v->boolean();
}

}  // namespace fntest
