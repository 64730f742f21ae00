// Registration of the station's error codes.
#include "CVLRA_error.h"

#include <mutex>

#include "nk_error.h"

namespace {

struct Row {
    const char* name;
    uint16_t code;
};

const Row kRows[] = {
#define CVLRA_ERROR_ROW(n, c) {#n, c},
#include "CVLRA_error_table.inc"
#undef CVLRA_ERROR_ROW
};
static_assert(sizeof(kRows) / sizeof(kRows[0]) == kCVLRA_errorCount);

}  // namespace

void nkError_registerVlraError() {
    // The table refuses a code twice (and ends the process); a second delegate or a
    // test that launches the station again must not trip it.
    static std::once_flag once;
    std::call_once(once, [] {
        for (const Row& row : kRows) nkError_expandErrorCodes(row.name, row.code, 0);
    });
}
