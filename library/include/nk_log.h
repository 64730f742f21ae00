// The library's logging object: verbosity filter, line assembly, console,
// relay and log file.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "nk_typedef.h"

// Lower numbers are more important: a message of level L shows on a channel
// whose level is at least L.
typedef enum {
    kVL0 = 0,
    kVL1 = 1,
    kVL2 = 2,
    kVL3 = 3,
    kVL4 = 4,
    kVL5 = 5,
    kVL6 = 6,
    kVLMax = 7,
} t_nkVbsLvl;

// Hears every finished console line of a log manager.
class INK_logRelay {
public:
    virtual ~INK_logRelay() = default;
    virtual void onLogRelay(const char* text) = 0;
};

class CNK_logManager : public CNK_baseObject {
public:
    static constexpr size_t kBlockSize = 1024 * 256;
    static constexpr size_t kLineCapacity = 229376;  // pending printString text
    static constexpr size_t kTextCapacity = 32768;   // one printText line

    CNK_logManager();
    ~CNK_logManager() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 setVerboseLevel(t_nkVbsLvl level);
    u16 setVerboseLevel_file(t_nkVbsLvl level);
    u16 setLogFileName(const char* fileName);
    // Closes the log file and forgets its name: no later line reaches any file
    // until the next setLogFileName. (setLogFileName with no name only closes the
    // stream; its lines are still appended to the stored file one by one.)
    void closeLogFile();
    void setLogRelay(INK_logRelay* relay);

    void printString(t_nkVbsLvl level, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void printText(t_nkVbsLvl level, const char* format, ...) __attribute__((format(printf, 3, 4)));

    void print_1d(t_nkVbsLvl level, const char* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const unsigned char* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const signed char* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const unsigned short* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const short* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const unsigned int* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const int* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const float* data, int count, bool reverse, const char* format);
    void print_1d(t_nkVbsLvl level, const double* data, int count, bool reverse, const char* format);

    void print_2d(t_nkVbsLvl level, const char* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const unsigned char* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const signed char* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const unsigned short* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const short* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const unsigned int* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const int* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const float* data, int stride, int cols, int rows, bool reverseRows, const char* format);
    void print_2d(t_nkVbsLvl level, const double* data, int stride, int cols, int rows, bool reverseRows, const char* format);

    t_nkVbsLvl verboseLevel() const { return consoleLevel_.load(); }
    t_nkVbsLvl verboseLevel_file() const { return fileLevel_.load(); }

private:
    bool passesFilter(t_nkVbsLvl level) const { return level <= consoleLevel_ || level <= fileLevel_; }
    void appendLocked(t_nkVbsLvl level, const char* text, size_t len);
    void emitLocked(t_nkVbsLvl level, const char* text, size_t len, bool relay);
    void writeFileLocked(const char* text, size_t len);
    void closeFileLocked();
    void printFormatted(t_nkVbsLvl level, bool wholeLine, const char* func, const char* format, va_list args);
    void printNested(t_nkVbsLvl level, bool wholeLine, const char* format, va_list args);
    void printStringLocked(t_nkVbsLvl level, const char* format, va_list args);
    void printTextLocked(t_nkVbsLvl level, const char* format, va_list args);
    template <typename T>
    void print1d(t_nkVbsLvl level, const T* data, int count, bool reverse, const char* format);
    template <typename T>
    void print2d(t_nkVbsLvl level, const T* data, int stride, int cols, int rows, bool reverseRows, const char* format);

    // Read by printing threads without a lock, so kept atomic.
    std::atomic<t_nkVbsLvl> consoleLevel_{kVL1};
    std::atomic<t_nkVbsLvl> fileLevel_{kVL1};
    char* logFileName_ = nullptr;
    FILE* logFile_ = nullptr;
    std::mutex strMutex_;
    std::mutex txtMutex_;
    char* lineBuffer_ = nullptr;  // pending line, then the printText buffer
    size_t lineLength_ = 0;
    INK_logRelay* relay_ = nullptr;
};
