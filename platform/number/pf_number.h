// Numbers in files, packets and log lines: always written and read with a '.',
// whatever locale the program runs in (a GUI program takes the user's). These
// are the only formatting and parsing calls the library uses for numbers.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

namespace pf::number {

// snprintf / vsnprintf in the C locale.
int format(char* buf, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int vformat(char* buf, size_t size, const char* fmt, va_list ap) __attribute__((format(printf, 3, 0)));

// The whole formatted text, however long.
std::string text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string vtext(const char* fmt, va_list ap) __attribute__((format(printf, 1, 0)));

// fprintf in the C locale.
int print(FILE* stream, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// strtod in the C locale: `end` (may be null) gets where the number stopped.
double parse(const char* text, char** end);

}  // namespace pf::number
