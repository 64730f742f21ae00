// Basic types, the no-value sentinel, element type codes and the base object
// that every class of the library derives from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <typeinfo>

typedef uint8_t u8;
typedef int8_t i8;
typedef uint16_t u16;
typedef int16_t i16;
typedef uint32_t u32;
typedef int32_t i32;
typedef uint64_t u64;
typedef int64_t i64;

// Marks "no value measured" and "limit not set" in float and double data. It is
// exactly representable in both widths (float bits 0x80131C10, double bits
// 0xB7E31C1000000000), so a round trip through either width keeps it.
#define NK_NO_VALUE (-1.7549413551695425e-39)
constexpr double kNK_noValue = NK_NO_VALUE;
constexpr float kNK_noValueF = static_cast<float>(NK_NO_VALUE);

// A float or double value is valid when it is neither NaN, an infinity nor the
// sentinel, tested in the value's own width.
inline bool nkMath_isValid(double v) { return v == v && v - v == 0.0 && v != kNK_noValue; }
inline bool nkMath_isValid(float v) { return v == v && v - v == 0.0f && v != kNK_noValueF; }

// Element type codes of data items, typed prints and the aligned allocator.
typedef enum {
    kNKDT_u8 = 0,
    kNKDT_i8 = 1,
    kNKDT_u16 = 2,
    kNKDT_i16 = 3,
    kNKDT_u32 = 4,
    kNKDT_i32 = 5,
    kNKDT_u64 = 6,
    kNKDT_i64 = 7,
    kNKDT_float = 8,
    kNKDT_double = 9,
    kNKDT_string = 10,
} t_nkDataType;

#include "nk_error.h"

class CNK_logManager;

#define NK_OBJECT_MAGIC 0x76616c64u

// Base of every library class: readable class name, validity word and the
// log manager the object reports to.
class CNK_baseObject {
public:
    char name[128];
    u32 magic;
    CNK_logManager* logManager;

    CNK_baseObject();
    virtual ~CNK_baseObject();
    virtual u16 setLogManager(CNK_logManager* lm) = 0;

    CNK_baseObject(const CNK_baseObject&) = delete;
    CNK_baseObject& operator=(const CNK_baseObject&) = delete;

protected:
    // Each constructor calls this with typeid(*this); while a constructor runs
    // that is its own class, so the finished object carries the most derived name.
    void setClassName(const std::type_info& type);
    // The common check order of setLogManager: argument, this object, class name.
    u16 acceptLogManager(CNK_logManager* lm);
};

// Validity rule: a null object or one whose magic is not the live value is not
// touched. Kept out of line so that the test on `this` is never folded away.
bool nkObj_isValid(const CNK_baseObject* obj);

// Methods start with one of these.
#define NK_VALID_OR_RETURN(ret) \
    do { if (!nkObj_isValid(this)) return (ret); } while (0)
#define NK_VALID_OR_RETURN_VOID() \
    do { if (!nkObj_isValid(this)) return; } while (0)
#define NK_CLASS_NAME() setClassName(typeid(*this))
