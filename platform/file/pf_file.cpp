#include "pf_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace pf::file {

ReplacingWrite::ReplacingWrite(const std::string& path) : path_(path) {
    static std::atomic<unsigned> serial{0};
    // A short name of its own in the target's folder: a suffix on a long target
    // name could pass the file-name length limit that the target itself meets.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    temp_ = folder + ".nk-" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".tmp";
    fd_ = open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0) {
        status_ = Status::openFailed;
        return;
    }
    // A replaced file keeps its permissions.
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) fchmod(fd_, st.st_mode & 07777);
}

ReplacingWrite::~ReplacingWrite() { discard(); }

void ReplacingWrite::discard() {
    if (fd_ < 0) return;
    const int saved = errno;
    close(fd_);
    fd_ = -1;
    unlink(temp_.c_str());
    errno = saved;
}

bool ReplacingWrite::write(const void* data, size_t length) {
    if (status_ != Status::ok) return false;
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t n = ::write(fd_, p, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            status_ = Status::writeFailed;
            return false;
        }
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

ReplacingWrite::Status ReplacingWrite::commit() {
    if (status_ != Status::ok) {
        discard();
        return status_;
    }
    bool ok = fsync(fd_) == 0;
    ok = close(fd_) == 0 && ok;
    fd_ = -1;
    if (!ok) {
        const int saved = errno;
        unlink(temp_.c_str());
        errno = saved;
        return status_ = Status::writeFailed;
    }
    if (std::rename(temp_.c_str(), path_.c_str()) != 0) {
        const int saved = errno;
        unlink(temp_.c_str());
        errno = saved;
        return status_ = Status::renameFailed;
    }
    return status_;
}

}  // namespace pf::file
