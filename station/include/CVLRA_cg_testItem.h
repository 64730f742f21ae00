// Base of the station's test items: a library test item that knows its session.
#pragma once

#include "nk_test.h"

class CVLRA_cg_testSession;

class CVLRA_cg_testItem : public CNK_testItem {
public:
    CVLRA_cg_testItem();
    ~CVLRA_cg_testItem() override;
    // The station rule: only a valid log manager (0xE001 otherwise); 0xE017 on an invalid item.
    u16 setLogManager(CNK_logManager* lm) override;

    CVLRA_cg_testSession* _testSession = nullptr;  // the owning session, set by its constructor

protected:
    // Replies through the owning session unless it replays stored packets, and closes
    // the link after the transport and setup errors (codes 1, 2, 10, 20 to 28).
    void reply(const tNTCP_header* header, u16 code, const void* payload, int length);
};

// Whether a reply with this code ends the link: bit code-1 of 0x0FF80203.
bool nkVlra_closesLink(u16 code);
