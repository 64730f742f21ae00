// A test on the simulated USB bus. What it plugs through plug() is unplugged again at the
// end, and the unplug events are let run, so the next test starts on an empty bus.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"

namespace nktest {

class SimulatedUsbTest : public ::testing::Test {
protected:
    void SetUp() override {
        pf::usb::useSimulated(true);
        pf::usb::sim::clearControlLog();
    }
    void TearDown() override {
        for (pf::usb::Handle h : plugged_) pf::usb::sim::unplug(h);
        plugged_.clear();
        pf::runloop::runFor(20);
    }
    pf::usb::Handle plug(pf::usb::sim::DeviceSpec spec) {
        plugged_.push_back(pf::usb::sim::plug(std::move(spec)));
        return plugged_.back();
    }
    // Unplugs a device plug() gave; the end of the test leaves it alone then.
    void unplug(pf::usb::Handle h) {
        plugged_.erase(std::remove(plugged_.begin(), plugged_.end(), h), plugged_.end());
        pf::usb::sim::unplug(h);
    }

private:
    std::vector<pf::usb::Handle> plugged_;
};

}  // namespace nktest
