#include "host/pf_host.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace pf::host {

int64_t residentBytes() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) return -1;
    long long size = 0, resident = 0;
    const int n = std::fscanf(f, "%lld %lld", &size, &resident);
    std::fclose(f);
    const long page = sysconf(_SC_PAGESIZE);
    if (n != 2 || resident < 0 || page <= 0) return -1;
    return static_cast<int64_t>(resident) * page;
}

bool primaryHardwareAddress(char* out, size_t capacity) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    const struct sockaddr_ll* best = nullptr;
    bool bestUp = false;
    for (const struct ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_PACKET || (i->ifa_flags & IFF_LOOPBACK)) continue;
        const auto* ll = reinterpret_cast<const struct sockaddr_ll*>(i->ifa_addr);
        if (ll->sll_halen != 6) continue;
        bool zero = true;
        for (int k = 0; k < 6; ++k) zero = zero && ll->sll_addr[k] == 0;
        if (zero) continue;
        const bool up = (i->ifa_flags & IFF_UP) != 0;
        if (!best || (up && !bestUp)) {
            best = ll;
            bestUp = up;
        }
    }
    bool found = false;
    if (best && capacity >= 18) {
        const unsigned char* a = best->sll_addr;
        std::snprintf(out, capacity, "%02x:%02x:%02x:%02x:%02x:%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
        found = true;
    }
    freeifaddrs(list);
    return found;
}

}  // namespace pf::host
