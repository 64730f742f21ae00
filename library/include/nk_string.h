// Text scanners over NUL-terminated buffers. They return pointers into the
// caller's text and allocate nothing (except nkStr_split). Blanks are space
// and tab; a word ends at a blank, a line feed, a carriage return or the end.
#pragma once

#include <string>
#include <vector>

#include "nk_typedef.h"

// Pointer-returning scanners: a null result means nothing is left.
const char* nkStr_skipWord(const char* text);
const char* nkStr_skipSpace(const char* text);
const char* nkStr_goNextWord(const char* text);
const char* nkStr_goNextLine(const char* text);
const char* nkStr_goAfter(const char* text, const char* key);
const char* nkStr_goLastText(const char* text, const char* key);
inline char* nkStr_skipWord(char* t) { return const_cast<char*>(nkStr_skipWord(static_cast<const char*>(t))); }
inline char* nkStr_skipSpace(char* t) { return const_cast<char*>(nkStr_skipSpace(static_cast<const char*>(t))); }
inline char* nkStr_goNextWord(char* t) { return const_cast<char*>(nkStr_goNextWord(static_cast<const char*>(t))); }
inline char* nkStr_goNextLine(char* t) { return const_cast<char*>(nkStr_goNextLine(static_cast<const char*>(t))); }
inline char* nkStr_goAfter(char* t, const char* k) { return const_cast<char*>(nkStr_goAfter(static_cast<const char*>(t), k)); }
inline char* nkStr_goLastText(char* t, const char* k) { return const_cast<char*>(nkStr_goLastText(static_cast<const char*>(t), k)); }

// String forms: the result points into `text`, which must outlive its use.
const char* nkStr_goAfter(const std::string& text, const std::string& key);
const char* nkStr_strstr(const std::string& text, const std::string& key);
const char* nkStr_strcasestr(const std::string& text, const std::string& key);
// The first place of key in text, case ignored; null when either is null or empty.
const char* nkStr_strcasestr(const char* text, const char* key);
inline char* nkStr_strcasestr(char* t, const char* k) { return const_cast<char*>(nkStr_strcasestr(static_cast<const char*>(t), k)); }
// Temporaries would leave the result dangling.
const char* nkStr_goAfter(std::string&&, const std::string&) = delete;
const char* nkStr_strstr(std::string&&, const std::string&) = delete;
const char* nkStr_strcasestr(std::string&&, const std::string&) = delete;

// Occurrences of key, counted with overlap; 0 for an empty key.
u32 nkStr_checkTextCount(const char* text, const char* key);

// The token after the first delimiter (leading blanks skipped) up to the next
// delimiter or the end of the text, at most limit-1 characters, NUL-terminated.
u16 nkStr_getNextStringWithLimit(const char* text, const char* delimiter, char* out, u32 limit);
namespace nkstr_detail {
// The scanner behind both names; failures are reported under `func`.
u16 getNextString(const char* func, const char* text, const char* delimiter, char* out, u32 limit);
}  // namespace nkstr_detail
// The buffer's own size is the limit, so the copy can never overrun it.
template <size_t N>
u16 nkStr_getNextString(const char* text, const char* delimiter, char (&out)[N]) {
    return nkstr_detail::getNextString("nkStr_getNextString", text, delimiter, out, static_cast<u32>(N));
}

// The value of the column whose title contains itemName (case ignored). A value
// longer than the buffer is cut and the result is kNKErr_invalidBufferSize.
u16 nkStr_getItemString(const char* titleLine, const char* dataLine, const char* delimiter, const char* itemName,
                        char* out, u32 capacity);
template <size_t N>
u16 nkStr_getItemString(const char* titleLine, const char* dataLine, const char* delimiter, const char* itemName,
                        char (&out)[N]) {
    return nkStr_getItemString(titleLine, dataLine, delimiter, itemName, out, static_cast<u32>(N));
}

// A byte count as "1024 ", "1.001 K" or "1.000 M"; the buffer is per thread and
// overwritten by that thread's next call.
const char* nkStr_getSizeString(u32 count);

void nkStr_upperCaseString(char* text);
void nkStr_lowerCaseString(char* text);

// Pieces between delimiters; "a,,b" gives a, "", b and "" gives one empty piece.
std::vector<std::string> nkStr_split(const std::string& text, const std::string& delimiter);

// Blocks of numbers as the log manager's print_1d / print_2d write them. Numbers
// are read in the C locale; a row that ends early leaves its other elements as
// they were.
char* nkStr_scanInt_1D(const char* ptr, int* buff, int width);
char* nkStr_scanFloat_1D(const char* ptr, float* buff, int width);
char* nkStr_scanInt_2D(const char* ptr, int* buff, int width, int height, bool reverseRows);
char* nkStr_scanFloat_2D(const char* ptr, float* buff, int width, int height, bool reverseRows);
