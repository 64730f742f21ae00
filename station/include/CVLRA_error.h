// The station's error codes: enumerators and their registration with the
// library's error table.
#pragma once

#include <cstdint>

#define CVLRA_ERROR_ROW(n, c) kNKErr_##n = c,
enum : uint16_t {
#include "CVLRA_error_table.inc"
};
#undef CVLRA_ERROR_ROW

constexpr int kCVLRA_errorCount = 74;

// Adds the station's 74 codes to the library's error table, every handling rule 0.
// Safe to call more than once: only the first call registers.
void nkError_registerVlraError();
