// The base of a station project and its built-in script commands.
#include "ZelkProjectBase.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "ZelkCrestel.h"
#include "ZelkError.h"
#include "ZelkLogManager.h"
#include "ZelkSpecManager.h"

namespace {

constexpr const char* kOpenLogFile = "[Zelk_ProjectBase OpenLogFile:]";
constexpr const char* kSetVerboseLevel = "[Zelk_ProjectBase SetVerboseLevel:]";
constexpr const char* kPrintTestStart = "[Zelk_ProjectBase PrintTestStart:]";
constexpr const char* kSpecInit = "[Zelk_ProjectBase SpecInit:]";
constexpr const char* kSpecList = "[Zelk_ProjectBase SpecList:]";
constexpr const char* kSpecGeneratePlist = "[Zelk_ProjectBase SpecGeneratePlist:]";
constexpr const char* kSetScreenImage = "[Zelk_ProjectBase SetScreenImage:]";
constexpr const char* kSetScreenColor = "[Zelk_ProjectBase SetScreenColor:]";
constexpr const char* kSetScreenUnitName = "[Zelk_ProjectBase SetScreenUnitName:]";
constexpr const char* kSetScreenMessage = "[Zelk_ProjectBase SetScreenMessage:]";

constexpr SInt32 kStationIdCount = 24;  // ids 0..23

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isEmpty(const char* text) { return !text || text[0] == '\0'; }

// Cuts the text at its first blank.
void cutAtBlank(char* text) {
    while (*text && !isBlank(*text)) ++text;
    *text = '\0';
}

// The start of the next word: past the current word and the blanks after it.
char* nextWord(char* text) {
    while (*text && !isBlank(*text)) ++text;
    while (isBlank(*text)) ++text;
    return text;
}

// One unsigned number of the given base, the whole token (hex with its "0x"); false
// for anything else. Values saturate, so a huge number is refused by the range check.
bool readToken(const char*& p, bool hex, unsigned long& value) {
    while (isBlank(*p)) ++p;
    if (hex) {
        if (p[0] != '0' || (p[1] != 'x' && p[1] != 'X')) return false;
        p += 2;
    }
    const char* start = p;
    value = 0;
    while (hex ? std::isxdigit(static_cast<unsigned char>(*p)) : std::isdigit(static_cast<unsigned char>(*p))) {
        const unsigned digit = std::isdigit(static_cast<unsigned char>(*p))
                                   ? unsigned(*p - '0')
                                   : unsigned(std::tolower(static_cast<unsigned char>(*p)) - 'a' + 10);
        value = value > 0xFFFFFFFFul ? value : value * (hex ? 16 : 10) + digit;
        ++p;
    }
    return p != start && (*p == '\0' || isBlank(*p));
}

// Four values "R G B A", all decimal or all "0x" hexadecimal, each below 256.
bool readColour(const char* text, UInt8 rgba[4]) {
    for (bool hex : {false, true}) {
        const char* p = text;
        unsigned long v[4];
        bool ok = true;
        for (int i = 0; i < 4 && ok; ++i) ok = readToken(p, hex, v[i]);
        if (!ok) continue;
        for (int i = 0; i < 4; ++i) {
            if (v[i] > 255) return false;
            rgba[i] = static_cast<UInt8>(v[i]);
        }
        return true;
    }
    return false;
}

// Copies text into a field of `size` bytes; 17 when it is null, empty or does not fit.
SInt32 copyField(char* field, size_t size, const char* text) {
    if (isEmpty(text)) return kZErr_invalidParam;
    const size_t length = std::strlen(text);
    if (length >= size) return kZErr_invalidParam;
    std::memcpy(field, text, length + 1);
    return kZErr_OK;
}

}  // namespace

Zelk_ProjectBase::Zelk_ProjectBase(iZelk_SpecManager* specManager, SInt32 mtDevCreationMethod)
    : lm_(ZLM_Create()), mtDevCreationMethod_(mtDevCreationMethod), sm_(specManager) {
    ZLM_SetVerboseLevel(lm_, 3);
    const struct {
        const char* word;
        SInt32 (Zelk_ProjectBase::*method)(char*);
    } builtIn[] = {
        {"OpenLogFile", &Zelk_ProjectBase::OpenLogFile},
        {"SetVerboseLevel", &Zelk_ProjectBase::SetVerboseLevel},
        {"PrintTestStart", &Zelk_ProjectBase::PrintTestStart},
        {"SpecInit", &Zelk_ProjectBase::SpecInit},
        {"SpecList", &Zelk_ProjectBase::SpecList},
        {"SpecGeneratePlist", &Zelk_ProjectBase::SpecGeneratePlist},
        {"SetScreenImage", &Zelk_ProjectBase::SetScreenImage},
        {"SetScreenColor", &Zelk_ProjectBase::SetScreenColor},
        {"SetScreenUnitName", &Zelk_ProjectBase::SetScreenUnitName},
        {"SetScreenMessage", &Zelk_ProjectBase::SetScreenMessage},
    };
    for (const auto& c : builtIn) {
        const auto method = c.method;
        RegisterCommand(c.word, [this, method](char* argument) { return (this->*method)(argument); });
    }
}

Zelk_ProjectBase::Zelk_ProjectBase() : Zelk_ProjectBase(nullptr, 0) {}

Zelk_ProjectBase::~Zelk_ProjectBase() {
    ZSP_Delete(&sm_);
    ZLM_Delete(&lm_);
}

// ------------------------------------------------------------------ registry

void Zelk_ProjectBase::RegisterCommand(const std::string& word, tZelk_ProjectCommand command) {
    std::lock_guard<std::mutex> hold(registryLock_);
    commands_[word + ":"] = std::move(command);
}

bool Zelk_ProjectBase::RespondsToCommand(const char* name) const {
    if (!name) return false;
    std::lock_guard<std::mutex> hold(registryLock_);
    return commands_.count(name) > 0;
}

SInt32 Zelk_ProjectBase::PerformCommand(const char* name, const char* argument) {
    tZelk_ProjectCommand command;
    {
        std::lock_guard<std::mutex> hold(registryLock_);
        const auto found = name ? commands_.find(name) : commands_.end();
        if (found == commands_.end()) return kZErr_notSupported;
        command = found->second;
    }
    char copy[kArgumentSize] = {};
    if (argument) std::strncpy(copy, argument, sizeof(copy) - 1);
    return command(copy);
}

// ------------------------------------------------------------------ settings

SInt32 Zelk_ProjectBase::SetStationId(SInt32 id) {
    if (static_cast<UInt32>(id) >= static_cast<UInt32>(kStationIdCount)) {
        ZERR_REPORT(lm_, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    stationId_ = id;
    return kZErr_OK;
}

SInt32 Zelk_ProjectBase::SetSerialNumber(const char* text) {
    const SInt32 code = copyField(serialNum_, sizeof(serialNum_), text);
    if (code != kZErr_OK) ZERR_REPORT(lm_, code);
    return code;
}

SInt32 Zelk_ProjectBase::SetCsvFileName(const char* text) {
    const SInt32 code = copyField(csvFileName_, sizeof(csvFileName_), text);
    if (code != kZErr_OK) ZERR_REPORT(lm_, code);
    return code;
}

SInt32 Zelk_ProjectBase::SetLogRelay(UInt32 relayId, iZelk_LogRelay* relay) {
    return ZLM_SetLogRelay(lm_, relayId, relay);
}

SInt32 Zelk_ProjectBase::SetCrestel(const std::shared_ptr<iZelk_Crestel>& board) {
    if (!board) {
        ZERR_REPORT(lm_, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    std::lock_guard<std::mutex> hold(boardLock_);
    board_ = board;
    return kZErr_OK;
}

std::shared_ptr<iZelk_Crestel> Zelk_ProjectBase::GetCrestel() const {
    std::lock_guard<std::mutex> hold(boardLock_);
    return board_.lock();
}

SInt32 Zelk_ProjectBase::SetMtUsbDev(tZelk_MtUsbDevPlace* place) {
    if (!place) {
        ZERR_REPORT(lm_, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    mtUsbDevPlace_ = place;
    return kZErr_OK;
}

iZelk_UsbDevice* Zelk_ProjectBase::GetMtUsbDevice() const {
    tZelk_MtUsbDevPlace* place = mtUsbDevPlace_.load();
    return place ? place->load() : nullptr;
}

SInt32 Zelk_ProjectBase::SetScreenControl(iZelk_TamberCalUiControl* control) {
    if (!control) {
        ZERR_REPORT(lm_, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    screen_ = control;
    return kZErr_OK;
}

SInt32 Zelk_ProjectBase::SetTamberHost(iZelk_TamberHost* host) {
    if (!host) {
        ZERR_REPORT(lm_, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    host_ = host;
    return kZErr_OK;
}

SInt32 Zelk_ProjectBase::SetSpecManager(iZelk_SpecManager* specManager) {
    if (!specManager) {
        ZERR_REPORT(lm_, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    if (specManager != sm_) ZSP_Delete(&sm_);
    sm_ = specManager;
    return kZErr_OK;
}

// ------------------------------------------------------------------ commands

SInt32 Zelk_ProjectBase::OpenLogFile(char* argument) {
    ZLM_PrintText(lm_, 1, "*** %s ***", kOpenLogFile);
    if (isEmpty(argument)) {
        ZERR_REPORT_IN(lm_, kOpenLogFile, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    cutAtBlank(argument);
    ZLM_PrintText(lm_, 1, "\"%s\" \"%s\"", argument, "a+");
    const SInt32 code = ZLM_OpenLogFile(lm_, argument, "a+");
    if (code != kZErr_OK) ZERR_REPORT_IN(lm_, kOpenLogFile, code);
    return code;
}

SInt32 Zelk_ProjectBase::SetVerboseLevel(char* argument) {
    ZLM_PrintText(lm_, 0, "*** %s ***", kSetVerboseLevel);
    long value = 0;
    bool ok = !isEmpty(argument);
    if (ok) {
        char* end = nullptr;
        errno = 0;
        value = std::strtol(argument, &end, 10);
        while (end && isBlank(*end)) ++end;
        ok = end != argument && end && *end == '\0' && errno == 0 && value >= 1 && value <= 5;
    }
    if (!ok) {
        ZERR_REPORT_IN(lm_, kSetVerboseLevel, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    ZLM_PrintText(lm_, 0, "[vbsLvl=%d]", static_cast<int>(value));
    ZLM_SetVerboseLevel(lm_, static_cast<SInt32>(value - 1));
    return kZErr_OK;
}

SInt32 Zelk_ProjectBase::PrintTestStart(char* argument) {
    ZLM_PrintText(lm_, 1, "*** %s ***", kPrintTestStart);
    char title[kArgumentSize] = {};
    if (argument) {
        size_t n = 0;
        while (argument[n] && !isBlank(argument[n]) && n < sizeof(title) - 1) {
            title[n] = argument[n] == '_' ? ' ' : argument[n];
            ++n;
        }
    }
    if (title[0] == '\0') {
        ZLM_PrintError(lm_, "invalid station name");
        ZERR_REPORT_IN(lm_, kPrintTestStart, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    ZSP_InitSpecTable(sm_);
    // The calendar year: a week-based year shows the wrong year around New Year.
    char now[64] = {};
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    std::strftime(now, sizeof(now), "%Y-%m-%d %H:%M:%S", &local);
    ZLM_PrintString(lm_, 0, "**************************************************\n* %s\n* %s\n", title, now);
    ZLM_PrintString(lm_, 0, "* SN:      %s\n", serialNum_);
    return kZErr_OK;
}

SInt32 Zelk_ProjectBase::SpecInit(char*) {
    ZLM_PrintText(lm_, 0, "*** %s ***", kSpecInit);
    const SInt32 code = ZSP_InitSpecTable(sm_);
    if (code == kZErr_OK) ZLM_PrintText(lm_, 0, "[DONE]");
    else ZERR_REPORT_IN(lm_, kSpecInit, code);
    return code;
}

SInt32 Zelk_ProjectBase::SpecList(char*) {
    ZLM_PrintText(lm_, 0, "*** %s ***", kSpecList);
    const SInt32 code = ZSP_ListSpec(sm_, lm_);
    if (code == kZErr_OK) ZLM_PrintText(lm_, 0, "[DONE]");
    else ZERR_REPORT_IN(lm_, kSpecList, code);
    return code;
}

SInt32 Zelk_ProjectBase::SpecGeneratePlist(char* argument) {
    ZLM_PrintText(lm_, 0, "*** %s ***", kSpecGeneratePlist);
    return ZSP_GeneratePlist(lm_, argument);
}

SInt32 Zelk_ProjectBase::SetScreenImage(char* argument) {
    ZLM_PrintText(lm_, 0, "*** %s ***", kSetScreenImage);
    iZelk_TamberCalUiControl* screen = screen_.load();
    SInt32 code = kZErr_OK;
    if (!screen) code = kZErr_objectNotAvailable;
    else if (isEmpty(argument)) code = kZErr_invalidParam;
    else code = screen->SetScreenImage(argument);
    if (code == kZErr_OK) {
        ZLM_PrintText(lm_, 0, "[DONE] img=\"%s\"", argument);
        return code;
    }
    ZERR_REPORT_IN(lm_, kSetScreenImage, code);
    ZLM_PrintError(lm_, "SetScreenImage needs the path name of the image file");
    ZLM_PrintText(lm_, 0, "Usage:\tSetScreenImage imageFilePathName\n\t\tno space allowed within the imageFilePathName");
    return code;
}

SInt32 Zelk_ProjectBase::SetScreenColor(char* argument) {
    ZLM_PrintText(lm_, 1, "*** %s ***", kSetScreenColor);
    iZelk_TamberCalUiControl* screen = screen_.load();
    UInt8 c[4] = {};
    SInt32 code = kZErr_OK;
    if (!screen) code = kZErr_objectNotAvailable;
    else if (isEmpty(argument) || !readColour(argument, c)) code = kZErr_invalidParam;
    else code = screen->SetScreenBackgroundColorR(c[0], c[1], c[2], c[3]);
    if (code != kZErr_OK) {
        ZERR_REPORT_IN(lm_, kSetScreenColor, code);
        return code;
    }
    ZLM_PrintText(lm_, 1, "[DONE] R:0x%02X G:0x%02X B:0x%02X A:0x%02X", c[0], c[1], c[2], c[3]);
    return code;
}

SInt32 Zelk_ProjectBase::SetScreenUnitName(char* argument) {
    ZLM_PrintText(lm_, 1, "*** %s ***", kSetScreenUnitName);
    iZelk_TamberCalUiControl* screen = screen_.load();
    SInt32 code = kZErr_OK;
    if (!screen) code = kZErr_objectNotAvailable;
    else if (isEmpty(argument)) code = kZErr_invalidParam;
    else code = screen->SetScreenUnitName(argument);
    if (code == kZErr_OK) {
        ZLM_PrintText(lm_, 1, "[DONE] unitName=\"%s\"", argument);
        return code;
    }
    ZERR_REPORT_IN(lm_, kSetScreenUnitName, code);
    ZLM_PrintError(lm_, "SetScreenUnitName needs unitName");
    ZLM_PrintText(lm_, 0, "Usage:\tSetScreenUnitName unitName\n\t\tno space allowed within unitName");
    return code;
}

SInt32 Zelk_ProjectBase::SetScreenMessage(char* argument) {
    ZLM_PrintText(lm_, 0, "*** %s ***", kSetScreenMessage);
    iZelk_TamberCalUiControl* screen = screen_.load();
    UInt8 c[4] = {};
    char* message1 = argument;
    char* message2 = nullptr;
    SInt32 code = kZErr_OK;
    if (!screen) {
        code = kZErr_objectNotAvailable;
    } else if (isEmpty(argument)) {
        code = kZErr_invalidParam;
    } else {
        message2 = nextWord(message1);
        char* colour = *message2 ? nextWord(message2) : message2;
        if (*message2 == '\0' || *colour == '\0' || !readColour(colour, c)) {
            code = kZErr_invalidParam;
        } else {
            cutAtBlank(message1);
            cutAtBlank(message2);
            code = screen->SetScreenMessage(message1, message2, c[0], c[1], c[2], c[3]);
        }
    }
    if (code == kZErr_OK) {
        ZLM_PrintText(lm_, 0, "[DONE]\n\tmessage1=\"%s\"\n\tmessage2=\"%s\"\n\tR:0x%02X G:0x%02X B:0x%02X A:0x%02X",
                      message1, message2, c[0], c[1], c[2], c[3]);
        return code;
    }
    ZERR_REPORT_IN(lm_, kSetScreenMessage, code);
    ZLM_PrintError(lm_, "SetScreenMessage needs message1, message2, R, G, B, A");
    ZLM_PrintText(lm_, 0,
                  "Usage:\tSetScreenMessage message1 message2 R G B A\n\t\tno space allowed within the message1 and "
                  "message2\n\t\tRGBA value should be 0~255");
    return code;
}
