// The framework's serial port on a pseudo-terminal: the test plays the instrument
// on the master side; the port finds the slave through the simulated tty listing.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ZelkSerialPort.h"
#include "ZelkTypeDef.h"
#include "net_test_util.h"
#include "nk_serial.h"
#include "nk_test_util.h"
#include "pty_test_util.h"
#include "usb/pf_usb.h"

namespace {

class ZelkSerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        pf::usb::useSimulated(true);
        pf::usb::sim::setTtyList({{"/dev/ttyS0", "ttyS0"}, {pty.path(), "pty"}});
    }
    void TearDown() override {
        ZSRP_Delete(&port);
        pf::usb::sim::setTtyList({});
    }
    // Opens the pty at 115200 8N1 unless told otherwise.
    void open(int format = 0, UInt16 bufferSize = 64, UInt8 timeoutSec = 1) {
        port = ZSRP_Create(nullptr, pty.path().c_str(), 115200, format, bufferSize, timeoutSec);
        ASSERT_NE(port, nullptr);
    }
    termios lineSettings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(pty.slave(), &t), 0);
        return t;
    }

    nktest::PtyPair pty;
    iZelk_SerialPort* port = nullptr;
};

TEST_F(ZelkSerialPort, CreateFindsThePathAndRefusesWhatItCannotOpen) {
    EXPECT_EQ(ZSRP_Create(nullptr, "no-such-tty", 9600, 0, 64, 1), nullptr);
    EXPECT_EQ(ZSRP_Create(nullptr, nullptr, 9600, 0, 64, 1), nullptr);
    EXPECT_EQ(ZSRP_Create(nullptr, pty.path().c_str(), 9600, 0, 0, 1), nullptr);  // no buffer
    EXPECT_EQ(ZSRP_Create(nullptr, pty.path().c_str(), 12345, 0, 64, 1), nullptr);  // no such speed
    // The first listed path that contains the pattern is the one opened; one that cannot be
    // opened fails creation rather than moving on.
    pf::usb::sim::setTtyList({{"/nonexistent/ttyS0", "ttyS0"}, {pty.path(), "pty"}});
    EXPECT_EQ(ZSRP_Create(nullptr, "tty", 9600, 0, 64, 1), nullptr);

    open(0, 64, 3);
    EXPECT_EQ(port->path, pty.path());
    EXPECT_EQ(port->name, pty.path());
    EXPECT_EQ(ZSRP_GetReadTimeOutMilliSec(port), 3000u);
    ZSRP_SetReadTimeOutMilliSec(port, 25);
    EXPECT_EQ(ZSRP_GetReadTimeOutMilliSec(port), 25u);
    EXPECT_EQ(ZSRP_GetReadTimeOutMilliSec(nullptr), 0u);
}

TEST_F(ZelkSerialPort, LongPathIsKeptWhole) {
    nktest::TempDir dir;
    std::string folder = dir.path().string();
    while (folder.size() < 300) folder += "/deep-folder-name-to-make-the-path-long";
    std::filesystem::create_directories(folder);
    const std::string link = folder + "/ttyLONG";
    ASSERT_EQ(symlink(pty.path().c_str(), link.c_str()), 0);
    pf::usb::sim::setTtyList({{link, "ttyLONG"}});
    port = ZSRP_Create(nullptr, "ttyLONG", 9600, 0, 64, 1);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->path, link);
    EXPECT_GT(port->path.size(), 300u);
}

// The format table on a line that starts at 8 data bits, 1 stop bit, no parity, with
// the translations a fresh terminal has; what a format does not name stays as found.
TEST(ZelkSerialPortSettings, FormatTable) {
    struct Case {
        int format;
        tcflag_t startSize, size, parity, stop;
    } cases[] = {
        {0, CS8, CS8, 0, 0},
        {1, CS8, CS8, PARENB | PARODD, 0},
        {1, CS7, CS7, PARENB | PARODD, 0},
        {2, CS8, CS8, PARENB, 0},
        {3, CS8, CS7, PARENB, 0},
        {4, CS8, CS7, PARENB, CSTOPB},
        {9, CS7, CS7, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.format);
        termios t{};
        t.c_cflag = c.startSize | PARENB | HUPCL;
        t.c_iflag = ICRNL | IXON | ISTRIP | INLCR;
        t.c_lflag = ICANON | ECHO | ISIG;
        t.c_oflag = OPOST;
        ASSERT_EQ(ZSRP_ApplyLineSettings(&t, 115200, c.format), kZErr_OK);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD), c.parity);
        EXPECT_EQ(t.c_cflag & CSTOPB, c.stop);
        EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL | HUPCL), CREAD | CLOCAL | HUPCL);
        EXPECT_EQ(t.c_iflag, 0u);  // input flags too, or binary frames change
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 1);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));
    }
    termios t{};
    cfsetospeed(&t, B9600);
    EXPECT_EQ(ZSRP_ApplyLineSettings(&t, 0, 0), kZErr_OK);  // 0 keeps the speed
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(ZSRP_ApplyLineSettings(&t, 12345, 0), kZErr_deviceCtrlError);
}

// On the terminal: what a pseudo-terminal keeps of the settings is there after
// Create (it forces 8 data bits and no parity), and Delete puts back what was found.
TEST_F(ZelkSerialPort, CreateSetsTheLineAndDeleteRestoresIt) {
    termios start = lineSettings();
    start.c_iflag |= ICRNL | IXON | ISTRIP;
    start.c_lflag |= ICANON | ECHO | ISIG;
    start.c_oflag |= OPOST;
    start.c_cflag &= ~CSTOPB;
    cfsetospeed(&start, B9600);
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &start), 0);
    const termios before = lineSettings();

    open(4);
    const termios t = lineSettings();
    EXPECT_EQ(t.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));
    EXPECT_EQ(t.c_iflag & (ICRNL | IXON | ISTRIP), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 1);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B115200));

    ZSRP_Delete(&port);
    EXPECT_EQ(port, nullptr);
    const termios after = lineSettings();
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B9600));
    ZSRP_Delete(&port);  // a cleared handle is nothing to do
    ZSRP_Delete(nullptr);
}

TEST_F(ZelkSerialPort, EveryByteValueCrossesUnchangedBothWays) {
    open(0, 512);
    std::vector<UInt8> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<UInt8>(i);

    ASSERT_EQ(ZSRP_WriteByte(port, all.data(), 256), kZErr_OK);
    const std::string got = pty.receive(256, 5000);
    ASSERT_EQ(got.size(), 256u);
    EXPECT_EQ(std::memcmp(got.data(), all.data(), 256), 0);

    ASSERT_TRUE(pty.send(all.data(), all.size()));
    UInt8 buf[400];
    UInt32 size = sizeof(buf), index = 99;
    const UInt8 tail[] = {0xFE, 0xFF};
    ASSERT_EQ(ZSRP_ByteRead(port, tail, 2, buf, &size, &index), kZErr_OK);
    ASSERT_EQ(size, 256u);
    EXPECT_EQ(index, 254u);
    EXPECT_EQ(std::memcmp(buf, all.data(), 256), 0);
}

TEST_F(ZelkSerialPort, ReadEndsAtATerminatorSplitAcrossReads) {
    open();
    ZSRP_SetReadTimeOutMilliSec(port, 5000);
    ASSERT_TRUE(pty.send("ABC\r"));
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // lets the first part be read alone
        pty.send("\n");
    });
    char buf[64];
    UInt32 size = sizeof(buf);
    EXPECT_EQ(ZSRP_Read(port, "\r\n", buf, &size), kZErr_OK);
    peer.join();
    EXPECT_EQ(std::string(buf, size), "ABC\r\n");
}

// Time-outs, a full buffer and a failing line, for each read.
TEST_F(ZelkSerialPort, ReadOutcomes) {
    open(0, 64);
    char buf[64];
    UInt32 size;

    // Nothing comes: a time-out, not a read error (the line only said "not yet").
    ZSRP_SetReadTimeOutMilliSec(port, 30);
    size = sizeof(buf);
    EXPECT_EQ(ZSRP_Read(port, "\n", buf, &size), kZErr_deviceReadTimeout);
    EXPECT_EQ(size, 0u);
    ASSERT_TRUE(pty.send("part"));
    ASSERT_TRUE(nettest::waitFor([&] {
        int n = 0;
        return ioctl(pty.slave(), FIONREAD, &n) == 0 && n == 4;
    }));
    size = sizeof(buf);
    EXPECT_EQ(ZSRP_ReadToExpect(port, "OK\r\n", buf, &size), kZErr_deviceReadTimeout);
    EXPECT_EQ(std::string(buf, size), "part");  // what came is still returned

    // A time-out of 0: one round, success without the terminator.
    ZSRP_SetReadTimeOutMilliSec(port, 0);
    ASSERT_TRUE(pty.send("xy"));
    ASSERT_TRUE(nettest::waitFor([&] {
        int n = 0;
        return ioctl(pty.slave(), FIONREAD, &n) == 0 && n == 2;
    }));
    size = sizeof(buf);
    EXPECT_EQ(ZSRP_Read(port, "\n", buf, &size), kZErr_OK);
    EXPECT_EQ(std::string(buf, size), "xy");

    // A reply that fills the buffer exactly.
    ZSRP_SetReadTimeOutMilliSec(port, 5000);
    ASSERT_TRUE(pty.send("0123456789"));
    size = 10;
    EXPECT_EQ(ZSRP_Read(port, "\n", buf, &size), kZErr_insufficientBufferSize);
    EXPECT_EQ(size, 10u);
    ASSERT_TRUE(pty.send("0123456789"));
    size = 10;  // room for nine and the zero
    EXPECT_EQ(ZSRP_ReadToExpect(port, "\n", buf, &size), kZErr_insufficientBufferSize);
    EXPECT_EQ(size, 9u);
    EXPECT_EQ(buf[9], '\0');
    ZSRP_Flush(port);

    // Null arguments.
    size = sizeof(buf);
    EXPECT_EQ(ZSRP_Read(nullptr, "\n", buf, &size), kZErr_invalidParam);
    EXPECT_EQ(ZSRP_Read(port, "\n", nullptr, &size), kZErr_invalidParam);
    EXPECT_EQ(ZSRP_ReadToExpect(port, nullptr, buf, &size), kZErr_invalidParam);
    UInt32 index = 0;
    EXPECT_EQ(ZSRP_ByteRead(port, nullptr, 1, reinterpret_cast<UInt8*>(buf), &size, &index), kZErr_invalidParam);
    EXPECT_EQ(ZSRP_Write(port, nullptr), kZErr_invalidParam);
    EXPECT_EQ(ZSRP_Flush(nullptr), kZErr_invalidParam);
}

TEST_F(ZelkSerialPort, ReadFailsWhenTheLineGoes) {
    auto line = std::make_unique<nktest::PtyPair>();
    pf::usb::sim::setTtyList({{line->path(), "pty"}});
    port = ZSRP_Create(nullptr, line->path().c_str(), 9600, 0, 64, 1);
    ASSERT_NE(port, nullptr);
    line.reset();  // the far end hangs up
    char buf[16];
    UInt32 size = sizeof(buf);
    EXPECT_EQ(ZSRP_Read(port, "\n", buf, &size), kZErr_deviceReadError);
}

TEST_F(ZelkSerialPort, ReadToExpectStopsAtTheEndingByteByByte) {
    open();
    ZSRP_SetReadTimeOutMilliSec(port, 5000);
    std::thread peer([&] {
        for (const char* piece : {"O", "K", "\r", "\nNEXT"}) {
            pty.send(piece);
            std::this_thread::sleep_for(std::chrono::milliseconds(3));  // one byte per round
        }
    });
    char buf[32];
    UInt32 size = sizeof(buf);
    EXPECT_EQ(ZSRP_ReadToExpect(port, "OK\r\n", buf, &size), kZErr_OK);
    peer.join();
    EXPECT_EQ(std::string(buf), "OK\r\n");
    EXPECT_EQ(size, 4u);
    // What followed the ending is still on the line.
    size = sizeof(buf);
    EXPECT_EQ(ZSRP_Read(port, "T", buf, &size), kZErr_OK);
    EXPECT_EQ(std::string(buf, size), "NEXT");
}

TEST_F(ZelkSerialPort, ByteReadMatchesInOrderWithBytesBetween) {
    open();
    ZSRP_SetReadTimeOutMilliSec(port, 5000);
    const UInt8 sent[] = {0xAA, 0x01, 0x55};
    ASSERT_TRUE(pty.send(sent, sizeof(sent)));
    const UInt8 want[] = {0xAA, 0x55};
    UInt8 buf[16];
    UInt32 size = sizeof(buf), index = 99;
    EXPECT_EQ(ZSRP_ByteRead(port, want, 2, buf, &size, &index), kZErr_OK);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(size, 3u);

    // Out of order is no match: {55, AA} never ends in AA-then-55.
    ZSRP_SetReadTimeOutMilliSec(port, 30);
    const UInt8 reversed[] = {0x55, 0xAA};
    ASSERT_TRUE(pty.send(reversed, sizeof(reversed)));
    size = sizeof(buf);
    EXPECT_EQ(ZSRP_ByteRead(port, want, 2, buf, &size, &index), kZErr_deviceReadTimeout);
    EXPECT_EQ(size, 2u);
}

TEST_F(ZelkSerialPort, WriteFormatsAndRefusesAnOverlongText) {
    open(0, 16);
    EXPECT_EQ(ZSRP_Write(port, "V%.3f\r", 1.5), kZErr_OK);
    EXPECT_EQ(pty.receive(7, 5000), "V1.500\r");
    // 16 characters do not fit 16 bytes with the zero: nothing is sent.
    EXPECT_EQ(ZSRP_Write(port, "%s", "0123456789ABCDEF"), kZErr_insufficientBufferSize);
    EXPECT_EQ(pty.receive(1, 30), "");
    EXPECT_EQ(port->Write("%d", 42), kZErr_OK);  // through the table
    EXPECT_EQ(pty.receive(2, 5000), "42");
}

TEST_F(ZelkSerialPort, WriteConfirmReadsTheWholeReply) {
    open(0, 64);
    ZSRP_SetReadTimeOutMilliSec(port, 5000);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        // Answers each command line: a reply longer than eight bytes, then a refusal.
        int n = 0;
        while (!stop) {
            const std::string cmd = pty.receive(5, 20);
            if (cmd.size() < 5) continue;
            pty.send(n++ == 0 ? "status: all good, ok\r\n" : "ERR 3\r\n");
        }
    });
    EXPECT_EQ(ZSRP_WriteConfirm(port, "\r\n", "OK", "CMD1\r"), kZErr_OK);
    EXPECT_EQ(port->WriteConfirm("\r\n", "OK", "CMD%d\r", 2), kZErr_deviceCmdFailed);
    stop = true;
    peer.join();
    EXPECT_EQ(ZSRP_WriteConfirm(port, "\r\n", nullptr, "X"), kZErr_invalidParam);
}

std::atomic<int> g_bits{0};
std::atomic<bool> g_failIoctl{false};
int fakeModem(int, unsigned long request, int* bits) {
    if (g_failIoctl) return -1;
    if (request == TIOCMGET) *bits = g_bits;
    if (request == TIOCMSET) g_bits = *bits;
    return 0;
}

TEST_F(ZelkSerialPort, DtrThroughTheModemSeam) {
    open();
    nkSerial_setModemIoctl(fakeModem);
    g_bits = TIOCM_RTS;
    EXPECT_EQ(port->SetDTR(true), kZErr_OK);
    EXPECT_EQ(g_bits, TIOCM_RTS | TIOCM_DTR);
    EXPECT_EQ(ZSRP_SetDTR(port, false), kZErr_OK);
    EXPECT_EQ(g_bits, TIOCM_RTS);
    g_failIoctl = true;
    EXPECT_EQ(ZSRP_SetDTR(port, true), kZErr_deviceCtrlError);
    g_failIoctl = false;
    nkSerial_setModemIoctl(nullptr);
    EXPECT_EQ(ZSRP_SetDTR(nullptr, true), kZErr_invalidParam);
}

}  // namespace
