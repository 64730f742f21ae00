// Replacing a file whole: written beside it under a short temporary name of its
// own and renamed over it, so a reader sees the old file or the whole new one.
#pragma once

#include <cstddef>
#include <string>

namespace pf::file {

class ReplacingWrite {
public:
    enum class Status { ok, openFailed, writeFailed, renameFailed };

    // Creates the temporary file; status() tells whether that worked.
    explicit ReplacingWrite(const std::string& path);
    // A write that was never committed leaves the old file and no temporary.
    ~ReplacingWrite();
    ReplacingWrite(const ReplacingWrite&) = delete;
    ReplacingWrite& operator=(const ReplacingWrite&) = delete;

    // False once any write failed; later writes are then ignored.
    bool write(const void* data, size_t length);
    // Flushes to disk and renames over the target. errno tells why on failure.
    Status commit();
    Status status() const { return status_; }

private:
    void discard();

    std::string path_;
    std::string temp_;
    int fd_ = -1;
    Status status_ = Status::ok;
};

}  // namespace pf::file
