// A byte FIFO for one or more writer and reader threads, with a bounded wait for
// its lock. A write always leaves 16 bytes free, so a FIFO of size bytes holds at
// most size - 16 and full never looks like empty.
#pragma once

#include "ZelkTypeDef.h"

// The FIFO's interface: its two operations in slot order.
class tZelk_Fifo {
public:
    virtual ~tZelk_Fifo() = default;
    // *inOutLength: the most bytes wanted, then the bytes taken. The destination
    // holds one byte more: a zero byte always follows what was taken.
    virtual SInt32 read(UInt8* destination, UInt32* inOutLength, UInt8 waitMs) = 0;
    // *inOutLength: the bytes to store, then the bytes stored (all or none).
    virtual SInt32 write(const UInt8* source, UInt32* inOutLength, UInt8 waitMs) = 0;
};

// Null for a size of 16 or less (nothing would fit) or when memory runs out.
tZelk_Fifo* ZUTIL_FIFO_Create(UInt32 size);
// waitMs: the longest wait for the lock, 0 = one try. A lock not had in time is not an
// error: 0 is returned with nothing moved.
SInt32 ZUTIL_FIFO_Read(tZelk_Fifo* fifo, UInt8* destination, UInt32* inOutLength, UInt8 waitMs);
SInt32 ZUTIL_FIFO_Write(tZelk_Fifo* fifo, const UInt8* source, UInt32* inOutLength, UInt8 waitMs);
void ZUTIL_FIFO_Delete(tZelk_Fifo** handle);

// The object form: a FIFO made with the object, deleted with it. A FIFO that
// could not be made leaves the object without one; its operations then return 17.
class iZelk_Fifo {
public:
    virtual ~iZelk_Fifo() = default;
    virtual SInt32 ffRead(UInt8* destination, UInt32* inOutLength, UInt8 waitMs) = 0;
    virtual SInt32 ffWrite(const UInt8* source, UInt32* inOutLength, UInt8 waitMs) = 0;
};

class Zelk_Fifo final : public iZelk_Fifo {
public:
    explicit Zelk_Fifo(UInt32 fifoSize) : _ff(ZUTIL_FIFO_Create(fifoSize)) {}
    ~Zelk_Fifo() override { ZUTIL_FIFO_Delete(&_ff); }
    Zelk_Fifo(const Zelk_Fifo&) = delete;
    Zelk_Fifo& operator=(const Zelk_Fifo&) = delete;

    SInt32 ffRead(UInt8* destination, UInt32* inOutLength, UInt8 waitMs) override {
        return ZUTIL_FIFO_Read(_ff, destination, inOutLength, waitMs);
    }
    SInt32 ffWrite(const UInt8* source, UInt32* inOutLength, UInt8 waitMs) override {
        return ZUTIL_FIFO_Write(_ff, source, inOutLength, waitMs);
    }
    bool hasFifo() const { return _ff != nullptr; }

private:
    tZelk_Fifo* _ff;
};
