// Placeholder for the transmittance (T, "atst") item until its own source replaces this file:
// registered under its name so the script loads, no data symbols, and any
// packet is answered like an unknown control code (4, no payload, link kept).
#include "CVLRA_cg_testItem.h"
#include "CVLRA_cg_testSession.h"

class CVLRA_cg_transmittance : public CVLRA_cg_testItem {
public:
    CVLRA_cg_transmittance() { NK_CLASS_NAME(); }
    void registerDataSymbol() override {}
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header* header, const u8*) override {
        if (_testSession && header) _testSession->SendResponse(header, kNKErr_invalidData, nullptr, 0, kVL2);
    }
};

NK_REGISTER_TEST_CLASS(CVLRA_cg_transmittance)
