// The offline re-evaluation of stored "atst" packets and the repository record
// it writes for each.
#include "cvlra_postprocess.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "CVLRA_cg_transmittance.h"
#include "cvlra_ctcl.h"
#include "cvlra_vdx_check.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_ntcp.h"
#include "nk_utils.h"
#include "nk_velora_sn.h"

namespace {

constexpr const char* kPacketSuffix = "_atst.bin";

void report(CNK_logManager* lm, int line, u16 code, const char* condition) {
    nkDebug_printError(lm, __FILE__, nullptr, "process_ntcp_packet", line, code, condition);
}

}  // namespace

u16 CVLRA_cg_transmittance::process_ntcp_packet(const char* serialNumber, const u8* payload, u32 length,
                                                const char* outputFolder, const std::string& dataRoot) {
    CNK_logManager log;  // console only, for this call
    CNK_logManager* lm = &log;
    lm->printText(kVL1, "*** Handle ATST *** --------------------------------------------------------");

    // The serial number names the record's file, so it must not leave the folder.
    if (!serialNumber || !cgVdx_isSerialNumberValid(serialNumber)) {
        report(lm, __LINE__, kNKErr_invalidParam, "serial number names a file");
        return kNKErr_invalidParam;
    }
    if (!outputFolder && dataRoot.empty()) {
        report(lm, __LINE__, kNKErr_invalidParam, "outputFolder!=NULL || dataRoot");
        return kNKErr_invalidParam;
    }
    const std::string sn = serialNumber;

    // A number that fails its check leaves the unit unknown rather than unset.
    t_nkCgInfo info{};
    info.type = 255;
    info.color = 255;
    (void)nkFom_checkCgSn(lm, sn.c_str(), &info, kVL1);

    std::vector<t_vlraAtstPoint> points;
    if (nkVlra_parseAtst(payload, length, points, t_vlraAtstRun::offline) != 0) {
        report(lm, __LINE__, kNKErr_invalidDataSize, "total_len==length");
        return kNKErr_invalidDataSize;
    }
    lm->printText(kVL1, " *** Total Test Points %d", int(points.size()));
    for (const t_vlraAtstPoint& p : points) {
        lm->printText(kVL1, "* Test Points %d, %d Wavelength Samples", p.index, int(p.wl.size()));
        lm->printText(kVL1, "* X offset %5.3f, Y offset %5.3f, A offset %5.3f", double(p.x), double(p.y),
                      double(p.a));
    }
    t_vlraAtstEval ev;
    if (const u16 rc = nkVlra_evaluateAtst(lm, points, info.type, info.color, ev, t_vlraAtstRun::offline)) {
        report(lm, __LINE__, rc, "");
        return rc;
    }
    lm->printText(kVL1, "** Check Spec ***");
    lm->printText(kVL1, "* Generate VDX Data");

    // Version 2.0 at the full size: every reader lays a version-2 table out from
    // 400 nm at the 351-value stride, so the rows are written that way too.
    t_cgCalData record{};
    record.magic = ctcl::kMagic;
    record.versionMajor = 2;
    record.versionMinor = 0;
    record.cgType = static_cast<u8>(info.type);
    std::memcpy(record.serialNumber, sn.data(), std::min(sn.size(), sizeof(record.serialNumber)));
    static constexpr char kTester[] = "postproces";
    static_assert(sizeof(kTester) <= sizeof(t_cgCalData::testerId));
    std::memcpy(record.testerId, kTester, sizeof(kTester));
    record.socketIndex = 0;
    for (size_t r = 0; r < points.size() && r < size_t(ctcl::kRows); ++r)
        cgCalData_setRow(record, int(r), ev.finalT[r].data(), ev.finalT[r].size());
    const std::vector<u8> image = cgCalData_write(record);

    const std::string folder = outputFolder ? std::string(outputFolder) : dataRoot + "/newvdxData";
    const std::string path = folder + "/" + sn + "_CtCl.bin";
    return nkUtil_saveBitStream(lm, path.c_str(), image.data(), static_cast<int>(image.size()), kVL1);
}

namespace lumbrel {

int postprocessFolder(const std::string& inputFolder, const std::string& logRoot, FILE* out, FILE* err) {
    const std::string outputFolder = logRoot + "/CtCl_Path";
    nkFile_mkdir(outputFolder.c_str());
    // "." and ".." are listed too: a folder that gives nothing could not be read.
    const std::vector<INK_dirEntry> outputEntries = nkDir_getDirEntry(outputFolder);
    if (outputEntries.empty()) {
        std::fprintf(err, "Lumbrel: cannot make the output folder %s\n", outputFolder.c_str());
        return 1;
    }
    const std::vector<INK_dirEntry> entries = nkDir_getDirEntry(inputFolder);
    if (entries.empty()) {
        std::fprintf(err, "Lumbrel: cannot read the folder %s\n", inputFolder.c_str());
        return 1;
    }

    for (const INK_dirEntry& e : entries) {
        if (e.type != INK_dirEntry::kFile || e.name.find("atst.bin") == std::string::npos) continue;
        std::fprintf(out, "PostProcess %s\n", e.name.c_str());
        std::fflush(out);
        const size_t n = e.name.size(), suffix = std::strlen(kPacketSuffix);
        // The unit's serial number is the name before the suffix the station stores it with.
        if (n <= suffix || e.name.compare(n - suffix, suffix, kPacketSuffix) != 0) {
            std::fprintf(out, "[Err] %s: not a stored packet name (<serial number>%s), skipped\n", e.name.c_str(),
                         kPacketSuffix);
            continue;
        }
        const std::string path = inputFolder + "/" + e.name;
        // A stored packet is a payload the station took, so no larger than its
        // receive limit; anything bigger is refused before it is read into memory.
        const u64 size = nkFile_getFileSize(path);
        if (size > CNK_ntcp::kDefaultMaxPayload) {
            std::fprintf(out, "[Err] %s: %llu bytes, larger than any packet the station accepts (%zu), skipped\n",
                         e.name.c_str(), static_cast<unsigned long long>(size), CNK_ntcp::kDefaultMaxPayload);
            continue;
        }
        const std::vector<u8> bytes = nkFile_readFile(path);
        const std::string serial = e.name.substr(0, n - suffix);
        const u16 rc = CVLRA_cg_transmittance::process_ntcp_packet(serial.c_str(), bytes.data(),
                                                                   static_cast<u32>(bytes.size()),
                                                                   outputFolder.c_str(), std::string());
        if (rc != 0) std::fprintf(out, "[Err] %s: no record written (0x%04X)\n", e.name.c_str(), unsigned(rc));
        std::fflush(out);
    }

    const long processed = std::max<long>(long(entries.size()) - 2, 0);
    const long generated = std::max<long>(long(nkDir_getDirEntry(outputFolder).size()) - 2, 0);
    std::fprintf(out, "Total %lu CG Raw Data Post Processed!!!\n", static_cast<unsigned long>(processed));
    std::fprintf(out, "Total %u CG VDX Data Post Generated!!!\n", static_cast<unsigned>(generated));
    std::fflush(out);
    return 0;
}

}  // namespace lumbrel
