#include "usb/pf_usb.h"

#include <dirent.h>
#include <libudev.h>
#include <limits.h>
#include <stdlib.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "runloop/pf_runloop.h"

namespace pf::usb {

namespace {

struct Entry {
    Handle handle = 0;
    Description desc;
    int refs = 0;
    bool attached = true;
    libusb_device* dev = nullptr;     // system backend: our reference
    std::string syspath;              // system backend
    std::shared_ptr<sim::DeviceSpec> spec;  // simulated backend
};

struct Watch {
    bool arrival = true;
    uint16_t vendorId = 0, productId = 0;
    Handle handle = 0;
    std::function<void(Handle)> onArrival;
    std::function<void()> onRemoval;
    pf::runloop::LoopRef loop;
    std::shared_ptr<std::atomic<bool>> active;
};

struct Registry {
    std::mutex m;
    bool simulated = false;
    std::vector<TtyNode> simTtys;
    std::map<Handle, std::shared_ptr<Entry>> entries;
    Handle nextHandle = 1;
    std::map<WatchId, Watch> watches;
    WatchId nextWatch = 1;
    std::vector<Setup> controlLog;
};

Registry& reg() {
    static Registry* r = new Registry;  // outlives every static user at exit
    return *r;
}

bool matches(const Watch& w, const Description& d) {
    return (w.vendorId == 0xFFFF || w.vendorId == d.vendorId) && (w.productId == 0xFFFF || w.productId == d.productId);
}

void dropEntryIfUnused(Registry& r, Handle h) {
    auto it = r.entries.find(h);
    if (it == r.entries.end() || it->second->attached || it->second->refs > 0) return;
    if (it->second->dev) libusb_unref_device(it->second->dev);
    r.entries.erase(it);
}

// Under the registry lock: enter the device and tell the arrival watches.
Handle attachLocked(Registry& r, std::shared_ptr<Entry> e) {
    e->handle = r.nextHandle++;
    r.entries[e->handle] = e;
    for (auto& [id, w] : r.watches) {
        if (!w.arrival || !matches(w, e->desc)) continue;
        e->refs++;
        const Handle h = e->handle;
        auto fn = w.onArrival;
        auto active = w.active;
        pf::runloop::post(w.loop, [fn, active, h] {
            if (active->load()) fn(h);
            release(h);
        });
    }
    return e->handle;
}

void detachLocked(Registry& r, Handle h) {
    auto it = r.entries.find(h);
    if (it == r.entries.end() || !it->second->attached) return;
    it->second->attached = false;
    for (auto wit = r.watches.begin(); wit != r.watches.end();) {
        Watch& w = wit->second;
        if (!w.arrival && w.handle == h) {
            auto fn = w.onRemoval;
            auto active = w.active;
            pf::runloop::post(w.loop, [fn, active] {
                if (active->exchange(false)) fn();
            });
            wit = r.watches.erase(wit);
        } else {
            ++wit;
        }
    }
    dropEntryIfUnused(r, h);
}

// ------------------------------------------------------------ system backend

struct System {
    libusb_context* ctx = nullptr;
    udev* ud = nullptr;
    bool ready = false;
    bool hotplug = false;
    std::thread events;
    std::atomic<bool> stop{false};
    libusb_hotplug_callback_handle cbHandle = 0;

    ~System() {
        if (events.joinable()) {
            stop = true;
            libusb_hotplug_deregister_callback(ctx, cbHandle);
            events.join();
        }
        // The context stays: devices may still hold references at exit.
    }
};

System& sys() {
    static System s;
    return s;
}

std::string sysattr(udev_device* d, const char* name) {
    const char* v = d ? udev_device_get_sysattr_value(d, name) : nullptr;
    return v ? std::string(v) : std::string();
}

// Attributes from sysfs through udev; nothing is opened.
void describeSystem(Entry& e) {
    Description& d = e.desc;
    d.bus = libusb_get_bus_number(e.dev);
    uint8_t ports[8];
    const int n = libusb_get_port_numbers(e.dev, ports, sizeof(ports));
    if (n > 0) d.ports.assign(ports, ports + n);
    std::string sysname;
    if (n > 0) {
        sysname = std::to_string(d.bus) + "-";
        for (int i = 0; i < n; ++i) {
            if (i) sysname += '.';
            sysname += std::to_string(ports[i]);
        }
    } else {
        sysname = "usb" + std::to_string(d.bus);
    }
    udev_device* ud = sys().ud ? udev_device_new_from_subsystem_sysname(sys().ud, "usb", sysname.c_str()) : nullptr;
    const std::string vid = sysattr(ud, "idVendor"), pid = sysattr(ud, "idProduct");
    if (ud && !vid.empty() && !pid.empty()) {
        e.syspath = udev_device_get_syspath(ud);
        d.readable = true;
        d.vendorId = static_cast<uint16_t>(std::strtoul(vid.c_str(), nullptr, 16));
        d.productId = static_cast<uint16_t>(std::strtoul(pid.c_str(), nullptr, 16));
        d.vendorName = sysattr(ud, "manufacturer");
        d.productName = sysattr(ud, "product");
        d.serial = sysattr(ud, "serial");
        d.name = d.productName.empty() ? "Unknown" : d.productName;
        d.protocol = static_cast<uint8_t>(std::strtoul(sysattr(ud, "bDeviceProtocol").c_str(), nullptr, 16));
        const std::string sp = sysattr(ud, "speed");
        d.speed = sp == "1.5" ? kSpeedLow : sp == "12" ? kSpeedFull : sp == "480" ? kSpeedHigh : kSpeedSuper;
    }
    if (ud) udev_device_unref(ud);
}

bool systemReady() {
    System& s = sys();
    if (s.ready) return true;
    if (libusb_init(&s.ctx) != 0) return false;
    s.ud = udev_new();
    s.ready = true;
    return true;
}

// Brings the registry in line with the bus. Caller holds the registry lock.
void syncSystemLocked(Registry& r) {
    if (!systemReady()) return;
    libusb_device** devs = nullptr;
    const ssize_t n = libusb_get_device_list(sys().ctx, &devs);
    if (n < 0) return;
    std::vector<libusb_device*> now(devs, devs + n);
    for (auto it = r.entries.begin(); it != r.entries.end();) {
        const Handle h = it->first;
        auto e = it->second;
        ++it;
        if (e->attached && e->dev && std::find(now.begin(), now.end(), e->dev) == now.end()) detachLocked(r, h);
    }
    for (libusb_device* d : now) {
        bool known = false;
        for (auto& [h, e] : r.entries) known = known || (e->attached && e->dev == d);
        if (known) continue;
        auto e = std::make_shared<Entry>();
        e->dev = libusb_ref_device(d);
        describeSystem(*e);
        attachLocked(r, e);
    }
    libusb_free_device_list(devs, 1);
}

int LIBUSB_CALL onHotplug(libusb_context*, libusb_device* dev, libusb_hotplug_event event, void*) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    if (r.simulated) return 0;
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
        for (auto& [h, e] : r.entries)
            if (e->attached && e->dev == dev) return 0;
        auto e = std::make_shared<Entry>();
        e->dev = libusb_ref_device(dev);
        describeSystem(*e);
        attachLocked(r, e);
    } else {
        for (auto& [h, e] : r.entries)
            if (e->attached && e->dev == dev) {
                detachLocked(r, h);
                break;
            }
    }
    return 0;
}

// The event thread only turns libusb's notices into posts; it is started with the first watch.
void startSystemEventsLocked() {
    System& s = sys();
    if (!systemReady() || s.events.joinable() || !libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return;
    const int rc = libusb_hotplug_register_callback(
        s.ctx, static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        static_cast<libusb_hotplug_flag>(0), LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        LIBUSB_HOTPLUG_MATCH_ANY, onHotplug, nullptr, &s.cbHandle);
    if (rc != LIBUSB_SUCCESS) return;
    s.hotplug = true;
    s.events = std::thread([&s] {
        while (!s.stop) {
            timeval tv{0, 200000};
            libusb_handle_events_timeout_completed(s.ctx, &tv, nullptr);
        }
    });
}

class SystemDevice : public Device {
public:
    explicit SystemDevice(libusb_device_handle* h) : h_(h) {}
    ~SystemDevice() override {
        for (uint8_t n : claimed_) libusb_release_interface(h_, n);
        for (uint8_t n : detached_) libusb_attach_kernel_driver(h_, n);
        libusb_close(h_);
    }
    int configurationCount() override {
        libusb_device_descriptor dd{};
        const int rc = libusb_get_device_descriptor(libusb_get_device(h_), &dd);
        return rc < 0 ? rc : dd.bNumConfigurations;
    }
    int configDescriptor(int index, std::vector<uint8_t>& out) override {
        uint8_t head[9];
        int rc = libusb_get_descriptor(h_, LIBUSB_DT_CONFIG, static_cast<uint8_t>(index), head, sizeof(head));
        if (rc < 0) return rc;
        if (rc < 4) return kErrIo;
        const uint16_t total = static_cast<uint16_t>(head[2] | (head[3] << 8));
        out.assign(total, 0);
        rc = libusb_get_descriptor(h_, LIBUSB_DT_CONFIG, static_cast<uint8_t>(index), out.data(), total);
        if (rc < 0) return rc;
        out.resize(static_cast<size_t>(rc));
        return 0;
    }
    int claimInterface(uint8_t number, uint8_t interfaceClass) override {
        // A communications interface stays with its kernel driver: its tty is the board's data channel.
        if (interfaceClass == LIBUSB_CLASS_COMM || interfaceClass == LIBUSB_CLASS_DATA) return 0;
        if (std::find(claimed_.begin(), claimed_.end(), number) != claimed_.end()) return 0;
        if (libusb_kernel_driver_active(h_, number) == 1) {
            const int rc = libusb_detach_kernel_driver(h_, number);
            if (rc < 0) return rc;
            detached_.push_back(number);
        }
        const int rc = libusb_claim_interface(h_, number);
        if (rc < 0) return rc;
        claimed_.push_back(number);
        return 0;
    }
    int control(const Setup& s, uint8_t* data, unsigned timeoutMs) override {
        return libusb_control_transfer(h_, s.bmRequestType, s.bRequest, s.wValue, s.wIndex, data, s.wLength, timeoutMs);
    }

private:
    libusb_device_handle* h_;
    std::vector<uint8_t> claimed_;
    std::vector<uint8_t> detached_;
};

std::string systemTty(const std::string& syspath) {
    udev* ud = sys().ud;
    if (!ud || syspath.empty()) return {};
    std::string acm, other;
    udev_enumerate* en = udev_enumerate_new(ud);
    udev_enumerate_add_match_subsystem(en, "tty");
    udev_enumerate_scan_devices(en);
    for (udev_list_entry* le = udev_enumerate_get_list_entry(en); le; le = udev_list_entry_get_next(le)) {
        udev_device* tty = udev_device_new_from_syspath(ud, udev_list_entry_get_name(le));
        if (!tty) continue;
        udev_device* usbdev = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
        const char* node = udev_device_get_devnode(tty);
        if (usbdev && node && syspath == udev_device_get_syspath(usbdev)) {
            const bool isAcm = std::strncmp(udev_device_get_sysname(tty), "ttyACM", 6) == 0;
            std::string& slot = isAcm ? acm : other;
            if (slot.empty()) slot = node;
        }
        udev_device_unref(tty);
    }
    udev_enumerate_unref(en);
    return acm.empty() ? other : acm;
}

std::vector<TtyNode> systemTtyList() {
    std::vector<TtyNode> out;
    udev* ud = sys().ud;
    if (ud) {
        udev_enumerate* en = udev_enumerate_new(ud);
        udev_enumerate_add_match_subsystem(en, "tty");
        udev_enumerate_scan_devices(en);
        for (udev_list_entry* le = udev_enumerate_get_list_entry(en); le; le = udev_list_entry_get_next(le)) {
            udev_device* tty = udev_device_new_from_syspath(ud, udev_list_entry_get_name(le));
            if (!tty) continue;
            // Consoles and pseudo-terminals have no parent device: they are no serial ports.
            const char* node = udev_device_get_devnode(tty);
            if (node && udev_device_get_parent(tty)) out.push_back({node, udev_device_get_sysname(tty)});
            udev_device_unref(tty);
        }
        udev_enumerate_unref(en);
    }
    if (DIR* d = opendir("/dev/serial/by-id")) {
        while (dirent* de = readdir(d)) {
            if (de->d_name[0] == '.') continue;
            const std::string link = std::string("/dev/serial/by-id/") + de->d_name;
            char target[PATH_MAX];
            if (!realpath(link.c_str(), target)) continue;
            const char* slash = std::strrchr(target, '/');
            out.push_back({link, slash ? slash + 1 : target});
        }
        closedir(d);
    }
    return out;
}

// ------------------------------------------------------------ simulated backend

class SimDevice : public Device {
public:
    SimDevice(Handle h, std::shared_ptr<sim::DeviceSpec> spec) : h_(h), spec_(std::move(spec)) {}
    int configurationCount() override {
        if (!isAttached(h_)) return kErrNoDevice;
        return static_cast<int>(spec_->configs.size());
    }
    int configDescriptor(int index, std::vector<uint8_t>& out) override {
        if (!isAttached(h_)) return kErrNoDevice;
        if (index < 0 || static_cast<size_t>(index) >= spec_->configs.size()) return kErrNotFound;
        out = spec_->configs[static_cast<size_t>(index)];
        return 0;
    }
    int claimInterface(uint8_t, uint8_t) override { return isAttached(h_) ? 0 : kErrNoDevice; }
    int control(const Setup& s, uint8_t* data, unsigned) override {
        {
            Registry& r = reg();
            std::lock_guard<std::mutex> lock(r.m);
            r.controlLog.push_back(s);
        }
        if (!isAttached(h_)) return kErrNoDevice;
        if (!spec_->control) return kErrPipe;
        return spec_->control(s, data);
    }

private:
    Handle h_;
    std::shared_ptr<sim::DeviceSpec> spec_;
};

}  // namespace

const char* errorName(int code) {
    switch (code) {
    case kSuccess: case kErrIo: case kErrInvalidParam: case kErrAccess: case kErrNoDevice:
    case kErrNotFound: case kErrBusy: case kErrTimeout: case kErrOverflow: case kErrPipe:
    case kErrInterrupted: case kErrNoMem: case kErrNotSupported: case kErrOther:
        return libusb_error_name(code);
    default:
        return nullptr;
    }
}

uint32_t locationId(const Description& d) {
    if (d.ports.size() > 6) return 0;
    uint32_t loc = static_cast<uint32_t>(d.bus) << 24;
    int shift = 20;
    for (uint8_t p : d.ports) {
        if (p > 15) return 0;
        loc |= static_cast<uint32_t>(p) << shift;
        shift -= 4;
    }
    return loc;
}

void useSimulated(bool simulated) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    if (r.simulated == simulated) return;
    // Leaving a backend detaches its devices, so watches and holders hear of it.
    std::vector<Handle> hs;
    for (auto& [h, e] : r.entries) hs.push_back(h);
    for (Handle h : hs) detachLocked(r, h);
    r.simulated = simulated;
}

bool isSimulated() {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    return r.simulated;
}

std::vector<Handle> list() {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    if (!r.simulated) syncSystemLocked(r);
    std::vector<Handle> out;
    for (auto& [h, e] : r.entries) {
        if (!e->attached) continue;
        e->refs++;
        out.push_back(h);
    }
    return out;
}

void retain(Handle h) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.entries.find(h);
    if (it != r.entries.end()) it->second->refs++;
}

void release(Handle h) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.entries.find(h);
    if (it == r.entries.end() || it->second->refs <= 0) return;
    it->second->refs--;
    dropEntryIfUnused(r, h);
}

bool describe(Handle h, Description& out) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.entries.find(h);
    if (it == r.entries.end()) return false;
    out = it->second->desc;
    return true;
}

bool isAttached(Handle h) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.entries.find(h);
    return it != r.entries.end() && it->second->attached;
}

std::string ttyOf(Handle h) {
    std::shared_ptr<Entry> e;
    {
        Registry& r = reg();
        std::lock_guard<std::mutex> lock(r.m);
        auto it = r.entries.find(h);
        if (it == r.entries.end() || !it->second->attached) return {};
        e = it->second;
    }
    if (e->spec) return e->spec->tty;
    return systemTty(e->syspath);
}

std::vector<TtyNode> ttyList() {
    {
        Registry& r = reg();
        std::lock_guard<std::mutex> lock(r.m);
        if (r.simulated) return r.simTtys;
    }
    return systemTtyList();
}

std::unique_ptr<Device> open(Handle h, int* error) {
    int dummy = 0;
    int& err = error ? *error : dummy;
    std::shared_ptr<Entry> e;
    {
        Registry& r = reg();
        std::lock_guard<std::mutex> lock(r.m);
        auto it = r.entries.find(h);
        if (it == r.entries.end() || !it->second->attached) {
            err = kErrNoDevice;
            return nullptr;
        }
        e = it->second;
    }
    if (e->spec) {
        if (!e->spec->openable || !e->desc.readable) {
            err = kErrAccess;
            return nullptr;
        }
        err = 0;
        return std::make_unique<SimDevice>(h, e->spec);
    }
    libusb_device_handle* dh = nullptr;
    const int rc = libusb_open(e->dev, &dh);
    if (rc < 0) {
        err = rc;
        return nullptr;
    }
    err = 0;
    return std::make_unique<SystemDevice>(dh);
}

WatchId watchArrival(uint16_t vendorId, uint16_t productId, std::function<void(Handle)> fn,
                     std::vector<Handle>* present) {
    if (!fn) return 0;
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    if (!r.simulated) {
        syncSystemLocked(r);
        startSystemEventsLocked();
    }
    Watch w;
    w.arrival = true;
    w.vendorId = vendorId;
    w.productId = productId;
    w.onArrival = std::move(fn);
    w.loop = pf::runloop::current();
    w.active = std::make_shared<std::atomic<bool>>(true);
    const WatchId id = r.nextWatch++;
    r.watches[id] = std::move(w);
    if (present) {
        for (auto& [h, e] : r.entries) {
            if (!e->attached || !matches(r.watches[id], e->desc)) continue;
            e->refs++;
            present->push_back(h);
        }
    }
    return id;
}

WatchId watchRemoval(Handle h, std::function<void()> fn) {
    if (!fn) return 0;
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    if (!r.simulated) startSystemEventsLocked();
    auto it = r.entries.find(h);
    if (it == r.entries.end() || !it->second->attached) return 0;
    Watch w;
    w.arrival = false;
    w.handle = h;
    w.onRemoval = std::move(fn);
    w.loop = pf::runloop::current();
    w.active = std::make_shared<std::atomic<bool>>(true);
    const WatchId id = r.nextWatch++;
    r.watches[id] = std::move(w);
    return id;
}

void cancelWatch(WatchId id) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    auto it = r.watches.find(id);
    if (it == r.watches.end()) return;
    it->second.active->store(false);
    r.watches.erase(it);
}

namespace sim {

Handle plug(DeviceSpec spec) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    if (!r.simulated) return 0;
    auto e = std::make_shared<Entry>();
    e->desc = spec.desc;
    e->spec = std::make_shared<DeviceSpec>(std::move(spec));
    return attachLocked(r, e);
}

void unplug(Handle h) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    detachLocked(r, h);
}

std::vector<Setup> controlLog() {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    return r.controlLog;
}

void clearControlLog() {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    r.controlLog.clear();
}

void setTtyList(std::vector<TtyNode> nodes) {
    Registry& r = reg();
    std::lock_guard<std::mutex> lock(r.m);
    r.simTtys = std::move(nodes);
}

}  // namespace sim

}  // namespace pf::usb
