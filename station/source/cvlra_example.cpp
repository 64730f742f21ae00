// The example item: declares its figures, answers 8 zero bytes and ends the link.
#include "CVLRA_example.h"

#include <chrono>
#include <cmath>
#include <thread>

#include "CVLRA_cg_testSession.h"

CVLRA_example::CVLRA_example() { NK_CLASS_NAME(); }

CVLRA_example::~CVLRA_example() = default;

u16 CVLRA_example::setLogManager(CNK_logManager* lm) { return CVLRA_cg_testItem::setLogManager(lm); }

void CVLRA_example::registerDataSymbol() {
    if (!_testData) return;
    const double none = std::nan("");
    _testData->addDataSymbol(_name, "FOM_1", "uint8_t", 0, 1, "", true);
    _testData->addDataSymbol(_name, "FOM_2", "float", none, 1, "", false);
    _testData->addDataSymbol(_name, "FOM_3", "uint8_t", 0, 1, "", false);
    _testData->addDataSymbol(_name, "FOM_4", "float", 0, 1, "", false);
    _testData->addDataSymbol(_name, "FOM_5", "float", 0, 1, "", false);
    _testData->addDataSymbol(_name, "FOM_6", "double", 0, 1, "", false);
    _testData->addDataSymbol(_name, "FOM_777777", "uint8_t", 0, 1, "", false);
}

void CVLRA_example::handle_ntcp_packet(const tNTCP_header* header, const u8*) {
    NK_VALID_OR_RETURN_VOID();
    setStatus(kNkTestStat_TESTING);
    setStatus(kNkTestStat_PASS);
    if (!_testSession || !header) return;
    const u8 zeros[8] = {};
    _testSession->SendResponse(header, 0, zeros, sizeof(zeros), kVL2);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    _testSession->Close();
}
