// Defaults every test executable carries, so that a bare `ctest` or a test run
// by hand behaves as `make test` does.
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

extern "C" {
// Leaks inside system libraries that live for the whole process (see tests/lsan.supp).
const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n"
           "leak:libpocl.so\n"
           "leak:libLLVM\n";
}
// The OpenCL driver loads the kernels it compiles as shared objects with thread-local
// data; the sanitizer's record of such blocks can hold a bogus range, and the exit-time
// leak scan then faults on it depending on the executable's layout. Heap blocks are
// still scanned; only the dynamic thread-local ranges are no longer tracked.
const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
}

namespace {
// Drawing tests need a Qt platform plugin but never a display.
const int g_offscreen = setenv("QT_QPA_PLATFORM", "offscreen", 0);

// The OpenCL runtime caches compiled kernels under the home folder; a warm cache would skip
// the compiler and hide what a new machine meets. Every run gets an empty cache of its own.
class FreshKernelCache {
public:
    FreshKernelCache() {
        // Children of a test (death tests, re-run executables) share their parent's cache.
        const char* inherited = getenv("POCL_CACHE_DIR");
        if (inherited && std::string(inherited).find(kMark) != std::string::npos &&
            std::filesystem::is_directory(inherited))
            return;
        std::error_code ec;
        std::string tmpl = (std::filesystem::temp_directory_path(ec) / (std::string(kMark) + "XXXXXX")).string();
        if (ec || !mkdtemp(tmpl.data())) return;
        path_ = tmpl;
        setenv("POCL_CACHE_DIR", path_.c_str(), 1);
    }
    ~FreshKernelCache() {
        if (path_.empty()) return;
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    FreshKernelCache(const FreshKernelCache&) = delete;
    FreshKernelCache& operator=(const FreshKernelCache&) = delete;

private:
    static constexpr const char* kMark = "nk-kernels-";
    std::string path_;
};
const FreshKernelCache g_kernelCache;
}  // namespace
