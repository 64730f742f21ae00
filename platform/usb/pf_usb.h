// Our layer over the platform's USB device framework: stable device handles,
// descriptions read without opening the device, opened devices with control
// transfers, tty nodes of USB serial functions, and arrival and removal watches
// delivered on the watching thread's run loop.
//
// Two backends: the system's (libusb with udev, the default) and an in-process
// simulated bus whose devices tests plug and unplug at run time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pf::usb {

// Stable for as long as the device stays attached; never reused. 0 = none.
using Handle = uint32_t;

// Result codes of the layer: 0 or one of these (the numbers libusb uses).
enum : int {
    kSuccess = 0,
    kErrIo = -1,
    kErrInvalidParam = -2,
    kErrAccess = -3,
    kErrNoDevice = -4,
    kErrNotFound = -5,
    kErrBusy = -6,
    kErrTimeout = -7,
    kErrOverflow = -8,
    kErrPipe = -9,
    kErrInterrupted = -10,
    kErrNoMem = -11,
    kErrNotSupported = -12,
    kErrOther = -99,
};
// The layer's own name of a code, or null when the code is not one of the layer's.
const char* errorName(int code);

// Speed codes as the library reports them.
enum : uint8_t { kSpeedLow = 0, kSpeedFull = 1, kSpeedHigh = 2, kSpeedSuper = 3 };

struct Description {
    bool readable = false;  // false: the device's attributes could not be read
    std::string name;       // product text, or "Unknown"
    uint8_t bus = 0;
    std::vector<uint8_t> ports;  // port chain from the root hub, 1-based
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint8_t speed = 0;
    uint8_t protocol = 0;
    std::string vendorName;
    std::string productName;
    std::string serial;
};

// bus << 24, then the port chain as 1-based nibbles from bit 20 downwards; a port
// above 15 or a chain longer than 6 gives 0.
uint32_t locationId(const Description& d);

// ------------------------------------------------------------ backend choice

// Switches the whole process to the simulated bus (true) or back to the system's.
// Meant for tests; handles of the other backend become unknown.
void useSimulated(bool simulated);
bool isSimulated();

// ------------------------------------------------------------ registry

// Every attached device, each handle retained for the caller (release each).
std::vector<Handle> list();
void retain(Handle h);
void release(Handle h);
// false for an unknown handle; an unreadable device gives true with readable false.
bool describe(Handle h, Description& out);
bool isAttached(Handle h);

// tty node of the device's own serial function (CDC ACM first), "" when it has none.
std::string ttyOf(Handle h);

// One serial tty of the system: its node or a /dev/serial/by-id link to it, and
// the kernel's name of the tty ("ttyUSB0").
struct TtyNode {
    std::string path;
    std::string baseName;
};
// Every serial tty: udev's tty nodes that sit on a hardware device, then the
// by-id links. On the simulated bus, the list set with sim::setTtyList.
std::vector<TtyNode> ttyList();

// ------------------------------------------------------------ opened devices

struct Setup {
    uint8_t bmRequestType;
    uint8_t bRequest;
    uint16_t wValue;
    uint16_t wIndex;
    uint16_t wLength;
};

class Device {
public:
    virtual ~Device() = default;
    virtual int configurationCount() = 0;
    // Raw configuration descriptor (wTotalLength bytes as the device gives them).
    virtual int configDescriptor(int index, std::vector<uint8_t>& out) = 0;
    // Makes the interface usable for control requests: a kernel HID driver is
    // detached; a communications interface keeps its driver (and its tty).
    virtual int claimInterface(uint8_t number, uint8_t interfaceClass) = 0;
    // Bytes transferred, or a negative code.
    virtual int control(const Setup& setup, uint8_t* data, unsigned timeoutMs) = 0;
};

std::unique_ptr<Device> open(Handle h, int* error);

// ------------------------------------------------------------ watches

using WatchId = uint64_t;  // 0 = no watch

// Calls `fn` on the calling thread's run loop for each later arrival of a device
// with these ids (0xFFFF: any). The handle is valid for the call; retain it to keep
// it. Devices attached now are returned in `present` (retained for the caller),
// taken atomically with the registration so none is missed or reported twice.
WatchId watchArrival(uint16_t vendorId, uint16_t productId, std::function<void(Handle)> fn,
                     std::vector<Handle>* present);

// Calls `fn` once on the calling thread's run loop when the device goes. 0 when
// the device is already gone.
WatchId watchRemoval(Handle h, std::function<void()> fn);

// After this returns the watch calls nothing more, closures already posted
// included (they find the watch gone). A call running on another thread at that
// moment is not waited for.
void cancelWatch(WatchId id);

// ------------------------------------------------------------ simulated bus

namespace sim {

struct DeviceSpec {
    Description desc;                            // readable = false models an unreadable device
    std::vector<std::vector<uint8_t>> configs;  // raw configuration descriptors
    bool openable = true;
    std::string tty;                             // e.g. a pty slave path
    // Models the board: bytes transferred or a negative code. For device-to-host
    // requests `data` has wLength bytes to fill.
    std::function<int(const Setup&, uint8_t* data)> control;
};

// Attaches a device; its handle. Runs arrival watches (posts to their loops).
Handle plug(DeviceSpec spec);
// Detaches it; removal watches are posted.
void unplug(Handle h);
// Every control request the simulated devices received, in order.
std::vector<Setup> controlLog();
void clearControlLog();
// The list ttyList gives while the simulated bus is in use.
void setTtyList(std::vector<TtyNode> nodes);

}  // namespace sim

}  // namespace pf::usb
