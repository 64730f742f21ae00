// Wave files of the tool's older library code.
#include "nk_wave.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "nk_error.h"
#include "nk_file.h"
#include "number/pf_number.h"

namespace {

constexpr size_t kHdrSize = sizeof(t_nkWaveFileHdr);

const char* formatLabel(u16 code) {
    switch (code) {
        case 1: return "PCM\n";
        case 6: return "mu-law\n";
        case 7: return "a-law\n";
        case 257: return "IBM mu-law\n";
        case 258: return "IBM a-law\n";
        case 259: return "ADPCM\n";
        default: return "unknown\n";
    }
}

const char* blockLabel(u16 blockSize) {
    return blockSize == 4 ? "16-bit stereo\n" : blockSize == 2 ? "16-bit mono\n" : "unknown\n";
}

i16 readI16(const u8* p) { return static_cast<i16>(static_cast<u16>(p[0] | (p[1] << 8))); }

// The 16-bit code of an exported sample. A scale of 0 (or any quotient that is no
// finite number) writes 0; larger quotients are held in int range before the cut to 16 bits.
i16 sampleCode(float v, float scale) {
    if (scale == 0.0f) return 0;
    const float q = v * 32767.0f / scale;
    if (!std::isfinite(q)) return 0;
    const float held = std::clamp(q, static_cast<float>(INT_MIN), 2147483520.0f);  // largest float below 2^31
    return static_cast<i16>(static_cast<int>(held));
}

}  // namespace

CNK_wave::CNK_wave() { NK_CLASS_NAME(); }

CNK_wave::~CNK_wave() = default;

u16 CNK_wave::setLogManager(CNK_logManager* lm) { return acceptLogManager(lm); }

u16 CNK_wave::saveWaveFile() { return kNKErr_OK; }

u16 CNK_wave::loadWaveFile(const char* path) {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const char* fn = "loadWaveFile";
    if (!path || !nkFile_isFileExist(path)) {
        NK_REPORT_IN(fn, kNKErr_invalidPointer, "nkFile_isFileExist(fileName)");
        return kNKErr_invalidPointer;
    }
    u64 sz = 0;
    const std::unique_ptr<u8, decltype(&std::free)> buf(nkFile_readFile(path, &sz), &std::free);
    if (!buf || sz <= kHdrSize) {
        NK_REPORT_IN(fn, kNKErr_invalidDataSize, "sz>sizeof(t_nkWaveFileHdr)");
        return kNKErr_invalidDataSize;
    }
    t_nkWaveFileHdr hdr;
    std::memcpy(&hdr, buf.get(), kHdrSize);
    const struct {
        const char* field;
        const char* marker;
        const char* detail;
    } markers[] = {
        {hdr.RIFF, "RIFF", "!strncmp(hdr->RIFF,\"RIFF\",4)"},
        {hdr.WAVE, "WAVE", "!strncmp(hdr->WAVE,\"WAVE\",4)"},
        {hdr.fmt_, "fmt ", "!strncmp(hdr->fmt_,\"fmt \",4)"},
        {hdr.data, "data", "!strncmp(hdr->data,\"data\",4)"},
    };
    for (const auto& m : markers) {
        if (std::strncmp(m.field, m.marker, 4) != 0) {
            NK_REPORT_IN(fn, kNKErr_invalidFormat, m.detail);
            return kNKErr_invalidFormat;
        }
    }
    if (hdr.dataSize == 0) {
        NK_REPORT_IN(fn, kNKErr_invalidFormat, "hdr->dataSize>0");
        return kNKErr_invalidFormat;
    }
    // The frame count divides by both: such a header describes no samples at all.
    if (hdr.channelCount == 0 || hdr.bitsPerSample < 8) {
        NK_REPORT_IN(fn, kNKErr_invalidFormat, "hdr->channelCount>0 && hdr->bitsPerSample>=8");
        return kNKErr_invalidFormat;
    }

    const std::string p(path);
    const size_t slash = p.rfind('/');
    folder = slash == std::string::npos ? std::string() : p.substr(0, slash);
    fileName = slash == std::string::npos ? p : p.substr(slash + 1);
    header = hdr;

    const unsigned bytesPerSample = hdr.bitsPerSample / 8u;
    const unsigned dataCount = hdr.dataSize / bytesPerSample / hdr.channelCount;
    headerText = pf::number::text("\tRIFF          = '%c%c%c%c'\n", hdr.RIFF[0], hdr.RIFF[1], hdr.RIFF[2], hdr.RIFF[3]);
    headerText += pf::number::text("\tchunkSize     = %d\n", hdr.chunkSize);
    headerText += pf::number::text("\tWAVE          = '%c%c%c%c'\n", hdr.WAVE[0], hdr.WAVE[1], hdr.WAVE[2], hdr.WAVE[3]);
    headerText += pf::number::text("\tfmt           = '%c%c%c%c'\n", hdr.fmt_[0], hdr.fmt_[1], hdr.fmt_[2], hdr.fmt_[3]);
    headerText += pf::number::text("\tsubchenk1Size = %d\n", hdr.subchunk1Size);
    headerText += pf::number::text("\taudioFormat\t  = 0x%04X - ", hdr.audioFormat) + formatLabel(hdr.audioFormat);
    headerText += pf::number::text("\tchannleCount  = %d\n", hdr.channelCount);
    headerText += pf::number::text("\tsamplesPerSec = %d Hz\n", hdr.samplesPerSec);
    headerText += pf::number::text("\tblockSize     = 0x%04X - ", hdr.blockSize) + blockLabel(hdr.blockSize);
    headerText += pf::number::text("\tbitsPerSample = %d\n", hdr.bitsPerSample);
    headerText += pf::number::text("\tdata          = '%c%c%c%c'\n", hdr.data[0], hdr.data[1], hdr.data[2], hdr.data[3]);
    headerText += pf::number::text("\tdataSize      = %d [0x%08X]\n", static_cast<int>(hdr.dataSize), hdr.dataSize);
    headerText += pf::number::text("\tdataCount     = %d samples / channel (%.3f sec)\n", static_cast<int>(dataCount),
                                   static_cast<double>(static_cast<float>(dataCount) /
                                                       static_cast<float>(hdr.samplesPerSec)));
    const char* label = formatLabel(hdr.audioFormat);
    formatName = hdr.audioFormat == 1 ? "PCM" : label;

    // Samples are 16-bit whatever the header says, so a frame count taken from dataSize
    // alone can run past the file: only the frames the file holds are read.
    const u64 channelsN = hdr.channelCount;
    const u64 framesHeld = (sz - kHdrSize) / (2 * channelsN);
    const u64 n = std::min<u64>(hdr.dataSize / channelsN / bytesPerSample, framesHeld);

    // The trailer follows the samples of every channel.
    const u64 tail = kHdrSize + 2 * n * channelsN;
    if (sz - tail >= 12) {
        std::memcpy(&scale, buf.get() + tail + 8, sizeof(float));
        const char* text = reinterpret_cast<const char*>(buf.get() + tail + 12);
        trailerText.assign(text, strnlen(text, sz - tail - 12));
    } else {
        scale = 1.0f;
        trailerText.clear();
    }

    channels.clear();
    channels.resize(hdr.channelCount);
    for (auto& ch : channels) ch.reserve(n);
    const u8* samples = buf.get() + kHdrSize;
    for (u64 f = 0; f < n; ++f)
        for (u64 c = 0; c < channelsN; ++c)
            channels[c].push_back(static_cast<float>(readI16(samples + 2 * (f * channelsN + c))) * scale / 32767.0f);
    return kNKErr_OK;
}

u16 CNK_wave::exportWaveData() {
    NK_VALID_OR_RETURN(kNKErr_objectNotAvailable);
    const char* fn = "exportWaveData";
    if (channels.empty()) {
        NK_REPORT_IN(fn, kNKErr_invalidDataSize, "chCnt>0");
        return kNKErr_invalidDataSize;
    }
    for (const auto& ch : channels) {
        if (ch.size() != channels[0].size()) {
            NK_REPORT_IN(fn, kNKErr_invalidDataSize, "");
            return kNKErr_invalidDataSize;
        }
    }
    // A file loaded by a bare name is exported beside it, not at the file-system root.
    const std::string out = (folder.empty() ? std::string() : folder + "/") + fileName + ".h";
    std::remove(out.c_str());
    FILE* fp = std::fopen(out.c_str(), "w+");
    if (!fp) {
        NK_REPORT_IN(fn, kNKErr_fileOpenFailed, "fp!=NULL");
        return kNKErr_fileOpenFailed;
    }
    const int C = static_cast<int>(channels.size());
    const int N = static_cast<int>(channels[0].size());
    bool ok = true;
    auto put = [&](int rc) { ok = ok && rc >= 0; };
    put(std::fputs("//\tWaveForm Viewer - file export\n", fp));
    put(std::fprintf(fp, "//\toriginal wave file: %s\n", fileName.c_str()));
    for (size_t at = 0, nl; (nl = headerText.find('\n', at)) != std::string::npos; at = nl + 1)
        put(std::fprintf(fp, "//\t%s\n", headerText.substr(at, nl - at).c_str()));
    put(std::fputs("//\n", fp));
    put(std::fputs("static const _data_export", fp));
    if (C > 1) put(pf::number::print(fp, "[%d]", C));
    put(pf::number::print(fp, "[%d] = {\n", N));
    for (int c = 0; c < C; ++c) {
        if (C > 1) {
            put(pf::number::print(fp, "\t// channel %d\n", c));
            put(std::fputs("\t{\n", fp));
        }
        for (float v : channels[c])
            put(pf::number::print(fp, "\t%s%14.6f\t/*\t%7d\t*/\n", "\t", static_cast<double>(v),
                                  static_cast<int>(sampleCode(v, scale))));
        if (C > 1) put(std::fputs("\t},\n", fp));
    }
    put(std::fputs("}; // end of _data_export", fp));
    if (C > 1) put(pf::number::print(fp, "[%d]", C));
    put(pf::number::print(fp, "[%d]\n", N));
    ok = std::fflush(fp) == 0 && ok;
    ok = std::fclose(fp) == 0 && ok;
    if (!ok) {
        NK_REPORT_IN(fn, kNKErr_fileWriteFailed, "");
        return kNKErr_fileWriteFailed;
    }
    return kNKErr_OK;
}

void fltr_lowpass(std::vector<float>& data, float cutoff, float sampleRate) {
    const size_t n = data.size();
    if (n < 2) return;
    const double alpha = std::exp(-2.0 * M_PI * static_cast<double>(cutoff) / static_cast<double>(sampleRate));
    const double beta = 1.0 - alpha;
    for (size_t i = 1; i < n; ++i) data[i] = static_cast<float>(beta * data[i] + alpha * data[i - 1]);
    // The backward pass leaves both ends at their forward values.
    if (n > 2)
        for (size_t i = n - 2; i >= 1; --i) data[i] = static_cast<float>(beta * data[i] + alpha * data[i + 1]);
}

std::vector<float> computeEnvelope(const std::vector<double>& x, float sampleRate) {
    const size_t n = x.size();
    std::vector<float> m(n), a(n);
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<float>(std::fabs(x[i]));
    // A rate that is no positive number of sane size has no window.
    const float w = sampleRate / 2000.0f;
    const size_t half = w >= 1.0f && w < 1e9f ? static_cast<size_t>(static_cast<int>(w)) / 2 : 0;
    for (size_t k = 0; k < n; ++k) {
        const size_t lo = k >= half ? k - half : 0, hi = std::min(n, k + half);
        double s = 0;
        for (size_t i = lo; i < hi; ++i) s += m[i];
        // An empty window (rates below 4000 Hz) averages nothing: NaN, so no peak is held.
        a[k] = hi > lo ? static_cast<float>(s / static_cast<double>(hi - lo)) : std::nanf("");
    }
    std::vector<float> out(3, 0.0f);
    float held = 0.0f;
    if (n >= 7) {
        for (size_t k = 3; k <= n - 4; ++k) {
            if (a[k] > a[k - 3] && a[k] >= a[k - 2] && a[k] >= a[k - 1] && a[k] >= a[k + 1] && a[k] >= a[k + 2] &&
                a[k] > a[k + 3])
                held = a[k];
            out.push_back(held);
        }
    }
    out.insert(out.end(), 3, held);
    fltr_lowpass(out, sampleRate / 500.0f, sampleRate);
    return out;
}

std::vector<float> computeEnvelope(const std::vector<float>& x, float sampleRate) {
    return computeEnvelope(std::vector<double>(x.begin(), x.end()), sampleRate);
}
