// The "tscr" request of a tester: payload layout, a parser that reads only
// within the received bytes and each field, and the checks that a cell name or
// a serial number may name a folder.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "nk_typedef.h"

// Field offsets and sizes of the payload.
namespace tscr {
constexpr size_t kCellName = 0, kCellNameSize = 32;
constexpr size_t kCellId = 32;
constexpr size_t kSwVersion = 33, kSwVersionSize = 32;
constexpr size_t kHwVersion = 65, kHwVersionSize = 32;
constexpr size_t kSerialNumber = 97, kSerialNumberSize = 64;
constexpr size_t kLightSource = 161, kLightSourceSize = 32;
constexpr size_t kSpectrometer = 193, kSpectrometerSize = 32;
constexpr size_t kTestMode = 225, kTestModeSize = 7;
constexpr size_t kDistance = 232, kCycleTime = 236;
// The smallest payload that holds every text field; with 240 bytes the two
// floats are there too (PLEN 241).
constexpr size_t kMinPayload = 232;
constexpr size_t kFullPayload = 240;
}  // namespace tscr

struct t_vlraTscrRequest {
    std::string cellName;
    u8 cellId = 0;
    std::string swVersion;
    std::string hwVersion;
    std::string serialNumber;
    std::string lightSource;
    std::string spectrometer;
    std::string testMode;
    bool hasGeometry = false;  // PLEN of at least 241: the floats were sent
    float distanceMm = 1.0f;
    float cycleTimeSec = 10.0f;
};

// 0 with the request filled; kNKErr_invalidSpiResponse (10, the transport error
// the items answer) for a missing or short payload; kNKErr_invalidParam when the
// cell name or the serial number cannot name a folder (`request` then holds what
// was read, for the log). `length` is the payload as received (PLEN - 1).
u16 nkVlra_parseTscr(const u8* payload, size_t length, t_vlraTscrRequest* request);

// Whether the text of a fixed field can name one folder: it ends within the
// field, is not "." and holds no '/', no ".." and only printable ASCII.
bool nkVlra_isFolderName(const u8* field, size_t fieldSize, bool allowEmpty);

// The run folder a statistics row leads to: the row's start stamp ("yyyyMMddHHmmss"),
// or its config cell when that holds the stamp with a run suffix ("_2" ... "_99"),
// as the station names a second run of one serial number in one second. Any
// other config text is no folder of the row's.
std::string nkVlra_runFolderOfRow(const std::string& stamp, const std::string& config);

// Tester text as it may appear in a log line: bytes outside printable ASCII
// become '.', so no byte of a tester can start a line or a format.
std::string nkVlra_printable(std::string_view text);
