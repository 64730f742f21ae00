// The submission wrapper over libFerrin and the two outside stand-ins: starts,
// the initial control-bit phase, health, commits, and the shop-floor query over
// real HTTP on loopback.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CVLRA_error.h"
#include "ZelkHUBR.h"
#include "ferrin.h"
#include "nk_gtest_util.h"
#include "nk_log.h"
#include "nk_log_lines.h"
#include "nk_test_util.h"
#include "quenbar.h"
#include "tamsel.h"

namespace {

class ZelkHubrTest : public ::testing::Test {
protected:
    void SetUp() override {
        unsetenv("NK_QUENBAR_CONFIG");
        unsetenv("NK_TAMSEL_CONFIG");
        QBStub_reset();
        TamselStub_reset();
        std::filesystem::create_directories(dir_.file("records"));
        QBStub_setRecordDir(dir_.file("records").c_str());
        lm_.setVerboseLevel(kVL6);
        lm_.setLogRelay(&log_);
        ZelkHUBR_setSystemLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(sysMutex_);
            sysLog_.push_back(line);
        });
    }
    void TearDown() override {
        ZelkHUBR_setSystemLogSink({});
        lm_.setLogRelay(nullptr);
    }

    u16 start(const char* sn, u8 own = 0x20) {
        return ZNCB_StartSessnion(&lm_, "CG-STN", sn, "1.00.00", status_, failCount_, own, err_, sizeof(err_), kVL2);
    }

    std::vector<std::string> sysLog() {
        std::lock_guard<std::mutex> lock(sysMutex_);
        return sysLog_;
    }

    // A unit's property list as the station writes it, by Python's plistlib.
    std::string writeUnitPlist(const std::string& name) {
        const std::string path = dir_.file(name);
        nktest::runPython(dir_,
                          "import plistlib,sys\n"
                          "t=lambda n,r:{'testname':n,'priority':'1','result':r,'value':'1.5',"
                          "'lowerlimit':'1','upperlimit':'2','units':'mm'}\n"
                          "plistlib.dump({'0':{'Tests':[t('Trans','PASS'),t('Unif','PASS')]}},"
                          "open(sys.argv[1],'wb'),fmt=plistlib.FMT_XML)\n",
                          path, name + ".py");
        return path;
    }

    size_t committedRecords() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(dir_.file("records")))
            if (e.path().extension() == ".plist") ++n;
        return n;
    }

    nktest::TempDir dir_;
    CNK_logManager lm_;
    nktest::LogLines log_;
    u8 status_[256] = {};
    u8 failCount_[256] = {};
    char err_[512] = {};
    std::mutex sysMutex_;
    std::vector<std::string> sysLog_;
};

TEST_F(ZelkHubrTest, MissingArgumentsGiveFiveBeforeAnyCall) {
    EXPECT_EQ(ZNCB_StartSessnion(&lm_, "CG-STN", "SN-N", nullptr, status_, failCount_, 0x20, err_, sizeof(err_), kVL2),
              kNKErr_invalidParam);
    EXPECT_EQ(ZNCB_StartSessnion(&lm_, "CG-STN", "SN-N", "1", nullptr, failCount_, 0x20, err_, sizeof(err_), kVL2),
              kNKErr_invalidParam);
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 0);
    EXPECT_TRUE(sysLog().empty());
    EXPECT_FALSE(FN_SessionExists("SN-N"));
}

TEST_F(ZelkHubrTest, FiveRefusedStartsGive218AndLeaveNoSession) {
    QBStub_failCall("QB_UUTStart", 1, 0, 0, "record store down");
    EXPECT_EQ(start("SN-R"), kNKErr_hubrSessionStartFailed);
    std::vector<std::string> trials;
    for (const std::string& l : sysLog())
        if (l.rfind("Trial ", 0) == 0) trials.push_back(l);
    EXPECT_EQ(trials, (std::vector<std::string>{"Trial 1", "Trial 2", "Trial 3", "Trial 4", "Trial 5"}));
    // Every attempt really started again: none was answered "already started".
    EXPECT_EQ(QBStub_callCount("QB_UUTStart"), 5);
    EXPECT_STREQ(err_, "Unable to initialize Quenbar with error: Quenbar start fail: record store down\n");
    EXPECT_TRUE(log_.has("[Err] FN_StartSession err=  3 (START_FAIL    } Unable to initialize"));
    EXPECT_FALSE(FN_SessionExists("SN-R"));

    // The serial number is free again for its next unit; the text is cut to the caller's size.
    QBStub_reset();
    QBStub_setRecordDir(dir_.file("records").c_str());
    QBStub_failCall("QB_UUTStart", 1, 1, 0, "once");
    char small[8];
    std::memset(small, 'x', sizeof(small));
    EXPECT_EQ(ZNCB_StartSessnion(&lm_, "CG-STN", "SN-R", "1", status_, failCount_, 0x20, small, sizeof(small), kVL2),
              0);
    EXPECT_STREQ(small, "Unable ");
    EXPECT_TRUE(FN_SessionExists("SN-R"));
    EXPECT_EQ(FN_CloseSession("SN-R"), 0);
}

TEST_F(ZelkHubrTest, InitialPhaseAnsweredFromTheArrays) {
    const int checks[] = {0x0E, 0x1F, 0x2A};
    const char* names[] = {"ABC", "XYZ", "QRS"};
    TamselStub_setCheckList(3, checks, names);
    EXPECT_EQ(start("SN-OK"), 0) << err_;
    EXPECT_TRUE(FN_SessionExists("SN-OK"));
    EXPECT_TRUE(log_.has("\tNumber of CBs in list:5"));
    EXPECT_TRUE(log_.has("\t[0x0E( 14)] READ  status=Passed (  0) failCnt=  0\n"));
    EXPECT_TRUE(log_.has("\t[0x2A( 42)] READ  status=Passed (  0) failCnt=  0\n"));
    EXPECT_TRUE(log_.has("\t[0x20( 32)] WRITE ignored\n"));
    // The run and final phases stay queued: the station writes no control bit.
    FN_Phase* next = FN_GetCurrentPhase("SN-OK");
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->type, static_cast<uint32_t>(FN_PHASE_RUN));
    EXPECT_EQ(FN_CloseSession("SN-OK"), 0);
}

TEST_F(ZelkHubrTest, PhaseFailuresGive219AndCloseTheSession) {
    struct Case {
        const char* name;
        int allowed;
        int badId;       // check id given a failed status, -1 none
        bool outOfRange;  // a check id no array has
        const char* text;
    } cases[] = {
        {"allowed count 0", 0, -1, false, "Relative Fail Count: 0 >= 0"},
        {"a check failed", -1, 0x1F, false, "0x1F XYZ not PASS"},
        {"id beyond 255", -1, -1, true, "CB Read Fail"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TamselStub_reset();
        const int checks[] = {0x0E, c.outOfRange ? 300 : 0x1F};
        const char* names[] = {"ABC", "XYZ"};
        TamselStub_setCheckList(2, checks, names);
        TamselStub_setFailCountAllowed(c.allowed);
        std::memset(status_, 0, sizeof(status_));
        if (c.badId >= 0) status_[c.badId] = FN_CB_FAILED;
        EXPECT_EQ(start("SN-PH"), kNKErr_networkCBFailed);
        EXPECT_NE(std::string(err_).find(c.text), std::string::npos) << err_;
        EXPECT_FALSE(FN_SessionExists("SN-PH"));
    }
}

TEST_F(ZelkHubrTest, UnhealthyStationGives350) {
    QBStub_setHealth(false, 32, "station locked by process control");
    EXPECT_EQ(start("SN-H"), kNKErr_hubrFatalError);
    EXPECT_FALSE(FN_SessionExists("SN-H"));

    // The separate health check keeps the session for the post item to close.
    QBStub_setHealth(true, 0, "");
    ASSERT_EQ(start("SN-H"), 0);
    EXPECT_EQ(ZNCB_AmIOK(&lm_, "SN-H", err_, sizeof(err_), kVL2), 0);
    QBStub_delayCall("QB_amIOkay", QBStub_callCount("QB_amIOkay") + 1, 1, 50, 32, "late answer");
    EXPECT_EQ(ZNCB_AmIOK(&lm_, "SN-H", err_, sizeof(err_), kVL2), kNKErr_hubrFatalError);
    EXPECT_TRUE(log_.has("[Err] FN_FatalErrorCheck err=  8(FATAL_ERROR   )"));
    EXPECT_TRUE(FN_SessionExists("SN-H"));
    EXPECT_EQ(FN_CloseSession("SN-H"), 0);
}

TEST_F(ZelkHubrTest, CommitSubmitsOnceAndClosesOnEveryPath) {
    if (!nktest::havePython()) GTEST_SKIP() << "no Debian python";
    const std::string plist = writeUnitPlist("unit.plist");
    const std::string blobs = dir_.file("SN C1 raw");
    std::filesystem::create_directories(blobs);
    nktest::writeFile(blobs + "/a.csv", "1,2\n");

    ASSERT_EQ(start("SN-C1"), 0);
    EXPECT_EQ(ZNCB_Commit(&lm_, plist.c_str(), blobs.c_str(), "SN-C1", err_, sizeof(err_), kVL2), 0);
    EXPECT_FALSE(FN_SessionExists("SN-C1"));
    EXPECT_EQ(committedRecords(), 1u);
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 1);
    EXPECT_TRUE(log_.has("HUBR done!"));

    // No blob folder: the list goes once, the blob is tried five times, nothing is committed.
    QBStub_reset();
    QBStub_setRecordDir(dir_.file("records").c_str());
    ASSERT_EQ(start("SN-C2"), 0);
    const long itemsBefore = QBStub_callCount("QB_addResult");
    EXPECT_EQ(ZNCB_Commit(&lm_, plist.c_str(), dir_.file("no such folder").c_str(), "SN-C2", err_, sizeof(err_), kVL2),
              kNKErr_hubrUploadFailed);
    EXPECT_EQ(QBStub_callCount("QB_addResult") - itemsBefore, 2) << "the property list was sent once";
    EXPECT_EQ(QBStub_callCount("QB_addBlob"), 0);
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 0);
    EXPECT_EQ(committedRecords(), 1u);
    EXPECT_FALSE(FN_SessionExists("SN-C2"));

    // A refused commit is not repeated: one finish, 352, session closed.
    QBStub_reset();
    QBStub_setRecordDir(dir_.file("records").c_str());
    QBStub_failCall("QB_UUTCommit", 1, 0, 0, "store offline");
    ASSERT_EQ(start("SN-C3"), 0);
    EXPECT_EQ(ZNCB_Commit(&lm_, plist.c_str(), blobs.c_str(), "SN-C3", err_, sizeof(err_), kVL2),
              kNKErr_hubrUploadFailed);
    EXPECT_EQ(QBStub_callCount("QB_UUTCommit"), 1);
    EXPECT_EQ(QBStub_callCount("QB_addBlob"), 1);
    EXPECT_EQ(committedRecords(), 1u);
    EXPECT_FALSE(FN_SessionExists("SN-C3"));

    // A property list that cannot be read: 352 at once, session closed.
    ASSERT_EQ(start("SN-C4"), 0);
    nktest::writeFile(dir_.file("bad.plist"), "not a plist");
    EXPECT_EQ(ZNCB_Commit(&lm_, dir_.file("bad.plist").c_str(), blobs.c_str(), "SN-C4", err_, sizeof(err_), kVL2),
              kNKErr_hubrUploadFailed);
    EXPECT_NE(std::string(err_).find("Unable to read plist"), std::string::npos) << err_;
    EXPECT_FALSE(FN_SessionExists("SN-C4"));
}

// A one-shot HTTP server on loopback: answers each request with `reply` and
// keeps the last request's bytes.
class SfcServer {
public:
    explicit SfcServer(std::string reply) : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        socklen_t len = sizeof(a);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        listen(fd_, 4);
        thread_ = std::thread([this] {
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0) return;
            std::string req;
            char buf[4096];
            for (;;) {
                const ssize_t n = recv(c, buf, sizeof(buf), 0);
                if (n <= 0) break;
                req.append(buf, static_cast<size_t>(n));
                const size_t h = req.find("\r\n\r\n");
                const size_t cl = req.find("Content-Length: ");
                if (h != std::string::npos && cl != std::string::npos &&
                    req.size() >= h + 4 + std::stoul(req.substr(cl + 16)))
                    break;
            }
            request_ = req;
            const std::string resp = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(reply_.size()) +
                                     "\r\nConnection: close\r\n\r\n" + reply_;
            send(c, resp.data(), resp.size(), MSG_NOSIGNAL);
            close(c);
        });
    }
    ~SfcServer() {
        shutdown(fd_, SHUT_RDWR);
        close(fd_);
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/sfc"; }
    std::string request() {
        thread_.join();
        thread_ = std::thread([] {});
        return request_;
    }

private:
    std::string reply_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string request_;
};

TEST_F(ZelkHubrTest, UnitProcessCheckAgainstALoopbackServer) {
    const std::string root = dir_.file("data");
    const std::string cfgDir = root + "/data_collection/test_station_config";
    std::filesystem::create_directories(cfgDir);
    auto config = [&](const std::string& onOff, const std::string& url) {
        nktest::writeFile(cfgDir + "/vq_station_info.json", "{\"vqinfo\":{\"SFC_QUERY_UNIT_ON_OFF\":\"" + onOff +
                                                                "\",\"SFC_URL\":\"" + url +
                                                                "\",\"STATION_ID\":\"LINE 1&CG=2\"}}");
    };
    struct Case {
        const char* reply;
        u16 code;
        const char* text;
    } cases[] = {
        {"0 SFC_OK\nunit_process_check=OK", 0, "OK"},
        {"0 SFC_OK\nunit_process_check=UNIT OUT OF PROCESS <Duplicated Testing>", kNKErr_UOP_Duplicated_Testing,
         "UNIT OUT OF PROCESS <Duplicated Testing>"},
        {"0 SFC_OK\nunit_process_check=UNIT OUT OF PROCESS <Failed Should go to FA>",
         kNKErr_UOP_Failed_Should_go_to_FA, "UNIT OUT OF PROCESS <Failed Should go to FA>"},
        {"0 SFC_OK\nunit_process_check=UNIT OUT OF PROCESS <Should go to another Tester>",
         kNKErr_UOP_Failed_Should_go_to_another_Tester, "UNIT OUT OF PROCESS <Should go to another Tester>"},
        {"0 SFC_OK\nunit_process_check=something else", kNKErr_UOP_Unexpected_SFC_response, "something else"},
        {"1 SFC_FAIL=x", kNKErr_UOP_Unexpected_SFC_response, "Unexpected SFC response"},
        {"", kNKErr_UOP_TimeOut_No_data_return, "UOP: No data return, SFC Link may be disconnected"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        SfcServer server(c.reply);
        config("ON", server.url());
        EXPECT_EQ(unitProcessCheckSFC(&lm_, "SN&1=2", err_, sizeof(err_), root), c.code);
        EXPECT_STREQ(err_, c.text);
        const std::string req = server.request();
        EXPECT_NE(req.find("POST /sfc? HTTP/1.1"), std::string::npos) << req;
        EXPECT_NE(req.find("Content-Type: application/x-www-form-urlencoded"), std::string::npos);
        // The form fields are encoded, so the serial number cannot add a field.
        EXPECT_NE(req.find("\r\n\r\nsn=SN%261%3D2&c=QUERY_RECORD&tsid=LINE%201%26CG%3D2&p=unit_process_check"),
                  std::string::npos)
            << req;
    }

    config("OFF", "http://127.0.0.1:1/");
    EXPECT_EQ(unitProcessCheckSFC(&lm_, "SN1", err_, sizeof(err_), root), 0);
    EXPECT_STREQ(err_, "SFC_QUERY_UNIT_ON_OFF = OFF, Skip AAB(UOP) Check");

    nktest::writeFile(cfgDir + "/vq_station_info.json", "{ not json");
    EXPECT_EQ(unitProcessCheckSFC(&lm_, "SN1", err_, sizeof(err_), root), kNKErr_Invalid_vq_station_info_json);
    EXPECT_EQ(unitProcessCheckSFC(&lm_, "SN1", err_, sizeof(err_), dir_.file("nowhere")),
              kNKErr_Invalid_vq_station_info_json);
    EXPECT_STREQ(err_, "Invalidate config file : vq_station_info.json");
}

}  // namespace
