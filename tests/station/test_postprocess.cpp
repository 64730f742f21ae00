// The offline re-evaluation: stored "atst" packets turned into repository
// records, by the real program on a folder and by the call itself.
#include <gtest/gtest.h>

#include <QSettings>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>

#include "CVLRA_cg_transmittance.h"
#include "cvlra_ctcl.h"
#include "lumbrel_process.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_gtest_util.h"
#include "nk_ntcp.h"
#include "nk_velora_sn.h"
#include "station_peer.h"

namespace fs = std::filesystem;
using nktest::LumbrelProcess;
using stationtest::Bytes;
using stationtest::serial;

namespace {

// One test point: a constant transmittance in percent, or a wavy curve when negative.
// The lamp steps in powers of two, so the constants come out exact and the
// reference still crosses the 0.2 threshold.
void putPoint(Bytes& p, u8 index, float level, int n = 600) {
    auto put = [&](const void* v, size_t size) {
        const u8* c = static_cast<const u8*>(v);
        p.insert(p.end(), c, c + size);
    };
    p.push_back(index);
    const u32 count = u32(n);
    const float offsets[3] = {1.5f, -2.0f, 0.25f};
    put(&count, 4);
    put(offsets, 12);
    for (int i = 0; i < n; ++i) {
        const float wl = 399.0f + 702.0f * float(i) / float(n - 1);
        const float lamp = std::exp2(std::round(6.0f + 8.0f * std::exp(-std::pow((wl - 700.0f) / 250.0f, 2.0f))));
        const float t = level >= 0 ? level / 100.0f : (60.0f - level + 5.0f * std::sin(wl / 40.0f)) / 100.0f;
        const float s[4] = {wl, 100.0f, 100.0f + lamp, 100.0f + lamp * t};
        put(s, 16);
    }
}

Bytes packet(const std::vector<float>& levels) {
    Bytes p{u8(levels.size())};
    for (size_t k = 0; k < levels.size(); ++k) putPoint(p, u8(k + 1), levels[k]);
    return p;
}

// 100 %, 50 % and 0 %, then four curves: seven points, of which five are kept.
Bytes sevenPoints() { return packet({100, 50, 0, -1, -7, -13, -20}); }

// What the record's rows must hold: the offline evaluation in this process.
struct Expected {
    int type = 255;
    t_vlraAtstEval ev;
};
Expected evaluate(const std::string& sn, const Bytes& p) {
    t_nkCgInfo info{};
    info.type = 255;
    info.color = 255;
    nkFom_checkCgSn(nullptr, sn.c_str(), &info, kVL1);
    std::vector<t_vlraAtstPoint> points;
    Expected e;
    e.type = info.type;
    EXPECT_EQ(nkVlra_parseAtst(p.data(), p.size(), points, t_vlraAtstRun::offline), 0);
    EXPECT_EQ(nkVlra_evaluateAtst(nullptr, points, info.type, info.color, e.ev, t_vlraAtstRun::offline), 0);
    return e;
}

// The record read with Python's struct and crcmod's MODBUS CRC, field by field.
const char* kRecordReader = R"(import struct, sys, crcmod.predefined
b = open(sys.argv[1], 'rb').read()
crc = crcmod.predefined.mkCrcFun('modbus')
print('size', len(b))
print('magic', b[0:4].hex())
print('version', b[4], b[5])
print('type', b[6])
print('sn', b[7:70].rstrip(b'\0').decode())
print('tester', b[70:85].hex())
print('socket', b[85])
print('crc', int(struct.unpack_from('<H', b, 8104)[0] == crc(b[:8104])))
print('rest_zero', int(not any(b[86 + 5 * 702:8104])))
for r in range(5):
    print('row%d' % r, *struct.unpack_from('<351H', b, 86 + 702 * r))
)";

std::map<std::string, std::string> readRecord(const nktest::TempDir& dir, const std::string& path) {
    std::map<std::string, std::string> fields;
    std::istringstream lines(nktest::runPython(dir, kRecordReader, path, "record.py"));
    for (std::string line; std::getline(lines, line);) {
        const size_t sp = line.find(' ');
        if (sp != std::string::npos) fields[line.substr(0, sp)] = line.substr(sp + 1);
    }
    return fields;
}

std::vector<int> numbers(const std::string& text) {
    std::vector<int> v;
    std::istringstream in(text);
    for (int x; in >> x;) v.push_back(x);
    return v;
}

std::vector<int> codes(const std::vector<float>& percent) {
    std::vector<int> v;
    for (float t : percent) v.push_back(cgCalData_code(t));
    return v;
}

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(folder)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct Postprocess : ::testing::Test {
    nktest::TempDir dir;
    fs::path in = dir.path() / "packets", logs = dir.path() / "logs", out = logs / "CtCl_Path";

    void SetUp() override {
        if (!nktest::havePython()) GTEST_SKIP() << "no python3";
        fs::create_directories(in);
        // The log root comes from the per-user settings the program reads.
        QSettings store(QString::fromStdString((dir.path() / "config/Lumbrel/Lumbrel.conf").string()),
                        QSettings::IniFormat);
        store.setValue("Log Root", QString::fromStdString(logs.string()));
        store.sync();
    }
    void put(const std::string& name, const Bytes& bytes) {
        nktest::writeFile((in / name).string(), std::string(bytes.begin(), bytes.end()));
    }
    int run(const std::vector<std::string>& args) {
        proc = std::make_unique<LumbrelProcess>(dir.path().string(), args);
        const int status = proc->wait(120000);
        EXPECT_TRUE(proc->clean()) << proc->err();
        return status;
    }
    std::unique_ptr<LumbrelProcess> proc;
};

TEST_F(Postprocess, ProgramWritesOneRecordFromAGoodPacketAmongBadFiles) {
    const std::string sn = serial("Q2A5");
    const Bytes good = sevenPoints();
    put(sn + "_atst.bin", good);
    Bytes truncated = packet({-1, -2});
    truncated.erase(truncated.end() - 5, truncated.end());
    put(serial("Q2A6") + "_atst.bin", truncated);
    put(serial("Q2A7") + "_atst.bin.bak", good);  // not a stored packet's name
    put("_atst.bin", good);                         // no serial number
    nktest::writeFile((in / "notes.txt").string(), "not a packet\n");

    ASSERT_EQ(run({"postprocess", in.string()}), 0) << proc->err();
    const std::string text = proc->out();
    for (const std::string& name : {sn + "_atst.bin", serial("Q2A6") + "_atst.bin", serial("Q2A7") + "_atst.bin.bak",
                                    std::string("_atst.bin")})
        EXPECT_NE(text.find("PostProcess " + name + "\n"), std::string::npos) << name;
    EXPECT_EQ(text.find("PostProcess notes.txt"), std::string::npos);
    // All five entries count as processed raw data; one record was generated.
    EXPECT_NE(text.find("Total 5 CG Raw Data Post Processed!!!\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Total 1 CG VDX Data Post Generated!!!\n"), std::string::npos) << text;
    EXPECT_NE(text.find("[Err] " + serial("Q2A6") + "_atst.bin: no record written (0x000D)"), std::string::npos);
    for (const std::string& name : {serial("Q2A7") + "_atst.bin.bak", std::string("_atst.bin")})
        EXPECT_NE(text.find("[Err] " + name + ": not a stored packet name"), std::string::npos) << name;
    EXPECT_NE(text.find("*** Handle ATST *** ---"), std::string::npos);
    EXPECT_NE(text.find(" *** Total Test Points 7"), std::string::npos);
    EXPECT_NE(text.find("* TP6 White MIN"), std::string::npos);
    EXPECT_NE(text.find("* Generate VDX Data"), std::string::npos);
    ASSERT_EQ(filesIn(out), std::vector<std::string>{sn + "_CtCl.bin"});

    const std::string record = (out / (sn + "_CtCl.bin")).string();
    std::map<std::string, std::string> f = readRecord(dir, record);
    EXPECT_EQ(f["size"], "8106");
    EXPECT_EQ(f["magic"], "6c437443");
    EXPECT_EQ(f["version"], "2 0");
    EXPECT_EQ(f["type"], "2");
    EXPECT_EQ(f["sn"], sn);
    EXPECT_EQ(f["tester"], "706f737470726f6365730000000000");  // "postproces" and zeros
    EXPECT_EQ(f["socket"], "0");
    EXPECT_EQ(f["crc"], "1");
    EXPECT_EQ(f["rest_zero"], "1");
    // Exact levels store exactly: 100 % is 32768, 50 % is 16384, 0 % is 0.
    EXPECT_EQ(numbers(f["row0"]), std::vector<int>(351, 32768));
    EXPECT_EQ(numbers(f["row1"]), std::vector<int>(351, 16384));
    EXPECT_EQ(numbers(f["row2"]), std::vector<int>(351, 0));
    const Expected e = evaluate(sn, good);
    ASSERT_EQ(e.ev.finalT.size(), 7u);
    for (int r = 0; r < ctcl::kRows; ++r)
        EXPECT_EQ(numbers(f["row" + std::to_string(r)]), codes(e.ev.finalT[size_t(r)])) << r;

    // Our reader gives back what was written, CRC and all.
    const std::vector<u8> bytes = nkFile_readFile(record);
    t_cgCalData rec;
    bool crcOk = false;
    ASSERT_EQ(cgCalData_read(nullptr, bytes.data(), bytes.size(), &rec, &crcOk), 0);
    EXPECT_TRUE(crcOk);
    for (int r = 0; r < ctcl::kRows; ++r) {
        const std::vector<float> row = cgCalData_row(rec, r);
        ASSERT_EQ(row.size(), 351u);
        for (size_t i = 0; i < row.size(); ++i)
            ASSERT_EQ(row[i], cgCalData_percent(cgCalData_code(e.ev.finalT[size_t(r)][i]))) << r << " " << i;
    }
    EXPECT_FLOAT_EQ(cgCalData_row(rec, 0)[0], 100.0f);
    EXPECT_FLOAT_EQ(cgCalData_row(rec, 1)[0], 50.0f);
}

// A stored packet is never larger than the station's receive limit: a bigger file
// is refused by its size, unread, and the folder's other packets still go through.
TEST_F(Postprocess, ProgramRefusesAFileLargerThanAnyPacketUnread) {
    const std::string big = serial("Q2A6") + "_atst.bin";
    {
        // Sparse: the size is there, the bytes are not.
        std::ofstream f(in / big, std::ios::binary);
        f.seekp(std::streamoff(CNK_ntcp::kDefaultMaxPayload));
        f.put('\0');
    }
    ASSERT_EQ(fs::file_size(in / big), CNK_ntcp::kDefaultMaxPayload + 1);
    const std::string sn = serial("Q2A5");
    put(sn + "_atst.bin", packet({80}));
    ASSERT_EQ(run({"postprocess", in.string()}), 0) << proc->err();
    const std::string text = proc->out();
    EXPECT_NE(text.find("[Err] " + big + ": " + std::to_string(CNK_ntcp::kDefaultMaxPayload + 1) +
                        " bytes, larger than any packet the station accepts"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("Total Test Points 0"), std::string::npos) << text;
    EXPECT_EQ(filesIn(out), std::vector<std::string>{sn + "_CtCl.bin"});
}

TEST_F(Postprocess, ProgramRefusesAMissingOrUnreadableFolder) {
    nktest::writeFile((dir.path() / "plain").string(), "x");
    for (const fs::path& folder : {dir.path() / "absent", dir.path() / "plain"}) {
        EXPECT_EQ(run({"postprocess", folder.string()}), 1) << folder;
        EXPECT_NE(proc->err().find("cannot read the folder " + folder.string()), std::string::npos) << proc->err();
        EXPECT_EQ(proc->out().find("Total"), std::string::npos) << proc->out();
    }
    // An empty folder is read, and gives nothing.
    ASSERT_EQ(run({"postprocess", in.string()}), 0);
    EXPECT_NE(proc->out().find("Total 0 CG Raw Data Post Processed!!!\nTotal 0 CG VDX Data Post Generated!!!\n"),
              std::string::npos)
        << proc->out();
}

// ---------------------------------------------------------------- the call itself

struct ProcessPacket : ::testing::Test {
    nktest::TempDir dir;
    std::string folder = dir.path().string();
    u16 process(const std::string& sn, const Bytes& p, const char* outputFolder, const std::string& dataRoot = "") {
        return CVLRA_cg_transmittance::process_ntcp_packet(sn.c_str(), p.data(), u32(p.size()), outputFolder, dataRoot);
    }
    t_cgCalData record(const std::string& path) {
        const std::vector<u8> bytes = nkFile_readFile(path);
        t_cgCalData rec{};
        EXPECT_EQ(cgCalData_read(nullptr, bytes.data(), bytes.size(), &rec), 0) << path;
        return rec;
    }
};

TEST_F(ProcessPacket, WhiteUnitKeepsTheBlueEndAndUnknownCodesWriteType255) {
    const std::string white = serial("Q2B0");
    const Bytes p = packet({-3, -9});
    ASSERT_EQ(process(white, p, folder.c_str()), 0);
    const Expected e = evaluate(white, p);
    const t_cgCalData rec = record(folder + "/" + white + "_CtCl.bin");
    EXPECT_EQ(rec.cgType, 2);
    for (int r = 0; r < 2; ++r) {
        const std::vector<float> row = cgCalData_row(rec, r);
        for (int i = 0; i <= 25; ++i)
            EXPECT_EQ(row[size_t(i)], cgCalData_percent(cgCalData_code(e.ev.resampled[size_t(r)][size_t(i)])))
                << r << " " << i;
        // Beyond 450 nm the curve is smoothed, so the wavy points differ from the raw ones somewhere.
        bool smoothed = false;
        for (size_t i = 26; i < 351; ++i) smoothed |= e.ev.finalT[size_t(r)][i] != e.ev.resampled[size_t(r)][i];
        EXPECT_TRUE(smoothed);
    }
    EXPECT_EQ(cgCalData_row(rec, 2), std::vector<float>(351, 0.0f));  // rows of absent points stay zero

    // A code in no table leaves the type unknown; the record is still written.
    const std::string unknown = serial("ZZZZ");
    ASSERT_EQ(process(unknown, p, folder.c_str()), 0);
    EXPECT_EQ(record(folder + "/" + unknown + "_CtCl.bin").cgType, 255);
}

TEST_F(ProcessPacket, NullOutputFolderWritesUnderTheDataRoot) {
    const std::string sn = serial("Q2A5");
    fs::create_directories(dir.path() / "data/newvdxData");
    ASSERT_EQ(process(sn, packet({80}), nullptr, folder + "/data"), 0);
    EXPECT_EQ(filesIn(dir.path() / "data/newvdxData"), std::vector<std::string>{sn + "_CtCl.bin"});
    EXPECT_EQ(process(sn, packet({80}), nullptr, ""), kNKErr_invalidParam);
}

TEST_F(ProcessPacket, LongSerialNumbersFillTheFieldAndNameTheFileWhole) {
    const std::string sn = serial("Q2A5", std::string(60, 'A'));  // 78 characters
    ASSERT_EQ(process(sn, packet({80}), folder.c_str()), 0);
    const t_cgCalData rec = record(folder + "/" + sn + "_CtCl.bin");
    EXPECT_EQ(std::string(rec.serialNumber, sizeof(rec.serialNumber)), sn.substr(0, 63));
    EXPECT_EQ(std::string(rec.testerId), "postproces");
}

TEST_F(ProcessPacket, RefusedKeysAndPayloadsWriteNothingAndKeepTheStoredRecord) {
    const Bytes good = packet({80});
    for (const std::string& sn : {std::string("../x"), std::string("a/b"), std::string("a\x01z"), std::string(""),
                                  std::string(128, 'S'), std::string("..")}) {
        EXPECT_EQ(process(sn, good, folder.c_str()), kNKErr_invalidParam) << sn;
    }
    EXPECT_EQ(CVLRA_cg_transmittance::process_ntcp_packet(nullptr, good.data(), u32(good.size()), folder.c_str(), ""),
              kNKErr_invalidParam);
    EXPECT_TRUE(filesIn(dir.path()).empty());

    const std::string sn = serial("Q2A5");
    const std::string path = folder + "/" + sn + "_CtCl.bin";
    ASSERT_EQ(process(sn, good, folder.c_str()), 0);
    const std::vector<u8> stored = nkFile_readFile(path);
    Bytes zeroSamples{1, 1, 0, 0, 0, 0};
    zeroSamples.resize(18, 0);
    Bytes unequal = packet({80});
    Bytes second = packet({80, 70});
    unequal[0] = 2;
    putPoint(unequal, 2, 50, 599);
    Bytes indexZero = packet({80});
    indexZero[1] = 0;
    const std::vector<std::pair<const char*, Bytes>> refused = {
        {"empty", {}},
        {"count only", {1}},
        {"no points", {0}},
        {"one byte short", Bytes(second.begin(), second.end() - 1)},
        {"one byte more", [&] { Bytes b = second; b.push_back(0); return b; }()},
        {"a spectrum without samples", zeroSamples},
        {"sample counts differ", unequal},
        {"index byte 0", indexZero},
    };
    for (const auto& [what, payload] : refused) {
        EXPECT_EQ(process(sn, payload, folder.c_str()), kNKErr_invalidDataSize) << what;
        EXPECT_EQ(nkFile_readFile(path), stored) << what;
    }
    EXPECT_EQ(filesIn(dir.path()), std::vector<std::string>{sn + "_CtCl.bin"});
}

// A spectrum that cannot be evaluated makes no record, where it once made one of
// zeros or of a flat, wrong curve; the stored record stays.
TEST_F(ProcessPacket, CorruptSpectraWriteNoRecord) {
    const std::string sn = serial("Q2A5");
    const std::string path = folder + "/" + sn + "_CtCl.bin";
    ASSERT_EQ(process(sn, packet({80, 70}), folder.c_str()), 0);
    const std::vector<u8> stored = nkFile_readFile(path);
    // Sample i of point k starts at 1 + k * (17 + 16 * 600) + 17 + 16 * i; field f is 4 bytes on.
    auto setSample = [](Bytes& p, int k, int i, int f, float v) {
        std::memcpy(p.data() + 1 + size_t(k) * (17 + 16 * 600) + 17 + 16 * size_t(i) + 4 * size_t(f), &v, 4);
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Bytes allNan = packet({80, 70});
    for (int k = 0; k < 2; ++k)
        for (int i = 0; i < 600; ++i)
            for (int f = 0; f < 4; ++f) setSample(allNan, k, i, f, nan);
    Bytes oneNan = packet({80, 70});
    setSample(oneNan, 1, 300, 3, nan);
    Bytes infinite = packet({80, 70});
    setSample(infinite, 0, 10, 2, std::numeric_limits<float>::infinity());
    Bytes descending = packet({80, 70});
    for (int i = 0; i < 600; ++i) setSample(descending, 1, i, 0, 1101.0f - 702.0f * float(i) / 599.0f);
    Bytes repeated = packet({80, 70});
    setSample(repeated, 0, 5, 0, 399.0f);
    const std::pair<const char*, Bytes> refused[] = {{"all NaN", allNan},
                                                     {"one NaN reading", oneNan},
                                                     {"an infinite white reading", infinite},
                                                     {"descending wavelengths", descending},
                                                     {"a wavelength out of order", repeated}};
    for (const auto& [what, payload] : refused) {
        EXPECT_EQ(process(sn, payload, folder.c_str()), kNKErr_invalidTestCondition) << what;
        EXPECT_EQ(nkFile_readFile(path), stored) << what;
    }
}

TEST_F(ProcessPacket, AFolderThatCannotTakeTheRecordIsAFailedWrite) {
    const std::string missing = folder + "/no/such/folder";
    EXPECT_EQ(process(serial("Q2A5"), packet({80}), missing.c_str()), kNKErr_fileOpenFailed);
    EXPECT_FALSE(fs::exists(missing));
}

}  // namespace
