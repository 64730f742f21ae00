// Light-sensor packet, files and figures, checked against files and figures made by
// Python (struct, crcmod, numpy) as the second reader and writer.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "nk_error.h"
#include "nk_file.h"
#include "nk_gtest_util.h"
#include "nk_test_util.h"
#include "nk_utils.h"
#include "nk_velora_wend.h"

using nktest::runPython;
using nktest::StderrCapture;
using nktest::TempDir;

namespace {

const std::string kLightData = std::string(NK_TEST_DATA_DIR) + "/light/";

std::vector<double> numbers(const std::string& text) {
    std::istringstream in(text);
    std::vector<double> v;
    double d;
    while (in >> d) v.push_back(d);
    return v;
}

}  // namespace

// ================================================================ identity

TEST(LightSensorId, ChipIdsAndIdentityTexts) {
    const struct {
        u8 dev;
        u8 regs[5];
        u32 chipId;
        const char* eSn;
    } cases[] = {
        {'#', {0xF0, 0x70, 0xDF, 0x12, 0x34}, 0x3FFF1234u, "23-3FFF1234"},
        {'#', {0x0F, 0x8F, 0x20, 0x00, 0x01}, 0x00000001u, "23-00000001"},
        {54, {0x78, 0x56, 0x34, 0x12, 0xFF}, 0x12345678u, "36-12345678"},
        {58, {0x01, 0x00, 0x00, 0x80, 0x00}, 0x80000001u, "3A-80000001"},
        {62, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu, "3E-FFFFFFFF"},
        {36, {0x78, 0x56, 0x34, 0x12, 0xFF}, 0u, "24-00000000"},
    };
    for (const auto& c : cases) {
        const u32 id = nkFom_wend_formatChipID(c.regs, c.dev);
        EXPECT_EQ(id, c.chipId) << int(c.dev);
        char buf[13 + 8];
        EXPECT_EQ(nkFom_wend_formatESerialNumber(c.dev, id, buf, sizeof(buf)), 11);
        EXPECT_STREQ(buf, c.eSn);
    }
}

TEST(LightSensorIdDeathTest, BrokenInvariantsEndTheProcess) {
    char buf[13];
    EXPECT_DEATH(nkFom_wend_formatChipID(nullptr, 54), "Assertion Fail.*\"chipIdRegs\"");
    EXPECT_DEATH(nkFom_wend_formatESerialNumber(54, 1, nullptr, 13), "\"eSnBuff\"");
    EXPECT_DEATH(nkFom_wend_formatESerialNumber(54, 1, buf, 12), "\"eSnBuffLen > 12\"");
}

// ================================================================ P2P factor file

namespace {

// Writes a P2P file with Python's struct and an independent CRC-16/MODBUS.
// args: path n age_days extra_bytes flip_byte(-1 none)
const char* const kWriteP2P = R"PY(
import struct, sys, time, crcmod
path, n, age, extra, flip = sys.argv[1], int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
created = time.time() - 978307200 - age * 86400.0
body = struct.pack('<BfH', 7, created, n)
body += struct.pack('<%df' % n, *[0.5 + i for i in range(n)])
body += struct.pack('<%df' % n, *[-1.25 * i for i in range(n)])
crc = crcmod.predefined.mkCrcFun('modbus')(body)
data = bytearray(body + struct.pack('<H', crc) + b'\0' * extra)
if flip >= 0:
    data[flip] ^= 0x01
open(path, 'wb').write(bytes(data))
)PY";

}  // namespace

TEST(LightSensorP2P, FilesFromPythonLoadOrAreRefused) {
    TempDir dir;
    const std::string path = dir.file("p2p.bin");
    const auto make = [&](int n, double ageDays, int extra, int flip) {
        runPython(dir, kWriteP2P,
                  path + " " + std::to_string(n) + " " + std::to_string(ageDays) + " " + std::to_string(extra) + " " +
                      std::to_string(flip));
    };
    std::vector<float> a{9}, b{9};

    make(0, 0, 0, -1);
    EXPECT_EQ(nktest::readFile(path).size(), 9u);
    EXPECT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), nullptr, a, b), kNKErr_OK);
    EXPECT_TRUE(a.empty());
    EXPECT_TRUE(b.empty());

    make(3, 0, 0, -1);
    ASSERT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), nullptr, a, b), kNKErr_OK);
    EXPECT_EQ(a, (std::vector<float>{0.5f, 1.5f, 2.5f}));
    EXPECT_EQ(b, (std::vector<float>{-0.0f, -1.25f, -2.5f}));

    StderrCapture err;
    make(3, 0, 1, 0);  // one byte too many and a bad CRC: the length is what is reported
    EXPECT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), nullptr, a, b), kNKErr_invalidDataSize);
    make(3, 0, 0, 12);
    EXPECT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), nullptr, a, b), kNKErr_invalidChecksum);
    nktest::writeFile(path, std::string("\x07\0\0\0\0", 5));  // shorter than the head: N is never read
    EXPECT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), nullptr, a, b), kNKErr_invalidDataSize);
    EXPECT_EQ(nkFom_wend_loadP2PFactor(nullptr, dir.file("none.bin").c_str(), nullptr, a, b),
              kNKErr_fileReadFailed);
    const std::string out = err.take();
    EXPECT_NE(out.find("nk_velora_utils.cpp/nkFom_wend_loadP2PFactor() ["), std::string::npos) << out;
    EXPECT_NE(out.find("\"*pCrc==crc\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"dataBuffer!=NULL\""), std::string::npos) << out;
}

TEST(LightSensorP2P, AgeLimit) {
    TempDir dir;
    const std::string path = dir.file("p2p.bin");
    std::vector<float> a, b;
    // The creation time is a float of ~8e8 s: it resolves 64 s, far below the day the
    // cases are apart.
    const struct {
        double ageDays;
        u8 maxAge;
        u16 code;
    } cases[] = {
        {0.0, 5, kNKErr_OK},
        {4.9, 5, kNKErr_OK},   // within the maximum
        {6.0, 5, kNKErr_invalidDataSize},
        {400.0, 0, kNKErr_OK},  // 0: never expires
        {254.9, 255, kNKErr_OK},
        {256.0, 255, kNKErr_invalidDataSize},
    };
    for (const auto& c : cases) {
        runPython(dir, kWriteP2P, path + " 2 " + std::to_string(c.ageDays) + " 0 -1");
        const t_nkP2PFactorInfo info{1, c.maxAge};
        StderrCapture err;
        EXPECT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), &info, a, b), c.code) << c.ageDays;
        err.take();
    }
}

TEST(LightSensorP2P, SavedFileReadsBackHereAndInPython) {
    TempDir dir;
    const std::string path = dir.file("p2p.bin");
    const std::vector<float> a{1.0f, 2.5f, -3.0f}, b{0.125f, 7.0f, 1e-3f};
    const t_nkP2PFactorInfo info{9, 3};
    ASSERT_EQ(nkFom_wend_saveP2PFactor(nullptr, path.c_str(), &info, a, b), kNKErr_OK);
    std::vector<float> ra, rb;
    ASSERT_EQ(nkFom_wend_loadP2PFactor(nullptr, path.c_str(), &info, ra, rb), kNKErr_OK);
    EXPECT_EQ(ra, a);
    EXPECT_EQ(rb, b);
    const std::string out = runPython(dir, R"PY(
import struct, sys, time, crcmod
d = open(sys.argv[1], 'rb').read()
t, created, n = struct.unpack_from('<BfH', d, 0)
crc, = struct.unpack_from('<H', d, 7 + 8 * n)
ok = crcmod.predefined.mkCrcFun('modbus')(d[:7 + 8 * n]) == crc and len(d) == 8 * n + 9
age = time.time() - 978307200 - created
print(t, n, int(ok), int(abs(age) < 600), *struct.unpack_from('<%df' % (2 * n), d, 7))
)PY",
                                   path);
    EXPECT_EQ(numbers(out), (std::vector<double>{9, 3, 1, 1, 1.0, 2.5, -3.0, 0.125, 7.0, double(1e-3f)})) << out;

    // Arrays that cannot make a readable file are refused and nothing is written.
    StderrCapture err;
    const std::string other = dir.file("other.bin");
    EXPECT_EQ(nkFom_wend_saveP2PFactor(nullptr, other.c_str(), nullptr, a, {1.0f}), kNKErr_invalidParam);
    const std::vector<float> big(65536, 1.0f);
    EXPECT_EQ(nkFom_wend_saveP2PFactor(nullptr, other.c_str(), nullptr, big, big), kNKErr_invalidParam);
    EXPECT_FALSE(nkFile_isFileExist(other));
    EXPECT_NE(nkFom_wend_saveP2PFactor(nullptr, dir.file("no/such/folder.bin").c_str(), nullptr, a, b),
              kNKErr_OK);
    err.take();
}

// ================================================================ sweep packet

namespace {

// Builds SPRP packets with Python's struct and prints, per record, the step integral
// computed independently (float32 like the sensor's host), then the packet in hex.
// args: device, then per record "step:fig3:count0..count5:x0/z0,x1/z1,..."
const char* const kBuildSprp = R"PY(
import struct, sys
import numpy as np
dev = int(sys.argv[1])
records = sys.argv[2:]
pkt = bytes([0x78, 0x56, 0x34, 0x12, 0x9A, dev << 2, 0]) + struct.pack('<H', len(records)) + b'\xAA' * 32
integrals = []
for r in records:
    step, fig3, counts, pts = r.split(':')
    pts = [tuple(float(v) for v in p.split('/')) for p in pts.split(',')] if pts else []
    figs = [1.0, 2.0, float(fig3), 4.0, 5.0, 6.0]
    pkt += struct.pack('<H6f6HI', int(step), *figs, *[int(c) for c in counts.split('/')], len(pts))
    acc = np.float32(0)
    f3 = np.float32(float(fig3))
    for i, (x, z) in enumerate(pts):
        pkt += struct.pack('<3f', x, x * 2.0, z)
        x32, z32 = np.float32(x), np.float32(z)
        if abs(float(x32) - float(f3)) <= 30.0:
            if i == 0:
                acc = np.float32(acc + z32)
            else:
                px, pz = np.float32(pts[i - 1][0]), np.float32(pts[i - 1][1])
                acc = np.float32(float(acc) + float(z32 + pz) * 0.5 * float(x32 - px))
    integrals.append(float(acc))
print(' '.join(repr(v) for v in integrals))
print(pkt.hex())
)PY";

std::vector<u8> fromHex(const std::string& hex) {
    std::vector<u8> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<u8>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace

TEST(LightSensorSprp, RecordsIntegralsAndNormalisedChannels) {
    TempDir dir;
    // Three steps; points outside 450 +- 30 take no part in the integral.
    const std::string out = runPython(dir, kBuildSprp,
                                      "54 100:450:10/20/30/40/50/60:400/9,440/1,450/3,470/2,481/100 "
                                      "101:450:20/40/60/80/100/120:430/2,450/4,480/2 "
                                      "102:455:5/5/5/5/5/5:455/1");
    const auto lines = nktest::splitLines(out);
    ASSERT_EQ(lines.size(), 2u) << out;
    const std::vector<double> integrals = numbers(lines[0]);
    const std::vector<u8> pkt = fromHex(lines[1]);

    t_velora_data_SPRP rec;
    nkVlra_parse_SPRP(rec, pkt.data(), pkt.size());
    EXPECT_EQ(rec.devId, 54);
    EXPECT_EQ(rec.chipId, 0x12345678u);
    EXPECT_EQ(rec.eSn, "36-12345678");
    EXPECT_EQ(rec.chipIdRegs, (std::vector<u8>{0x78, 0x56, 0x34, 0x12, 0x9A}));
    EXPECT_EQ(rec.stepValue, (std::vector<double>{100, 101, 102}));
    EXPECT_EQ(rec.stepFigure[2], (std::vector<double>{450, 450, 455}));
    EXPECT_EQ(rec.stepFigure[5], (std::vector<double>{6, 6, 6}));
    ASSERT_EQ(rec.stepIntegral.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_EQ(rec.stepIntegral[i], integrals[i]) << i;
    ASSERT_EQ(rec.pointX.size(), 3u);
    EXPECT_EQ(rec.pointX[0], (std::vector<double>{400, 440, 450, 470, 481}));
    EXPECT_EQ(rec.pointY[1], (std::vector<double>{860, 900, 960}));
    EXPECT_EQ(rec.pointZ[1], (std::vector<double>{2, 4, 2}));
    EXPECT_EQ(rec.pointX[2], (std::vector<double>{455}));
    ASSERT_EQ(rec.chRaw.size(), 6u);
    ASSERT_EQ(rec.chNorm.size(), 6u);
    EXPECT_EQ(rec.chRaw[5].data, (std::vector<double>{60, 120, 5}));
    // Normalised, smoothed and normalised again: the largest value over all channels is 1.
    double largest = 0;
    for (const auto& ch : rec.chNorm) {
        ASSERT_EQ(ch.size(), 3u);
        for (double v : ch.data) {
            EXPECT_TRUE(std::isfinite(v) && v > 0);
            largest = std::max(largest, v);
        }
    }
    EXPECT_DOUBLE_EQ(largest, 1.0);
}

TEST(LightSensorSprp, ChannelCountFollowsTheDeviceAndNoRecordsGiveEmptySeries) {
    TempDir dir;
    for (const auto& [dev, channels] : std::vector<std::pair<int, size_t>>{{35, 4}, {54, 6}, {62, 6}}) {
        const auto lines = nktest::splitLines(runPython(dir, kBuildSprp, std::to_string(dev)));
        ASSERT_EQ(lines.size(), 2u);
        const std::vector<u8> pkt = fromHex(lines[1]);
        t_velora_data_SPRP rec;
        nkVlra_parse_SPRP(rec, pkt.data(), pkt.size());
        EXPECT_EQ(rec.devId, dev);
        EXPECT_EQ(rec.chRaw.size(), channels);
        EXPECT_EQ(rec.chNorm.size(), channels);
        for (const auto& ch : rec.chNorm) EXPECT_EQ(ch.size(), 0u);
        EXPECT_TRUE(rec.stepValue.empty());
        EXPECT_TRUE(rec.stepIntegral.empty());
    }
}

TEST(LightSensorSprp, MalformedPacketsGiveAClearedRecord) {
    TempDir dir;
    const auto lines = nktest::splitLines(runPython(dir, kBuildSprp, "54 1:450:1/2/3/4/5/6:440/1,450/2 2:450:1/1/1/1/1/1:450/1"));
    const std::vector<u8> good = fromHex(lines[1]);
    ASSERT_EQ(good.size(), 41u + 42 + 24 + 42 + 12);

    const auto withU32 = [&](size_t at, u32 v) {
        std::vector<u8> p = good;
        std::memcpy(&p[at], &v, 4);
        return p;
    };
    const auto withCount = [&](u16 n) {
        std::vector<u8> p = good;
        std::memcpy(&p[7], &n, 2);
        return p;
    };
    const struct {
        const char* what;
        std::vector<u8> bytes;
        size_t length;
    } cases[] = {
        {"record count beyond the records", withCount(3), good.size()},
        {"point count wrapping 12 * n in 32 bits", withU32(41 + 38, 0x15555556u), good.size()},
        {"point count of the second record too large", withU32(41 + 42 + 24 + 38, 2), good.size()},
        {"truncated points", good, good.size() - 1},
        {"truncated record header", good, 41 + 20},
        {"header shorter than 41 bytes", good, 40},
    };
    for (const auto& c : cases) {
        // Only the stated length is readable: ASan sees any read beyond it.
        std::vector<u8> exact(c.bytes.begin(), c.bytes.begin() + static_cast<long>(c.length));
        exact.shrink_to_fit();
        t_velora_data_SPRP rec;
        rec.stepValue = {1, 2};
        StderrCapture err;
        nkVlra_parse_SPRP(rec, exact.data(), exact.size());
        const std::string out = err.take();
        EXPECT_TRUE(rec.stepValue.empty() && rec.chRaw.empty() && rec.eSn.empty()) << c.what;
        EXPECT_NE(out.find("[Error,13] invalidDataSize [nk_velora.cpp/nkVlra_parse_SPRP()"), std::string::npos)
            << c.what << ": " << out;
    }
    t_velora_data_SPRP rec;
    StderrCapture err;
    nkVlra_parse_SPRP(rec, nullptr, 100);
    EXPECT_NE(err.take().find("\"pkt!=NULL\""), std::string::npos);
    EXPECT_TRUE(rec.chRaw.empty());
}

// ================================================================ databases

TEST(LightSensorDatabase, CsvWithAnyLineEndThenBinaryRoundTrip) {
    TempDir dir;
    const std::string csv = "400,1.5,2,3\n402,1.25,2.5,3.5\n404,1,2,4e-1\n";
    for (const char* ending : {"\n", "\r", "\r\n"}) {
        std::string text;
        for (const std::string& line : nktest::splitLines(csv)) text += line + ending;
        const std::string path = dir.file("db.csv");
        nktest::writeFile(path, text);
        t_nkLightTable db;
        ASSERT_EQ(nkFom_wend_loadUserDatabase(nullptr, path.c_str(), db), kNKErr_OK);
        ASSERT_EQ(db.size(), 3u);
        EXPECT_EQ(db[0], (std::vector<double>{1.5, 1.25, 1}));
        EXPECT_EQ(db[2], (std::vector<double>{3, 3.5, 0.4}));
    }

    const std::string bin = dir.file("db.bin");
    const std::string sources = kLightData + "light_sources.csv";
    ASSERT_EQ(nkFom_wend_userDatabaseCsv2Bin(nullptr, sources.c_str(), bin.c_str()), kNKErr_OK);
    t_nkLightTable fromCsv, fromBin;
    ASSERT_EQ(nkFom_wend_loadUserDatabase(nullptr, sources.c_str(), fromCsv), kNKErr_OK);
    ASSERT_EQ(nkFom_wend_loadUserDatabase(nullptr, bin.c_str(), fromBin), kNKErr_OK);
    ASSERT_EQ(fromCsv.size(), 3u);
    EXPECT_EQ(fromCsv[0].size(), 401u);
    EXPECT_EQ(fromBin, fromCsv);
    // Python reads the binary form with its own layout: u16 values, u32 rows, f64 rows.
    const std::string out = runPython(dir, R"PY(
import struct, sys, csv
d = open(sys.argv[1], 'rb').read()
values, rows = struct.unpack_from('<HI', d, 0)
table = [struct.unpack_from('<%dd' % values, d, 6 + 8 * values * r) for r in range(rows)]
src = [[float(c) for c in row[1:]] for row in csv.reader(open(sys.argv[2]))]
same = all(table[s][w] == src[w][s] for s in range(rows) for w in range(values))
print(values, rows, len(d), int(same))
)PY",
                                   bin + " " + sources);
    EXPECT_EQ(numbers(out), (std::vector<double>{401, 3, 401 * 3 * 8 + 6, 1})) << out;
}

TEST(LightSensorDatabase, RefusedFilesLeaveTheTableEmpty) {
    TempDir dir;
    const auto binWith = [](u16 values, u32 rows, size_t doubles) {
        std::string d(6 + 8 * doubles, '\0');
        std::memcpy(&d[0], &values, 2);
        std::memcpy(&d[2], &rows, 4);
        return d;
    };
    const struct {
        const char* name;
        std::string bytes;
        u16 code;
    } cases[] = {
        {"head.bin", "\x02\0\x01", kNKErr_invalidData},                 // shorter than its head
        {"more.bin", binWith(3, 2, 5), kNKErr_invalidData},             // promises more than it holds
        {"wrap.bin", binWith(0x2000, 0x10000, 0), kNKErr_invalidData},  // 2^32 + 6 bytes wraps to 6 in 32 bits
        {"empty.bin", "", kNKErr_invalidData},
        {"text.csv", "400,1,x\n402,1,2\n", kNKErr_invalidData},         // a cell holding no number
        {"ragged.csv", "400,1,2\n402,1\n", kNKErr_invalidData},
        {"blank.csv", "\n\n", kNKErr_invalidData},
        {"db.txt", "400,1,2\n", kNKErr_invalidData},
    };
    for (const auto& c : cases) {
        const std::string path = dir.file(c.name);
        nktest::writeFile(path, c.bytes);
        t_nkLightTable db{{1.0}};
        StderrCapture err;
        EXPECT_EQ(nkFom_wend_loadUserDatabase(nullptr, path.c_str(), db), c.code) << c.name;
        err.take();
        EXPECT_TRUE(db.empty()) << c.name;
    }
    t_nkLightTable db;
    StderrCapture err;
    EXPECT_EQ(nkFom_wend_loadUserDatabase(nullptr, dir.file("none.csv").c_str(), db), kNKErr_fileOpenFailed);
    nktest::writeFile(dir.file("one.csv"), "400\n402\n");
    EXPECT_EQ(nkFom_wend_loadUserDatabase(nullptr, dir.file("one.csv").c_str(), db), kNKErr_OK);
    EXPECT_TRUE(db.empty());
    EXPECT_EQ(nkFom_wend_userDatabaseCsv2Bin(nullptr, dir.file("one.csv").c_str(), dir.file("one.bin").c_str()),
              kNKErr_invalidData);
    EXPECT_NE(err.take().find("\"lightDB.size()\""), std::string::npos);
    EXPECT_FALSE(nkFile_isFileExist(dir.file("one.bin")));
}

TEST(LightSensorDatabase, ColourMatchingFunctions) {
    TempDir dir;
    t_nkLightTable cmf;
    ASSERT_EQ(nkFom_wend_loadCMF(nullptr, (kLightData + "cmf.csv").c_str(), cmf), kNKErr_OK);
    ASSERT_EQ(cmf.size(), 4u);
    EXPECT_EQ(cmf[0].size(), 401u);
    EXPECT_EQ(cmf[0][0], 380.0);
    EXPECT_EQ(cmf[0][400], 780.0);
    EXPECT_NEAR(cmf[1][220], 1.0, 1e-6);  // the first function peaks at 600 nm

    const struct {
        const char* text;
        u16 code;
    } cases[] = {
        {"1,2,3,4\r\n5,6,7,8\r\n", kNKErr_OK},
        {"1,2,3\n", kNKErr_invalidData},
        {"1,2,3,4,5\n", kNKErr_invalidData},
        {"1,2,3,four\n", kNKErr_invalidData},
        {"", kNKErr_invalidData},
    };
    for (const auto& c : cases) {
        nktest::writeFile(dir.file("cmf.csv"), c.text);
        StderrCapture err;
        EXPECT_EQ(nkFom_wend_loadCMF(nullptr, dir.file("cmf.csv").c_str(), cmf), c.code) << c.text;
        err.take();
        EXPECT_EQ(cmf.size(), c.code == kNKErr_OK ? 4u : 0u) << c.text;
    }
    StderrCapture err;
    EXPECT_EQ(nkFom_wend_loadCMF(nullptr, dir.file("none.csv").c_str(), cmf), kNKErr_fileOpenFailed);
    EXPECT_NE(err.take().find("\"csvFile.good()\""), std::string::npos);
}

// ================================================================ CRE95+

namespace {

// Writes a random database (binary) and two responses (CSV, one column per channel)
// and prints numpy's CRE95+ and CRE97+ per compared channel.
// args: folder n wl channels
const char* const kCreOracle = R"PY(
import struct, sys
import numpy as np
folder, n, wl, ch = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = np.random.default_rng(n * 7 + ch)
db = rng.uniform(0.1, 1.0, (n, wl))
cal = rng.uniform(0.5, 1.0, (ch, wl))
test = cal * rng.uniform(0.97, 1.03, (ch, wl))
with open(folder + '/db.bin', 'wb') as f:
    f.write(struct.pack('<HI', wl, n))
    f.write(db.astype('<f8').tobytes())
for name, r in (('cal', cal), ('test', test)):
    np.savetxt(folder + '/' + name + '.csv', np.column_stack([np.arange(wl)] + list(r)), delimiter=',', fmt='%.17g')
used, ref = ([1, 2, 3], 0) if ch == 4 else ([1, 2, 4, 5], 3)
c, t = db @ cal.T, db @ test.T
err = np.abs((c[:, used] / c[:, [ref]]) / (t[:, used] / t[:, [ref]]) - 1)
srt = -np.sort(-err, axis=0)
i95, i97 = int(n * 0.95), int(n * 0.97)
print(i95, i97, *srt[n - i95], *srt[n - i97])
)PY";

// Responses as the loader returns them: one row per channel (column 0 dropped).
t_nkLightTable loadResponse(const std::string& path) {
    t_nkLightTable t;
    EXPECT_EQ(nkFom_wend_loadUserDatabase(nullptr, path.c_str(), t), kNKErr_OK);
    return t;
}

}  // namespace

TEST(LightSensorCre, MatchesNumpyAtThePercentilePositions) {
    const struct {
        int n, wl, channels, i95, i97;
    } cases[] = {
        {100, 81, 4, 95, 97},
        {100, 81, 6, 95, 97},
        {4000, 41, 4, 3800, 3880},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::vector<double> want = numbers(runPython(
            dir, kCreOracle,
            dir.path().string() + " " + std::to_string(c.n) + " " + std::to_string(c.wl) + " " +
                std::to_string(c.channels)));
        const size_t k = c.channels == 4 ? 3 : 4;
        ASSERT_EQ(want.size(), 2 + 2 * k);
        EXPECT_EQ(want[0], c.i95);
        EXPECT_EQ(want[1], c.i97);
        t_nkLightTable db;
        ASSERT_EQ(nkFom_wend_loadUserDatabase(nullptr, dir.file("db.bin").c_str(), db), kNKErr_OK);
        const t_nkLightTable cal = loadResponse(dir.file("cal.csv")), test = loadResponse(dir.file("test.csv"));
        ASSERT_EQ(cal.size(), size_t(c.channels));

        CNK_logManager lm;
        testing::internal::CaptureStdout();
        std::vector<double> cre{42.0};
        const u16 rtn = nkFom_wend_getVCRE(&lm, dir.path().c_str(), "u", false, u8(c.channels), 0, cal, test, db, cre);
        const std::string log = testing::internal::GetCapturedStdout();
        ASSERT_EQ(rtn, kNKErr_OK);
        ASSERT_EQ(cre.size(), k);
        for (size_t i = 0; i < k; ++i) EXPECT_NEAR(cre[i], want[2 + i], 1e-12 * std::max(1.0, want[2 + i])) << i;
        if (c.channels == 4) {
            char rank[64];
            std::snprintf(rank, sizeof(rank), "* [%dth/%d]CRE95+  ", c.n + 1 - c.i95, c.n);
            EXPECT_NE(log.find(rank), std::string::npos) << log;
            std::snprintf(rank, sizeof(rank), ". [%dth/%d]CRE97+  %5.10f", c.n + 1 - c.i97, c.n, want[2 + k]);
            EXPECT_NE(log.find(rank), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find("* CRE95+  "), std::string::npos) << log;
        }
        EXPECT_FALSE(nkFile_isFileExist(dir.file("u_CRE95_raw.csv")));
    }
}

TEST(LightSensorCre, SavedTablesReadByPythonCsv) {
    TempDir dir;
    const std::vector<double> want = numbers(runPython(dir, kCreOracle, dir.path().string() + " 50 21 6"));
    t_nkLightTable db;
    ASSERT_EQ(nkFom_wend_loadUserDatabase(nullptr, dir.file("db.bin").c_str(), db), kNKErr_OK);
    std::vector<double> cre;
    ASSERT_EQ(nkFom_wend_getVCRE(nullptr, dir.path().c_str(), "SN1", true, 6, 0, loadResponse(dir.file("cal.csv")),
                                 loadResponse(dir.file("test.csv")), db, cre),
              kNKErr_OK);
    ASSERT_EQ(cre.size(), 4u);
    EXPECT_NEAR(cre[0], want[2], 1e-12);
    const std::string out = runPython(dir, R"PY(
import csv, sys
for name in ('raw', 'sorted'):
    text = open(sys.argv[1] + '/SN1_CRE95_' + name + '.csv').read()
    rows = list(csv.reader(text.splitlines()))
    assert rows[0] == ['CRE_CH1', 'CRE_CH2', 'CRE_CH4', 'CRE_CH5', ''], rows[0]
    assert all(len(r) == 5 and r[4] == '' for r in rows[1:])
    cells = [c for r in rows[1:] for c in r[:4]]
    assert all(len(c.split('.')[1]) == 20 for c in cells), cells[:3]
    cols = [[float(r[i]) for r in rows[1:]] for i in range(4)]
    print(name, len(rows) - 1, int(all(c == sorted(c, reverse=True) for c in cols)))
)PY",
                                   dir.path().string());
    EXPECT_EQ(out, "raw 50 0\nsorted 50 1\n");
}

TEST(LightSensorCre, IdenticalResponsesOtherCountsAndRefusals) {
    TempDir dir;
    t_nkLightTable db;
    ASSERT_EQ(nkFom_wend_loadUserDatabase(nullptr, (kLightData + "light_sources.csv").c_str(), db), kNKErr_OK);
    const t_nkLightTable r4 = loadResponse(kLightData + "response_4ch.csv");
    const t_nkLightTable r6 = loadResponse(kLightData + "response_6ch.csv");
    std::vector<double> cre;
    ASSERT_EQ(nkFom_wend_getVCRE(nullptr, "", "", false, 4, 0, r4, r4, db, cre), kNKErr_OK);
    EXPECT_EQ(cre, (std::vector<double>{0, 0, 0}));
    ASSERT_EQ(nkFom_wend_getVCRE(nullptr, "", "", false, 6, 0, r6, r6, db, cre), kNKErr_OK);
    EXPECT_EQ(cre, (std::vector<double>{0, 0, 0, 0}));
    cre = {1.0};
    EXPECT_EQ(nkFom_wend_getVCRE(nullptr, "", "", false, 5, 0, r6, r6, db, cre), kNKErr_OK);
    EXPECT_TRUE(cre.empty());

    t_nkLightTable shortRow = r4;
    shortRow[2].pop_back();
    t_nkLightTable zeroRef = r6;
    std::fill(zeroRef[3].begin(), zeroRef[3].end(), 0.0);
    const t_nkLightTable one{db[0]};
    const t_nkLightTable threeRows{r4[0], r4[1], r4[2]};
    const struct {
        const char* what;
        u8 channels;
        t_nkLightTable cal, test, db;
        const char* cond;
    } cases[] = {
        {"empty database", 4, r4, r4, {}, "lightDB.size()>0"},
        {"calibration on other wavelengths", 4, {{1.0, 2.0}}, r4, db, "snsrSpectraRespCal[0].size()==ldbWlCnt"},
        {"missing test response", 4, r4, {}, db, "snsrSpectraRespTest[0].size()==ldbWlCnt"},
        {"three channels", 3, r4, r4, db, "snsrChannelCnt>=4"},
        {"one light source", 4, r4, r4, one, "lightDB.size()>=2"},
        {"fewer rows than channels", 4, threeRows, r4, db, "response rows >= snsrChannelCnt"},
        {"four rows for six channels", 6, r4, r4, db, "response rows >= snsrChannelCnt"},
        {"a short response row", 4, r4, shortRow, db, "response rows >= ldbWlCnt"},
        {"no reference signal", 6, zeroRef, r6, db, "reference channel signal != 0"},
    };
    for (const auto& c : cases) {
        cre = {1.0};
        StderrCapture err;
        EXPECT_EQ(nkFom_wend_getVCRE(nullptr, "", "", false, c.channels, 0, c.cal, c.test, c.db, cre),
                  kNKErr_invalidData)
            << c.what;
        const std::string out = err.take();
        EXPECT_NE(out.find(std::string("\"") + c.cond + "\""), std::string::npos) << c.what << ": " << out;
    }
    StderrCapture err;
    EXPECT_EQ(nkFom_wend_getVCRE(nullptr, dir.file("missing").c_str(), "x", true, 4, 0, r4, r4, db, cre),
              kNKErr_fileOpenFailed);
    EXPECT_NE(err.take().find("\"fp!=NULL\""), std::string::npos);
    EXPECT_TRUE(cre.empty());
}
