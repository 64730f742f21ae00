// Any bytes as the laser sensor's replies: the client runs its commands against
// a peer that writes the input and closes, over loopback TCP.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "net_test_util.h"
#include "nk_keyence.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static nettest::RawListener listener;
    static CNK_logManager* quiet = [] {
        auto* lm = new CNK_logManager;
        lm->setVerboseLevel(kVL0);
        return lm;
    }();
    CNK_keyence k(quiet);
    k.setRecvTimeout(200);
    std::thread peer([&] {
        const int c = listener.accept();
        if (c < 0) return;
        nettest::sendAll(c, data, size);
        shutdown(c, SHUT_WR);
        // Keep reading the commands until the client is done.
        uint8_t sink[256];
        while (recv(c, sink, sizeof(sink), 0) > 0) {
        }
        close(c);
    });
    if (k.Connect("127.0.0.1", listener.port) == 0) {
        k.Start();
        k.Stop();
        u32 n = 0;
        k.GetRecvLength(&n);
        std::vector<u32> values(64);
        i32 count = i32(values.size());
        k.Recv(values.data(), &count);
        if (count < 0 || count > 64) __builtin_trap();
        k.Close();
    }
    peer.join();
    return 0;
}
