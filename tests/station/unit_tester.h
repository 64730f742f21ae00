// What a tester sends for a whole unit besides "tscr", and what the station's
// own files are read back with: transmittance and uniformity payloads, the
// repository record a dry run reads, and Python run on a script text.
#pragma once

#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cvlra_ctcl.h"
#include "nk_test_util.h"
#include "station_peer.h"

namespace stationtest {

// One "atst" payload of `points` smooth spectra over 399..1101 nm.
inline Bytes atstPayload(int points) {
    Bytes p;
    p.push_back(u8(points));
    auto put = [&](const void* v, size_t n) {
        const u8* c = static_cast<const u8*>(v);
        p.insert(p.end(), c, c + n);
    };
    const int n = 600;
    for (int k = 1; k <= points; ++k) {
        p.push_back(u8(k));
        const u32 count = n;
        const float x = 1.5f, y = -2.0f, a = 0.25f;
        put(&count, 4);
        put(&x, 4);
        put(&y, 4);
        put(&a, 4);
        for (int i = 0; i < n; ++i) {
            const float wl = 399.0f + 702.0f * float(i) / float(n - 1);
            const float dark = 100.0f;
            const float lamp = 1000.0f + 40000.0f * std::exp(-std::pow((wl - 700.0f) / 250.0f, 2.0f));
            const float t = (70.0f + 3.0f * float(k) + 2.0f * std::sin(wl / 80.0f)) / 100.0f;
            const float s[4] = {wl, dark, dark + lamp, dark + lamp * t};
            put(s, 16);
        }
    }
    return p;
}

// One single-image "unif" payload that passes: a flat W x H field.
inline Bytes unifPayload(u16 w = 600, u16 h = 400, u8 value = 128) {
    Bytes p;
    nettest::putLe(p, w, 2);
    nettest::putLe(p, h, 2);
    p.push_back(0);
    nettest::putLe(p, u64(w) * h, 4);
    for (float f : {1.0f, 2.0f, 3.0f}) {
        u32 v;
        std::memcpy(&v, &f, 4);
        nettest::putLe(p, v, 4);
    }
    p.insert(p.end(), size_t(w) * h, value);
    return p;
}

// A version-3.1 repository record whose rows are the unit's own transmittance
// table (the station's "_atst_trans.csv": 401 lines from 300 nm, one column a
// point), so that every tilt ratio is 1; with `gain`, each value times gain(nm),
// so that the ratio at w nm is gain(550) / gain(w). Empty when the table cannot
// be read.
inline std::vector<u8> ctclRecordFromTable(const std::string& tablePath, const std::string& sn, u8 cgType,
                                           const std::function<float(float nm)>& gain = {}) {
    std::ifstream in(tablePath);
    std::vector<std::vector<float>> cols;
    int lines = 0;
    for (std::string line; std::getline(in, line); ++lines) {
        std::stringstream ls(line);
        size_t c = 0;
        for (std::string cell; std::getline(ls, cell, ','); ++c) {
            if (cols.size() <= c) cols.emplace_back();
            cols[c].push_back(std::stof(cell) * (gain ? gain(300.0f + 2.0f * float(lines)) : 1.0f));
        }
    }
    if (lines != ctcl::kValuesV3 || cols.empty()) return {};
    t_cgCalData rec{};
    rec.magic = ctcl::kMagic;
    rec.versionMajor = 3;
    rec.versionMinor = 1;
    rec.cgType = cgType;
    std::memcpy(rec.serialNumber, sn.data(), std::min(sn.size(), sizeof(rec.serialNumber)));
    for (size_t r = 0; r < cols.size() && r < size_t(ctcl::kRows); ++r)
        cgCalData_setRow(rec, int(r), cols[r].data(), cols[r].size());
    return cgCalData_write(rec);
}

// Runs a Python script text; its output, or "PYTHON FAILED: ..." with its output.
inline std::string python(const std::string& script) {
    nktest::TempDir d;
    const std::string path = (d.path() / "s.py").string();
    nktest::writeFile(path, script);
    int status = -1;
    std::string out = nktest::runCommand(std::string(NK_PYTHON) + " " + path + " 2>&1", &status);
    if (status != 0) out = "PYTHON FAILED: " + out;
    return out;
}

// The final reply's fields.
struct PostReply {
    bool ok = false;
    u16 code = 0xFFFF;
    std::string text;  // bytes 2..28 up to the first zero
    u8 byte29 = 0xFF;
    char bin = 0;
};

inline PostReply postReply(const Reply& r) {
    PostReply p;
    if (!r.ok || r.header.errc != 0 || r.payload.size() != 31) return p;
    p.ok = true;
    p.code = u16(r.payload[0] | (r.payload[1] << 8));
    const char* t = reinterpret_cast<const char*>(r.payload.data() + 2);
    p.text.assign(t, strnlen(t, 27));
    p.byte29 = r.payload[29];
    p.bin = char(r.payload[30]);
    return p;
}

// The repository record a dry run reads for unit `sn` of tester cell `cell`,
// made from the unit's own (newest) transmittance table under the log root and
// put into the cell's VDXData folder: its path, or "" without a table.
inline std::string writeDryRunRecord(const std::string& logRoot, const std::string& cell, const std::string& sn) {
    namespace fs = std::filesystem;
    fs::path table;
    fs::file_time_type newest{};
    std::error_code ec;
    // The station may add folders meanwhile.
    for (auto it = fs::recursive_directory_iterator(logRoot, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->path().filename() == sn + "_atst_trans.csv" && (table.empty() || it->last_write_time() > newest)) {
            table = it->path();
            newest = it->last_write_time();
        }
    if (table.empty()) return {};
    const std::vector<u8> record = ctclRecordFromTable(table.string(), sn, 2);
    std::string written;
    for (const auto& e : fs::directory_iterator(logRoot, ec)) {
        const std::string n = e.path().filename().string();
        if (n.rfind("VDXData_", 0) != 0 || !n.ends_with("_" + cell)) continue;
        written = (e.path() / (sn + "_CtCl.bin")).string();
        nktest::writeFile(written, std::string(record.begin(), record.end()));
    }
    return written;
}

// What a station answered to one unit.
struct UnitReplies {
    u16 tscr = 0xFFFF, atst = 0xFFFF, unif = 0xFFFF;  // 0xFFFF: no reply
    std::string version;                            // the "tscr" reply's text
    PostReply post;
    bool closed = false;  // the station closed the link after "tsed"
};

// One unit as a tester sends it on the link `fd`: "tscr", then (with `measure`)
// "atst" of three points and a passing "unif", then "tsed"; `beforeUnif` runs
// between "atst" and "unif". Each reply is awaited up to `timeoutMs`.
inline UnitReplies sendUnit(int fd, const std::string& cell, u8 id, const std::string& sn, bool measure = true,
                            const std::function<void()>& beforeUnif = {}, int timeoutMs = 60000) {
    UnitReplies u;
    const Reply r = exchange(fd, "tscr", 1, tscrPayload(cell, id, sn), timeoutMs);
    if (r.ok) {
        u.tscr = r.header.errc;
        const char* text = reinterpret_cast<const char*>(r.payload.data());
        u.version.assign(text, strnlen(text, r.payload.size()));
    }
    if (measure) {
        u.atst = postReply(exchange(fd, "atst", 2, atstPayload(3), timeoutMs)).code;
        if (beforeUnif) beforeUnif();
        u.unif = postReply(exchange(fd, "unif", 3, unifPayload(), timeoutMs)).code;
    }
    u.post = postReply(exchange(fd, "tsed", 4, Bytes{1}, timeoutMs));
    u.closed = nettest::seesEof(fd, 10000);
    return u;
}

}  // namespace stationtest
