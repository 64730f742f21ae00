// Basic types, the framework's error codes and the missing-value sentinel.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t UInt8;
typedef int8_t SInt8;
typedef uint16_t UInt16;
typedef int16_t SInt16;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef uint64_t UInt64;
typedef int64_t SInt64;

// An absent measurement in the tool's own tables and statistics.
constexpr double kZelk_noValue = -1.7e-300;

// Error codes 0..132; 0 is success, 132 closes the table and is never returned.
#define ZELK_ERROR(name, code) kZErr_##name = code,
enum : int {
#include "ZelkErrorTable.inc"
};
#undef ZELK_ERROR
