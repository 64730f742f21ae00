// The fixture-controller board on the simulated USB bus: power byte, firmware
// version, two ADCs, a fixture state that settles a number of reads after it was
// asked for, the firmware download with its checksum, pass-on and flash reports,
// and a log of every transfer with its bytes.
#pragma once

#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "ostrel_sim.h"
#include "usb/pf_usb.h"

namespace insttest {

class CrestelModel {
public:
    struct Transfer {
        bool set;
        uint8_t id;
        uint16_t index;
        std::vector<uint8_t> bytes;
    };

    std::mutex m;
    uint8_t power = 0x15;         // bit 7: the device under test is powered
    uint16_t fwVersion = 0x0123;
    std::vector<uint16_t> adcSamples[2];  // handed out in turn, per ADC; 0 when used up
    uint8_t fixtureState = 0;
    uint8_t requestedState = 0;
    int settleReads = 0;          // reads of 0xE6 after a request before the state changes
    int stateReads = 0;           // reads of 0xE6 so far
    std::set<int> failStateReadAt;  // these reads of 0xE6 (counted from 0) fail
    int failTransfer = -1;        // the transfer with this index (from 0) fails
    int shortSetId = -1;          // set-reports of this id move one byte less
    int checksumDelta = 0;        // added to the checksum the board reports
    uint8_t passOnResult = 0;     // answer of get 0xF7
    std::vector<uint8_t> received;  // the image the board received (0xF6 sets)
    std::vector<Transfer> log;

    std::vector<Transfer> transfers() {
        std::lock_guard<std::mutex> l(m);
        return log;
    }
    std::vector<uint8_t> image() {
        std::lock_guard<std::mutex> l(m);
        return received;
    }

    pf::usb::sim::DeviceSpec spec(uint16_t vid, uint16_t pid) {
        pf::usb::sim::DeviceSpec s;
        s.desc.readable = true;
        s.desc.name = "Sim Fixture Controller";
        s.desc.bus = 2;
        s.desc.ports = {1, 3};
        s.desc.vendorId = vid;
        s.desc.productId = pid;
        s.desc.speed = 1;
        s.desc.serial = "CT0001";
        s.configs.push_back(boardConfig({3, 3, 3}));
        s.control = [this](const pf::usb::Setup& st, uint8_t* data) { return control(st, data); };
        return s;
    }

private:
    int control(const pf::usb::Setup& st, uint8_t* data) {
        std::lock_guard<std::mutex> l(m);
        const bool set = st.bmRequestType == 0x21 && st.bRequest == 0x09;
        const bool get = st.bmRequestType == 0xA1 && st.bRequest == 0x01;
        if ((!set && !get) || (st.wValue >> 8) != 0x03) return pf::usb::kErrPipe;
        const uint8_t id = uint8_t(st.wValue);
        if (failTransfer >= 0 && int(log.size()) == failTransfer) {
            log.push_back({set, id, st.wIndex, {}});
            return pf::usb::kErrIo;
        }
        if (set) {
            log.push_back({true, id, st.wIndex, std::vector<uint8_t>(data, data + st.wLength)});
            onSet(id, data, st.wLength);
            return id == shortSetId ? st.wLength - 1 : st.wLength;
        }
        std::memset(data, 0, st.wLength);
        const int rc = onGet(id, data, st.wLength);
        log.push_back({false, id, st.wIndex, std::vector<uint8_t>(data, data + st.wLength)});
        return rc;
    }

    void onSet(uint8_t id, const uint8_t* d, size_t n) {
        switch (id) {
        case 0xD2: power = d[0]; break;
        case 0xE3:
            if (n >= 3) {
                adc_ = d[0] & 1;
                count_ = d[1];
            }
            break;
        case 0xE6:
            requestedState = d[0];
            pendingReads_ = settleReads;
            if (pendingReads_ == 0) fixtureState = requestedState;
            break;
        case 0xF5: received.clear(); break;
        case 0xF6: received.insert(received.end(), d, d + n); break;
        default: break;
        }
    }

    int onGet(uint8_t id, uint8_t* d, size_t n) {
        switch (id) {
        case 0xD2: d[0] = power; break;
        case 0xE1:
            d[0] = uint8_t(fwVersion >> 8);
            d[1] = uint8_t(fwVersion);
            break;
        case 0xE3:
            for (size_t i = 0; i + 1 < n; i += 2) {
                auto& q = adcSamples[adc_];
                const uint16_t v = q.empty() ? 0 : q.front();
                if (!q.empty()) q.erase(q.begin());
                d[i] = uint8_t(v >> 8);
                d[i + 1] = uint8_t(v);
            }
            break;
        case 0xE6:
            if (failStateReadAt.count(stateReads++)) return pf::usb::kErrIo;
            if (pendingReads_ > 0 && --pendingReads_ == 0) fixtureState = requestedState;
            d[0] = fixtureState;
            break;
        case 0xF6: {
            uint16_t sum = 0;
            for (uint8_t b : received) sum = uint16_t(sum + b);
            sum = uint16_t(sum + checksumDelta);
            d[0] = uint8_t(sum >> 8);
            d[1] = uint8_t(sum);
            break;
        }
        case 0xF7: d[0] = passOnResult; break;
        default: break;
        }
        return int(n);
    }

    int adc_ = 0;
    int count_ = 0;
    int pendingReads_ = 0;
};

}  // namespace insttest
