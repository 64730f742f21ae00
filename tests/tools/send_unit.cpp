// A tester for a station running on this machine: sends one whole unit
// ("tscr", "atst", "unif", "tsed") as the station's own tests do and prints
// every reply.
//
//   nk_send_unit [--port N] [--cell NAME] [--id N] [--sn SERIAL] [--record LOG_ROOT]
//
// With --record, the station's log root is given and the station runs with
// --repository-dry-run: between "atst" and "unif" the unit's repository record
// is made from its own transmittance table, so that the unit can pass.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "station_peer.h"
#include "unit_tester.h"

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "nk_send_unit: %s\n"
                 "usage: nk_send_unit [--port N] [--cell NAME] [--id N] [--sn SERIAL] [--record LOG_ROOT]\n",
                 why);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    long port = 61804, id = 1;
    std::string cell = "Cell", sn = stationtest::serial("Q2A5"), logRoot;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) return usage(("a value is missing after " + a).c_str());
        const char* v = argv[++i];
        char* end = nullptr;
        if (a == "--port") {
            port = std::strtol(v, &end, 10);
            if (*end || port < 1 || port > 65535) return usage("the port is one of 1 to 65535");
        } else if (a == "--id") {
            id = std::strtol(v, &end, 10);
            if (*end || id < 0 || id > 255) return usage("the cell id is one of 0 to 255");
        } else if (a == "--cell") {
            cell = v;
        } else if (a == "--sn") {
            sn = v;
        } else if (a == "--record") {
            logRoot = v;
        } else {
            return usage(("unknown option " + a).c_str());
        }
    }
    const int fd = nettest::rawConnect(uint16_t(port));
    if (fd < 0) {
        std::fprintf(stderr, "nk_send_unit: no station listens on port %ld of this machine\n", port);
        return 1;
    }
    std::printf("unit %s on tester cell %s_%ld, port %ld\n", sn.c_str(), cell.c_str(), id, port);
    std::function<void()> record;
    if (!logRoot.empty())
        record = [&] {
            const std::string path = stationtest::writeDryRunRecord(logRoot, cell, sn);
            if (path.empty()) std::printf("no transmittance table of %s under %s: no record\n", sn.c_str(), logRoot.c_str());
            else std::printf("record %s written\n", path.c_str());
        };
    const stationtest::UnitReplies u = stationtest::sendUnit(fd, cell, u8(id), sn, true, record);
    ::close(fd);
    const auto code = [](u16 c) { return c == 0xFFFF ? std::string("no reply") : std::to_string(c); };
    std::printf("tscr: %s, station version %s\n", code(u.tscr).c_str(), u.version.c_str());
    std::printf("atst: %s\n", code(u.atst).c_str());
    std::printf("unif: %s\n", code(u.unif).c_str());
    if (!u.post.ok) {
        std::printf("tsed: no reply\n");
        return 1;
    }
    std::printf("tsed: %u %s, bin %c%s\n", unsigned(u.post.code), u.post.text.c_str(), u.post.bin,
                u.closed ? ", link closed by the station" : "");
    return 0;
}
