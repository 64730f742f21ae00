// A USB serial adapter on the simulated bus whose tty is a pseudo-terminal,
// and a line instrument that answers on the master side. Shared by the
// instrument tests, fuzz targets and benchmarks.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "nk_usb.h"
#include "pty_test_util.h"
#include "runloop/pf_runloop.h"
#include "usb/pf_usb.h"

namespace insttest {

// One communications interface, as a CDC serial adapter shows itself.
inline std::vector<uint8_t> cdcConfig() {
    std::vector<uint8_t> d = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 2, 2, 1, 0, 7, 5, 0x81, 3, 8, 0, 10};
    d[2] = static_cast<uint8_t>(d.size());
    return d;
}

class SimAdapter {
public:
    SimAdapter(uint16_t vid, uint16_t pid) : vid_(vid), pid_(pid) {
        pf::usb::useSimulated(true);
        pf::usb::sim::DeviceSpec s;
        s.desc.readable = true;
        s.desc.name = "Sim Adapter";
        s.desc.bus = 1;
        s.desc.ports = {3};
        s.desc.vendorId = vid;
        s.desc.productId = pid;
        s.desc.productName = "Sim Adapter";
        s.desc.vendorName = "Sim Maker";
        s.configs.push_back(cdcConfig());
        s.tty = pty.path();
        s.control = [](const pf::usb::Setup& st, uint8_t*) { return int(st.wLength); };
        handle_ = pf::usb::sim::plug(s);
    }
    ~SimAdapter() {
        unplug();
        pf::runloop::runFor(20);
    }
    CNK_usbDev* openDevice() const { return CNK_usbDev::create(vid_, pid_, 0); }
    void unplug() {
        if (handle_) pf::usb::sim::unplug(handle_);
        handle_ = 0;
    }

    nktest::PtyPair pty;

private:
    uint16_t vid_, pid_;
    pf::usb::Handle handle_ = 0;
};

// Reads "\n"-ended commands on the master and writes what `answer` returns for each.
class LinePeer {
public:
    LinePeer(const nktest::PtyPair& pty, std::function<std::string(const std::string&)> answer)
        : pty_(pty), answer_(std::move(answer)), thread_([this] { run(); }) {}
    ~LinePeer() {
        stop_ = true;
        thread_.join();
    }
    std::vector<std::string> commands() {
        std::lock_guard<std::mutex> l(mu_);
        return commands_;
    }

private:
    void run() {
        std::string line;
        while (!stop_) {
            const std::string got = pty_.receive(1, 20);
            if (got.empty()) continue;
            line += got;
            if (got != "\n") continue;
            {
                std::lock_guard<std::mutex> l(mu_);
                commands_.push_back(line);
            }
            const std::string reply = answer_(line);
            line.clear();
            if (!reply.empty()) pty_.send(reply);
        }
    }
    const nktest::PtyPair& pty_;
    std::function<std::string(const std::string&)> answer_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<std::string> commands_;
    std::thread thread_;
};

}  // namespace insttest
