#include "file_stamp.h"

namespace morvell {

FileStamp FileStamp::of(const std::string& path) {
    FileStamp s;
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return s;
    s.read = true;
    s.mtime = st.st_mtim;
    s.size = st.st_size;
    return s;
}

}  // namespace morvell
