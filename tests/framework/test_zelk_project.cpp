// The project base: its settings and collaborators, the command registry a script
// goes through, and the built-in script commands with their texts.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <cstdio>
#include <string>
#include <vector>

#include "ZelkCrestel.h"
#include "ZelkCsvManager.h"
#include "ZelkLogManager.h"
#include "ZelkPaths.h"
#include "ZelkProjectBase.h"
#include "ZelkSpecManager.h"
#include "ZelkUsb.h"
#include "nk_gtest_util.h"
#include "nk_test_util.h"
#include "zelk_log_capture.h"

using nktest::readFile;
using nktest::TempDir;

namespace {

class TestProject : public Zelk_ProjectBase {
public:
    explicit TestProject(iZelk_SpecManager* sm) : Zelk_ProjectBase(sm, 2) {
        RegisterCommand("Echo", [this](char* argument) {
            echoed = argument;
            return 0;
        });
    }
    TestProject() = default;
    const char* GetProjectName() override { return "TestProject"; }
    const char* GetVersionString() override { return "1.0"; }
    bool IsOrchelPassErrorCode(SInt32 code) override { return code == 91; }
    std::string echoed;
};

// Records every call to the screen and answers `answer`.
class ScreenRecorder : public iZelk_TamberCalUiControl {
public:
    SInt32 answer = 0;
    std::vector<std::string> calls;
    SInt32 SetScreenImage(const char* path) override { return note("image " + std::string(path)); }
    SInt32 SetScreenBackgroundColorR(UInt8 r, UInt8 g, UInt8 b, UInt8 a) override {
        return note("colour " + rgba(r, g, b, a));
    }
    SInt32 SetScreenUnitName(const char* name) override { return note("unit " + std::string(name)); }
    SInt32 SetScreenMessage(const char* m1, const char* m2, UInt8 r, UInt8 g, UInt8 b, UInt8 a) override {
        return note("message " + std::string(m1) + "|" + m2 + " " + rgba(r, g, b, a));
    }

private:
    static std::string rgba(UInt8 r, UInt8 g, UInt8 b, UInt8 a) {
        return std::to_string(r) + "," + std::to_string(g) + "," + std::to_string(b) + "," + std::to_string(a);
    }
    SInt32 note(const std::string& call) {
        calls.push_back(call);
        return answer;
    }
};

const std::vector<tZelk_SpecItem> kTemplates = [] {
    tZelk_SpecItem gain{};
    gain.title = "gain";
    gain.type = kZSP_double;
    gain.lower = 1;
    gain.upper = 4;
    gain.value = kZelk_noValue;
    return std::vector<tZelk_SpecItem>{gain};
}();

// A project over a spec manager whose table file lands in a temporary var folder;
// its log lines are collected.
struct ProjectTest : ::testing::Test {
    TempDir dir;
    zelk::roots::Folders saved = zelk::roots::get();
    nktest::ZelkLogCapture relay;  // only its relay is used: the project has a manager of its own
    std::unique_ptr<TestProject> project;
    ScreenRecorder screen;

    ProjectTest() {
        zelk::roots::Folders f = saved;
        f.var = dir.path().string();
        zelk::roots::set(f);
        project = std::make_unique<TestProject>(ZSP_Create(kTemplates.data(), SInt32(kTemplates.size())));
        project->SetLogRelay(1, &relay);
    }
    ~ProjectTest() override {
        project.reset();
        zelk::roots::set(saved);
    }
    SInt32 run(const char* command, const char* argument) {
        return project->PerformCommand((std::string(command) + ":").c_str(), argument);
    }
};

}  // namespace

TEST_F(ProjectTest, CreationAndSetters) {
    TestProject bare;  // the host's form: no spec manager
    EXPECT_EQ(bare.GetSpecManager(), nullptr);
    EXPECT_EQ(bare.GetMtDevCreationMethod(), 0);
    EXPECT_NE(bare.GetLogManager(), nullptr);
    EXPECT_EQ(ZLM_GetVerboseLevel(bare.GetLogManager()), 3);
    EXPECT_EQ(ZLM_GetVerboseLevel_file(bare.GetLogManager()), 3);
    EXPECT_EQ(bare.GetStationId(), 0);
    EXPECT_STREQ(bare.GetSerialNumber(), "");
    EXPECT_STREQ(bare.GetCsvFileName(), "");
    EXPECT_EQ(project->GetMtDevCreationMethod(), 2);

    const struct {
        SInt32 id, code, after;
    } ids[] = {{5, 0, 5}, {23, 0, 23}, {24, 17, 23}, {-1, 17, 23}, {0, 0, 0}};
    for (const auto& r : ids) {
        EXPECT_EQ(project->SetStationId(r.id), r.code) << r.id;
        EXPECT_EQ(project->GetStationId(), r.after) << r.id;
    }

    const std::string longest(63, 's'), tooLong(64, 's');
    EXPECT_EQ(project->SetSerialNumber(longest.c_str()), 0);
    EXPECT_EQ(project->GetSerialNumber(), longest);
    for (const char* bad : {static_cast<const char*>(nullptr), "", tooLong.c_str()})
        EXPECT_EQ(project->SetSerialNumber(bad), 17);
    EXPECT_EQ(project->GetSerialNumber(), longest);  // a refused text changes nothing
    const std::string csvLongest(1023, 'c'), csvTooLong(1024, 'c');
    EXPECT_EQ(project->SetCsvFileName(csvLongest.c_str()), 0);
    EXPECT_EQ(project->SetCsvFileName(csvTooLong.c_str()), 17);
    EXPECT_EQ(project->SetCsvFileName(""), 17);
    EXPECT_EQ(project->GetCsvFileName(), csvLongest);
    EXPECT_TRUE(relay.contains("[ERR] [Error,0x0011] invalidParam"));

    EXPECT_EQ(project->SetCrestel(nullptr), 17);
    EXPECT_EQ(project->SetMtUsbDev(nullptr), 17);
    EXPECT_EQ(project->SetScreenControl(nullptr), 17);
    EXPECT_EQ(project->SetTamberHost(nullptr), 17);
    EXPECT_EQ(project->SetSpecManager(nullptr), 17);
    EXPECT_NE(project->GetSpecManager(), nullptr);

    // Another spec manager replaces (and frees) the first one.
    iZelk_SpecManager* second = ZSP_Create(kTemplates.data(), 1);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(project->SetSpecManager(second), 0);
    EXPECT_EQ(project->GetSpecManager(), second);

    iZelk_TamberHost host;
    EXPECT_EQ(project->SetTamberHost(&host), 0);
    EXPECT_EQ(project->GetTamberHost(), &host);
    EXPECT_EQ(project->SetScreenControl(&screen), 0);
    EXPECT_EQ(project->GetScreenControl(), &screen);
}

// The project does not own the board or the USB device: it sees both go.
TEST_F(ProjectTest, CollaboratorsGoWithTheirOwners) {
    auto board = std::make_shared<Zelk_Crestel>();
    EXPECT_EQ(project->SetCrestel(board), 0);
    EXPECT_EQ(project->GetCrestel().get(), board.get());
    board.reset();
    EXPECT_EQ(project->GetCrestel(), nullptr);

    EXPECT_EQ(project->GetMtUsbDevice(), nullptr);  // no place given
    iZelk_UsbDevice* device = ZUSBD_Create(nullptr);
    ASSERT_NE(device, nullptr);
    tZelk_MtUsbDevPlace place{device};
    EXPECT_EQ(project->SetMtUsbDev(&place), 0);
    EXPECT_EQ(project->GetMtUsbDevice(), device);
    place = nullptr;  // detached
    EXPECT_EQ(project->GetMtUsbDevice(), nullptr);
    ZUSBD_Delete(&device);
}

// A script reaches the ten built-in commands and the subclass's own, nothing else.
TEST_F(ProjectTest, RegistryReachesCommandsOnly) {
    for (const char* name : {"OpenLogFile:", "SetVerboseLevel:", "PrintTestStart:", "SpecInit:", "SpecList:",
                             "SpecGeneratePlist:", "SetScreenImage:", "SetScreenColor:", "SetScreenUnitName:",
                             "SetScreenMessage:", "Echo:"})
        EXPECT_TRUE(project->RespondsToCommand(name)) << name;
    for (const char* name : {"SetStationId:", "SetSerialNumber:", "GetProjectName:", "SpecInit", "Echo::", "echo:",
                             "", static_cast<const char*>(nullptr)}) {
        EXPECT_FALSE(project->RespondsToCommand(name)) << (name ? name : "null");
        EXPECT_EQ(project->PerformCommand(name, "7"), 3) << (name ? name : "null");
    }
    EXPECT_EQ(project->GetStationId(), 0);

    // The command gets a writable copy of at most 255 characters; the caller's text stays.
    const std::string longText(300, 'x');
    EXPECT_EQ(run("Echo", longText.c_str()), 0);
    EXPECT_EQ(project->echoed, std::string(255, 'x'));
    EXPECT_EQ(run("Echo", nullptr), 0);
    EXPECT_EQ(project->echoed, "");
    const std::string path = dir.file("a.log");
    const std::string line = path + " trailing";
    EXPECT_EQ(run("OpenLogFile", line.c_str()), 0);
    EXPECT_EQ(line, path + " trailing");
}

TEST_F(ProjectTest, SetVerboseLevel) {
    iZelk_LogManager* lm = project->GetLogManager();
    EXPECT_EQ(run("SetVerboseLevel", "3"), 0);
    EXPECT_EQ(ZLM_GetVerboseLevel(lm), 2);
    EXPECT_EQ(ZLM_GetVerboseLevel_file(lm), 2);
    EXPECT_TRUE(relay.contains("*** [Zelk_ProjectBase SetVerboseLevel:] ***\n[vbsLvl=3]\n"));
    for (const char* bad : {"0", "6", "x", "3x", "", "99999999999999999999", "-1"}) {
        EXPECT_EQ(run("SetVerboseLevel", bad), 17) << bad;
        EXPECT_EQ(ZLM_GetVerboseLevel(lm), 2) << bad;
        EXPECT_EQ(ZLM_GetVerboseLevel_file(lm), 2) << bad;
    }
    EXPECT_EQ(run("SetVerboseLevel", "5 "), 0);
    EXPECT_EQ(ZLM_GetVerboseLevel(lm), 4);
}

TEST_F(ProjectTest, OpenLogFile) {
    const std::string path = dir.file("a.log");
    EXPECT_EQ(run("OpenLogFile", (path + " trailing").c_str()), 0);
    EXPECT_TRUE(relay.contains("\"" + path + "\" \"a+\"\n"));
    ZLM_PrintText(project->GetLogManager(), 0, "into the file");
    EXPECT_NE(readFile(path).find("into the file\n"), std::string::npos);
    // "a+" appends to what is there.
    EXPECT_EQ(run("OpenLogFile", path.c_str()), 0);
    ZLM_PrintText(project->GetLogManager(), 0, "second");
    EXPECT_NE(readFile(path).find("into the file\n"), std::string::npos);

    EXPECT_EQ(run("OpenLogFile", ""), 17);
    EXPECT_EQ(run("OpenLogFile", dir.file("no/such/folder/b.log").c_str()), 31);
    EXPECT_TRUE(relay.contains("[Error,0x001F] fileOpenFailed [ZelkProjectBase.cpp:[Zelk_ProjectBase OpenLogFile:]"));
}

TEST_F(ProjectTest, PrintTestStart) {
    ASSERT_EQ(project->SetSerialNumber("SN42"), 0);
    iZelk_SpecManager* sm = project->GetSpecManager();
    ASSERT_EQ(ZSP_RecordDat(sm, 0, 2.5), 0);
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(run("PrintTestStart", "Board_Cal_1 extra"), 0);
    const std::time_t after = std::time(nullptr);
    double value = 0;
    EXPECT_EQ(ZSP_GetDat(sm, 0, &value), 88);  // the table was initialised

    const std::string text = relay.text();
    const std::string head = std::string(50, '*') + "\n* Board Cal 1\n* ";
    const size_t at = text.find(head);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string stamp = text.substr(at + head.size(), 19);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    ASSERT_EQ(std::sscanf(stamp.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                          &used),
              6)
        << stamp;
    EXPECT_EQ(used, 19) << stamp;
    EXPECT_EQ(text.substr(at + head.size() + 19, 19), "\n* SN:      SN42\n") << text;
    // The calendar year of now (not a week-based year).
    std::tm a{}, b{};
    localtime_r(&before, &a);
    localtime_r(&after, &b);
    EXPECT_TRUE(year == a.tm_year + 1900 || year == b.tm_year + 1900) << year;

    for (const char* bad : {"", " leading"}) {
        EXPECT_EQ(run("PrintTestStart", bad), 17) << bad;
    }
    EXPECT_TRUE(relay.contains("[ERR] invalid station name\n"));
}

TEST_F(ProjectTest, SpecCommands) {
    EXPECT_EQ(run("SpecInit", "ignored"), 0);
    EXPECT_TRUE(relay.contains("*** [Zelk_ProjectBase SpecInit:] ***\n[DONE]\n"));
    EXPECT_EQ(run("SpecList", ""), 0);
    EXPECT_TRUE(relay.contains("gain"));
    EXPECT_TRUE(relay.contains("*** [Zelk_ProjectBase SpecList:] ***\n"));

    TestProject bare;
    nktest::ZelkLogCapture bareRelay;
    bare.SetLogRelay(1, &bareRelay);
    EXPECT_EQ(bare.PerformCommand("SpecInit:", ""), 17);
    EXPECT_EQ(bare.PerformCommand("SpecList:", ""), 17);
    EXPECT_TRUE(bareRelay.contains("[Zelk_ProjectBase SpecInit:]"));
    EXPECT_TRUE(bareRelay.contains("invalidParam"));
}

TEST_F(ProjectTest, SpecGeneratePlist) {
    const std::string csv = dir.file("in.csv"), plist = dir.file("out.plist");
    iZelk_CsvManager* writer =
        ZCSV_Create("Station", "1.2", "SN1", 0, "", "2026-01-02 03:04:05", "2026-01-02 03:04:09", "T1", 789.5, 4.25);
    ASSERT_NE(writer, nullptr);
    tZelk_CsvItem gain{"gain", kZCSV_Double, 1, 4, 2.5, {}};
    ASSERT_EQ(ZCSV_AddItemData(writer, &gain), 0);
    ASSERT_EQ(ZCSV_WriteCsvFile(writer, csv.c_str(), false), 0);
    ZCSV_Delete(&writer);

    EXPECT_EQ(run("SpecGeneratePlist", (csv + " " + plist + " -DOSIMPLE").c_str()), 0);
    EXPECT_TRUE(relay.contains("*** [Zelk_ProjectBase SpecGeneratePlist:] ***\n.source csv file:   " + csv +
                               "\n.target plist file: " + plist +
                               "\n.doSimple:          yes\n.lastResultOnly:    no\n[DONE]\n"))
        << relay.text();
    if (nktest::havePython()) {
        const std::string out = nktest::runPython(
            dir, "import plistlib,sys\nd=plistlib.load(open(sys.argv[1],'rb'))\nprint(d['0']['Tests'][2]['value'])\n",
            plist);
        EXPECT_EQ(out, "2.500000\n");
    }
    EXPECT_EQ(run("SpecGeneratePlist", (dir.file("none.csv") + " " + plist).c_str()), 29);
    EXPECT_EQ(run("SpecGeneratePlist", ""), 17);
}

TEST_F(ProjectTest, ScreenCommandsWithoutController) {
    for (const char* command : {"SetScreenImage", "SetScreenColor", "SetScreenUnitName", "SetScreenMessage"}) {
        EXPECT_EQ(run(command, "a b 1 2 3 4"), 25) << command;
    }
    EXPECT_TRUE(relay.contains("objectNotAvailable"));
}

TEST_F(ProjectTest, ScreenCommands) {
    ASSERT_EQ(project->SetScreenControl(&screen), 0);
    const struct {
        const char* command;
        const char* argument;
        SInt32 code;
        const char* call;  // what the screen got, null for nothing
    } rows[] = {
        {"SetScreenImage", "/img/a.png", 0, "image /img/a.png"},
        {"SetScreenImage", "", 17, nullptr},
        {"SetScreenColor", "0x10 0x20 0x30 0xFF", 0, "colour 16,32,48,255"},
        {"SetScreenColor", "16 32 48 255", 0, "colour 16,32,48,255"},
        {"SetScreenColor", "0X0a 0xB 0 0x0", 17, nullptr},  // one form for all four values
        {"SetScreenColor", "16 32 48 256", 17, nullptr},
        {"SetScreenColor", "0x10 0x20 0x30 0x100", 17, nullptr},
        {"SetScreenColor", "16 32 48", 17, nullptr},
        {"SetScreenColor", "16 32 48 x", 17, nullptr},
        {"SetScreenColor", "99999999999999999999999 0 0 0", 17, nullptr},
        {"SetScreenColor", "", 17, nullptr},
        {"SetScreenUnitName", "SLOT_3", 0, "unit SLOT_3"},
        {"SetScreenUnitName", "", 17, nullptr},
        {"SetScreenMessage", "PASS Unit7 20 228 196 255", 0, "message PASS|Unit7 20,228,196,255"},
        {"SetScreenMessage", "A  B\t0x01 0x02 0x03 0x04", 0, "message A|B 1,2,3,4"},
        {"SetScreenMessage", "PASS Unit7", 17, nullptr},
        {"SetScreenMessage", "PASS", 17, nullptr},
        {"SetScreenMessage", "PASS Unit7 1 2 3 300", 17, nullptr},
        {"SetScreenMessage", "", 17, nullptr},
    };
    for (const auto& r : rows) {
        screen.calls.clear();
        EXPECT_EQ(run(r.command, r.argument), r.code) << r.command << " " << r.argument;
        EXPECT_EQ(screen.calls, r.call ? std::vector<std::string>{r.call} : std::vector<std::string>{})
            << r.command << " " << r.argument;
    }
    const std::string text = relay.text();
    EXPECT_NE(text.find("[DONE] img=\"/img/a.png\"\n"), std::string::npos);
    EXPECT_NE(text.find("[DONE] R:0x10 G:0x20 B:0x30 A:0xFF\n"), std::string::npos);
    EXPECT_NE(text.find("[DONE] unitName=\"SLOT_3\"\n"), std::string::npos);
    EXPECT_NE(text.find("[DONE]\n\tmessage1=\"PASS\"\n\tmessage2=\"Unit7\"\n\tR:0x14 G:0xE4 B:0xC4 A:0xFF\n"),
              std::string::npos);
    EXPECT_NE(text.find("[ERR] SetScreenMessage needs message1, message2, R, G, B, A\nUsage:\tSetScreenMessage "),
              std::string::npos);
    EXPECT_NE(text.find("[ERR] SetScreenUnitName needs unitName\nUsage:\tSetScreenUnitName unitName\n"),
              std::string::npos);
    EXPECT_NE(text.find("[ERR] SetScreenImage needs the path name of the image file\n"), std::string::npos);

    // The controller's own failure is the command's code.
    screen.answer = 103;
    EXPECT_EQ(run("SetScreenUnitName", "X"), 103);
    EXPECT_EQ(run("SetScreenColor", "1 2 3 4"), 103);
    EXPECT_TRUE(relay.contains("[Error,0x0067] deviceCmdFailed"));
}
