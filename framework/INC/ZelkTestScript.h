// The station's test script: header values and six groups of command lines read
// into one fixed-size record that the device under test copies and runs.
#pragma once

#include "ZelkTypeDef.h"

// Items per group, in the order the script lists the groups.
constexpr UInt32 kZelk_setupItemCount = 16;
constexpr UInt32 kZelk_testItemCount = 256;
constexpr UInt32 kZelk_resultItemCount = 16;
constexpr UInt32 kZelk_onPassItemCount = 16;
constexpr UInt32 kZelk_onFailItemCount = 16;
constexpr UInt32 kZelk_onOrchelPassItemCount = 16;

// The time an item gets when its line names none.
constexpr UInt32 kZelk_defaultItemTimeoutMsec = 60000;

struct tZelk_TestItem {
    char testName[256];   // the command line as written, zero-terminated
    SInt32 testStat;      // the item's state during a run; 0 after parsing
    UInt32 timeoutMsec;   // time allowed for the item
};

// A group ends at its first item with an empty testName, or at its capacity.
struct tZelk_TestInfo {
    char projectName[32];
    char stationName[32];
    char logsPathDut[1024];
    char logsPathVesk[1024];
    char statPathVesk[1024];
    char zelkVersion[32];  // not filled by the parser
    char testSwVersion[32];
    tZelk_TestItem setupItems[kZelk_setupItemCount];
    tZelk_TestItem testItems[kZelk_testItemCount];
    tZelk_TestItem resultItems[kZelk_resultItemCount];
    tZelk_TestItem onPassItems[kZelk_onPassItemCount];
    tZelk_TestItem onFailItems[kZelk_onFailItemCount];
    tZelk_TestItem onOrchelPassItems[kZelk_onOrchelPassItemCount];
};

// Reads the script at path into info (zero-filled first). 0, or 17 for a null
// argument, 29 no such file, 31 cannot open, 9 no memory, 33 short read, 23 any
// syntax fault; on failure info holds what was read before the fault.
// Values and item texts longer than their fields are cut; a group with more
// command lines than it holds is a syntax fault. A CR before a LF ends the line
// with it, so scripts saved with CRLF line ends read the same.
SInt32 ZPB_GetTestInfo(const char* path, tZelk_TestInfo* info);
