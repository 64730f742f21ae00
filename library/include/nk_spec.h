// Spec and data items: the record shared by the spec-limit manager and the
// test-data CSV writer, element sizes by type code, and the spec-limit manager.
#pragma once

#include "nk_log.h"
#include "nk_typedef.h"

constexpr t_nkDataType k_nkDataType_string = kNKDT_string;

// Element size in bytes of type codes 0 to 9; a string has no fixed size.
inline constexpr u32 k_nkDataSize[10] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8};

// One spec or data item. Numbers of every type are held as doubles; the
// no-value sentinel marks an absent limit or a value not measured yet.
typedef struct {
    const char* name;  // not owned
    t_nkDataType dataType;
    double limitLower;
    double limitUpper;
    double value;
    char text[256];  // value of a string item
} t_nkDataItem;

static_assert(sizeof(t_nkDataItem) == 296, "t_nkDataItem is a fixed-layout record");
