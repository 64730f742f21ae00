// The uniformity item through the station's sessions on loopback: a raw-socket
// tester sends "tscr" then "unif"; files are read back by Python, Pillow and unzip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <thread>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "CVLRA_cg_uniformity.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "nk_velora.h"
#include "station_peer.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

void putF32(Bytes& b, float f) {
    u32 v;
    std::memcpy(&v, &f, 4);
    nettest::putLe(b, v, 4);
}

// Four images W x H, each from its own pixel function of (x, y).
template <typename F>
Bytes fourImagePayload(u16 w, u16 h, u16 exp1, u16 exp2, F pixel, int sizeDelta = 0) {
    Bytes p;
    nettest::putLe(p, w, 2);
    nettest::putLe(p, h, 2);
    p.push_back(1);
    nettest::putLe(p, u64(4) * w * h + sizeDelta, 4);
    nettest::putLe(p, exp1, 2);
    nettest::putLe(p, exp2, 2);
    putF32(p, 550.5f);
    putF32(p, 0.25f);
    putF32(p, 1.5f);
    for (int k = 0; k < 4; ++k)
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) p.push_back(pixel(k, x, y));
    return p;
}

Bytes singleImagePayload(u16 w, u16 h, u8 value) {
    Bytes p;
    nettest::putLe(p, w, 2);
    nettest::putLe(p, h, 2);
    p.push_back(0);
    nettest::putLe(p, u64(w) * h, 4);
    putF32(p, 1.0f);
    putF32(p, 2.0f);
    putF32(p, 3.0f);
    p.insert(p.end(), size_t(w) * h, value);
    return p;
}

u16 replyCode(const Reply& r) { return r.payload.size() >= 2 ? u16(r.payload[0] | (r.payload[1] << 8)) : 0xFFFF; }

std::string py(const std::string& script) {
    nktest::TempDir d;
    const std::string path = (d.path() / "s.py").string();
    nktest::writeFile(path, script);
    int status = -1;
    std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + path + " 2>&1", &status);
    if (status != 0) out = "PYTHON FAILED: " + out;
    return out;
}

struct Unif : ::testing::Test {
    nktest::TempDir dir;
    lumbrel::StationSettings settings;
    std::unique_ptr<AppDelegate> app;

    void SetUp() override {
        settings.logRoot = (dir.path() / "logs").string();
        fs::create_directories(settings.logRoot);
        settings.dataRoot = (dir.path() / "data").string();
        settings.tempFolder = dir.path().string();
        settings.resourceFolder = fs::path(NK_STATION_SCRIPT).parent_path().string();
        settings.scriptPath = NK_STATION_SCRIPT;
        u16 launched = 1;
        for (int attempt = 0; attempt < 5 && launched != 0; ++attempt) {
            settings.port = nettest::freePort();
            app = std::make_unique<AppDelegate>(settings, StationSwitches{});
            ASSERT_EQ(app->applicationDidFinishLaunching(), 0);
            launched = app->launchServer();
        }
        ASSERT_EQ(launched, 0);
    }
    void TearDown() override { app.reset(); }

    CVLRA_cg_testSession* sessionOf(const std::string& sn) {
        for (auto* s : app->sessions())
            if (s->isNtcpRunning() && s->_serialNumber == sn) return s;
        return nullptr;
    }
    // A tester link whose unit is open; returns its session.
    CVLRA_cg_testSession* open(int* fd, const std::string& sn, const std::string& cell = "CellU", u8 id = 3) {
        *fd = nettest::rawConnect(settings.port);
        if (*fd < 0) return nullptr;
        Reply r = exchange(*fd, "tscr", 1, tscrPayload(cell, id, sn));
        if (!r.ok || r.header.errc != 0) return nullptr;
        return sessionOf(sn);
    }
    static std::vector<std::string> unitFiles(const std::string& run, const std::string& sn) {
        std::vector<std::string> out;
        for (auto& e : fs::directory_iterator(run)) {
            const std::string n = e.path().filename().string();
            if (n.rfind(sn + "_", 0) == 0 && n.find("_unif") != std::string::npos) out.push_back(n);
            if (n.find(".bmp") != std::string::npos || n.find("_info.csv") != std::string::npos) out.push_back(n);
        }
        return out;
    }
};

// Received pixels: dark 10 / 20; reference 50 + y except column 0 (equal to dark);
// aperture 40 + y except column 1 (below dark); the cut column 641 is 255.
u8 fourPixel(int k, int x, int y) {
    if (x == 641) return 255;
    switch (k) {
        case 0: return 10;
        case 1: return x == 0 ? 10 : u8(50 + y);
        case 2: return 20;
        default: return x == 1 ? 15 : u8(40 + y);
    }
}

TEST_F(Unif, FourImagesCutRoundZipAndMap) {
    if (!nktest::havePython()) GTEST_SKIP();
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn, "CellU", 3);
    ASSERT_NE(s, nullptr);
    const u16 W = 642, H = 3;
    const Bytes payload = fourImagePayload(W, H, 100, 69, fourPixel);
    Reply r = exchange(fd, "unif", 2, payload);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 0);
    ASSERT_EQ(r.payload.size(), 31u);
    EXPECT_EQ(replyCode(r), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data() + 2), "OK");
    EXPECT_EQ(s->_unif_img_w, 640);
    EXPECT_EQ(s->_unif_img_h, H);
    EXPECT_FLOAT_EQ(s->_unif_beam_size, 1500.0f);
    EXPECT_FLOAT_EQ(s->_unif_pixel_density, 250.0f);
    EXPECT_FLOAT_EQ(s->_unif_centroid_wl, 550.5f);

    // Map: rows flipped like the images, exposures 70 / 35.
    ASSERT_EQ(s->_unif_t_map.size(), size_t(640) * H);
    for (int yy = 0; yy < H; ++yy) {
        const int y = H - 1 - yy;  // the received row
        const float* row = s->_unif_t_map.data() + yy * 640;
        EXPECT_EQ(row[0], 0.0f);
        EXPECT_LT(row[1], 0.0f);
        EXPECT_FLOAT_EQ(row[1], float(2.0 * double(-5.0f / float(40 + y))) * 100.0f);
        EXPECT_FLOAT_EQ(row[639], float(2.0 * double(float(20 + y) / float(40 + y))) * 100.0f);
    }

    const std::string run = s->_logPath;
    const std::string stem = run + "/" + sn;
    EXPECT_FALSE(fs::exists(stem + "_unif.bin"));
    const std::string out = py(
        "import csv, zipfile, subprocess\n"
        "from PIL import Image\n"
        "stem = '" + stem + "'\n"
        "raw = open(stem + '_info.csv', newline='').read()\n"
        "print('final_newline', raw.endswith('\\n'))\n"
        "rows = list(csv.reader(raw.splitlines()))\n"
        "print(rows[0] == 'TesterID,BankID,EXP1,EXP2,CentroidWL,PxlDensity,BeamSize,ImgW,ImgH'.split(','))\n"
        "print(','.join(rows[1]))\n"
        "for n in ['_img_dark_exp1', '_img_ref_exp1', '_img_dark_exp2', '_img_ape_exp2_cut']:\n"
        "    im = Image.open(stem + n + '.bmp'); print(n, im.size, im.mode)\n"
        "ref = Image.open(stem + '_img_ref_exp1.bmp')\n"
        "print('ref', [ref.getpixel((5, y)) for y in range(3)], ref.getpixel((0, 0)))\n"
        "print('unzip', subprocess.run(['unzip', '-tq', stem + '_unif.zip'], capture_output=True).returncode)\n"
        "z = zipfile.ZipFile(stem + '_unif.zip')\n"
        "print(z.namelist() == ['" + sn + "_unif.bin'], len(z.read('" + sn + "_unif.bin')))\n");
    EXPECT_NE(out.find("final_newline False"), std::string::npos) << out;
    EXPECT_NE(out.find("True\nCellU,3,70,35,550.500000,250.000000,1500.000000,640,3\n"), std::string::npos) << out;
    for (const char* n : {"_img_dark_exp1", "_img_ref_exp1", "_img_dark_exp2", "_img_ape_exp2_cut"})
        EXPECT_NE(out.find(std::string(n) + " (640, 3) L"), std::string::npos) << n << "\n" << out;
    // The flipped rows are stored bottom-up, so Pillow shows the rows in received order.
    EXPECT_NE(out.find("ref [50, 51, 52] 10"), std::string::npos) << out;
    EXPECT_NE(out.find("unzip 0"), std::string::npos) << out;
    EXPECT_NE(out.find("True " + std::to_string(payload.size())), std::string::npos) << out;
    close(fd);
}

TEST_F(Unif, ArchiveThatCannotBeMadeKeepsTheRawCopy) {
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    const std::string stem = s->_logPath + "/" + sn;
    fs::create_directories(stem + "_unif.zip");
    Reply r = exchange(fd, "unif", 2, fourImagePayload(8, 2, 70, 35, fourPixel));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(replyCode(r), 0xE044);
    EXPECT_TRUE(fs::is_regular_file(stem + "_unif.bin"));
    EXPECT_EQ(s->_ctrlItemMap.at(kVLRA_ctrl_unif)->testStatus(), kNkTestStat_FAIL);
    close(fd);
}

TEST_F(Unif, SingleImageRoadsAndFigures) {
    if (!nktest::havePython()) GTEST_SKIP();
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    const std::string stem = s->_logPath + "/" + sn;
    struct Case {
        u16 w, h;
        const char* size;
    } cases[] = {{1000, 400, "(800, 100)"}, {600, 400, "(176, 176)"}, {800, 400, "(176, 176)"}, {603, 400, "(176, 176)"}};
    u8 seq = 2;
    for (const Case& c : cases) {
        s->_testData._errCodes.clear();
        Reply r = exchange(fd, "unif", seq++, singleImagePayload(c.w, c.h, 128));
        ASSERT_TRUE(r.ok) << c.w;
        EXPECT_EQ(replyCode(r), 0) << c.w;
        EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data() + 2), "OK");
        EXPECT_DOUBLE_EQ(s->_testData.getData("UNIF", "INT_AVG", false), 128.0) << c.w;
        EXPECT_DOUBLE_EQ(s->_testData.getData("UNIF", "HF_EXT_PCT_MIN", false),
                         s->_testData.getData("UNIF", "HF_EXT_PCT_MIN", false));  // recorded, not NaN
        const std::string out = py("from PIL import Image\nim = Image.open('" + stem +
                                   "_img_scale.bmp')\nprint(im.size, set(im.getdata()))\n");
        EXPECT_EQ(out, std::string(c.size) + " {128}\n") << c.w;
        EXPECT_TRUE(fs::exists(stem + "_unif.bin"));
    }
    EXPECT_FALSE(fs::exists(stem + "_img.bmp"));  // development files only in development mode
    close(fd);
}

TEST_F(Unif, FailingFirstCheckStillChecksAllNineteen) {
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    // A limit the flat field cannot meet on the first figure only.
    ASSERT_EQ(s->_testData.overrideSpec("UNIF", "INT_AVG", 200.0, 1e9), 0);
    Reply r = exchange(fd, "unif", 2, singleImagePayload(600, 400, 128));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(replyCode(r), 35);
    EXPECT_STREQ(reinterpret_cast<const char*>(r.payload.data() + 2), "ink_unif_OOS");
    for (const char* n : kNKVlra_unifNames)
        EXPECT_FALSE(std::isnan(s->_testData.getData("UNIF", n, false))) << n;
    close(fd);
}

TEST_F(Unif, MalformedRequestsAreRefusedBeforeAnyFile) {
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    const std::string run = s->_logPath;
    auto four = [](u16 w, u16 h, u16 e2, int delta) { return fourImagePayload(w, h, 70, e2, fourPixel, delta); };
    Bytes shortSingle = singleImagePayload(8, 4, 1);
    shortSingle.pop_back();
    Bytes bigSize = four(8, 2, 35, 0);  // SIZE and PLEN agree but hold too few pixels for four images
    bigSize[5] = 8;
    bigSize[6] = bigSize[7] = bigSize[8] = 0;
    bigSize.resize(25 + 8);
    struct Case {
        const char* what;
        Bytes payload;
        u16 code;
    } cases[] = {
        {"no ORDER", Bytes{8, 0, 2, 0}, 13},
        {"four-image head short", Bytes(24, 1), 13},
        {"single head short", Bytes{8, 0, 2, 0, 0, 1, 2}, 13},
        {"payload 4 longer than SIZE", four(8, 2, 35, -4), 13},
        {"SIZE below 4 W H", bigSize, 13},
        {"EXP2 rounds to 0", four(8, 2, 34, 0), 13},
        {"W below 4, four images", four(3, 2, 35, 0), 36},
        {"H 0, four images", four(8, 0, 35, 0), 36},
        {"W below 4, single", singleImagePayload(3, 4, 1), 0xE00B},
        {"single shorter than W H", shortSingle, 13},
    };
    u8 seq = 2;
    for (const Case& c : cases) {
        Reply r = exchange(fd, "unif", seq++, c.payload);
        ASSERT_TRUE(r.ok) << c.what;
        EXPECT_EQ(r.header.errc, 0) << c.what;
        EXPECT_EQ(replyCode(r), c.code) << c.what;
        EXPECT_TRUE(unitFiles(run, sn).empty()) << c.what;
    }
    // The link is still served.
    Reply r = exchange(fd, "unif", seq++, singleImagePayload(600, 400, 128));
    EXPECT_EQ(replyCode(r), 0);

    // No payload: transport error 10 without payload, link closed, status FAIL.
    nettest::RawPacket p;
    p.ctrl = nettest::fourCC("unif");
    p.seqn = seq;
    ASSERT_TRUE(nettest::sendAll(fd, p.bytes()));
    Reply e = readReply(fd);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(e.header.errc, 10);
    EXPECT_TRUE(e.payload.empty());
    EXPECT_TRUE(nettest::seesEof(fd));
    close(fd);
}

TEST_F(Unif, WithoutSetupTheRequestIsRefused) {
    const int fd = nettest::rawConnect(settings.port);
    ASSERT_GE(fd, 0);
    Reply r = exchange(fd, "unif", 1, singleImagePayload(600, 400, 128));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.header.errc, 7);
    close(fd);
}

TEST_F(Unif, EightTestersEachWithTheirOwnFiles) {
    std::vector<std::thread> testers;
    std::vector<int> codes(8, -1);
    std::vector<std::string> runs(8);
    const char* codesSn[8] = {"Q2A1", "Q2A2", "Q2A3", "Q2A4", "Q2A5", "Q2A6", "Q2A7", "Q2A8"};
    for (int i = 0; i < 8; ++i)
        testers.emplace_back([&, i] {
            int fd = -1;
            const std::string sn = serial(codesSn[i]);
            CVLRA_cg_testSession* s = open(&fd, sn, "Cell" + std::to_string(i), u8(i));
            if (!s) return;
            runs[i] = s->_logPath + "/" + sn;
            Reply r = exchange(fd, "unif", 2, fourImagePayload(u16(8 + 4 * i), 3, 70, 35, fourPixel), 30000);
            codes[i] = replyCode(r);
            close(fd);
        });
    for (auto& t : testers) t.join();
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(codes[i], 0) << i;
        const std::string csv = nktest::readFile(runs[i] + "_info.csv");
        EXPECT_NE(csv.find("\nCell" + std::to_string(i) + "," + std::to_string(i) + ",70,35,"), std::string::npos)
            << csv;
        EXPECT_NE(csv.find("," + std::to_string(8 + 4 * i) + ",3"), std::string::npos) << csv;
        EXPECT_TRUE(fs::exists(runs[i] + "_unif.zip")) << i;
    }
}

TEST(UnifRequest, CheckedFieldsOfBothForms) {
    Bytes p = singleImagePayload(8, 2, 7);
    t_nkVlraUnifRequest r;
    ASSERT_EQ(nkVlra_checkUnifRequest(p.data(), p.size(), &r), 0);
    EXPECT_EQ(r.w, 8);
    EXPECT_EQ(r.h, 2);
    EXPECT_FLOAT_EQ(r.yOffset, 2.0f);
    EXPECT_EQ(nkVlra_checkUnifRequest(nullptr, 40, &r), 13);
    // A width and height whose product overflows 32 bits against a small SIZE.
    Bytes q = fourImagePayload(4, 1, 70, 35, fourPixel);
    q[0] = q[1] = q[2] = q[3] = 0xFF;
    EXPECT_EQ(nkVlra_checkUnifRequest(q.data(), q.size(), &r), 13);
}

}  // namespace
