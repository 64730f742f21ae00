// The calibration test board on the simulated USB bus: a report store, a
// programmable status byte, an I2C EEPROM at bus 2 address 0x50, a flagged record
// source and a log of every transfer with its bytes.
#pragma once

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "usb/pf_usb.h"

namespace insttest {

// A configuration descriptor with the interfaces' classes in order (3 = HID, 2 = communications).
inline std::vector<uint8_t> boardConfig(const std::vector<uint8_t>& classes) {
    std::vector<uint8_t> d = {9, 2, 0, 0, uint8_t(classes.size()), 1, 0, 0x80, 50};
    for (size_t i = 0; i < classes.size(); ++i) {
        const uint8_t intf[] = {9, 4, uint8_t(i), 0, 1, classes[i], 0, 0, 0};
        d.insert(d.end(), intf, intf + 9);
        const uint8_t ep[] = {7, 5, uint8_t(0x81 + i), 3, 64, 0, 10};
        d.insert(d.end(), ep, ep + 7);
    }
    d[2] = uint8_t(d.size() & 0xFF);
    d[3] = uint8_t(d.size() >> 8);
    return d;
}

class OstrelModel {
public:
    struct Transfer {
        bool set;
        uint8_t id;
        std::vector<uint8_t> bytes;
    };

    std::mutex m;
    std::map<uint8_t, std::vector<uint8_t>> reports;  // GET answers by report id
    uint8_t status = 0;
    std::set<uint8_t> refusedCommands;  // 0x80 command codes whose status is non-zero
    std::vector<uint8_t> eeprom = std::vector<uint8_t>(0x10000, 0xFF);
    uint8_t recordId = 0xB1;
    std::vector<std::pair<uint8_t, std::vector<uint8_t>>> record;  // [flag, data] packets in turn
    int failTransfer = -1;  // the transfer with this index (from 0) fails
    std::vector<Transfer> log;

    std::vector<Transfer> transfers() {
        std::lock_guard<std::mutex> l(m);
        return log;
    }
    // Transfers other than status reads.
    std::vector<Transfer> commands() {
        std::vector<Transfer> out;
        for (const Transfer& t : transfers())
            if (t.set || t.id != 0x79) out.push_back(t);
        return out;
    }

    pf::usb::sim::DeviceSpec spec(uint16_t vid, uint16_t pid) {
        pf::usb::sim::DeviceSpec s;
        s.desc.readable = true;
        s.desc.name = "Sim Calibration Board";
        s.desc.bus = 1;
        s.desc.ports = {4};
        s.desc.vendorId = vid;
        s.desc.productId = pid;
        s.configs.push_back(boardConfig({3, 2, 3}));
        s.control = [this](const pf::usb::Setup& st, uint8_t* data) { return control(st, data); };
        return s;
    }

private:
    int control(const pf::usb::Setup& st, uint8_t* data) {
        std::lock_guard<std::mutex> l(m);
        const bool set = st.bmRequestType == 0x21 && st.bRequest == 0x09;
        const bool get = st.bmRequestType == 0xA1 && st.bRequest == 0x01;
        if (!set && !get) return pf::usb::kErrPipe;
        if ((st.wValue >> 8) != 0x03) return pf::usb::kErrPipe;
        const uint8_t id = uint8_t(st.wValue);
        if (failTransfer >= 0 && int(log.size()) == failTransfer) {
            log.push_back({set, id, {}});
            return pf::usb::kErrIo;
        }
        if (set) {
            log.push_back({true, id, std::vector<uint8_t>(data, data + st.wLength)});
            onSet(id, data, st.wLength);
            return st.wLength;
        }
        std::memset(data, 0, st.wLength);
        onGet(id, data, st.wLength);
        log.push_back({false, id, std::vector<uint8_t>(data, data + st.wLength)});
        return st.wLength;
    }

    void onSet(uint8_t id, const uint8_t* d, size_t n) {
        if (id == 0x80 && n >= 1) lastCommand_ = d[0];
        if (id != 0x8B || n == 0) return;
        if (d[0] == 0x02 && n >= 7 && d[1] == 2 && d[2] == 0x50) readAt_ = size_t(d[3]) << 8 | d[4];
        if (d[0] == 0x03) pending_.insert(pending_.end(), d + 1, d + n);
        if (d[0] == 0x01 && n >= 5 && d[1] == 2 && d[2] == 0x50) {
            const size_t at = size_t(d[3]) << 8 | d[4];
            for (size_t i = 0; i < pending_.size() && at + i < eeprom.size(); ++i) eeprom[at + i] = pending_[i];
            pending_.clear();
        }
    }

    void onGet(uint8_t id, uint8_t* d, size_t n) {
        if (id == 0x79) {
            d[0] = refusedCommands.count(lastCommand_) ? 1 : status;
            return;
        }
        if (id == 0x8B) {
            for (size_t i = 0; i < n && readAt_ < eeprom.size(); ++i) d[i] = eeprom[readAt_++];
            return;
        }
        if (id == recordId && !record.empty()) {
            const auto pkt = record.front();
            if (record.size() > 1) record.erase(record.begin());
            d[0] = pkt.first;
            std::memcpy(d + 1, pkt.second.data(), std::min(n - 1, pkt.second.size()));
            return;
        }
        auto it = reports.find(id);
        if (it != reports.end()) std::memcpy(d, it->second.data(), std::min(n, it->second.size()));
    }

    uint8_t lastCommand_ = 0;
    size_t readAt_ = 0;
    std::vector<uint8_t> pending_;
};

}  // namespace insttest
