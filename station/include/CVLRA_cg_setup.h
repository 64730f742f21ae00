// The setup item (test name INIT): serves "tscr", the start of every unit.
#pragma once

#include "CVLRA_cg_testItem.h"

class CVLRA_cg_setup : public CVLRA_cg_testItem {
public:
    CVLRA_cg_setup();
    ~CVLRA_cg_setup() override;
    u16 setLogManager(CNK_logManager* lm) override;
    void registerDataSymbol() override;
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) override;
};

CNK_testItem* CVLRA_cg_setup_create();

// HOST_VERSION of a version text d.dd.dd (1.23.45 gives 1.2345); false for any other form.
bool nkVlra_hostVersionNumber(const std::string& version, double* number);
// The 32-byte reply field: the text cut to 31 characters and a NUL, "UNDEFINED" when empty.
void nkVlra_versionReply(const std::string& version, u8 (&field)[32]);
