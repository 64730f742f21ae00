// The peer side of the socket fuzz targets: writes the input and reads the replies at the
// same time, so neither side can block the other; returns when the other end has closed.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace fuzzpeer {

inline void pump(int fd, const uint8_t* data, size_t size) {
    size_t sent = 0;
    bool writing = size > 0;
    if (!writing) shutdown(fd, SHUT_WR);
    char drain[4096];
    for (;;) {
        pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
        if (poll(&p, 1, 5000) <= 0) return;
        if (writing && (p.revents & POLLOUT)) {
            const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) sent += static_cast<size_t>(n);
            if (n < 0 && errno != EAGAIN && errno != EINTR) writing = false;
            if (sent == size) {
                shutdown(fd, SHUT_WR);
                writing = false;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(fd, drain, sizeof(drain), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
        }
    }
}

}  // namespace fuzzpeer
