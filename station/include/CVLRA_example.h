// The smallest complete station item, kept as the pattern for new items. Built
// with the program but never registered, so no script can create it.
#pragma once

#include "CVLRA_cg_testItem.h"

class CVLRA_example : public CVLRA_cg_testItem {
public:
    CVLRA_example();
    ~CVLRA_example() override;
    u16 setLogManager(CNK_logManager* lm) override;
    void registerDataSymbol() override;
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) override;
};
