// Serial port over a real pseudo-terminal: the test plays the device on the master.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "nk_serial.h"
#include "nk_test_util.h"
#include "nk_utils.h"
#include "pty_test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

std::string hex(const std::string& bytes) {
    static const char d[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += d[c >> 4];
        out += d[c & 0xF];
    }
    return out;
}

// CRC-16/MODBUS as a second, independent implementation computes it.
std::string pythonModbusCrc(const std::string& bytes) {
    const std::string cmd = std::string(NK_PYTHON) +
                            " -c \"import crcmod.predefined;f=crcmod.predefined.mkCrcFun('modbus');"
                            "c=f(bytes.fromhex('" + hex(bytes) + "'));print('%02X%02X'%(c&255,c>>8))\"";
    int status = 0;
    std::string out = nktest::runCommand(cmd, &status);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return status == 0 ? out : "";
}

std::string withCrc(std::string frame) {
    const u16 crc = nkUtil_crc16(frame.data(), frame.size());
    frame += static_cast<char>(crc & 0xFF);
    frame += static_cast<char>(crc >> 8);
    return frame;
}

class SerialPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        port = CNK_serial::create(pty.path().c_str(), 115200, k_nkSerialFormat_8N1, 1);
        ASSERT_NE(port, nullptr);
        ASSERT_EQ(port->Open(), 0);
    }
    void TearDown() override { delete port; }

    nktest::PtyPair pty;
    CNK_serial* port = nullptr;
};

TEST(Serial, FactoriesRefuseBadArguments) {
    EXPECT_EQ(CNK_serial::create("/dev/null", 0, k_nkSerialFormat_8N1, 1), nullptr);
    EXPECT_EQ(CNK_serial::create("/dev/null", 9600, static_cast<t_nkSerialFormat>(9), 1), nullptr);
    EXPECT_EQ(CNK_serial::create("/dev/null", 9600, k_nkSerialFormat_8N1, 0), nullptr);
    EXPECT_EQ(CNK_serial::create(static_cast<const char*>(nullptr), 9600, k_nkSerialFormat_8N1, 1), nullptr);
    EXPECT_EQ(CNK_serial::create(static_cast<CNK_usbDev*>(nullptr), 9600, k_nkSerialFormat_8N1, 1, nullptr), nullptr);
}

TEST(Serial, OpenFailsOnAMissingNodeAndLeavesThePortClosed) {
    CNK_serial* p = CNK_serial::create("/nonexistent/tty", 9600, k_nkSerialFormat_8N1, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Open(), kNKErr_serialOpenError);
    u8 b = 0;
    EXPECT_EQ(p->Write(&b, 1), kNKErr_invalidCondition);
    delete p;
}

struct Fmt {
    t_nkSerialFormat f;
    tcflag_t size;
    bool parity, odd, twoStops;
};
const Fmt kFormats[] = {
    {k_nkSerialFormat_8N1, CS8, false, false, false}, {k_nkSerialFormat_8O1, CS8, true, true, false},
    {k_nkSerialFormat_8E1, CS8, true, false, false},  {k_nkSerialFormat_8N2, CS8, false, false, true},
    {k_nkSerialFormat_8O2, CS8, true, true, true},    {k_nkSerialFormat_8E2, CS8, true, false, true},
    {k_nkSerialFormat_7N1, CS7, false, false, false}, {k_nkSerialFormat_7O1, CS7, true, true, false},
    {k_nkSerialFormat_7E1, CS7, true, false, false},
};
constexpr tcflag_t kRawInputOff = IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK;

// Attributes as a cooked line has them, two stop bits and 7-bit odd parity included.
termios cookedLine() {
    termios t{};
    t.c_iflag = kRawInputOff;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | HUPCL;
    t.c_lflag = ECHO | ECHOE | ISIG | ICANON | IEXTEN;
    t.c_cc[VMIN] = 1;
    return t;
}

TEST(Serial, NineFormatsBuildTheirFrameFlags) {
    for (const Fmt& f : kFormats) {
        SCOPED_TRACE(static_cast<int>(f.f));
        termios t = cookedLine();
        ASSERT_EQ(nkSerial_rawAttributes(&t, 19200, f.f), 0);
        EXPECT_EQ(t.c_cflag & CSIZE, f.size);
        EXPECT_EQ((t.c_cflag & PARENB) != 0, f.parity);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, f.odd);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, f.twoStops);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_EQ(t.c_iflag & kRawInputOff, 0u);
        EXPECT_EQ(t.c_lflag & (ECHO | ECHOE | ISIG | ICANON), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 1);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
        EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200));
    }
    termios t = cookedLine();
    EXPECT_EQ(nkSerial_rawAttributes(&t, 12345, k_nkSerialFormat_8N1), kNKErr_invalidParam);
}

TEST(Serial, OpenAppliesTheFormatToTheLineAndCloseRestoresIt) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    termios start{};
    ASSERT_EQ(tcgetattr(pty.slave(), &start), 0);
    start.c_iflag |= IXON | IXOFF | ICRNL | INLCR | ISTRIP | BRKINT;
    start.c_cflag |= CSTOPB;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &start), 0);
    for (const Fmt& f : kFormats) {
        SCOPED_TRACE(static_cast<int>(f.f));
        CNK_serial* p = CNK_serial::create(pty.path().c_str(), 19200, f.f, 1);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->Open(), 0);
        // Read back from the line itself. A pseudo-terminal keeps every flag but
        // the character size and the parity enable, which its driver pins to 8N.
        termios t{};
        ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, f.odd);
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, f.twoStops);
        EXPECT_EQ(t.c_iflag & kRawInputOff, 0u);
        EXPECT_EQ(t.c_lflag & (ECHO | ECHOE | ISIG | ICANON), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 1);
        EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200));
        delete p;
        termios back{};
        ASSERT_EQ(tcgetattr(pty.slave(), &back), 0);
        EXPECT_NE(back.c_iflag & IXON, 0u);
        EXPECT_NE(back.c_cflag & CSTOPB, 0u);
        EXPECT_NE(back.c_lflag & ICANON, 0u);
    }
}

TEST_F(SerialPty, EveryByteValueCrossesUnchangedBothWays) {
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    std::vector<u8> out(all.begin(), all.end());
    ASSERT_EQ(port->Write(out.data(), static_cast<u32>(out.size())), 0);
    EXPECT_EQ(pty.receive(256, 2000), all);

    ASSERT_TRUE(pty.send(all));
    std::vector<u8> in(256);
    u32 n = 256;
    ASSERT_EQ(port->Read(in.data(), &n, 2000), 0);
    ASSERT_EQ(n, 256u);
    EXPECT_EQ(std::string(in.begin(), in.end()), all);
}

TEST_F(SerialPty, ReadsAndTimeouts) {
    struct Case {
        const char* what;
        char kind;          // 'b' bytes, 't' any text, 'd' delimiter
        std::string feed;   // sent by the peer before the read
        u32 capacity;
        u32 timeoutMs;
        u16 rc;
        u32 count;
        long long minMs, maxMs;
    };
    const Case cases[] = {
        {"bytes, time-out 0 waits 100 ms", 'b', "", 10, 0, kNKErr_serialReadTimeout, 0, 90, 1500},
        {"bytes, 3 of 10 by the time-out is a success", 'b', "abc", 10, 200, 0, 3, 180, 1500},
        {"bytes, exact count returns at once", 'b', "0123456789", 10, 5000, 0, 10, 0, 1500},
        {"any text returns what has come", 't', "hello", 64, 5000, 0, 5, 0, 1500},
        {"any text, nothing", 't', "", 64, 150, kNKErr_serialReadTimeout, 0, 140, 1500},
        {"delimiter found", 'd', "OK\r\nrest", 64, 5000, 0, 4, 0, 1500},
        {"delimiter, capacity 8 filled", 'd', "ABCDEFGHIJ", 8, 5000, kNKErr_invalidBufferSize, 8, 0, 1500},
        {"delimiter, time-out with a part", 'd', "OK\r", 64, 200, kNKErr_serialReadTimeout, 3, 180, 1500},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(port->Flush(3), 0);
        ASSERT_TRUE(pty.send(c.feed));
        std::vector<char> buf(c.capacity + 1, '#');
        u32 n = c.capacity;
        const auto t0 = Clock::now();
        u16 rc;
        if (c.kind == 'b') rc = port->Read(reinterpret_cast<u8*>(buf.data()), &n, c.timeoutMs);
        else if (c.kind == 't') rc = port->Read(buf.data(), &n, c.timeoutMs);
        else rc = port->Read(buf.data(), &n, const_cast<char*>("\r\n"), c.timeoutMs, 0);
        const long long ms = msSince(t0);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(n, c.count);
        EXPECT_EQ(std::string(buf.data(), n), c.feed.substr(0, n));
        EXPECT_GE(ms, c.minMs);
        EXPECT_LE(ms, c.maxMs);
        if (c.kind == 'd' && rc == 0) {
            EXPECT_EQ(buf[n], '\0');
        }
    }
    // The delimiter read took only its own line: the rest is still there.
    u32 n = 16;
    char rest[17] = {};
    ASSERT_EQ(port->Flush(3), 0);
    ASSERT_TRUE(pty.send("L1\nL2\n"));
    ASSERT_EQ(port->Read(rest, &n, const_cast<char*>("\n"), 1000, 0), 0);
    EXPECT_STREQ(rest, "L1\n");
    n = 16;
    ASSERT_EQ(port->Read(rest, &n, const_cast<char*>("\n"), 1000, 0), 0);
    EXPECT_STREQ(rest, "L2\n");
}

TEST_F(SerialPty, ArgumentAndStateErrors) {
    u8 b[8];
    u32 n = 8;
    EXPECT_EQ(port->Read(static_cast<u8*>(nullptr), &n, 100), kNKErr_invalidPointer);
    EXPECT_EQ(port->Read(b, nullptr, 100), kNKErr_invalidPointer);
    n = 0;
    EXPECT_EQ(port->Read(b, &n, 100), kNKErr_invalidParam);
    n = 8;
    EXPECT_EQ(port->Read(reinterpret_cast<char*>(b), &n, const_cast<char*>(""), 100, 0), kNKErr_invalidParam);
    EXPECT_EQ(port->Flush(4), kNKErr_invalidParam);
    EXPECT_EQ(port->Write(static_cast<u8*>(nullptr), 1), kNKErr_invalidPointer);
    // Open on an open port refuses and closes it.
    EXPECT_EQ(port->Open(), kNKErr_serialAlreadyOpen);
    EXPECT_EQ(port->Write(b, 1), kNKErr_invalidCondition);
    n = 8;
    EXPECT_EQ(port->Read(b, &n, 100), kNKErr_invalidCondition);
    EXPECT_EQ(port->clear_readBuffer(), kNKErr_invalidCondition);
    // And it opens again.
    EXPECT_EQ(port->Open(), 0);
    EXPECT_EQ(port->clear_readBuffer(), 0);
}

TEST_F(SerialPty, ModbusFramesAreTheDocumentedBytes) {
    u8 data[] = {0x00, 0x00, 0x00, 0x0A};
    ASSERT_EQ(port->Write_modBus_rtu(0x01, 0x03, data, 4), 0);
    const std::string rtu = pty.receive(8, 2000);
    EXPECT_EQ(hex(rtu), "01030000000AC5CD");
    EXPECT_EQ(pythonModbusCrc(rtu.substr(0, 6)), hex(rtu.substr(6)));

    ASSERT_EQ(port->Write_modBus_ascii(0x01, 0x03, data, 4), 0);
    EXPECT_EQ(pty.receive(19, 2000), ":01030000000AC5CD\r\n");
}

TEST_F(SerialPty, ModbusReplyFromAPeerWithGoodAndBadCrc) {
    // The peer answers each read-registers request with one register, 0x002A.
    std::atomic<bool> corrupt{false};
    std::thread peer([&] {
        for (int i = 0; i < 2; ++i) {
            const std::string req = pty.receive(8, 3000);
            if (req.size() != 8) return;
            std::string reply = withCrc(std::string("\x01\x03\x02\x00\x2A", 5));
            if (corrupt) reply.back() ^= 0x55;
            pty.send(reply);
        }
    });
    u8 data[] = {0x00, 0x00, 0x00, 0x01};
    u8 reply[7];
    ASSERT_EQ(port->Write_modBus_rtu(0x01, 0x03, data, 4), 0);
    u32 n = 7;
    EXPECT_EQ(port->Read_modBus_rtu(reply, &n, 2000), 0);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(reply[3], 0x00);
    EXPECT_EQ(reply[4], 0x2A);
    EXPECT_EQ(pythonModbusCrc(std::string(reinterpret_cast<char*>(reply), 5)),
                  hex(std::string(reinterpret_cast<char*>(reply) + 5, 2)));

    corrupt = true;
    ASSERT_EQ(port->Write_modBus_rtu(0x01, 0x03, data, 4), 0);
    n = 7;
    EXPECT_EQ(port->Read_modBus_rtu(reply, &n, 2000), kNKErr_fixtModBus_crc_error);
    peer.join();

    // A short reply is a time-out with the count so far; the hexadecimal reply comes back as text.
    ASSERT_TRUE(pty.send(std::string("\x01\x03", 2)));
    n = 7;
    EXPECT_EQ(port->Read_modBus_rtu(reply, &n, 150), kNKErr_serialReadTimeout);
    EXPECT_EQ(n, 2u);
    ASSERT_TRUE(pty.send(":0103022A\r\n"));
    char text[64];
    n = sizeof(text);
    EXPECT_EQ(port->Read_modBus_ascii(text, &n, 1000), 0);
    EXPECT_STREQ(text, ":0103022A\r\n");
    n = 3;
    EXPECT_EQ(port->Read_modBus_rtu(reply, &n, 100), kNKErr_invalidParam);
    EXPECT_EQ(port->Read_modBus_ascii(text, &n, 100), kNKErr_invalidParam);
}

TEST_F(SerialPty, EverySendStaysWithinTheSendBuffer) {
    // 1 KiB send buffer.
    std::vector<u8> big(2048, 0x11);
    EXPECT_EQ(port->Write(big.data(), 1025), kNKErr_invalidBufferSize);
    EXPECT_EQ(port->Write_modBus_rtu(1, 0x10, big.data(), 1021), kNKErr_invalidBufferSize);
    EXPECT_EQ(port->Write_modBus_ascii(1, 0x10, big.data(), 507), kNKErr_invalidBufferSize);
    EXPECT_EQ(port->Write_modBus_rtu(1, 0x10, big.data(), 0), kNKErr_invalidParam);
    std::string longText(1024, 'x');
    EXPECT_EQ(port->Write(const_cast<char*>("%s"), longText.c_str()), kNKErr_invalidBufferSize);
    EXPECT_EQ(pty.receive(1, 100), "");  // nothing of the refused sends went out

    // The largest frames that fit are sent whole.
    ASSERT_EQ(port->Write_modBus_rtu(1, 0x10, big.data(), 1020), 0);
    EXPECT_EQ(pty.receive(1024, 3000).size(), 1024u);
    ASSERT_EQ(port->Write_modBus_ascii(1, 0x10, big.data(), 506), 0);
    const std::string text = pty.receive(2 * 506 + 11, 3000);
    EXPECT_EQ(text.size(), 2u * 506 + 11);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    ASSERT_EQ(port->Write(const_cast<char*>("V=%d;"), 42), 0);
    EXPECT_EQ(pty.receive(5, 2000), "V=42;");
}

// A modem whose lines the test plays: the pty itself has none.
int g_lines = 0;
int fakeModem(int, unsigned long request, int* bits) {
    if (request == TIOCMGET) *bits = g_lines;
    else if (request == TIOCMSET) g_lines = *bits;
    else return -1;
    return 0;
}

TEST_F(SerialPty, ModemLines) {
    EXPECT_EQ(port->dtr_get(), -1);
    EXPECT_EQ(port->rts_set(true), kNKErr_serialCtrlError);

    nkSerial_setModemIoctl(fakeModem);
    g_lines = TIOCM_CTS | TIOCM_DSR;
    EXPECT_EQ(port->cts_get(), 1);
    EXPECT_EQ(port->dsr_get(), 1);
    EXPECT_EQ(port->dtr_get(), 0);
    EXPECT_EQ(port->dtr_set(true), 0);
    EXPECT_EQ(port->rts_set(true), 0);
    EXPECT_EQ(g_lines, TIOCM_CTS | TIOCM_DSR | TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(port->cts_set(false), 0);
    EXPECT_EQ(g_lines, TIOCM_DSR | TIOCM_DTR | TIOCM_RTS);
    EXPECT_EQ(port->rts_get(), 1);
    nkSerial_setModemIoctl(nullptr);
    EXPECT_EQ(port->rts_get(), -1);
}

TEST(Serial, APortOpenedOnDescriptorZeroStillWorks) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    const int savedIn = dup(0);
    ASSERT_GE(savedIn, 0);
    close(0);
    CNK_serial* p = CNK_serial::create(pty.path().c_str(), 9600, k_nkSerialFormat_8N1, 1);
    const u16 rc = p ? p->Open() : 0xFFFF;
    u8 b[2] = {'h', 'i'};
    const u16 wrc = p ? p->Write(b, 2) : 0xFFFF;
    dup2(savedIn, 0);
    close(savedIn);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(wrc, 0);
    EXPECT_EQ(pty.receive(2, 1000), "hi");
    delete p;
}

}  // namespace

// The drain and write helpers report under the operation the caller called.
TEST(SerialReports, HelpersReportUnderTheCallersOperation) {
    nktest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    CNK_serial* port = CNK_serial::create(pty.path().c_str(), 115200, k_nkSerialFormat_8N1, 1);
    ASSERT_NE(port, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(port->clear_readBuffer(), kNKErr_invalidCondition);  // not open yet
    ASSERT_EQ(port->Open(), 0);
    // The port's descriptor made read-only: its writes fail, its drain ends at once.
    int portFd = -1;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const int fd = std::stoi(e.path().filename().string());
        if (fd != pty.slave() && std::filesystem::read_symlink(e.path(), ec).string() == pty.path()) portFd = fd;
    }
    ASSERT_GE(portFd, 0);
    const int readOnly = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    ASSERT_EQ(dup2(readOnly, portFd), portFd);
    close(readOnly);
    u8 bytes[4] = {1, 2, 3, 4};
    EXPECT_EQ(port->Write(bytes, sizeof(bytes)), kNKErr_serialWriteError);
    u8 frame[2] = {0, 1};
    EXPECT_EQ(port->Write_modBus_rtu(1, 3, frame, 2), kNKErr_serialWriteError);
    delete port;
    const std::string text = testing::internal::GetCapturedStderr();
    EXPECT_NE(text.find("CNK_serial::clear_readBuffer()"), std::string::npos) << text;
    EXPECT_NE(text.find("CNK_serial::Write()"), std::string::npos) << text;
    EXPECT_NE(text.find("CNK_serial::Write_modBus_rtu()"), std::string::npos) << text;
    EXPECT_EQ(text.find("drainLocked"), std::string::npos) << text;
    EXPECT_EQ(text.find("writeLocked"), std::string::npos) << text;
}
