// "tscr" payload parsing and the folder-name checks.
#include "cvlra_tscr.h"

#include <cstring>

#include "nk_error.h"

namespace {

// The text of a field: up to its first NUL or its end, never beyond.
std::string fieldText(const u8* payload, size_t offset, size_t size) {
    const char* p = reinterpret_cast<const char*>(payload + offset);
    return std::string(p, strnlen(p, size));
}

float floatLe(const u8* p) {
    const u32 bits = u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24);
    float v;
    std::memcpy(&v, &bits, sizeof(v));
    return v;
}

}  // namespace

bool nkVlra_isFolderName(const u8* field, size_t fieldSize, bool allowEmpty) {
    if (!field || fieldSize == 0) return false;
    const size_t n = strnlen(reinterpret_cast<const char*>(field), fieldSize);
    if (n == fieldSize) return false;  // no terminator within the field
    if (n == 0) return allowEmpty;
    if (n == 1 && field[0] == '.') return false;
    for (size_t i = 0; i < n; ++i) {
        const u8 c = field[i];
        if (c < 0x20 || c > 0x7E || c == '/') return false;
        if (c == '.' && i + 1 < n && field[i + 1] == '.') return false;
    }
    return true;
}

std::string nkVlra_runFolderOfRow(const std::string& stamp, const std::string& config) {
    const size_t n = stamp.size();
    if (n == 0 || config.size() < n + 2 || config.size() > n + 3 || config.compare(0, n, stamp) != 0 ||
        config[n] != '_' || config[n + 1] == '0')
        return stamp;
    for (size_t i = n + 1; i < config.size(); ++i)
        if (config[i] < '0' || config[i] > '9') return stamp;
    return config;
}

std::string nkVlra_printable(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E) c = '.';
    }
    return out;
}

u16 nkVlra_parseTscr(const u8* payload, size_t length, t_vlraTscrRequest* request) {
    if (!request) return kNKErr_invalidParam;
    *request = t_vlraTscrRequest{};
    if (!payload || length < tscr::kMinPayload) return kNKErr_invalidSpiResponse;

    request->cellName = fieldText(payload, tscr::kCellName, tscr::kCellNameSize);
    request->cellId = payload[tscr::kCellId];
    request->swVersion = fieldText(payload, tscr::kSwVersion, tscr::kSwVersionSize);
    request->hwVersion = fieldText(payload, tscr::kHwVersion, tscr::kHwVersionSize);
    request->serialNumber = fieldText(payload, tscr::kSerialNumber, tscr::kSerialNumberSize);
    request->lightSource = fieldText(payload, tscr::kLightSource, tscr::kLightSourceSize);
    request->spectrometer = fieldText(payload, tscr::kSpectrometer, tscr::kSpectrometerSize);
    request->testMode = fieldText(payload, tscr::kTestMode, tscr::kTestModeSize);
    if (length >= tscr::kFullPayload) {
        request->hasGeometry = true;
        request->distanceMm = floatLe(payload + tscr::kDistance);
        request->cycleTimeSec = floatLe(payload + tscr::kCycleTime);
    }

    if (!nkVlra_isFolderName(payload + tscr::kCellName, tscr::kCellNameSize, true) ||
        !nkVlra_isFolderName(payload + tscr::kSerialNumber, tscr::kSerialNumberSize, false))
        return kNKErr_invalidParam;
    return 0;
}
