// A framework log manager whose console lines are also kept for the test to read.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "ZelkLogManager.h"

namespace nktest {

class ZelkLogCapture : public iZelk_LogRelay {
public:
    explicit ZelkLogCapture(SInt32 level = 3) : lm_(ZLM_Create()) {
        ZLM_SetVerboseLevel(lm_, level);
        ZLM_SetLogRelay(lm_, 1, this);
    }
    ~ZelkLogCapture() override { ZLM_Delete(&lm_); }
    ZelkLogCapture(const ZelkLogCapture&) = delete;
    ZelkLogCapture& operator=(const ZelkLogCapture&) = delete;

    iZelk_LogManager* lm() const { return lm_; }
    void OnLogStringUpdated(UInt32, const char* text) override {
        std::lock_guard<std::mutex> hold(mutex_);
        text_ += text;
    }
    std::string text() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return text_;
    }
    bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

private:
    iZelk_LogManager* lm_;
    mutable std::mutex mutex_;
    std::string text_;
};

}  // namespace nktest
