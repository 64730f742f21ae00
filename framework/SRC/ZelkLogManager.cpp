// The framework's log manager.
#include "ZelkLogManager.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "number/pf_number.h"

namespace {

constexpr size_t kTextArea = 16384;   // one ZLM_PrintText line, its newline and the zero byte
constexpr size_t kErrorArea = 8192;   // one ZLM_PrintError text and the zero byte
constexpr size_t kCharArea = 8192;    // " %c" per character and the zero byte
constexpr size_t kElementFormat = 16; // "\t" + the element format + the zero byte

bool passes(SInt32 threshold, SInt32 level) { return threshold >= level; }

bool anyPasses(iZelk_LogManager* m, SInt32 level) {
    std::lock_guard<std::mutex> guard(m->lock);
    return passes(m->consoleLevel, level) || passes(m->fileLevel, level);
}

struct Relayed {
    iZelk_LogRelay* sink = nullptr;
    UInt32 id = 0;
    UInt64 generation = 0;
    std::vector<std::string> lines;
};

// The deliveries this thread is making, so that a relay changing the relay from its
// own delivery does not wait for itself.
thread_local std::vector<std::pair<const iZelk_LogManager*, UInt64>> tl_delivering;

UInt32 ownDeliveries(const iZelk_LogManager* m, UInt64 generation) {
    return static_cast<UInt32>(std::count(tl_delivering.begin(), tl_delivering.end(), std::make_pair(m, generation)));
}

// Sends the relay's copies outside the lock, counted as under way meanwhile.
void deliver(iZelk_LogManager* m, const Relayed& relayed) {
    if (!relayed.sink) return;
    tl_delivering.emplace_back(m, relayed.generation);
    for (const std::string& line : relayed.lines) relayed.sink->OnLogStringUpdated(relayed.id, line.c_str());
    tl_delivering.pop_back();
    {
        std::lock_guard<std::mutex> guard(m->lock);
        const auto busy = m->relayBusy.find(relayed.generation);
        if (busy != m->relayBusy.end() && --busy->second == 0) m->relayBusy.erase(busy);
    }
    m->relayDone.notify_all();
}

// Writes the line being built to the file and the console its level passes and
// empties it; the relay's copy is sent by the caller once the lock is released,
// so a relay that prints through this manager does not deadlock.
void emitLocked(iZelk_LogManager* m, SInt32 level, bool addNewline, Relayed& relayed) {
    if (m->file && passes(m->fileLevel, level)) {
        std::fwrite(m->line, 1, m->lineLength, m->file);
        if (addNewline) std::fputc('\n', m->file);
        std::fflush(m->file);
    }
    if (passes(m->consoleLevel, level)) {
        std::fwrite(m->line, 1, m->lineLength, stdout);
        if (addNewline) std::fputc('\n', stdout);
        std::fflush(stdout);
        if (m->relay) {
            if (!relayed.sink) ++m->relayBusy[m->relayGeneration];
            relayed.sink = m->relay;
            relayed.id = m->relayId;
            relayed.generation = m->relayGeneration;
            relayed.lines.emplace_back(m->line, m->lineLength);
            if (addNewline) relayed.lines.back().push_back('\n');
        }
    }
    m->lineLength = 0;
    m->line[0] = '\0';
}

// Appends text to the line and emits it when it ends with a newline. A line that
// fills the whole buffer is emitted as a line of its own, so the text after it is
// never lost behind a buffer that can no longer end.
void append(iZelk_LogManager* m, SInt32 level, const char* text, size_t length) {
    Relayed relayed;
    {
        std::lock_guard<std::mutex> guard(m->lock);
        if (!passes(m->consoleLevel, level) && !passes(m->fileLevel, level)) return;
        while (length > 0) {
            const size_t room = iZelk_LogManager::kLineSize - 1 - m->lineLength;
            if (room == 0) {
                emitLocked(m, level, true, relayed);
                continue;
            }
            const size_t n = std::min(room, length);
            std::memcpy(m->line + m->lineLength, text, n);
            m->lineLength += n;
            m->line[m->lineLength] = '\0';
            text += n;
            length -= n;
        }
        if (m->lineLength > 0 && m->line[m->lineLength - 1] == '\n') emitLocked(m, level, false, relayed);
    }
    deliver(m, relayed);
}

void append(iZelk_LogManager* m, SInt32 level, const std::string& text) { append(m, level, text.data(), text.size()); }

// The formatted text, cut to fit an area of `area` bytes with its zero byte.
std::string formatCut(size_t area, const char* format, va_list ap) {
    std::string text = pf::number::vtext(format, ap);
    if (text.size() > area - 1) text.resize(area - 1);
    return text;
}

// printf of one element in the C locale: numbers are read back by tools.
template <typename V>
void appendElement(std::string& out, const char* format, V value) {
    char buf[128];
    const int n = pf::number::format(buf, sizeof(buf), format, value);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof(buf)) out.append(buf, static_cast<size_t>(n));
    else out += pf::number::text(format, value);
}

// Signed types widen with their sign, unsigned ones without, floats to double.
inline int widen(int v) { return v; }
inline int widen(SInt8 v) { return v; }
inline int widen(SInt16 v) { return v; }
inline unsigned widen(UInt8 v) { return v; }
inline unsigned widen(UInt16 v) { return v; }
inline unsigned widen(UInt32 v) { return v; }
inline double widen(float v) { return v; }
inline double widen(double v) { return v; }

template <typename C>
void elements(std::string& out, const C* values, UInt32 count, bool reverse, const char* elementFormat) {
    char format[kElementFormat];
    std::snprintf(format, sizeof(format), "\t%s", elementFormat);
    out.reserve(out.size() + static_cast<size_t>(count) * 8 + 1);
    for (UInt32 i = 0; i < count; ++i) appendElement(out, format, widen(values[reverse ? count - 1 - i : i]));
    out.push_back('\n');
}

template <typename C>
void print1D(iZelk_LogManager* m, SInt32 level, const C* values, UInt32 count, bool reverse, const char* fmt) {
    if (!m || !values || !fmt || !anyPasses(m, level)) return;
    std::string out;
    elements(out, values, count, reverse, fmt);
    append(m, level, out);
}

std::string rowLabel(UInt32 r) {
    char label[32];
    pf::number::format(label, sizeof(label), "[row%02u]", r);
    return label;
}

template <typename C>
void print2D(iZelk_LogManager* m, SInt32 level, const C* data, UInt32 stride, UInt32 columns, UInt32 rows,
             bool reverseRows, const char* fmt) {
    if (!m || !data || !fmt || !anyPasses(m, level)) return;
    for (UInt32 i = 0; i < rows; ++i) {
        const UInt32 r = reverseRows ? rows - 1 - i : i;
        std::string out = rowLabel(r);
        elements(out, data + static_cast<size_t>(r) * stride, columns, false, fmt);
        append(m, level, out);
    }
}

// " %c" per character, as many as the 8 KiB area holds, and the line's newline.
std::string charLine(const char* chars, UInt32 count, bool reverse) {
    const UInt32 kept = std::min<UInt32>(count, (kCharArea - 1) / 2);
    std::string out;
    out.reserve(kept * 2 + 1);
    for (UInt32 i = 0; i < kept; ++i) {
        out.push_back(' ');
        out.push_back(chars[reverse ? count - 1 - i : i]);
    }
    out.push_back('\n');
    return out;
}

}  // namespace

iZelk_LogManager* ZLM_Create() { return new (std::nothrow) iZelk_LogManager(); }

void ZLM_Delete(iZelk_LogManager** handle) {
    if (!handle || !*handle) return;
    iZelk_LogManager* m = *handle;
    *handle = nullptr;
    if (m->file) std::fclose(m->file);
    delete m;
}

SInt32 ZLM_SetLogRelay(iZelk_LogManager* m, UInt32 relayId, iZelk_LogRelay* sink) {
    if (!m) return kZErr_invalidParam;
    std::unique_lock<std::mutex> guard(m->lock);
    m->relayId = relayId;
    m->relay = sink;
    // Lines taken for the relay before this change may still be on their way on other
    // threads: wait for them, so the caller may free the relay it took away.
    const UInt64 generation = ++m->relayGeneration;
    m->relayDone.wait(guard, [&] {
        for (const auto& [g, n] : m->relayBusy)
            if (g < generation && n > ownDeliveries(m, g)) return false;
        return true;
    });
    return kZErr_OK;
}

void ZLM_SetVerboseLevel(iZelk_LogManager* m, SInt32 level) {
    if (!m) return;
    std::lock_guard<std::mutex> guard(m->lock);
    m->consoleLevel = level;
    m->fileLevel = level;
}

void ZLM_SetVerboseLevel_file(iZelk_LogManager* m, SInt32 level) {
    if (!m) return;
    std::lock_guard<std::mutex> guard(m->lock);
    m->fileLevel = level;
}

SInt32 ZLM_GetVerboseLevel(iZelk_LogManager* m) {
    if (!m) return -1;
    std::lock_guard<std::mutex> guard(m->lock);
    return m->consoleLevel;
}

SInt32 ZLM_GetVerboseLevel_file(iZelk_LogManager* m) {
    if (!m) return -1;
    std::lock_guard<std::mutex> guard(m->lock);
    return m->fileLevel;
}

SInt32 ZLM_OpenLogFile(iZelk_LogManager* m, const char* path, const char* mode) {
    if (!m) return kZErr_OK;
    {
        std::lock_guard<std::mutex> guard(m->lock);
        if (m->file) std::fclose(m->file);
        m->file = (path && mode) ? std::fopen(path, mode) : nullptr;
        if (m->file) return kZErr_OK;
    }
    ZLM_PrintError(m, "Failed to open Log file\n\tpath: %s\n\tflag: %s", path ? path : "", mode ? mode : "");
    return kZErr_fileOpenFailed;
}

void ZLM_CloseLogFile(iZelk_LogManager* m) {
    if (!m) return;
    std::lock_guard<std::mutex> guard(m->lock);
    if (m->file) std::fclose(m->file);
    m->file = nullptr;
}

// Without a manager nothing is kept or written, so nothing needs formatting either.
void ZLM_VPrintString(iZelk_LogManager* m, SInt32 level, const char* format, va_list ap) {
    if (!m || !format || !anyPasses(m, level)) return;
    append(m, level, pf::number::vtext(format, ap));
}

void ZLM_VPrintText(iZelk_LogManager* m, SInt32 level, const char* format, va_list ap) {
    if (!m || !format || !anyPasses(m, level)) return;
    // The newline always fits: the text is cut one byte short of the area.
    std::string text = formatCut(kTextArea - 1, format, ap);
    if (text.empty() || text.back() != '\n') text.push_back('\n');
    append(m, level, text);
}

void ZLM_VPrintError(iZelk_LogManager* m, const char* format, va_list ap) {
    if (!m || !format || !anyPasses(m, 0)) return;
    const std::string text = formatCut(kErrorArea, format, ap);
    ZLM_PrintText(m, 0, "[ERR] %s", text.c_str());
}

void ZLM_PrintString(iZelk_LogManager* m, SInt32 level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ZLM_VPrintString(m, level, format, ap);
    va_end(ap);
}

void ZLM_PrintText(iZelk_LogManager* m, SInt32 level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ZLM_VPrintText(m, level, format, ap);
    va_end(ap);
}

void ZLM_PrintError(iZelk_LogManager* m, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ZLM_VPrintError(m, format, ap);
    va_end(ap);
}

void iZelk_LogManager::PrintString(SInt32 level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ZLM_VPrintString(this, level, format, ap);
    va_end(ap);
}

void iZelk_LogManager::PrintText(SInt32 level, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ZLM_VPrintText(this, level, format, ap);
    va_end(ap);
}

void iZelk_LogManager::PrintError(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    ZLM_VPrintError(this, format, ap);
    va_end(ap);
}

#define ZLM_ARRAY_IMPL(T, C)                                                                                  \
    void ZLM_Print##T##_1D(iZelk_LogManager* m, SInt32 level, const C* values, UInt32 count, bool reverse,    \
                           const char* elementFormat) {                                                       \
        print1D(m, level, values, count, reverse, elementFormat);                                             \
    }                                                                                                         \
    void ZLM_Print##T##_2D(iZelk_LogManager* m, SInt32 level, const C* data, UInt32 rowStride, UInt32 columns, \
                           UInt32 rows, bool reverseRows, const char* elementFormat) {                        \
        print2D(m, level, data, rowStride, columns, rows, reverseRows, elementFormat);                        \
    }
ZLM_ARRAY_TYPES(ZLM_ARRAY_IMPL)
#undef ZLM_ARRAY_IMPL

void ZLM_PrintChar_1D(iZelk_LogManager* m, SInt32 level, const char* chars, UInt32 count, bool reverse) {
    if (!m || !chars || !anyPasses(m, level)) return;
    append(m, level, charLine(chars, count, reverse));
}

void ZLM_PrintChar_2D(iZelk_LogManager* m, SInt32 level, const char* data, UInt32 rowStride, UInt32 columns,
                      UInt32 rows, bool reverseRows) {
    if (!m || !data || !anyPasses(m, level)) return;
    for (UInt32 i = 0; i < rows; ++i) {
        const UInt32 r = reverseRows ? rows - 1 - i : i;
        append(m, level, rowLabel(r) + charLine(data + static_cast<size_t>(r) * rowStride, columns, false));
    }
}
