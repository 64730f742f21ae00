// The uniformity item (UNIF, "unif"): camera images of the part, either four
// images for the transmittance-ratio map or one flat field for the uniformity figures.
#include "CVLRA_cg_uniformity.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "CVLRA_cg_testSession.h"
#include "CVLRA_error.h"
#include "nk_error.h"
#include "nk_file.h"
#include "nk_image.h"
#include "nk_utils.h"
#include "nk_velora.h"

namespace {

constexpr size_t kHead4 = 25;  // four-image head
constexpr size_t kHead1 = 21;  // single-image head

u16 rdU16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
u32 rdU32(const u8* p) { return u32(p[0]) | (u32(p[1]) << 8) | (u32(p[2]) << 16) | (u32(p[3]) << 24); }
float rdF32(const u8* p) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
}

std::string fileName(const std::string& run, const std::string& sn, const char* suffix) {
    return run + "/" + sn + suffix;
}

}  // namespace

u16 nkVlra_checkUnifRequest(const u8* payload, u64 length, t_nkVlraUnifRequest* out) {
    t_nkVlraUnifRequest r;
    if (!payload || length < 5) return kNKErr_invalidDataSize;
    r.w = rdU16(payload);
    r.h = rdU16(payload + 2);
    r.order = payload[4];
    if (r.order != 0) {
        if (length < kHead4) return kNKErr_invalidDataSize;
        r.size = rdU32(payload + 5);
        r.exp1 = rdU16(payload + 9);
        r.exp2 = rdU16(payload + 11);
        r.centroidWl = rdF32(payload + 13);
        r.pixelDensity = rdF32(payload + 17);
        r.beamSizeUm = rdF32(payload + 21);
        if (r.w < 4 || r.h < 1) return kNKErr_imageProc_failed;
        if (length != u64(r.size) + kHead4) return kNKErr_invalidDataSize;
        if (u64(r.size) < 4ull * r.w * r.h) return kNKErr_invalidDataSize;
    } else {
        if (length < kHead1) return kNKErr_invalidDataSize;
        r.size = rdU32(payload + 5);
        r.xOffset = rdF32(payload + 9);
        r.yOffset = rdF32(payload + 13);
        r.aOffset = rdF32(payload + 17);
        if (r.w < 4 || r.h < 1) return kNKErr_objectCreationFailed;
        if (length < kHead1 + u64(r.w) * r.h) return kNKErr_invalidDataSize;
    }
    if (out) *out = r;
    return kNKErr_OK;
}

CVLRA_cg_uniformity::CVLRA_cg_uniformity() { NK_CLASS_NAME(); }

CVLRA_cg_uniformity::~CVLRA_cg_uniformity() = default;

u16 CVLRA_cg_uniformity::setLogManager(CNK_logManager* lm) { return CVLRA_cg_testItem::setLogManager(lm); }

void CVLRA_cg_uniformity::registerDataSymbol() {
    if (!_testData) return;
    const double none = std::nan("");
    for (const char* n : kNKVlra_unifNames) _testData->addDataSymbol(_name, n, "double", none, none, "", false);
}


void CVLRA_cg_uniformity::handle_ntcp_packet(const tNTCP_header* header, const u8* payload) {
    NK_VALID_OR_RETURN_VOID();
    setStatus(kNkTestStat_TESTING);
    CNK_logManager* lm = _logManager;
    if (lm) lm->printString(kVL1, "*** Handle UNIF *** --------------------------------------------------------\n");
    const auto start = std::chrono::steady_clock::now();

    u16 ntcpErr = 0;
    u16 result = 0;
    if (!header || !payload || header->PLEN == 0) {
        if (lm) lm->printString(kVL1, "[Err] ntcp_err=%d\n", 10);
        ntcpErr = 10;  // transport error: the link is closed
        result = 0;
    } else {
        result = evaluate(payload, u64(header->PLEN) - 1);
    }

    // Common end. A transport error is a failure too, never a PASS.
    const bool passed = result == 0 && ntcpErr == 0;
    if (_testData) _testData->recordError(result, nkError_getErrorString(result));
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    CVLRA_cg_testSession* s = _testSession;
    if (s && s->_appLogManager)
        s->_appLogManager->printString(kVL1, "[T%d] *** Uniformity Test %s  [in %.3f sec] ***\n",
                                       int(s->_testerCellId), passed ? "PASSED" : "FAILED", secs);
    if (lm) lm->printString(kVL1, "*** Uniformity Test %s  [in %.3f sec] ***\n", passed ? "PASSED" : "FAILED", secs);
    setStatus(passed ? kNkTestStat_PASS : kNkTestStat_FAIL);
    if (!header) return;
    if (ntcpErr != 0) {
        if (s && !s->_isOfflineRun.load()) {
            s->logRefusal(header->CTRL, ntcpErr);
            s->SendResponse(header, ntcpErr, nullptr, 0, kVL2);
            if (nkVlra_closesLink(ntcpErr)) {
                usleep(10000);
                s->Close();
            }
        }
        return;
    }
    u8 reply[31] = {};
    reply[0] = u8(result & 0xFF);
    reply[1] = u8(result >> 8);
    const char* name = nkError_getErrorString(result);
    // 29 bytes, zero-filled; a name of 29 characters or more keeps no terminating zero.
    if (name) std::memcpy(reply + 2, name, std::min<size_t>(std::strlen(name), 29));
    CVLRA_cg_testItem::reply(header, 0, reply, sizeof(reply));
}

u16 CVLRA_cg_uniformity::evaluate(const u8* payload, u64 length) {
    CNK_logManager* lm = _logManager;
    CVLRA_cg_testSession* s = _testSession;
    if (!s) return kNKErr_invalidCondition;
    if (length >= 4 && lm) lm->printString(kVL1, "** Recevie Image %d x %d\n", rdU16(payload), rdU16(payload + 2));
    if (length >= 5 && lm) lm->printString(kVL1, "* Order %d\n", payload[4]);

    // Checked before anything is written, so a bad request leaves the unit's
    // earlier files as they were.
    t_nkVlraUnifRequest req;
    const u16 check = nkVlra_checkUnifRequest(payload, length, &req);
    if (check != 0) {
        NK_REPORT(check, "request head, sizes and exposures");
        return check;
    }

    const std::string run = s->_logPath;
    const std::string sn = _serialNumber;
    const std::string binPath = fileName(run, sn, "_unif.bin");
    u16 saveCode = nkUtil_saveBitStream(lm, binPath.c_str(), payload, int(length), kVL2);

    // The item's own copy: the width cut and the exposure rounding leave the packet as received.
    std::vector<u8> buf(payload, payload + length);
    return req.order != 0 ? fourImages(req, buf, saveCode) : singleImage(req, buf, saveCode);
}

u16 CVLRA_cg_uniformity::fourImages(const t_nkVlraUnifRequest& req, std::vector<u8>& buf, u16 saveCode) {
    CNK_logManager* lm = _logManager;
    CVLRA_cg_testSession* s = _testSession;
    const std::string run = s->_logPath;
    const std::string sn = _serialNumber;
    const bool dev = s->_isDevelopmentMode;

    if (saveCode == 0) {
        const std::string bin = fileName(run, sn, "_unif.bin");
        const std::vector<std::string> argv = {"/usr/bin/zip", "-q", "-j", fileName(run, sn, "_unif.zip"), bin};
        if (lm) lm->printString(kVL1, "command=%s -q -j %s %s\n", argv[0].c_str(), argv[3].c_str(), bin.c_str());
        int status = -1;
        if (nkUtil_performProcessArgs(argv, &status) != 0) {
            NK_REPORT(kNKErr_processCreationFailed, "zip started");
            saveCode = kNKErr_processCreationFailed;
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            NK_REPORT(kNKErr_fileWriteFailed, "zip exit status 0");
            saveCode = kNKErr_fileWriteFailed;
        } else {
            // Only an archive that was made replaces the raw copy.
            std::remove(bin.c_str());
        }
    }
    if (lm) {
        lm->printString(kVL1, "* Background Image exposure time %d\n", req.exp1);
        lm->printString(kVL1, "* Aperature Image exposure time %d\n", req.exp2);
        lm->printString(kVL1, "* centroid_wl %f, pixel_density %f, beam_size_um %f\n", double(req.centroidWl),
                        double(req.pixelDensity), double(req.beamSizeUm));
    }

    const u64 w0 = req.w, h = req.h, n0 = w0 * h;
    u8* img[4];
    for (int k = 0; k < 4; ++k) img[k] = buf.data() + kHead4 + k * n0;
    u64 w = w0;
    if (w0 % 4 != 0) {
        w = w0 & ~u64(3);
        for (int k = 0; k < 4; ++k) nkImg_crop<unsigned char>(img[k], w0, h, 0, 0, w, h);
    }
    const int exp1 = req.exp1 / 35 * 35;
    const int exp2 = req.exp2 / 35 * 35;

    s->_unif_img_w = u16(w);
    s->_unif_img_h = u16(h);
    s->_unif_beam_size = req.beamSizeUm * 1000.0f;
    s->_unif_pixel_density = req.pixelDensity * 1000.0f;
    s->_unif_centroid_wl = req.centroidWl;

    const std::string& tn = s->_testerName;
    const size_t us = tn.find('_');
    const std::string testerId = us == std::string::npos ? tn : tn.substr(0, us);
    const std::string bankId = us == std::string::npos ? tn : tn.substr(us + 1);
    std::string csv = "TesterID,BankID,EXP1,EXP2,CentroidWL,PxlDensity,BeamSize,ImgW,ImgH\n";
    {
        const int len = std::snprintf(nullptr, 0, "%s,%s,%d,%d,%f,%f,%f,%d,%d", testerId.c_str(), bankId.c_str(), exp1,
                                      exp2, double(s->_unif_centroid_wl), double(s->_unif_pixel_density),
                                      double(s->_unif_beam_size), int(w), int(h));
        std::string row(size_t(len) + 1, '\0');
        std::snprintf(row.data(), row.size(), "%s,%s,%d,%d,%f,%f,%f,%d,%d", testerId.c_str(), bankId.c_str(), exp1,
                      exp2, double(s->_unif_centroid_wl), double(s->_unif_pixel_density), double(s->_unif_beam_size),
                      int(w), int(h));
        row.resize(size_t(len));
        csv += row;
    }
    if (nkFile_writeReplacing(fileName(run, sn, "_info.csv"), {{csv.data(), csv.size()}}) != 0) {
        NK_REPORT(kNKErr_fileWriteFailed, "fp!=NULL");
        return kNKErr_fileWriteFailed;
    }

    static const char* const kValid[4] = {"image_dark_exp1.isValid()", "image_ref_exp1.isValid()",
                                           "image_dark_exp2.isValid()", "image_ape_exp2.isValid()"};
    static const char* const kFiles[4] = {"_img_dark_exp1.bmp", "_img_ref_exp1.bmp", "_img_dark_exp2.bmp",
                                          "_img_ape_exp2.bmp"};
    CNK_velora_image images[4];
    for (int k = 0; k < 4; ++k) {
        images[k] = CNK_velora_image(img[k], w, h);
        if (!images[k].isValid()) {
            NK_REPORT(kNKErr_imageProc_failed, kValid[k]);
            return kNKErr_imageProc_failed;
        }
        nkImg_flip_vertical<unsigned char>(images[k].d.data(), w, h);
        if (dev && images[k].save(fileName(run, sn, kFiles[k])) != 0) saveCode = saveCode != 0 ? saveCode : u16(kNKErr_fileWriteFailed);
    }
    const u64 n = w * h;
    const int shown = int(std::min<u64>(10, n));
    if (lm) {
        lm->print_1d(kVL1, images[1].d.data(), shown, false, "%u ");
        lm->print_1d(kVL1, images[3].d.data(), shown, false, "%u ");
        lm->printString(kVL1, "* Find Aperature and Crop Images\n");
    }
    const CNK_velora_image ape = images[3];
    if (!ape.isValid()) {
        NK_REPORT(kNKErr_imageProc_failed, "ape_exp2.isValid()");
        return kNKErr_imageProc_failed;
    }
    u16 writeCode = ape.save(fileName(run, sn, "_img_ape_exp2_cut.bmp"));
    for (int k = 0; k < 3; ++k) {
        const u16 c = images[k].save(fileName(run, sn, kFiles[k]));
        if (writeCode == 0) writeCode = c;
    }
    if (writeCode != 0) {
        NK_REPORT(kNKErr_fileWriteFailed, "images saved");
        if (saveCode == 0) saveCode = kNKErr_fileWriteFailed;
    }

    s->_unif_t_map.clear();
    s->_unif_t_map.reserve(n);
    // A second exposure that rounds to 0 has no ratio: its map is 0, never infinite.
    const double expRatio = exp2 != 0 ? double(exp1) / double(exp2) : 0.0;
    const u8* dark1 = images[0].d.data();
    const u8* ref = images[1].d.data();
    const u8* dark2 = images[2].d.data();
    const u8* ap = ape.d.data();
    for (u64 i = 0; i < n; ++i) {
        const int a = int(ap[i]) - int(dark2[i]);
        const int b = int(ref[i]) - int(dark1[i]);
        float r = 0.0f;
        if (b != 0) r = float(expRatio * double(float(a) / float(b)));
        s->_unif_t_map.push_back(r * 100.0f);
    }
    return saveCode;
}

u16 CVLRA_cg_uniformity::singleImage(const t_nkVlraUnifRequest& req, std::vector<u8>& buf, u16 saveCode) {
    CNK_logManager* lm = _logManager;
    CVLRA_cg_testSession* s = _testSession;
    const std::string run = s->_logPath;
    const std::string sn = _serialNumber;
    const bool dev = s->_isDevelopmentMode;
    if (lm) {
        lm->printString(kVL1, "* Size %d\n", int(req.size));
        lm->printString(kVL1, "* X offset %f\n", double(req.xOffset));
        lm->printString(kVL1, "* Y offset %f\n", double(req.yOffset));
        lm->printString(kVL1, "* A offset %f\n", double(req.aOffset));
    }
    const u64 w0 = req.w, h = req.h;
    u8* pix = buf.data() + kHead1;
    u64 w = w0;
    if (w0 % 4 != 0) {
        w = w0 & ~u64(3);
        nkImg_crop<unsigned char>(pix, w0, h, 0, 0, w, h);
    }
    auto keep = [&](u16 c) {
        if (c != 0 && saveCode == 0) saveCode = kNKErr_fileWriteFailed;
    };
    CNK_velora_image image(pix, w, h);
    if (!image.isValid()) {
        NK_REPORT(kNKErr_objectCreationFailed, "image.isValid()");
        return kNKErr_objectCreationFailed;
    }
    if (dev) {
        keep(image.save(fileName(run, sn, "_img.bmp")));
        keep(image.save(fileName(run, sn, "_1_image.bmp")));
    }
    nkImg_flip_vertical<unsigned char>(image.d.data(), w, h);
    CNK_velora_image flat = image;
    if (!flat.isValid()) {
        NK_REPORT(kNKErr_invalidDataSize, "image_flat.isValid()");
        return kNKErr_invalidDataSize;
    }
    nkImg_flip_vertical<unsigned char>(flat.d.data(), w, h);
    if (dev) keep(flat.save(fileName(run, sn, "_3_image_flat_flip_vert.bmp")));

    const float aspect = flat.aspect_ratio();
    const bool wide = aspect > 2.0f;
    CNK_velora_image scaled = wide ? nkVlra_scale(flat, 800, 100, false) : nkVlra_scale(flat, 176, 176, false);
    keep(scaled.save(fileName(run, sn, "_img_scale.bmp")));
    CNK_velora_image aperture = nkVlra_clear_edge(scaled, wide ? 50 : 88, false);
    if (!aperture.isValid()) {
        NK_REPORT(kNKErr_invalidDataSize, "image_aperture.isValid()");
        return kNKErr_invalidDataSize;
    }
    CNK_velora_image lowFreq = nkVlra_wnd_fltr_2d(aperture, 10, 0.5f, false);
    if (!lowFreq.isValid()) {
        NK_REPORT(kNKErr_invalidDataSize, "image_low_freq.isValid()");
        return kNKErr_invalidDataSize;
    }
    CNK_velora_image highFreq = nkVlra_high_freq(aperture, lowFreq, false);
    if (!highFreq.isValid()) {
        NK_REPORT(kNKErr_invalidDataSize, "image_hgh_freq.isValid()");
        return kNKErr_invalidDataSize;
    }
    const t_nkVlraUnifData fig = nkVlra_get_unif_data(aperture, lowFreq, highFreq, false);
    if (_testData)
        for (size_t i = 0; i < fig.size(); ++i) _testData->recordData(_name, kNKVlra_unifNames[i], fig[i]);
    if (s->_appLogManager)
        s->_appLogManager->printString(kVL1, "[T%d] INT_AVG %5.3f X %5.3f, Y %5.3f, A %5.3f\n", int(s->_testerCellId),
                                       fig[0], double(req.xOffset), double(req.yOffset), double(req.aOffset));
    if (lm) lm->printString(kVL1, "** Check Spec ***\n");
    bool anyFailed = false;
    if (_testData)
        for (const char* name : kNKVlra_unifNames)
            if (_testData->checkSpec(_name, name, "%5.3f") != 0) anyFailed = true;
    u16 result = 0;
    if (saveCode != 0)
        result = saveCode;
    else if (anyFailed)
        result = kNKErr_ink_unif_OOS;
    if (result != 0) NK_REPORT(result, "");
    return result;
}

NK_REGISTER_TEST_CLASS(CVLRA_cg_uniformity)
