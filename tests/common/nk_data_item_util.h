// Data items as a station registers them with a writer.
#pragma once

#include "nk_spec.h"

namespace nktest {

// A value left out is the no-value sentinel: nothing measured yet.
inline t_nkDataItem dataItem(const char* name, t_nkDataType type, double lower, double upper,
                             double value = kNK_noValue) {
    t_nkDataItem it{};
    it.name = name;
    it.dataType = type;
    it.limitLower = lower;
    it.limitUpper = upper;
    it.value = value;
    return it;
}

}  // namespace nktest
