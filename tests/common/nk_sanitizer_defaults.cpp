// Defaults every test executable carries, so that a bare `ctest` or a test run
// by hand behaves as `make test` does.
#include <cstdlib>

extern "C" {
// Leaks inside system libraries that live for the whole process (see tests/lsan.supp).
const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
}

namespace {
// Drawing tests need a Qt platform plugin but never a display.
const int g_offscreen = setenv("QT_QPA_PLATFORM", "offscreen", 0);
}  // namespace
