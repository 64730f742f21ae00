// What every station reader of a repository record "CtCl" does with a download:
// fetch it (repository or dry-run folder), check its size and show it, judge its
// version, and export its tables for the validation tool. The validation of one
// unit's record itself is the repository item's (CVLRA_cg_vdx.h).
#pragma once

#include <string>
#include <vector>

#include "cvlra_ctcl.h"
#include "nk_log.h"
#include "nk_typedef.h"

struct vdx_permission;

// How one transfer reaches the repository. Empty URLs are left out; a non-empty
// dry-run folder sends the transfer to "<folder>/<key>_CtCl.bin" instead.
struct t_cgVdxEndpoint {
    std::string caUrl;
    std::string dsUrl;
    std::string trustObjectUrl;
    std::string dryRunFolder;
    vdx_permission* permission = nullptr;
};

// Whether a serial number may name a repository key and a file: 1 to 127
// characters, no '/', no "..", no control characters. Tester and list text is
// checked with it before it reaches a path or the repository.
bool cgVdx_isSerialNumberValid(const std::string& serialNumber);

// Downloads the CtCl record of `key` into `out` (emptied first), with the
// repository's messages appended to `repositoryLog` ("" for none). The code of
// the repository access: 0, 5, 590, 592, 602 and the others it knows.
u16 cgVdx_download(CNK_logManager* lm, const t_cgVdxEndpoint& endpoint, const std::string& key,
                   const std::string& repositoryLog, std::vector<u8>& out);
// Uploads `bytes` as the CtCl record of `key`.
u16 cgVdx_upload(CNK_logManager* lm, const t_cgVdxEndpoint& endpoint, const std::string& key,
                 const std::vector<u8>& bytes, const std::string& repositoryLog);

// The size check of a received record: 3598 or 8106 bytes, else "[Err] VDX
// Retrieval Data Size Mismatch: %d %d" and 503. A record that passes is read into
// `record`, shown (the item's view) and its magic and version logged. A 3598-byte
// record claiming major version 3 is refused with 503 too.
u16 cgVdx_checkReceived(CNK_logManager* lm, const std::vector<u8>& bytes, t_cgCalData* record);

// The batch download's version rule: major 2 or 3 with minor 0 or 1. Logs
// "* VDX Data Version v%d.%d Check Pass." or "[Err] VDX Data Version Check Fail.";
// 0 or 503.
u16 cgVdx_batchVersionVerdict(CNK_logManager* lm, const t_cgCalData& record);

// Writes the record's tables as CSV into `folder`, by major version:
// 2: "<sn>_atst_transx.csv", 401 lines of five channels on the 300 to 1100 nm grid
//    (the first 50 zero, the record starts at 400 nm);
// 3: the same file from the record's 401-value rows, "<sn>_atst_weightedTx.csv"
//    and "<sn>_unif_2dTx.csv" with one value a line.
// Other majors write nothing. Each file is whole or reported (0xE043, 0xE044).
u16 cgVdx_exportTables(CNK_logManager* lm, const t_cgCalData& record, const std::string& folder,
                       const std::string& serialNumber);
