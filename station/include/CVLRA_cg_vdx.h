// The repository item (test name VDXU): at the end of a unit it downloads the
// unit's "CtCl" record, checks its size, version and download figures, and
// compares the upstream station's transmittance with the one this station has
// just measured, as a tilt ratio per test point and wavelength. The validation
// of one unit's record is a free function as well, for the repository tools.
#pragma once

#include <string>
#include <vector>

#include "CVLRA_cg_testItem.h"
#include "cvlra_ctcl.h"
#include "nk_log.h"
#include "nk_typedef.h"

struct vdx_permission;

class CVLRA_cg_vdx : public CVLRA_cg_testItem {
public:
    CVLRA_cg_vdx();
    ~CVLRA_cg_vdx() override;
    u16 setLogManager(CNK_logManager* lm) override;
    void registerDataSymbol() override;
    // Run by the post item; the mode is not consulted. The outcome is the status
    // and the error recorded in the session's test data.
    void performTest(t_nkTestMode mode) override;
    void abortTest() override {}
    void handle_ntcp_packet(const tNTCP_header*, const u8*) override {}

    void displayVDXData(const t_cgCalData* record);
    // Validates one unit's record with this item's session endpoints; see
    // nkVlra_validateVDX. The log manager becomes the item's.
    u16 validateVDX(CNK_logManager* lm, const char* serialNumber, const char* folder, bool dryRun);
};

CNK_testItem* CVLRA_cg_vdx_create();

// Number of data symbols the item declares.
constexpr int kVLRA_vdxSymbolCount = 55;

// Where a unit's record comes from when it is validated.
struct t_vlraVdxSource {
    std::string caUrl, dsUrl, trustObjectUrl;  // repository endpoints; empty leaves the option out
    std::string repositoryDryRunFolder;        // handed to the repository access when not empty
    vdx_permission* permission = nullptr;
    std::string repositoryLogFolder;           // "<folder>/<sn>_vdx.log" when not empty
    bool acceptCtCl0 = false;                  // a dry run also takes "<sn>_CtCl0.bin"
};

// One unit's record fetched for validation: downloaded (or, with `dryRun`, read
// from "<folder>/<sn>_CtCl.bin"), kept as "<folder>/<sn>_CtClx.bin", its size
// checked and the record displayed. 0 with the record, or the failing code:
// 5 (a serial number that cannot name a file or key), 0xE041 (no folder),
// 7 (no record file), 13 (a record file of the wrong size), the download's or
// the save's code, or 503 (not a record).
u16 nkVlra_fetchVdxForValidation(CNK_logManager* lm, const std::string& serialNumber, const std::string& folder,
                                 bool dryRun, const t_vlraVdxSource& source, t_cgCalData* record);

// The validation's version verdict: 2.0 and 3.0 pass, other minors of 2 and 3
// are logged as a failed check and still give 0, any other major gives 503.
u16 nkVlra_vdxValidationVerdict(CNK_logManager* lm, const t_cgCalData& record);

// Both of the above, as the item's validation runs them.
u16 nkVlra_validateVDX(CNK_logManager* lm, const std::string& serialNumber, const std::string& folder, bool dryRun,
                       const t_vlraVdxSource& source);

// The tilt-ratio tables of the item: "%5.10f," wavelength (300 + 2k nm), then
// "%5.20f," per row, 401 lines.
std::string nkVlra_vdxTiltCsv(const std::vector<std::vector<float>>& rows);
