// Log manager: verbosity filter, line assembly, console, relay and log file.
#include <cstdlib>
#include <string>
#include <strings.h>

#include "nk_log.h"
#include "number/pf_number.h"

namespace {

// Serialises every log-file write of every log manager in the process.
std::mutex g_logFileLock;

// The log manager whose relay this thread is calling. A relay that prints
// through that same manager would otherwise wait on a lock its own thread holds.
thread_local const CNK_logManager* t_relaying = nullptr;

bool isCsvName(const char* fileName) {
    for (const char* p = fileName; *p; ++p)
        if (strncasecmp(p, ".csv", 4) == 0) return true;
    return false;
}

bool levelInRange(int level) { return level >= kVL0 && level < kVLMax; }

}  // namespace

// A log manager's own failures go to standard error, never through itself, but
// they still name the class like any other method's report.
#define NK_REPORT_LM(code, cond) \
    nkDebug_printError(nullptr, __FILE__, name, __func__, __LINE__, (u16)(code), (cond))

CNK_logManager::CNK_logManager() {
    NK_CLASS_NAME();
    lineBuffer_ = static_cast<char*>(std::calloc(1024, 256));
    if (!lineBuffer_)
        nkDebug_assertFail(__FILE__, name, __func__, __LINE__, "_lineBuffer_str=(char*)calloc(1024,256)");
}

CNK_logManager::~CNK_logManager() {
    if (!nkObj_isValid(this)) return;
    {
        std::lock_guard<std::mutex> file(g_logFileLock);
        std::free(logFileName_);
        logFileName_ = nullptr;
        closeFileLocked();
    }
    std::lock_guard<std::mutex> txt(txtMutex_);
    std::lock_guard<std::mutex> str(strMutex_);
    std::free(lineBuffer_);
    lineBuffer_ = nullptr;
}

u16 CNK_logManager::setLogManager(CNK_logManager* lm) {
    if (!nkObj_isValid(this) || !nkObj_isValid(lm)) return kNKErr_objectNotAvailable;
    std::printf("[NOTE] CNK_logManager does not accept external CNK_logManager object\n"
                "       for log string relay check setLogRelay() and setLogRelay_gui()");
    std::fflush(stdout);
    nkDebug_assertFail(__FILE__, name, __func__, __LINE__, "0");
}

u16 CNK_logManager::setVerboseLevel(t_nkVbsLvl vLvl) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!levelInRange(vLvl)) {
        NK_REPORT_LM(kNKErr_invalidParam, "vLvl>=kVL0&&vLvl<kVLMax");
        return kNKErr_invalidParam;
    }
    consoleLevel_ = vLvl;
    return kNKErr_OK;
}

u16 CNK_logManager::setVerboseLevel_file(t_nkVbsLvl vLvl) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!(vLvl >= kVL1 && vLvl < kVLMax)) {
        NK_REPORT_LM(kNKErr_invalidParam, "vLvl>=kVL1&&vLvl<kVLMax");
        return kNKErr_invalidParam;
    }
    fileLevel_ = vLvl;
    return kNKErr_OK;
}

u16 CNK_logManager::setLogFileName(const char* fileName) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    if (!fileName || !*fileName) {
        // The stored name stays: later file lines are appended to it one by one.
        std::lock_guard<std::mutex> file(g_logFileLock);
        closeFileLocked();
        return kNKErr_OK;
    }
    char* fileNameMem = strdup(fileName);
    if (!fileNameMem) {
        NK_REPORT_LM(kNKErr_memoryAllocationFailed, "fileNameMem!=NULL");
        return kNKErr_memoryAllocationFailed;
    }
    std::lock_guard<std::mutex> file(g_logFileLock);
    std::free(logFileName_);
    logFileName_ = fileNameMem;
    closeFileLocked();
    if (isCsvName(logFileName_)) return kNKErr_OK;  // a CSV file never receives log lines
    logFile_ = std::fopen(logFileName_, "a+");
    if (!logFile_) {
        // The name is kept, so every later file line retries the open.
        NK_REPORT_LM(kNKErr_fileOpenFailed, "logFilePt!=NULL");
        return kNKErr_fileOpenFailed;
    }
    return kNKErr_OK;
}

void CNK_logManager::closeLogFile() {
    NK_VALID_OR_RETURN_VOID();
    std::lock_guard<std::mutex> file(g_logFileLock);
    std::free(logFileName_);
    logFileName_ = nullptr;
    closeFileLocked();
}

void CNK_logManager::setLogRelay(INK_logRelay* relay) {
    NK_VALID_OR_RETURN_VOID();
    if (t_relaying == this) {
        relay_ = relay;  // called from inside the relay: this thread holds the string mutex already
        return;
    }
    std::lock_guard<std::mutex> str(strMutex_);
    relay_ = relay;
}

// ---------------------------------------------------------------- output

// The open log file, if any, flushed and closed; the caller holds the file lock.
void CNK_logManager::closeFileLocked() {
    if (!logFile_) return;
    std::fflush(logFile_);
    std::fclose(logFile_);
    logFile_ = nullptr;
}

void CNK_logManager::writeFileLocked(const char* text, size_t len) {
    if (logFile_) {
        std::fwrite(text, 1, len, logFile_);
        std::fflush(logFile_);
        return;
    }
    if (!logFileName_ || std::strlen(logFileName_) < 2 || isCsvName(logFileName_)) return;
    FILE* logFilePt = std::fopen(logFileName_, "a+");
    if (!logFilePt) {
        NK_REPORT_LM(kNKErr_fileOpenFailed, "logFilePt!=NULL");
        return;
    }
    std::fwrite(text, 1, len, logFilePt);
    std::fflush(logFilePt);
    std::fclose(logFilePt);
}

void CNK_logManager::emitLocked(t_nkVbsLvl level, const char* text, size_t len, bool relay) {
    if (level <= consoleLevel_) {
        std::fwrite(text, 1, len, stdout);
        std::fflush(stdout);
        if (relay && relay_) {
            const CNK_logManager* outer = t_relaying;
            t_relaying = this;
            relay_->onLogRelay(text);
            t_relaying = outer;
        }
    }
    if (level <= fileLevel_) {
        std::lock_guard<std::mutex> file(g_logFileLock);
        writeFileLocked(text, len);
    }
}

void CNK_logManager::appendLocked(t_nkVbsLvl level, const char* text, size_t len) {
    // Text that does not fit the pending line is flushed in pieces rather than lost.
    while (len > 0) {
        const size_t room = kLineCapacity - 1 - lineLength_;
        const size_t take = len < room ? len : room;
        std::memcpy(lineBuffer_ + lineLength_, text, take);
        lineLength_ += take;
        lineBuffer_[lineLength_] = '\0';
        text += take;
        len -= take;
        if (lineLength_ == kLineCapacity - 1) {
            emitLocked(level, lineBuffer_, lineLength_, true);
            lineLength_ = 0;
            lineBuffer_[0] = '\0';
        }
    }
    if (lineLength_ > 0 && lineBuffer_[lineLength_ - 1] == '\n') {
        emitLocked(level, lineBuffer_, lineLength_, true);
        lineLength_ = 0;
        lineBuffer_[0] = '\0';
    }
}

void CNK_logManager::printFormatted(t_nkVbsLvl level, bool wholeLine, const char* func, const char* format,
                                    va_list args) {
    // Refusals are reported under the public method that was called.
    if (!format) nkDebug_assertFail(__FILE__, name, func, __LINE__, "format!=NULL");
    if (!levelInRange(level)) {
        nkDebug_printError(nullptr, __FILE__, name, func, __LINE__, kNKErr_invalidParam, "vLvl>=kVL0&&vLvl<kVLMax");
        return;
    }
    if (!passesFilter(level)) return;
    if (t_relaying == this) {
        printNested(level, wholeLine, format, args);
    } else if (wholeLine) {
        std::lock_guard<std::mutex> txt(txtMutex_);
        printTextLocked(level, format, args);
    } else {
        std::lock_guard<std::mutex> str(strMutex_);
        printStringLocked(level, format, args);
    }
}

void CNK_logManager::printNested(t_nkVbsLvl level, bool wholeLine, const char* format, va_list args) {
    // Called from inside this manager's own relay: the line goes to the console
    // and the file but not back to the relay, which would only loop.
    va_list copy;
    va_copy(copy, args);
    const int n = pf::number::vformat(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) return;
    std::string text(static_cast<size_t>(n), '\0');
    pf::number::vformat(text.data(), text.size() + 1, format, args);
    if (wholeLine && (text.empty() || text.back() != '\n')) text.push_back('\n');
    emitLocked(level, text.c_str(), text.size(), false);
}

void CNK_logManager::printStringLocked(t_nkVbsLvl level, const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    const size_t room = kLineCapacity - lineLength_;
    const int n = pf::number::vformat(lineBuffer_ + lineLength_, room, format, args);
    if (n >= 0 && static_cast<size_t>(n) < room) {
        va_end(copy);
        lineLength_ += static_cast<size_t>(n);
        appendLocked(level, "", 0);  // emits the line when this text ended it
        return;
    }
    lineBuffer_[lineLength_] = '\0';  // drop the cut copy, then append the whole text in pieces
    if (n > 0) {
        std::string text(static_cast<size_t>(n), '\0');
        pf::number::vformat(text.data(), text.size() + 1, format, copy);
        appendLocked(level, text.data(), text.size());
    }
    va_end(copy);
}

void CNK_logManager::printTextLocked(t_nkVbsLvl level, const char* format, va_list args) {
    char* text = lineBuffer_ + kLineCapacity;
    const int n = pf::number::vformat(text, kTextCapacity, format, args);
    size_t len = n < 0 ? 0 : static_cast<size_t>(n);
    // A line is cut at the buffer's size, keeping room for its newline.
    if (len > kTextCapacity - 2) len = kTextCapacity - 2;
    if (len == 0 || text[len - 1] != '\n') text[len++] = '\n';
    text[len] = '\0';
    {
        std::lock_guard<std::mutex> str(strMutex_);
        appendLocked(level, text, len);
    }
    text[0] = '\0';
}

void CNK_logManager::printString(t_nkVbsLvl level, const char* format, ...) {
    NK_VALID_OR_RETURN_VOID();
    va_list args;
    va_start(args, format);
    printFormatted(level, false, __func__, format, args);
    va_end(args);
}

void CNK_logManager::printText(t_nkVbsLvl level, const char* format, ...) {
    NK_VALID_OR_RETURN_VOID();
    va_list args;
    va_start(args, format);
    printFormatted(level, true, __func__, format, args);
    va_end(args);
}

// ---------------------------------------------------------------- typed prints

namespace {
template <typename T>
struct PrintArg {
    static int of(T v) { return static_cast<int>(v); }
};
template <>
struct PrintArg<unsigned int> {
    static unsigned int of(unsigned int v) { return v; }
};
template <>
struct PrintArg<float> {
    static double of(float v) { return v; }
};
template <>
struct PrintArg<double> {
    static double of(double v) { return v; }
};
}  // namespace

template <typename T>
void CNK_logManager::print1d(t_nkVbsLvl level, const T* data, int count, bool reverse, const char* format) {
    NK_VALID_OR_RETURN_VOID();
    if (!levelInRange(level) || !passesFilter(level)) return;
    if (count > 0 && data && format) {
        char elementFormat[64];
        std::snprintf(elementFormat, sizeof(elementFormat), " \t%s", format);
        for (int i = 0; i < count; ++i) {
            const T v = data[reverse ? count - 1 - i : i];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
            printString(level, elementFormat, PrintArg<T>::of(v));
#pragma GCC diagnostic pop
        }
    }
    printString(level, "\n");
}

template <typename T>
void CNK_logManager::print2d(t_nkVbsLvl level, const T* data, int stride, int cols, int rows, bool reverseRows,
                             const char* format) {
    NK_VALID_OR_RETURN_VOID();
    if (!levelInRange(level) || !passesFilter(level) || rows < 1 || !data) return;
    for (int i = 0; i < rows; ++i) {
        const int r = reverseRows ? rows - 1 - i : i;
        printString(level, "[row%02d]", r);
        print1d(level, data + static_cast<ptrdiff_t>(r) * stride, cols, false, format);
    }
}

#define NK_LOG_TYPED(T)                                                                                       \
    void CNK_logManager::print_1d(t_nkVbsLvl l, const T* d, int n, bool rev, const char* f) {                 \
        print1d(l, d, n, rev, f);                                                                             \
    }                                                                                                         \
    void CNK_logManager::print_2d(t_nkVbsLvl l, const T* d, int s, int c, int r, bool rev, const char* f) {   \
        print2d(l, d, s, c, r, rev, f);                                                                       \
    }
NK_LOG_TYPED(char)
NK_LOG_TYPED(unsigned char)
NK_LOG_TYPED(signed char)
NK_LOG_TYPED(unsigned short)
NK_LOG_TYPED(short)
NK_LOG_TYPED(unsigned int)
NK_LOG_TYPED(int)
NK_LOG_TYPED(float)
NK_LOG_TYPED(double)
#undef NK_LOG_TYPED
