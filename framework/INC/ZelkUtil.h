// Plain helpers of the framework: array blocks, size texts, text scanning,
// checksums, files, Intel HEX images, the multitouch tools' queries and image
// flips and crops. Texts are zero-terminated byte strings; a blank is a tab or a space.
#pragma once

#include <cstdio>

#include "ZelkTypeDef.h"

// Element sizes of the array block by type index: unsigned and signed 8-, 16-,
// 32- and 64-bit integers, then float and double.
extern const UInt32 kDataSize[10];

// One zeroed allocation indexed like a nested array (handle[i][j]...). Null on
// failure; a block whose size does not fit 32 bits is refused, never cut short.
void* ZUTIL_Mem_allc_aligned(UInt32 typeIndex, UInt16 dimCount, const UInt16* dims, SInt32* outSize);
void ZUTIL_Mem_free_aligned(void* handle);

// "%.3f M", "%.3f K" or "%d "; valid until the same thread asks again.
const char* ZUTIL_GetSizeString(UInt32 bytes);

// An empty pattern matches nothing.
SInt32 ZUTIL_StrCheckTextCount(const char* text, const char* pattern);
const char* ZUTIL_StrSkipSpace(const char* text);
const char* ZUTIL_StrGoAfter(const char* text, const char* pattern);
const char* ZUTIL_StrGoNextWord(const char* position);
const char* ZUTIL_StrGoNextLine(const char* text);
const char* ZUTIL_StrGoLastText(const char* text, const char* pattern);
const char* ZUTIL_StrGetFileName(const char* path);
const char* ZUTIL_StrGetFileExtension(const char* path);
void ZUTIL_StrUpper(char* text);
bool ZUTIL_StrIsNumeric(const char* text);
// The number, or kZelk_noValue for a text that is not numeric.
double ZUTIL_StrGetValue(const char* text);
// Copies the word at text into destination (capacity bytes with its zero byte;
// a longer word is cut); the next word after the blanks, or null at the end.
const char* ZUTIL_StrGetCurrentWord(const char* text, char* destination, size_t capacity);
const char* ZUTIL_StrScanInt_1D(const char* text, SInt32* values, SInt32 count);
const char* ZUTIL_StrScanInt_2D(const char* text, SInt32* values, SInt32 columns, SInt32 rows, bool bottomUp);
const char* ZUTIL_StrScanFloat_1D(const char* text, float* values, SInt32 count);
const char* ZUTIL_StrScanFloat_2D(const char* text, float* values, SInt32 columns, SInt32 rows, bool bottomUp);

// Minus the sum of the bytes taken as signed values; 0 for no bytes.
SInt32 ZUTIL_CalculateChecksum(const void* bytes, UInt64 length);
bool ZUTIL_IsFileExist(const char* path);
// The file's size; its read position is back at the start afterwards.
SInt64 ZUTIL_GetFileSize(FILE* file);

// Reads a whole Intel HEX text into image. *inOutLength: the image's capacity,
// then the data bytes read. A record must end strictly before the capacity (19
// otherwise). outExtent, when given, gets one past the highest byte written.
SInt32 ZUTIL_ParseIntelHexFile(const char* text, UInt8* image, UInt64* inOutLength, UInt64* outExtent = nullptr);

// Queries through the station's multitouch tools in the tool folder; 0xFFFFFFFF
// when the tool cannot run or says nothing usable.
UInt32 ZUTIL_GetMultitouchFirmwareVersion(SInt32 deviceKind);
UInt32 ZUTIL_GetMultitouchCriticalError();
// The tools' file names inside the tool folder.
extern const char* const kZelk_multitouchTestTool;
extern const char* const kZelk_multitouchReportTool;

// In place; width and height count elements. A crop window outside the image is refused.
void ZUTIL_FlipImage_Vertical(void* buffer, UInt32 elementSize, SInt32 width, SInt32 height);
void ZUTIL_FlipImage_Horizontal(void* buffer, UInt32 elementSize, SInt32 width, SInt32 height);
void ZUTIL_CropImage(void* buffer, UInt32 elementSize, SInt32 width, SInt32 height, SInt32 x0, SInt32 y0,
                     SInt32 cropWidth, SInt32 cropHeight);
#define ZUTIL_IMAGE_DECL(Type, T)                                                                          \
    void ZUTIL_FlipImage##Type##_Vertical(T* buffer, SInt32 width, SInt32 height);                         \
    void ZUTIL_FlipImage##Type##_Horizontal(T* buffer, SInt32 width, SInt32 height);                       \
    void ZUTIL_CropImage##Type(T* buffer, SInt32 width, SInt32 height, SInt32 x0, SInt32 y0, SInt32 cropWidth, \
                               SInt32 cropHeight);
ZUTIL_IMAGE_DECL(UInt8, UInt8)
ZUTIL_IMAGE_DECL(SInt8, SInt8)
ZUTIL_IMAGE_DECL(UInt16, UInt16)
ZUTIL_IMAGE_DECL(SInt16, SInt16)
ZUTIL_IMAGE_DECL(UInt32, UInt32)
ZUTIL_IMAGE_DECL(SInt32, SInt32)
ZUTIL_IMAGE_DECL(Float, float)
ZUTIL_IMAGE_DECL(Double, double)
#undef ZUTIL_IMAGE_DECL
