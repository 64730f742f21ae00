// Whole units against the headless station program over loopback: a raw tester
// sends "tscr", "atst", "unif" and "tsed"; the submission stand-ins run inside
// the program, configured (and made to fail) through their config files, and the
// repository record is a dry-run file. Python reads every file the unit leaves.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "lumbrel_process.h"
#include "net_test_util.h"
#include "nk_error.h"
#include "nk_test_util.h"
#include "station_peer.h"
#include "unit_tester.h"

namespace fs = std::filesystem;
using namespace stationtest;

namespace {

// Files whose name ends with `suffix`, anywhere below `root`.
std::vector<fs::path> findFiles(const fs::path& root, const std::string& suffix) {
    std::vector<fs::path> out;
    std::error_code ec;
    if (!fs::exists(root, ec)) return out;
    for (auto it = fs::recursive_directory_iterator(root, ec); it != fs::recursive_directory_iterator(); it.increment(ec)) {
        const std::string n = it->path().filename().string();
        if (n.size() >= suffix.size() && n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
            out.push_back(it->path());
    }
    return out;
}

// The unit's own folder (its CSV log and property list lie there, its runs below).
fs::path unitFolder(const fs::path& logs, const std::string& sn) {
    for (const fs::path& f : findFiles(logs, sn))
        if (f.parent_path().filename() == "LogsFolder") return f;
    return {};
}

std::vector<fs::path> filesIn(const fs::path& folder, const std::string& ext) {
    std::vector<fs::path> out;
    std::error_code ec;
    if (!folder.empty() && fs::is_directory(folder, ec))
        for (const auto& e : fs::directory_iterator(folder))
            if (e.path().extension() == ext) out.push_back(e.path());
    return out;
}

size_t countLines(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (const std::string& l : nktest::splitLines(text))
        if (l.rfind(what, 0) == 0) ++n;
    return n;
}

// Whether the station is still at work: a tester waits for its reply as long as
// the station's output keeps growing, and gives up after a minute without a
// line. Sixteen units at once share what CPU a loaded machine leaves them, so
// their replies may come minutes after they were asked for; a station that hangs
// still fails within a minute of its last line.
class StationProgress {
public:
    explicit StationProgress(const nktest::LumbrelProcess& station)
        : station_(station), bytes_(station.outputBytes()), at_(std::chrono::steady_clock::now()) {}
    // True after a minute without output, counted from `waitStart` at the earliest.
    bool stalled(std::chrono::steady_clock::time_point waitStart) {
        std::lock_guard<std::mutex> guard(mtx_);
        const auto now = std::chrono::steady_clock::now();
        const std::uintmax_t bytes = station_.outputBytes();
        if (bytes != bytes_) {
            bytes_ = bytes;
            at_ = now;
        }
        return now - std::max(at_, waitStart) > std::chrono::seconds(60);
    }

private:
    const nktest::LumbrelProcess& station_;
    std::mutex mtx_;
    std::uintmax_t bytes_;
    std::chrono::steady_clock::time_point at_;
};

// Waits until `fd` can be read, while the station works.
bool readableWhileBusy(int fd, StationProgress& progress) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, 500);
        if (r > 0) return true;
        if (r < 0 && errno != EINTR) return false;
        if (progress.stalled(start)) return false;
    }
}

// Exactly `n` bytes, or fewer when the station closes the link or stalls.
Bytes recvWhileBusy(int fd, size_t n, StationProgress& progress) {
    Bytes out(n);
    size_t got = 0;
    while (got < n && readableWhileBusy(fd, progress)) {
        const ssize_t k = recv(fd, out.data() + got, n - got, 0);
        if (k <= 0) break;
        got += size_t(k);
    }
    out.resize(got);
    return out;
}

// One packet and its reply, as exchange() does, waiting while the station works.
Reply askWhileBusy(int fd, const char* ctrl, u8 seqn, const Bytes& payload, StationProgress& progress) {
    nettest::RawPacket packet;
    packet.ctrl = nettest::fourCC(ctrl);
    packet.seqn = seqn;
    packet.payload = payload;
    Reply r;
    if (!nettest::sendAll(fd, packet.bytes())) return r;
    const Bytes head = recvWhileBusy(fd, 16, progress);
    if (head.size() < 16) return r;
    r.header = nettest::parseHeader(head);
    if (r.header.plen > (16u << 20)) return r;  // no reply of the station is that long
    const Bytes body = recvWhileBusy(fd, r.header.plen, progress);
    if (body.size() != r.header.plen) return r;
    if (r.header.plen > 0) r.payload.assign(body.begin(), body.end() - 1);
    r.ok = true;
    return r;
}

// True when the station closes the link, waiting while it works.
bool closedWhileBusy(int fd, StationProgress& progress) {
    uint8_t sink[4096];
    while (readableWhileBusy(fd, progress)) {
        const ssize_t k = recv(fd, sink, sizeof(sink), 0);
        if (k == 0) return true;
        if (k < 0) return errno == ECONNRESET;
    }
    return false;
}

struct WholeUnit : ::testing::Test {
    nktest::TempDir dir;
    fs::path logs, data, records, qbConfig, tamselConfig, callLog;
    uint16_t port = 0;
    std::unique_ptr<nktest::LumbrelProcess> lumbrel;
    std::unique_ptr<StationProgress> progress;

    void SetUp() override {
        if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
        logs = dir.path() / "logs";
        data = dir.path() / "data";
        records = dir.path() / "records";
        for (const fs::path& p : {logs, data, records}) fs::create_directories(p);
        qbConfig = dir.path() / "quenbar.conf";
        tamselConfig = dir.path() / "tamsel.conf";
        callLog = dir.path() / "calls.log";
        configure("");
        nktest::writeFile(tamselConfig.string(), "check = 0x0E ABC\ncheck = 0x1F XYZ\n");
        setenv("NK_QUENBAR_CONFIG", qbConfig.c_str(), 1);
        setenv("NK_TAMSEL_CONFIG", tamselConfig.c_str(), 1);
    }
    void TearDown() override {
        if (lumbrel) {
            EXPECT_EQ(lumbrel->stop(), 0) << lumbrel->err();
            EXPECT_TRUE(lumbrel->clean()) << lumbrel->err();
        }
        unsetenv("NK_QUENBAR_CONFIG");
        unsetenv("NK_TAMSEL_CONFIG");
    }

    // The record store's settings plus `extra` lines; a new file, so that the
    // stand-in sees the change and counts calls afresh.
    void configure(const std::string& extra) {
        const std::string tmp = qbConfig.string() + ".new";
        nktest::writeFile(tmp, "record_dir = " + records.string() + "\ncall_log = " + callLog.string() + "\n" + extra);
        fs::rename(tmp, qbConfig);
        fs::remove(callLog);
    }
    std::string calls() { return fs::exists(callLog) ? nktest::readFile(callLog.string()) : std::string(); }

    void start(bool submission = true) {
        std::vector<std::string> args;
        for (int attempt = 0; attempt < 5; ++attempt) {
            port = nettest::freePort();
            args = {"--headless", "--port", std::to_string(port), "--log-root", logs.string(), "--data-root",
                    data.string(), "--repository-dry-run"};
            if (!submission) args.push_back("--no-submission");
            lumbrel = std::make_unique<nktest::LumbrelProcess>(dir.path().string(), args);
            ASSERT_TRUE(lumbrel->started());
            if (lumbrel->waitForOutput("Data Server Launched")) {
                progress = std::make_unique<StationProgress>(*lumbrel);
                return;
            }
            lumbrel->stop();
            lumbrel.reset();
        }
        FAIL() << "the station did not launch";
    }

    struct Unit {
        u16 tscr = 0xFFFF, atst = 0xFFFF, unif = 0xFFFF;
        PostReply reply;
        bool closed = false;
    };
    // One unit from "tscr" to "tsed". With `record`, the repository's dry-run
    // file holds this unit's own transmittance before "tsed".
    Unit runUnit(const std::string& sn, const std::string& cell = "CellW", u8 id = 5, bool record = true,
                 bool measure = true) {
        Unit u;
        const int fd = nettest::rawConnect(port);
        if (fd < 0) return u;
        Reply r = askWhileBusy(fd, "tscr", 1, tscrPayload(cell, id, sn), *progress);
        u.tscr = r.ok ? r.header.errc : 0xFFFF;
        if (measure) {
            u.atst = postReply(askWhileBusy(fd, "atst", 2, atstPayload(3), *progress)).code;
            if (record) {
                const auto tables = findFiles(logs, sn + "_atst_trans.csv");
                const auto folders = findFiles(logs, "_" + cell);
                for (const fs::path& f : folders)
                    if (f.filename().string().rfind("VDXData_", 0) == 0 && !tables.empty()) {
                        const std::vector<u8> rec = ctclRecordFromTable(tables.back().string(), sn, 2);
                        nktest::writeFile((f / (sn + "_CtCl.bin")).string(), std::string(rec.begin(), rec.end()));
                    }
            }
            u.unif = postReply(askWhileBusy(fd, "unif", 3, unifPayload(), *progress)).code;
        }
        u.reply = postReply(askWhileBusy(fd, "tsed", 4, Bytes{1}, *progress));
        u.closed = closedWhileBusy(fd, *progress);
        close(fd);
        return u;
    }
};

TEST_F(WholeUnit, PassingUnitIsBinnedWrittenAndCommitted) {
    start();
    const std::string sn = serial("Q2A5");
    const Unit u = runUnit(sn);
    EXPECT_EQ(u.tscr, 0);
    EXPECT_EQ(u.atst, 0);
    EXPECT_EQ(u.unif, 0);
    ASSERT_TRUE(u.reply.ok) << lumbrel->out();
    EXPECT_EQ(u.reply.code, 0) << u.reply.text;
    EXPECT_EQ(u.reply.bin, 'P');
    EXPECT_EQ(u.reply.byte29, 0);
    EXPECT_TRUE(u.closed);

    const auto plists = filesIn(unitFolder(logs, sn), ".plist");
    ASSERT_EQ(plists.size(), 1u);
    EXPECT_EQ(filesIn(unitFolder(logs, sn), ".csv").size(), 1u);
    const std::string out = python(
        "import csv, plistlib, glob, subprocess, os\n"
        "stats = [p for p in glob.glob('" + logs.string() + "/*/Statistics/CGCal_*.csv')]\n"
        "rows = list(csv.reader(open(stats[0], newline='')))\n"
        "head, data = rows[1], rows[5:]\n"
        "print('stats', len(stats), len(data), len(data[0]) == len(head), data[0][head.index('SerialNumber')],\n"
        "      data[0][head.index('Test Pass/Fail Status')], data[0][head.index('POST::BIN_CODE')])\n"
        "pl = plistlib.load(open('" + plists[0].string() + "', 'rb'))\n"
        "tests = pl['0']['Tests']\n"
        "print('plist', sorted(pl), pl['0']['OverallResult'], len(tests) > 300,\n"
        "      all(t['result'] == 'PASS' for t in tests))\n"
        "recs = glob.glob('" + records.string() + "/*.plist')\n"
        "rec = plistlib.load(open(recs[0], 'rb'))\n"
        "names = [i['testname'] for i in rec['Items']]\n"
        "print('record', len(recs), rec['Passed'], len(names) == len(tests), 'T::TP1_T_PCT_550' in names)\n"
        "z = os.path.join('" + records.string() + "', rec['Blobs'][0]['file'])\n"
        "print('unzip', subprocess.run(['unzip', '-tq', z], capture_output=True).returncode)\n");
    EXPECT_NE(out.find("stats 1 1 True " + sn + " PASS P\n"), std::string::npos) << out;
    EXPECT_NE(out.find("plist ['0'] PASS True True\n"), std::string::npos) << out;
    EXPECT_NE(out.find("record 1 True True True\n"), std::string::npos) << out;
    EXPECT_NE(out.find("unzip 0\n"), std::string::npos) << out;
}

TEST_F(WholeUnit, WithoutSubmissionOnlyTheStatisticsRowIsWritten) {
    start(false);
    const std::string sn = serial("Q2A5");
    const Unit u = runUnit(sn);
    ASSERT_TRUE(u.reply.ok);
    EXPECT_EQ(u.reply.code, 0) << u.reply.text;
    EXPECT_EQ(u.reply.bin, 'P');
    EXPECT_TRUE(u.closed);
    const std::string out = python(
        "import csv, glob\n"
        "stats = glob.glob('" + logs.string() + "/*/Statistics/CGCal_*.csv')\n"
        "rows = list(csv.reader(open(stats[0], newline='')))\n"
        "print('stats', len(stats), len(rows) - 5, rows[5][rows[1].index('POST::BIN_CODE')])\n");
    EXPECT_NE(out.find("stats 1 1 P\n"), std::string::npos) << out;
    ASSERT_FALSE(unitFolder(logs, sn).empty());
    EXPECT_TRUE(filesIn(unitFolder(logs, sn), ".plist").empty());
    EXPECT_TRUE(filesIn(unitFolder(logs, sn), ".csv").empty());
    EXPECT_TRUE(calls().empty());
}

TEST_F(WholeUnit, UnitWithoutRepositoryRecordIsAnsweredNoEntryAndBinnedF) {
    start();
    const std::string sn = serial("Q2A5");
    const Unit u = runUnit(sn, "CellW", 5, false);
    EXPECT_EQ(u.atst, 0);
    ASSERT_TRUE(u.reply.ok) << lumbrel->out();
    EXPECT_EQ(u.reply.code, kNKErr_vdx_no_entry) << u.reply.text;
    EXPECT_EQ(u.reply.text, "vdx_no_entry");
    EXPECT_EQ(u.reply.byte29, 0);
    EXPECT_EQ(u.reply.bin, 'F');
    EXPECT_TRUE(u.closed);
    // The statistics row carries the same first error, and the record says why.
    const std::string out = python(
        "import csv, glob\n"
        "stats = glob.glob('" + logs.string() + "/*/Statistics/CGCal_*.csv')\n"
        "rows = list(csv.reader(open(stats[0], newline='')))\n"
        "head, row = rows[1], rows[5]\n"
        "print('row', *(row[head.index(c)] for c in ('Test Pass/Fail Status', 'errCode', 'errStr',\n"
        "      'VDXU::VDX_CONFIRM_RESULT', 'VDXU::TP1_TILT_Ratio_550', 'POST::BIN_CODE')))\n");
    EXPECT_NE(out.find("row FAIL 592 vdx_no_entry; 0 nan F\n"), std::string::npos) << out;
    // The unit is still posted, as a failing one.
    EXPECT_EQ(findFiles(records, ".plist").size(), 1u);
}

TEST_F(WholeUnit, FailuresOnDemandEachFollowedByANormalUnit) {
    start();
    const std::string sn = serial("Q2A5");
    // A normal unit first: how many health answers a unit asks for (the post item's
    // own check is the last).
    Unit u = runUnit(sn);
    ASSERT_EQ(u.reply.bin, 'P') << u.reply.code << " " << u.reply.text;
    const size_t health = countLines(calls(), "QB_amIOkay");
    ASSERT_GE(health, 1u);
    const auto unitCsvs = filesIn(unitFolder(logs, sn), ".csv");
    ASSERT_EQ(unitCsvs.size(), 1u);
    const std::string unitCsv = unitCsvs[0].string();
    const fs::path unitPlist = fs::path(unitCsv).replace_extension(".plist");
    size_t committed = findFiles(records, ".plist").size();
    ASSERT_EQ(committed, 1u);
    const std::string h = std::to_string(health);

    struct Case {
        const char* what;
        std::string hook;
        u16 code;
        char bin;
        bool posted;
    } cases[] = {
        {"refused start", "fail = QB_UUTStart 1 5 0 store down\n", 218, 'F', false},
        {"unhealthy, class 32", "fail = QB_amIOkay " + h + " 1 32 locked by process control\n", 350, 'F', false},
        {"unhealthy, late", "delay = QB_amIOkay " + h + " 1 400 32 late answer\n", 350, 'F', false},
        // A record that did not go out fails the unit (352 hubrUploadFailed).
        {"refused commit", "fail = QB_UUTCommit 1 1 0 store offline\n", 352, 'F', true},
        {"late commit", "delay = QB_UUTCommit 1 1 400 0 timed out\n", 352, 'F', true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t rowsBefore = nktest::splitLines(nktest::readFile(unitCsv)).size();
        configure(c.hook);
        u = runUnit(sn);
        ASSERT_TRUE(u.reply.ok);
        EXPECT_EQ(u.reply.code, c.code) << u.reply.text;
        EXPECT_EQ(u.reply.bin, c.bin);
        EXPECT_TRUE(u.closed);
        EXPECT_EQ(findFiles(records, ".plist").size(), committed);
        const std::string log = calls();
        EXPECT_LE(countLines(log, "QB_UUTCommit"), 1u) << log;
        EXPECT_LE(countLines(log, "QB_addBlob"), 1u) << log;
        EXPECT_LE(countLines(log, "QB_UUTStart"), c.code == 218 ? 5u : 1u) << log;
        // The unit's files stay; a unit that was not posted adds no row to its CSV log.
        EXPECT_EQ(nktest::splitLines(nktest::readFile(unitCsv)).size(), rowsBefore + (c.posted ? 1 : 0));
        EXPECT_TRUE(fs::exists(unitPlist));
        if (!c.posted) {
            EXPECT_EQ(countLines(log, "QB_addResult"), 0u) << log;
        }

        const size_t resultsSent = countLines(log, "QB_addResult");
        configure("");
        u = runUnit(sn);
        // The next unit's list holds one run more: a list sent twice would hold more.
        EXPECT_LE(resultsSent, countLines(calls(), "QB_addResult"));
        EXPECT_EQ(u.reply.code, 0) << u.reply.text;
        EXPECT_EQ(u.reply.bin, 'P');
        EXPECT_EQ(findFiles(records, ".plist").size(), ++committed);
    }
}

TEST_F(WholeUnit, SixteenTestersAtOnceLeaveWholeRows) {
    start();
    constexpr int kTesters = 16;
    std::vector<std::thread> testers;
    std::vector<Unit> units(kTesters);
    std::vector<std::string> serials;
    for (int i = 0; i < kTesters; ++i) serials.push_back(serial("Q2A5", "S" + std::to_string(10 + i)));
    for (int i = 0; i < kTesters; ++i)
        testers.emplace_back([&, i] { units[i] = runUnit(serials[i], "CellW", u8(i), true, false); });
    for (auto& t : testers) t.join();
    for (int i = 0; i < kTesters; ++i) {
        EXPECT_EQ(units[i].tscr, 0) << i;
        EXPECT_TRUE(units[i].reply.ok) << i;
        EXPECT_TRUE(units[i].closed) << i;
    }
    // One cell, one statistics file: sixteen rows, each with every column.
    const std::string out = python(
        "import csv, glob\n"
        "stats = glob.glob('" + logs.string() + "/*/Statistics/CGCal_*.csv')\n"
        "rows = list(csv.reader(open(stats[0], newline='')))\n"
        "head, data = rows[1], rows[5:]\n"
        "print('files', len(stats), 'rows', len(data), 'whole', all(len(r) == len(head) for r in data),\n"
        "      'serials', len({r[0] for r in data}))\n");
    EXPECT_NE(out.find("files 1 rows 16 whole True serials 16\n"), std::string::npos) << out;
}

}  // namespace
