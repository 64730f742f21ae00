// The post item (test name POST): serves "tsed", the end of every unit. It runs
// the repository item, bins the unit, writes its summary rows and property list,
// submits them, answers the tester and closes the link.
#pragma once

#include <array>

#include "CVLRA_cg_testItem.h"

class CVLRA_cg_postData : public CVLRA_cg_testItem {
public:
    CVLRA_cg_postData();
    ~CVLRA_cg_postData() override;
    u16 setLogManager(CNK_logManager* lm) override;
    void registerDataSymbol() override;
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) override;

    // 'F' when the unit's test data holds a recorded error, else 'P'.
    char generateBinEVT();

private:
    // Submission start and health check; the code to record (0, 218 or the check's).
    u16 startSubmission();
    // The unit's CSV log, property list and their submission; the posting result.
    u16 postUnit(const std::string& title, const std::string& testerName);
};

CNK_testItem* CVLRA_cg_postData_create();

// The final reply's 31 bytes: the code (little-endian), its text cut to 27
// characters and zero-padded, a zero byte and the bin code.
std::array<u8, 31> nkVlra_postReply(u16 code, const char* text, char binCode);
