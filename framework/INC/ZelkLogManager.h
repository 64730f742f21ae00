// The framework's log manager: builds text line by line and writes each finished
// line, by level, to the console, a log file and one relay listener. Every
// operation accepts a null manager: the text is then formatted and dropped.
#pragma once

#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>

#include "ZelkTypeDef.h"

#define ZLM_PRINTF(fmtIndex) __attribute__((format(printf, fmtIndex, fmtIndex + 1)))
#define ZLM_VPRINTF(fmtIndex) __attribute__((format(printf, fmtIndex, 0)))

// The relay listener: hears every line that reaches the console.
class iZelk_LogRelay {
public:
    virtual ~iZelk_LogRelay() = default;
    virtual void OnLogStringUpdated(UInt32 relayId, const char* text) = 0;
};

// The 1-D and 2-D array printers of one element type, declared for every type.
#define ZLM_ARRAY_TYPES(X) \
    X(Int, int)            \
    X(UInt8, UInt8)        \
    X(SInt8, SInt8)        \
    X(UInt16, UInt16)      \
    X(SInt16, SInt16)      \
    X(UInt32, UInt32)      \
    X(SInt32, SInt32)      \
    X(Float, float)        \
    X(Double, double)

// The manager's operations in table order. Calling through the table and calling
// the ZLM_ functions are the same operations.
class tZelk_LogManagerOps {
public:
    virtual SInt32 SetLogRelay(UInt32 relayId, iZelk_LogRelay* sink) = 0;
    virtual void SetVerboseLevel(SInt32 level) = 0;
    virtual SInt32 GetVerboseLevel() = 0;
    virtual SInt32 OpenLogFile(const char* path, const char* mode) = 0;
    virtual void CloseLogFile() = 0;
    virtual void PrintString(SInt32 level, const char* format, ...) ZLM_PRINTF(3) = 0;
    virtual void PrintText(SInt32 level, const char* format, ...) ZLM_PRINTF(3) = 0;
    virtual void PrintError(const char* format, ...) ZLM_PRINTF(2) = 0;
    virtual void PrintInt_1D(SInt32 level, const int* v, UInt32 count, bool reverse, const char* fmt) = 0;
    virtual void PrintInt_2D(SInt32 level, const int* v, UInt32 stride, UInt32 cols, UInt32 rows, bool rev,
                             const char* fmt) = 0;
    virtual void PrintChar_1D(SInt32 level, const char* v, UInt32 count, bool reverse) = 0;
    virtual void PrintChar_2D(SInt32 level, const char* v, UInt32 stride, UInt32 cols, UInt32 rows, bool rev) = 0;
#define ZLM_OPS_DECL(T, C)                                                                                   \
    virtual void Print##T##_1D(SInt32 level, const C* v, UInt32 count, bool reverse, const char* fmt) = 0; \
    virtual void Print##T##_2D(SInt32 level, const C* v, UInt32 stride, UInt32 cols, UInt32 rows, bool rev, \
                               const char* fmt) = 0;
    ZLM_OPS_DECL(UInt8, UInt8)
    ZLM_OPS_DECL(SInt8, SInt8)
    ZLM_OPS_DECL(UInt16, UInt16)
    ZLM_OPS_DECL(SInt16, SInt16)
    ZLM_OPS_DECL(UInt32, UInt32)
    ZLM_OPS_DECL(SInt32, SInt32)
    ZLM_OPS_DECL(Float, float)
    ZLM_OPS_DECL(Double, double)
#undef ZLM_OPS_DECL

protected:
    ~tZelk_LogManagerOps() = default;
};

struct iZelk_LogManager;

iZelk_LogManager* ZLM_Create();
void ZLM_Delete(iZelk_LogManager** handle);

SInt32 ZLM_SetLogRelay(iZelk_LogManager* m, UInt32 relayId, iZelk_LogRelay* sink);
void ZLM_SetVerboseLevel(iZelk_LogManager* m, SInt32 level);
void ZLM_SetVerboseLevel_file(iZelk_LogManager* m, SInt32 level);
SInt32 ZLM_GetVerboseLevel(iZelk_LogManager* m);
SInt32 ZLM_GetVerboseLevel_file(iZelk_LogManager* m);
SInt32 ZLM_OpenLogFile(iZelk_LogManager* m, const char* path, const char* mode);
void ZLM_CloseLogFile(iZelk_LogManager* m);

void ZLM_PrintString(iZelk_LogManager* m, SInt32 level, const char* format, ...) ZLM_PRINTF(3);
void ZLM_PrintText(iZelk_LogManager* m, SInt32 level, const char* format, ...) ZLM_PRINTF(3);
void ZLM_PrintError(iZelk_LogManager* m, const char* format, ...) ZLM_PRINTF(2);
void ZLM_VPrintString(iZelk_LogManager* m, SInt32 level, const char* format, va_list ap) ZLM_VPRINTF(3);
void ZLM_VPrintText(iZelk_LogManager* m, SInt32 level, const char* format, va_list ap) ZLM_VPRINTF(3);
void ZLM_VPrintError(iZelk_LogManager* m, const char* format, va_list ap) ZLM_VPRINTF(2);

#define ZLM_ARRAY_DECL(T, C)                                                                              \
    void ZLM_Print##T##_1D(iZelk_LogManager* m, SInt32 level, const C* values, UInt32 count, bool reverse, \
                           const char* elementFormat);                                                    \
    void ZLM_Print##T##_2D(iZelk_LogManager* m, SInt32 level, const C* data, UInt32 rowStride, UInt32 columns, \
                           UInt32 rows, bool reverseRows, const char* elementFormat);
ZLM_ARRAY_TYPES(ZLM_ARRAY_DECL)
#undef ZLM_ARRAY_DECL
void ZLM_PrintChar_1D(iZelk_LogManager* m, SInt32 level, const char* chars, UInt32 count, bool reverse);
void ZLM_PrintChar_2D(iZelk_LogManager* m, SInt32 level, const char* data, UInt32 rowStride, UInt32 columns,
                      UInt32 rows, bool reverseRows);

// The manager record. Its size is dominated by the 2 MiB line buffer, so it lives on
// the heap: make it with ZLM_Create only.
struct iZelk_LogManager final : tZelk_LogManagerOps {
    static constexpr size_t kLineSize = 2u * 1024u * 1024u;

    SInt32 consoleLevel = 3;
    SInt32 fileLevel = 3;
    FILE* file = nullptr;
    UInt32 relayId = 0;
    iZelk_LogRelay* relay = nullptr;
    // Guards the line, the file and the settings: append and emit are one step, so
    // the lines of concurrent writers stay whole.
    std::mutex lock;
    // Relay deliveries under way (made outside the lock), by the relay setting they
    // were taken under, so that a relay taken away is no longer called once
    // ZLM_SetLogRelay returns. A relay must therefore not wait for the thread that
    // takes it away.
    UInt64 relayGeneration = 0;
    std::map<UInt64, UInt32> relayBusy;
    std::condition_variable relayDone;
    size_t lineLength = 0;
    char line[kLineSize] = {};

    SInt32 SetLogRelay(UInt32 id, iZelk_LogRelay* sink) override { return ZLM_SetLogRelay(this, id, sink); }
    void SetVerboseLevel(SInt32 level) override { ZLM_SetVerboseLevel(this, level); }
    SInt32 GetVerboseLevel() override { return ZLM_GetVerboseLevel(this); }
    SInt32 OpenLogFile(const char* path, const char* mode) override { return ZLM_OpenLogFile(this, path, mode); }
    void CloseLogFile() override { ZLM_CloseLogFile(this); }
    void PrintString(SInt32 level, const char* format, ...) override ZLM_PRINTF(3);
    void PrintText(SInt32 level, const char* format, ...) override ZLM_PRINTF(3);
    void PrintError(const char* format, ...) override ZLM_PRINTF(2);
    void PrintChar_1D(SInt32 level, const char* v, UInt32 count, bool reverse) override {
        ZLM_PrintChar_1D(this, level, v, count, reverse);
    }
    void PrintChar_2D(SInt32 level, const char* v, UInt32 stride, UInt32 cols, UInt32 rows, bool rev) override {
        ZLM_PrintChar_2D(this, level, v, stride, cols, rows, rev);
    }
#define ZLM_OPS_IMPL(T, C)                                                                                  \
    void Print##T##_1D(SInt32 level, const C* v, UInt32 count, bool reverse, const char* fmt) override {    \
        ZLM_Print##T##_1D(this, level, v, count, reverse, fmt);                                             \
    }                                                                                                       \
    void Print##T##_2D(SInt32 level, const C* v, UInt32 stride, UInt32 cols, UInt32 rows, bool rev,         \
                       const char* fmt) override {                                                          \
        ZLM_Print##T##_2D(this, level, v, stride, cols, rows, rev, fmt);                                    \
    }
    ZLM_ARRAY_TYPES(ZLM_OPS_IMPL)
#undef ZLM_OPS_IMPL
};
