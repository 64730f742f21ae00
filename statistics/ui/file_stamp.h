// What the pages' file watches compare: whether a file could be read, its
// modification time and its size.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>

namespace morvell {

struct FileStamp {
    bool read = false;
    timespec mtime{};
    off_t size = 0;

    bool operator==(const FileStamp& o) const {
        return read == o.read && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec && size == o.size;
    }
    // The file at `path` now; unread when there is none.
    static FileStamp of(const std::string& path);
    // Whether the file changed from `then` to `now`. A file that went away is not a change.
    static bool changed(const FileStamp& then, const FileStamp& now) { return now.read && !(now == then); }
};

}  // namespace morvell
