// The uniformity item through the station's sessions on loopback: a raw-socket
// tester sends "tscr" then "unif"; files are read back by Python, Pillow and unzip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "AppDelegate.h"
#include "CVLRA_cg_testSession.h"
#include "CVLRA_cg_uniformity.h"
#include "net_test_util.h"
#include "nk_test_util.h"
#include "nk_velora.h"
#include "station_peer.h"
#include "velora_test_images.h"

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

Bytes singleImagePayload(u16 w, u16 h, const std::vector<u8>& pixels) {
    Bytes p;
    nettest::putLe(p, w, 2);
    nettest::putLe(p, h, 2);
    p.push_back(0);
    nettest::putLe(p, u64(w) * h, 4);
    putF32(p, 1.0f);
    putF32(p, 2.0f);
    putF32(p, 3.0f);
    p.insert(p.end(), pixels.begin(), pixels.end());
    return p;
}

Bytes singleImagePayload(u16 w, u16 h, u8 value) { return singleImagePayload(w, h, std::vector<u8>(size_t(w) * h, value)); }

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
    // What reached the station window's log since the last call.
    std::string appLog() { return app->takeLogString(); }

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

// A second exposure below 35 rounds to 0: the request is taken, its map holds 0
// where there is no exposure ratio, and every value stays finite.
TEST_F(Unif, ExposuresThatRoundToZeroGiveAFiniteMap) {
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    const struct {
        u16 exp1, exp2;
        const char* csvExposures;
    } cases[] = {{70, 34, ",70,0,"}, {70, 0, ",70,0,"}, {34, 35, ",0,35,"}};
    u8 seq = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.exp1) + "/" + std::to_string(c.exp2));
        s->_testData._errCodes.clear();
        const Reply r = exchange(fd, "unif", seq++, fourImagePayload(8, 2, c.exp1, c.exp2, fourPixel));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.header.errc, 0);
        EXPECT_EQ(replyCode(r), 0);
        EXPECT_EQ(s->_ctrlItemMap.at(kVLRA_ctrl_unif)->testStatus(), kNkTestStat_PASS);
        ASSERT_EQ(s->_unif_t_map.size(), 16u);
        for (float v : s->_unif_t_map) EXPECT_EQ(v, 0.0f);
        EXPECT_NE(nktest::readFile(s->_logPath + "/" + sn + "_info.csv").find(c.csvExposures), std::string::npos);
    }
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
    // Every verdict is in the unit's log, in order after the failing first, and the
    // result in the station window's log.
    const std::string log = nktest::readFile(s->_logPath + "/" + sn + ".log");
    size_t at = log.find("** Check Spec ***");
    ASSERT_NE(at, std::string::npos) << log;
    for (const char* n : kNKVlra_unifNames) {
        const std::string item = std::string("UNIF::") + n;
        do at = log.find(item, at + 1);  // the name whole: padded with blanks, then a tab
        while (at != std::string::npos && log[at + item.size()] != ' ' && log[at + item.size()] != '\t');
        ASSERT_NE(at, std::string::npos) << n << "\n" << log;
    }
    EXPECT_NE(log.find("*** Uniformity Test FAILED", at), std::string::npos) << log;
    std::string window;
    EXPECT_TRUE(nettest::waitFor([&] {
        window += appLog();
        return window.find("[T3] *** Uniformity Test FAILED") != std::string::npos;
    })) << window;
    EXPECT_NE(window.find("[T3] INT_AVG 128.000 X 1.000, Y 2.000, A 3.000"), std::string::npos) << window;
    close(fd);
}

TEST_F(Unif, SingleImageEqualsNumpyThroughTheSession) {
    if (!nktest::havePython()) GTEST_SKIP();
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    const std::string stem = s->_logPath + "/" + sn;
    const struct {
        u16 w, h;
        int newW, newH, r;
        unsigned seed;
    } roads[] = {{1000, 400, 800, 100, 50, 11}, {600, 400, 176, 176, 88, 12}};
    u8 seq = 2;
    for (const auto& rd : roads) {
        SCOPED_TRACE(testing::Message() << rd.w << "x" << rd.h);
        const CNK_velora_image src = nktest::flatField(rd.w, rd.h, rd.seed);
        const Reply r = exchange(fd, "unif", seq++, singleImagePayload(rd.w, rd.h, src.d));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(replyCode(r), 0);

        // The oracle runs on the image as received; Pillow reads the stored scaled image.
        nktest::TempDir work;
        nktest::writeFile(work.file("src.raw"), std::string(src.d.begin(), src.d.end()));
        const std::string out = py(
            "import subprocess, sys\n"
            "import numpy as np\n"
            "from PIL import Image\n"
            "w = '" + work.path().string() + "'\n"
            "figs = subprocess.run([sys.executable, '" NK_TEST_DATA_DIR "/velora_oracle.py', w + '/src.raw', '" +
            std::to_string(rd.w) + "', '" + std::to_string(rd.h) + "', '" + std::to_string(rd.newW) + "', '" +
            std::to_string(rd.newH) + "', '" + std::to_string(rd.r) + "', '10', '0.5', w],\n"
            "                      check=True, capture_output=True, text=True).stdout\n"
            "want = np.fromfile(w + '/scale.raw', np.uint8).reshape(" + std::to_string(rd.newH) + ", " +
            std::to_string(rd.newW) + ")\n"
            "im = Image.open('" + stem + "_img_scale.bmp')\n"
            "got = np.asarray(im)\n"
            "print(im.size, im.mode)\n"
            // Rows are stored bottom-up: the picture's top row is the image's last.
            "print('pixels', np.array_equal(got[::-1], want), int((got[::-1] != want).sum()))\n"
            "print(figs.strip())\n");
        std::istringstream lines(out);
        std::string sizeLine, pixelLine, figLine;
        std::getline(lines, sizeLine);
        std::getline(lines, pixelLine);
        std::getline(lines, figLine);
        EXPECT_EQ(sizeLine, "(" + std::to_string(rd.newW) + ", " + std::to_string(rd.newH) + ") L") << out;
        EXPECT_EQ(pixelLine, "pixels True 0") << out;
        std::istringstream figs(figLine);
        std::vector<double> want;
        for (double v; figs >> v;) want.push_back(v);
        ASSERT_EQ(want.size(), std::size(kNKVlra_unifNames)) << out;
        for (size_t i = 0; i < want.size(); ++i) {
            const double got = s->_testData.getData("UNIF", kNKVlra_unifNames[i], false);
            if (std::isnan(want[i]))
                EXPECT_TRUE(std::isnan(got)) << kNKVlra_unifNames[i];
            else
                EXPECT_NEAR(got, want[i], 1e-9 * std::max(1.0, std::fabs(want[i]))) << kNKVlra_unifNames[i];
        }
    }
    close(fd);
}

// The unit's files of the uniformity item: name -> bytes.
std::map<std::string, std::string> unifFileBytes(const std::string& run, const std::string& sn) {
    std::map<std::string, std::string> out;
    for (auto& e : fs::directory_iterator(run)) {
        const std::string n = e.path().filename().string();
        if (n.rfind(sn + "_", 0) == 0 && n != sn + "_tscr.bin") out[n] = nktest::readFile(e.path().string());
    }
    return out;
}

TEST_F(Unif, OfflineRunWritesTheSameFilesWithoutReplying) {
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    const std::string run = s->_logPath;
    const CNK_velora_image src = nktest::flatField(600, 400, 21);
    const Bytes single = singleImagePayload(600, 400, src.d);
    const Bytes four = fourImagePayload(10, 3, 100, 69, fourPixel);
    ASSERT_EQ(replyCode(exchange(fd, "unif", 2, single)), 0);
    ASSERT_EQ(replyCode(exchange(fd, "unif", 3, four)), 0);
    const auto online = unifFileBytes(run, sn);
    const std::vector<float> onlineMap = s->_unif_t_map;
    const double onlineAvg = s->_testData.getData("UNIF", "INT_AVG", false);
    for (const auto& [name, bytes] : online) fs::remove(fs::path(run) / name);
    s->_unif_t_map.clear();

    s->_isOfflineRun = true;
    u8 seq = 4;
    for (const Bytes* payload : {&single, &four}) {
        appLog();  // drop what came before
        nettest::RawPacket p;
        p.ctrl = nettest::fourCC("unif");
        p.seqn = seq++;
        p.payload = *payload;
        ASSERT_TRUE(nettest::sendAll(fd, p.bytes()));
        std::string seen;
        EXPECT_TRUE(nettest::waitFor([&] {
            seen += appLog();
            return seen.find("*** Uniformity Test PASSED") != std::string::npos;
        }, 20000)) << seen;
        EXPECT_TRUE(nettest::recvN(fd, 1, 500).empty());  // no reply
    }
    s->_isOfflineRun = false;
    EXPECT_TRUE(s->isNtcpRunning());

    const auto offline = unifFileBytes(run, sn);
    std::vector<std::string> onlineNames, offlineNames;
    for (const auto& [name, bytes] : online) onlineNames.push_back(name);
    for (const auto& [name, bytes] : offline) offlineNames.push_back(name);
    EXPECT_EQ(offlineNames, onlineNames);
    for (const auto& [name, bytes] : offline) {
        if (name.find(".zip") == std::string::npos) {  // the archive holds times
            EXPECT_EQ(bytes, online.at(name)) << name;
        }
    }
    EXPECT_EQ(s->_unif_t_map, onlineMap);
    EXPECT_EQ(s->_testData.getData("UNIF", "INT_AVG", false), onlineAvg);
    close(fd);
}

TEST_F(Unif, DevelopmentModeFromTheSetupSnapshotAddsTheDebugImages) {
    if (!nktest::havePython()) GTEST_SKIP();
    int fd = -1;
    const std::string sn = serial("Q2A5");
    CVLRA_cg_testSession* s = open(&fd, sn);
    ASSERT_NE(s, nullptr);
    // Switched on after "tscr": this unit still runs without it.
    for (auto* each : app->sessions())
        each->updateOperatorSettings([](t_vlraOperatorSettings& o) { o.isDevelopmentMode = true; });
    std::vector<u8> px(size_t(602) * 4);
    for (size_t i = 0; i < px.size(); ++i) px[i] = u8(i % 602 + 7 * (i / 602));
    const Bytes single = singleImagePayload(602, 4, px);
    ASSERT_EQ(replyCode(exchange(fd, "unif", 2, single)), 0);
    EXPECT_FALSE(fs::exists(s->_logPath + "/" + sn + "_img.bmp"));
    EXPECT_FALSE(fs::exists(s->_logPath + "/" + sn + "_1_image.bmp"));

    // The next unit takes it.
    ASSERT_EQ(exchange(fd, "tscr", 3, tscrPayload("CellU", 3, sn)).header.errc, 0);
    ASSERT_TRUE(s->_isDevelopmentMode);
    const std::string stem = s->_logPath + "/" + sn;
    ASSERT_EQ(replyCode(exchange(fd, "unif", 4, single)), 0);
    ASSERT_EQ(replyCode(exchange(fd, "unif", 5, fourImagePayload(10, 3, 70, 35, fourPixel))), 0);
    nktest::TempDir work;
    nktest::writeFile(work.file("px.raw"), std::string(px.begin(), px.end()));
    const std::string out = py(
        "import numpy as np\n"
        "from PIL import Image\n"
        "stem = '" + stem + "'\n"
        "sent = np.fromfile('" + work.file("px.raw") + "', np.uint8).reshape(4, 602)[:, :600]\n"
        "for n in ['_img', '_1_image', '_3_image_flat_flip_vert']:\n"
        "    im = Image.open(stem + n + '.bmp')\n"
        "    print(n, im.size, np.array_equal(np.asarray(im)[::-1], sent))\n"
        "ape = np.asarray(Image.open(stem + '_img_ape_exp2.bmp'))\n"
        "cut = np.asarray(Image.open(stem + '_img_ape_exp2_cut.bmp'))\n"
        "print('ape', ape.shape, np.array_equal(ape, cut))\n");
    // The received image after the width cut, in every one of the three files.
    for (const char* n : {"_img", "_1_image", "_3_image_flat_flip_vert"})
        EXPECT_NE(out.find(std::string(n) + " (600, 4) True"), std::string::npos) << n << "\n" << out;
    EXPECT_NE(out.find("ape (3, 8) True"), std::string::npos) << out;
    for (auto* each : app->sessions())
        each->updateOperatorSettings([](t_vlraOperatorSettings& o) { o.isDevelopmentMode = false; });
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
