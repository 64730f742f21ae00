// One factory test record in the outside test-record logging library, and the
// posting of a session's numeric test data as such a record.
#pragma once

#include <string>

#include "nk_log.h"
#include "nk_typedef.h"

struct QB_UID;
class CNK_testData;

// Priorities of a test item, as the logging library numbers them.
typedef enum {
    kNkHubrPriority_realtimeWithAlarms = -2,
    kNkHubrPriority_realtime = 0,
    kNkHubrPriority_important = 1,
    kNkHubrPriority_normal = 2,
    kNkHubrPriority_low = 3,
    kNkHubrPriority_lowest = 4,
} t_nkHubr_priority;

class CNK_quenbar : public CNK_baseObject {
public:
    CNK_quenbar();
    ~CNK_quenbar() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 begin(const char* swVersion, const char* swName, const char* serialNumber);
    u16 addAttribute(const char* attrName, const char* attrValue);
    u16 addBlob(const char* blobName, const char* filePath);
    // The sub-sub-test name is accepted and not sent.
    u16 addTestItem(const char* testName, const char* subTestName, const char* subSubTestName, double upperLimit,
                    double lowerLimit, double value, const char* units, t_nkHubr_priority priority);
    u16 finish(bool pass);
    u16 cancel();

    // Whether a value is inside its limits as addTestItem judges it: a limit that
    // is NaN, infinite or the no-value sentinel is no limit, and a value without a
    // number passes only where there is no limit at all.
    static bool isPass(double value, double lowerLimit, double upperLimit);

    CNK_logManager* _logManager = nullptr;
    QB_UID* _uid = nullptr;

private:
    void release();
};

// Posts every numeric data symbol of `testData` as one committed test record.
u16 nkHubr_postData(const std::string& swVersion, const std::string& swName, const std::string& serialNumber,
                    CNK_testData& testData, CNK_logManager* lm);
