// Defaults every test executable carries, so that a bare `ctest` or a test run
// by hand behaves as `make test` does.
#include <cstdlib>

extern "C" {
// Leaks inside system libraries that live for the whole process (see tests/lsan.supp).
const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
// The OpenCL driver loads the kernels it compiles as shared objects with thread-local
// data; the sanitizer's record of such blocks can hold a bogus range, and the exit-time
// leak scan then faults on it depending on the executable's layout. Heap blocks are
// still scanned; only the dynamic thread-local ranges are no longer tracked.
const char* __asan_default_options() { return "intercept_tls_get_addr=0"; }
}

namespace {
// Drawing tests need a Qt platform plugin but never a display.
const int g_offscreen = setenv("QT_QPA_PLATFORM", "offscreen", 0);
}  // namespace
