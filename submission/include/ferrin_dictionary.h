// The in-memory test data that FN_SubmitDataAsDictionary and
// FN_SubmitDataAsDictionaryAndFinish take: a property-list tree whose root is a
// dictionary of entries under integer keys.
#pragma once

#include "ferrin.h"
#include "plist/pf_plist.h"

struct FN_Dictionary {
    pf::plist::Value value;
};
