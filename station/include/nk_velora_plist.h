// A unit's station CSV log (the test data's summary rows) as a property-list test
// record: one entry per data row with its attributes, overall result, times and
// one test per measured column.
#pragma once

#include "nk_typedef.h"

// csvPath: the station CSV. plistPath: the output; null or empty puts it beside
// the CSV with the extension replaced by ".plist". stopAtFirstFail ends a row's
// tests with its first failing column; withoutFixedAttributes leaves out the
// serial number, software name and version and tester id; lastRowOnly converts
// the last data row alone. Returns 0 or the code of the step that failed.
u16 nkFom_velora_csvToPlist(const char* csvPath, const char* plistPath, bool stopAtFirstFail,
                            bool withoutFixedAttributes, bool lastRowOnly);
// The light-sensor station's form: its fixed attributes add errCode, errStr and
// config, and two attribute columns get short names.
u16 nkFom_wend_csvToPlist(const char* csvPath, const char* plistPath, bool stopAtFirstFail,
                          bool withoutFixedAttributes, bool lastRowOnly);
