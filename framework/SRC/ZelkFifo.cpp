// The framework's byte FIFO. Its own, not the library's ring: this one waits for
// its lock within a bound and keeps 16 bytes free.
#include "ZelkFifo.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "ZelkError.h"
#include "ZelkFifoInternal.h"

namespace {

constexpr UInt32 kReserve = 16;

class Fifo final : public tZelk_Fifo {
public:
    explicit Fifo(UInt8* buffer, UInt32 size) : begin_(buffer), end_(buffer + size), wr_(buffer), rd_(buffer) {}
    ~Fifo() override { delete[] begin_; }

    SInt32 read(UInt8* destination, UInt32* inOutLength, UInt8 waitMs) override {
        if (!destination || !inOutLength) return kZErr_invalidParam;
        const UInt32 want = *inOutLength;
        destination[0] = 0;
        *inOutLength = 0;
        std::unique_lock<std::mutex> guard(lock_, std::defer_lock);
        if (!take(guard, waitMs)) return kZErr_OK;
        UInt32 got = 0;
        while (got < want && rd_ != wr_) {
            // One piece up to the write position, or up to the end when it has wrapped.
            const UInt8* stop = rd_ < wr_ ? wr_ : end_;
            const UInt32 n = std::min<UInt32>(want - got, static_cast<UInt32>(stop - rd_));
            std::memcpy(destination + got, rd_, n);
            got += n;
            rd_ += n;
            if (rd_ == end_) rd_ = begin_;
        }
        destination[got] = 0;
        *inOutLength = got;
        return kZErr_OK;
    }

    SInt32 write(const UInt8* source, UInt32* inOutLength, UInt8 waitMs) override {
        if (!source || !inOutLength) {
            ZERR_REPORT_IN(nullptr, "ZUTIL_FIFO_Write", kZErr_invalidParam);
            return kZErr_invalidParam;
        }
        const UInt32 length = *inOutLength;
        *inOutLength = 0;
        std::unique_lock<std::mutex> guard(lock_, std::defer_lock);
        if (!take(guard, waitMs)) return kZErr_OK;
        const size_t free = rd_ > wr_ ? static_cast<size_t>(rd_ - wr_)
                                      : static_cast<size_t>(end_ - wr_) + static_cast<size_t>(rd_ - begin_);
        if (free < kReserve || free - kReserve < length) return kZErr_OK;
        const UInt32 first = std::min<UInt32>(length, static_cast<UInt32>(end_ - wr_));
        std::memcpy(wr_, source, first);
        std::memcpy(begin_, source + first, length - first);
        wr_ = length - first > 0 ? begin_ + (length - first) : wr_ + first;
        // A write that ends exactly at the buffer's end goes on at its beginning.
        if (wr_ == end_) wr_ = begin_;
        *inOutLength = length;
        return kZErr_OK;
    }

    std::mutex& lock() { return lock_; }

private:
    // Tries until the wait is over, 0 = one try. A polled try_lock rather than a timed
    // mutex: the thread sanitizer of this toolchain cannot see a timed lock taken.
    bool take(std::unique_lock<std::mutex>& guard, UInt8 waitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
        while (!guard.try_lock()) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return true;
    }

    std::mutex lock_;
    UInt8* const begin_;
    UInt8* const end_;
    UInt8* wr_;
    UInt8* rd_;
};

}  // namespace

std::mutex& zelk::detail::fifoLock(tZelk_Fifo* fifo) { return static_cast<Fifo*>(fifo)->lock(); }

tZelk_Fifo* ZUTIL_FIFO_Create(UInt32 size) {
    // 16 bytes always stay free: a smaller FIFO could never hold a byte.
    if (size <= kReserve) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return nullptr;
    }
    std::unique_ptr<UInt8[]> buffer(new (std::nothrow) UInt8[size]);
    if (!buffer) {
        ZERR_REPORT(nullptr, kZErr_memAllocationFailed);
        return nullptr;
    }
    Fifo* fifo = new (std::nothrow) Fifo(buffer.get(), size);
    if (!fifo) {
        ZERR_REPORT(nullptr, kZErr_memAllocationFailed);
        return nullptr;
    }
    buffer.release();
    return fifo;
}

SInt32 ZUTIL_FIFO_Read(tZelk_Fifo* fifo, UInt8* destination, UInt32* inOutLength, UInt8 waitMs) {
    if (!fifo) return kZErr_invalidParam;
    return fifo->read(destination, inOutLength, waitMs);
}

SInt32 ZUTIL_FIFO_Write(tZelk_Fifo* fifo, const UInt8* source, UInt32* inOutLength, UInt8 waitMs) {
    if (!fifo) {
        ZERR_REPORT(nullptr, kZErr_invalidParam);
        return kZErr_invalidParam;
    }
    return fifo->write(source, inOutLength, waitMs);
}

void ZUTIL_FIFO_Delete(tZelk_Fifo** handle) {
    if (!handle || !*handle) return;
    delete *handle;
    *handle = nullptr;
}
