// The uniformity item: answers "unif" packets of the tester cell.
#pragma once

#include <vector>

#include "CVLRA_cg_testItem.h"

// The fields of a "unif" request head, four-image (ORDER not 0) or single-image form.
struct t_nkVlraUnifRequest {
    u16 w = 0, h = 0;
    u8 order = 0;
    u32 size = 0;
    u16 exp1 = 0, exp2 = 0;
    float centroidWl = 0, pixelDensity = 0, beamSizeUm = 0;
    float xOffset = 0, yOffset = 0, aOffset = 0;
};

// Checks a request payload of `length` bytes before anything is written: 0, 13
// for a short head or sizes that do not match, 36 (four images) or 0xE00B
// (single image) for a width below 4 or no rows.
u16 nkVlra_checkUnifRequest(const u8* payload, u64 length, t_nkVlraUnifRequest* out);

class CVLRA_cg_uniformity : public CVLRA_cg_testItem {
public:
    CVLRA_cg_uniformity();
    ~CVLRA_cg_uniformity() override;
    u16 setLogManager(CNK_logManager* lm) override;
    void registerDataSymbol() override;
    void performTest(t_nkTestMode) override {}
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header* header, const u8* payload) override;

private:
    u16 evaluate(const u8* payload, u64 length);
    u16 fourImages(const t_nkVlraUnifRequest& req, std::vector<u8>& buf, u16 saveCode);
    u16 singleImage(const t_nkVlraUnifRequest& req, std::vector<u8>& buf, u16 saveCode);
};
