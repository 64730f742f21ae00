// The multimeter board on the simulated USB bus: HID feature reports (a report
// store, the status byte 0x79, the firmware version, the calibration block) and
// a pseudo-terminal as its CDC tty. Every transfer is logged with its bytes.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "ostrel_sim.h"
#include "pty_test_util.h"
#include "usb/pf_usb.h"

namespace insttest {

class MarletModel {
public:
    struct Transfer {
        bool set;
        bool spi;  // device-level report 0x89
        uint8_t id;
        std::vector<uint8_t> bytes;
    };

    std::mutex m;
    std::map<uint8_t, std::vector<uint8_t>> reports;  // GET answers by report id
    std::map<uint8_t, uint8_t> refusals;               // status byte after a SET of this id
    int fwVersion = 1100;                              // negative: the version read fails
    std::vector<uint8_t> calBlock = std::vector<uint8_t>(11344);
    std::vector<uint8_t> calWritten;  // the last block committed with 0x85
    int failAt = -1;                  // the transfer with this index fails
    std::vector<Transfer> log;
    nktest::PtyPair pty;

    std::vector<Transfer> transfers() {
        std::lock_guard<std::mutex> l(m);
        return log;
    }
    // Transfers other than status reads.
    std::vector<Transfer> commands() {
        std::vector<Transfer> out;
        for (const Transfer& t : transfers())
            if (t.set || t.spi || t.id != 0x79) out.push_back(t);
        return out;
    }
    void clearLog() {
        std::lock_guard<std::mutex> l(m);
        log.clear();
    }

    pf::usb::sim::DeviceSpec spec(uint16_t vid, uint16_t pid, bool withTty = true) {
        pf::usb::sim::DeviceSpec s;
        s.desc.readable = true;
        s.desc.name = "Sim Multimeter Board";
        s.desc.bus = 1;
        s.desc.ports = {5};
        s.desc.vendorId = vid;
        s.desc.productId = pid;
        s.configs.push_back(boardConfig(withTty ? std::vector<uint8_t>{3, 2} : std::vector<uint8_t>{3}));
        if (withTty) s.tty = pty.path();
        s.control = [this](const pf::usb::Setup& st, uint8_t* data) { return control(st, data); };
        return s;
    }

private:
    int control(const pf::usb::Setup& st, uint8_t* data) {
        std::lock_guard<std::mutex> l(m);
        const bool set = st.bmRequestType == 0x21 && st.bRequest == 0x09;
        const bool get = st.bmRequestType == 0xA1 && st.bRequest == 0x01;
        if (!set && !get) return pf::usb::kErrPipe;
        const bool spi = st.wValue == 0x0089;
        if (!spi && (st.wValue >> 8) != 0x03) return pf::usb::kErrPipe;
        const uint8_t id = uint8_t(st.wValue);
        if (failAt >= 0 && int(log.size()) == failAt) {
            log.push_back({set, spi, id, {}});
            return pf::usb::kErrIo;
        }
        if (set) {
            log.push_back({true, spi, id, std::vector<uint8_t>(data, data + st.wLength)});
            if (!spi) onSet(id, data, st.wLength);
            return st.wLength;
        }
        std::memset(data, 0, st.wLength);
        if (spi) {
            for (size_t i = 0; i < st.wLength; ++i) data[i] = uint8_t(spiOut_++);
        } else if (!onGet(id, data, st.wLength)) {
            log.push_back({false, spi, id, {}});
            return pf::usb::kErrIo;
        }
        log.push_back({false, spi, id, std::vector<uint8_t>(data, data + st.wLength)});
        return st.wLength;
    }

    void onSet(uint8_t id, const uint8_t* d, size_t n) {
        auto r = refusals.find(id);
        status_ = r != refusals.end() ? r->second : 0;
        if (id == 0x86) calRead_ = 0;
        if (id == 0x87 && n >= 1 && d[0] == 0x00) pending_.clear();
        if (id == 0x87 && n >= 1 && d[0] == 0x01) pending_.insert(pending_.end(), d + 1, d + n);
        if (id == 0x85) {
            calWritten = pending_;
            calWritten.resize(std::min(calWritten.size(), calBlock.size()));
        }
    }

    bool onGet(uint8_t id, uint8_t* d, size_t n) {
        if (id == 0x79) {
            d[0] = status_;
            return true;
        }
        if (id == 0x8C) {
            if (fwVersion < 0) return false;
            d[0] = uint8_t(fwVersion >> 8);
            d[1] = uint8_t(fwVersion);
            return true;
        }
        if (id == 0x88) {
            for (size_t i = 0; i < n && calRead_ < calBlock.size(); ++i) d[i] = calBlock[calRead_++];
            return true;
        }
        auto it = reports.find(id);
        if (it != reports.end()) std::memcpy(d, it->second.data(), std::min(n, it->second.size()));
        return true;
    }

    uint8_t status_ = 0;
    size_t calRead_ = 0;
    std::vector<uint8_t> pending_;
    unsigned spiOut_ = 0;
};

}  // namespace insttest
