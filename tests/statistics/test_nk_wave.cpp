// The tool's wave-file reader against files written by Python's wave and struct, its
// export byte for byte, and the waveform tools against a plain re-implementation.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "nk_error.h"
#include "nk_gtest_util.h"
#include "nk_log.h"
#include "nk_test_util.h"
#include "nk_wave.h"

namespace {

// Writes the wave files of the tests, and for mono.wav and stereo.wav the export text
// expected from them, built with the same formats in float32 arithmetic.
const char* kMakeFiles = R"PY(
import struct, sys, wave
import numpy as np
d = sys.argv[1]

def make(name, ch, width, frames, tail=b"", patch=()):
    with wave.open(f"{d}/{name}", "wb") as w:
        w.setnchannels(ch); w.setsampwidth(width); w.setframerate(8000)
        w.writeframes(frames)
    b = bytearray(open(f"{d}/{name}", "rb").read()) + tail
    for off, fmt, v in patch:
        struct.pack_into(fmt, b, off, v)
    open(f"{d}/{name}", "wb").write(b)

def pcm(values):
    return struct.pack(f"<{len(values)}h", *values)

mono = [32767, -32768, 0, 12345, -1]
stereo = [1000, -1000, 32767, -32768, 7, 8]
make("mono.wav", 1, 2, pcm(mono), bytes(8) + struct.pack("<f", 0.5) + b"mono trailer\0junk")
make("stereo.wav", 2, 2, pcm(stereo), bytes(8) + struct.pack("<f", 2.0) + b"st")
make("short_tail.wav", 1, 2, pcm(mono[:4]), bytes(11))
make("bits8.wav", 1, 1, bytes(range(0, 250, 25)))
make("long.wav", 2, 2, pcm([1, 2, 3, 4, 5, 6]), b"", [(40, "<I", 1000000)])
make("fmt3.wav", 1, 2, pcm([16384]), b"", [(20, "<H", 3)])
make("one_byte.wav", 1, 2, b"\x05", b"", [(40, "<I", 1)])
make("no_channel.wav", 1, 2, pcm(mono), b"", [(22, "<H", 0)])
make("bits4.wav", 1, 2, pcm(mono), b"", [(34, "<H", 4)])
make("zero_size.wav", 1, 2, pcm(mono), b"", [(40, "<I", 0)])
make("bad_riff.wav", 1, 2, pcm(mono), b"", [(0, "4s", b"RIFX")])
make("bad_wave.wav", 1, 2, pcm(mono), b"", [(8, "4s", b"WAVF")])
make("bad_fmt.wav", 1, 2, pcm(mono), b"", [(12, "4s", b"fmt_")])
make("bad_data.wav", 1, 2, pcm(mono), b"", [(36, "4s", b"LIST")])
open(f"{d}/h44.wav", "wb").write(open(f"{d}/mono.wav", "rb").read()[:44])

def export(name, values, ch, scale):
    b = open(f"{d}/{name}", "rb").read()
    (riff, cs, wv, fm, s1, af, cc, sr, br, bs, bps, da, ds) = struct.unpack("<4si4s4siHHiIHH4sI", b[:44])
    n = ds // (bps // 8) // cc
    s = lambda t: "'" + t.decode() + "'"
    hdr = [f"\tRIFF          = {s(riff)}", f"\tchunkSize     = {cs}", f"\tWAVE          = {s(wv)}",
           f"\tfmt           = {s(fm)}", f"\tsubchenk1Size = {s1}", "\taudioFormat\t  = 0x%04X - PCM" % af,
           f"\tchannleCount  = {cc}", f"\tsamplesPerSec = {sr} Hz",
           "\tblockSize     = 0x%04X - %s" % (bs, "16-bit stereo" if bs == 4 else "16-bit mono"),
           f"\tbitsPerSample = {bps}", f"\tdata          = {s(da)}", "\tdataSize      = %d [0x%08X]" % (ds, ds),
           "\tdataCount     = %d samples / channel (%.3f sec)" % (n, np.float32(n) / np.float32(sr))]
    out = "//\tWaveForm Viewer - file export\n" + f"//\toriginal wave file: {name}\n"
    out += "".join(f"//\t{l}\n" for l in hdr) + "//\n"
    dims = (f"[{ch}]" if ch > 1 else "") + f"[{len(values) // ch}]"
    out += "static const _data_export" + dims + " = {\n"
    sc = np.float32(scale)
    for c in range(ch):
        if ch > 1: out += f"\t// channel {c}\n\t{{\n"
        for v in values[c::ch]:
            f = np.float32(v) * sc / np.float32(32767)
            code = int(np.float32(f * np.float32(32767)) / sc)
            code = (code + 32768) % 65536 - 32768
            out += "\t%s%14.6f\t/*\t%7d\t*/\n" % ("\t", float(f), code)
        if ch > 1: out += "\t},\n"
    out += "}; // end of _data_export" + dims + "\n"
    open(f"{d}/{name}.h.expected", "w").write(out)

export("mono.wav", mono, 1, 0.5)
export("stereo.wav", stereo, 2, 2.0)
)PY";

std::string slurp(const std::string& path) { return nktest::readFile(path); }

}  // namespace

TEST(NkWave, LoadsFilesOfPythonWave) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy is not installed";
    nktest::TempDir dir;
    nktest::runPython(dir, kMakeFiles, dir.path().string());
    const struct {
        const char* file;
        std::vector<std::vector<float>> samples;
        float scale;
        const char* trailer;
    } rows[] = {
        // The trailer behind a mono file's samples: 8 bytes skipped, the scale, a text to its zero.
        {"mono.wav", {{0.5f, -32768 * 0.5f / 32767, 0, 12345 * 0.5f / 32767, -0.5f / 32767}}, 0.5f, "mono trailer"},
        // A stereo file's trailer lies behind the samples of both channels; its text ends with the file.
        {"stereo.wav", {{2000.0f / 32767, 2, 14.0f / 32767}, {-2000.0f / 32767, -65536.0f / 32767, 16.0f / 32767}}, 2.0f,
         "st"},
        // Eleven bytes behind the data are no trailer.
        {"short_tail.wav", {{1, -32768.0f / 32767, 0, 12345.0f / 32767}}, 1.0f, ""},
        // Ten 8-bit samples are read as five 16-bit ones: never past the file.
        {"bits8.wav", {{6400.0f / 32767, 19250.0f / 32767, 32100.0f / 32767, -20586.0f / 32767, -7736.0f / 32767}}, 1.0f, ""},
        // A dataSize beyond the file loads the frames present.
        {"long.wav", {{1.0f / 32767, 3.0f / 32767, 5.0f / 32767}, {2.0f / 32767, 4.0f / 32767, 6.0f / 32767}}, 1.0f, ""},
        // Format code 3 still reads 16-bit samples.
        {"fmt3.wav", {{16384.0f / 32767}}, 1.0f, ""},
        // One byte of data: no whole sample.
        {"one_byte.wav", {{}}, 1.0f, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        CNK_wave w;
        ASSERT_EQ(w.loadWaveFile(dir.file(row.file).c_str()), kNKErr_OK);
        EXPECT_EQ(w.fileName, row.file);
        EXPECT_EQ(w.folder, dir.path().string());
        EXPECT_EQ(w.scale, row.scale);
        EXPECT_EQ(w.trailerText, row.trailer);
        ASSERT_EQ(w.channels.size(), row.samples.size());
        for (size_t c = 0; c < row.samples.size(); ++c) {
            ASSERT_EQ(w.channels[c].size(), row.samples[c].size()) << "channel " << c;
            for (size_t k = 0; k < row.samples[c].size(); ++k) EXPECT_FLOAT_EQ(w.channels[c][k], row.samples[c][k]);
        }
    }
    CNK_wave w;
    ASSERT_EQ(w.loadWaveFile(dir.file("fmt3.wav").c_str()), kNKErr_OK);
    EXPECT_NE(w.headerText.find("\taudioFormat\t  = 0x0003 - unknown\n"), std::string::npos) << w.headerText;
    EXPECT_EQ(w.formatName, "unknown\n");
    ASSERT_EQ(w.loadWaveFile(dir.file("mono.wav").c_str()), kNKErr_OK);
    EXPECT_EQ(w.formatName, "PCM");
    EXPECT_EQ(w.header.samplesPerSec, 8000);
}

TEST(NkWave, RefusesWhatIsNoWaveFile) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy is not installed";
    nktest::TempDir dir;
    nktest::runPython(dir, kMakeFiles, dir.path().string());
    const struct {
        const char* file;
        u16 code;
        const char* detail;
    } rows[] = {
        {"missing.wav", kNKErr_invalidPointer, "nkFile_isFileExist(fileName)"},
        {"h44.wav", kNKErr_invalidDataSize, "sz>sizeof(t_nkWaveFileHdr)"},
        {"bad_riff.wav", kNKErr_invalidFormat, "!strncmp(hdr->RIFF,\"RIFF\",4)"},
        {"bad_wave.wav", kNKErr_invalidFormat, "!strncmp(hdr->WAVE,\"WAVE\",4)"},
        {"bad_fmt.wav", kNKErr_invalidFormat, "!strncmp(hdr->fmt_,\"fmt \",4)"},
        {"bad_data.wav", kNKErr_invalidFormat, "!strncmp(hdr->data,\"data\",4)"},
        {"zero_size.wav", kNKErr_invalidFormat, "hdr->dataSize>0"},
        {"no_channel.wav", kNKErr_invalidFormat, "hdr->channelCount>0 && hdr->bitsPerSample>=8"},
        {"bits4.wav", kNKErr_invalidFormat, "hdr->channelCount>0 && hdr->bitsPerSample>=8"},
    };
    CNK_wave w;
    ASSERT_EQ(w.loadWaveFile(dir.file("mono.wav").c_str()), kNKErr_OK);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        nktest::StderrCapture err;
        EXPECT_EQ(w.loadWaveFile(dir.file(row.file).c_str()), row.code);
        const std::string text = err.take();
        EXPECT_NE(text.find("CNK_wave::loadWaveFile()"), std::string::npos) << text;
        EXPECT_NE(text.find(std::string("\"") + row.detail + "\""), std::string::npos) << text;
        // A refused file leaves the last load in place.
        EXPECT_EQ(w.fileName, "mono.wav");
        EXPECT_EQ(w.channels[0].size(), 5u);
    }
}

TEST(NkWave, ExportsTheSamplesAsAHeaderText) {
    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy is not installed";
    nktest::TempDir dir;
    nktest::runPython(dir, kMakeFiles, dir.path().string());
    for (const char* name : {"mono.wav", "stereo.wav"}) {
        SCOPED_TRACE(name);
        const std::string path = dir.file(name);
        nktest::writeFile(path + ".h", "an older export, replaced whole\n");
        CNK_wave w;
        ASSERT_EQ(w.loadWaveFile(path.c_str()), kNKErr_OK);
        ASSERT_EQ(w.exportWaveData(), kNKErr_OK);
        EXPECT_EQ(slurp(path + ".h"), slurp(path + ".h.expected"));
    }
    // A scale of 0 from the trailer writes the codes as 0, not a converted infinity.
    CNK_wave w;
    ASSERT_EQ(w.loadWaveFile(dir.file("mono.wav").c_str()), kNKErr_OK);
    w.scale = 0.0f;
    ASSERT_EQ(w.exportWaveData(), kNKErr_OK);
    const std::string text = slurp(dir.file("mono.wav.h"));
    EXPECT_NE(text.find("\t\t      0.500000\t/*\t      0\t*/\n"), std::string::npos) << text;

    // No channels, unequal channels, an output that cannot be opened.
    nktest::StderrCapture err;
    CNK_wave empty;
    EXPECT_EQ(empty.exportWaveData(), kNKErr_invalidDataSize);
    w.channels.push_back({1.0f});
    EXPECT_EQ(w.exportWaveData(), kNKErr_invalidDataSize);
    w.channels.pop_back();
    std::filesystem::remove(dir.file("mono.wav.h"));
    std::filesystem::create_directories(dir.file("mono.wav.h/full"));
    EXPECT_EQ(w.exportWaveData(), kNKErr_fileOpenFailed);
    const std::string reports = err.take();
    EXPECT_NE(reports.find("\"chCnt>0\""), std::string::npos) << reports;
    EXPECT_NE(reports.find("\"fp!=NULL\""), std::string::npos) << reports;
    EXPECT_EQ(w.saveWaveFile(), kNKErr_OK);
}

namespace {

// The filter and the envelope written out plainly, float32 where the tools store floats.
const char* kFilters = R"PY(
import math, sys
import numpy as np
f32 = np.float32

def lowpass(d, cutoff, rate):
    d = [f32(v) for v in d]
    n = len(d)
    if n < 2: return d
    a = math.exp(-2 * math.pi * float(f32(cutoff)) / float(f32(rate))); b = 1 - a
    for i in range(1, n): d[i] = f32(b * float(d[i]) + a * float(d[i - 1]))
    if n > 2:
        for i in range(n - 2, 0, -1): d[i] = f32(b * float(d[i]) + a * float(d[i + 1]))
    return d

def envelope(x, rate):
    n = len(x)
    m = [f32(abs(v)) for v in x]
    half = int(f32(rate) / f32(2000)) // 2
    a = []
    for k in range(n):
        lo, hi = max(0, k - half), min(n, k + half)
        a.append(f32(sum(float(v) for v in m[lo:hi]) / (hi - lo)) if hi > lo else f32("nan"))
    out, held = [f32(0)] * 3, f32(0)
    for k in range(3, n - 3):
        if a[k] > a[k-3] and a[k] >= a[k-2] and a[k] >= a[k-1] and a[k] >= a[k+1] and a[k] >= a[k+2] and a[k] > a[k+3]:
            held = a[k]
        out.append(held)
    out += [held] * 3
    return lowpass(out, f32(rate) / f32(500), rate)

lines = [l.split() for l in open(sys.argv[1]) if l.strip()]
for l in lines:
    kind, rate, cutoff, data = l[0], float(l[1]), float(l[2]), [float(t) for t in l[3:]]
    r = lowpass(data, cutoff, rate) if kind == "lp" else envelope(data, rate)
    print(" ".join(repr(float(v)) for v in r))
)PY";

}  // namespace

TEST(NkWave, LowpassAndEnvelopeAgreeWithAPlainReimplementation) {
    // Hand cases: alpha 0.5 forward only for two values, then forward and backward.
    const float rate = 1000.0f, halfCut = static_cast<float>(std::log(2.0) / (2 * M_PI) * 1000.0);
    std::vector<float> two{1, 0}, three{0, 0, 4};
    fltr_lowpass(two, halfCut, rate);
    fltr_lowpass(three, halfCut, rate);
    EXPECT_NEAR(two[1], 0.5f, 1e-6);
    EXPECT_FLOAT_EQ(three[0], 0.0f);
    EXPECT_NEAR(three[1], 1.0f, 1e-6);
    EXPECT_NEAR(three[2], 2.0f, 1e-6);
    EXPECT_EQ(computeEnvelope(std::vector<double>{1, -2, 3, 4}, 8000), std::vector<float>(6, 0.0f));
    EXPECT_EQ(computeEnvelope(std::vector<float>(100, 1.0f), 8000).size(), 100u);
    // Below 4000 Hz the window is empty: no peak is held and the envelope stays 0.
    std::vector<double> burst(50);
    for (size_t k = 0; k < burst.size(); ++k) burst[k] = std::sin(0.7 * static_cast<double>(k)) * (k % 9);
    EXPECT_EQ(computeEnvelope(burst, 3000), std::vector<float>(50, 0.0f));

    if (!nktest::havePython()) GTEST_SKIP() << "Debian python3 with numpy is not installed";
    struct Case {
        bool lowpass;
        float rate, cutoff;
        std::vector<double> data;
    };
    std::vector<double> tone(400), noisy(97);
    for (size_t k = 0; k < tone.size(); ++k)
        tone[k] = std::sin(2 * M_PI * 440 * static_cast<double>(k) / 8000) * (1 + std::sin(static_cast<double>(k) / 40));
    for (size_t k = 0; k < noisy.size(); ++k) noisy[k] = std::cos(static_cast<double>(k * k % 31)) * 3 - 1;
    const std::vector<Case> cases = {
        {true, 8000, 300, tone}, {true, 44100, 50, noisy}, {true, 8000, 300, {2.5}},
        {false, 8000, 0, tone}, {false, 44100, 0, tone}, {false, 16000, 0, noisy}, {false, 8000, 0, {1, 5, 2, 9, 3, 1}},
    };
    std::ostringstream in;
    in.precision(9);  // the float32 values exactly
    for (const Case& c : cases) {
        in << (c.lowpass ? "lp" : "env") << ' ' << c.rate << ' ' << c.cutoff;
        for (double v : c.data) in << ' ' << static_cast<float>(v);
        in << '\n';
    }
    nktest::TempDir dir;
    nktest::writeFile(dir.file("in.txt"), in.str());
    std::istringstream out(nktest::runPython(dir, kFilters, dir.file("in.txt")));
    for (const Case& c : cases) {
        std::vector<float> got;
        if (c.lowpass) {
            got.assign(c.data.begin(), c.data.end());
            fltr_lowpass(got, c.cutoff, c.rate);
        } else {
            got = computeEnvelope(std::vector<float>(c.data.begin(), c.data.end()), c.rate);
        }
        std::string l;
        ASSERT_TRUE(std::getline(out, l));
        std::istringstream ref(l);
        std::vector<double> want;
        for (std::string tok; ref >> tok;) want.push_back(std::strtod(tok.c_str(), nullptr));
        ASSERT_EQ(got.size(), want.size());
        for (size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-5 * (std::fabs(want[k]) + 1e-3)) << k;
    }
}

TEST(NkWave, ObjectAndLogManager) {
    CNK_wave w;
    EXPECT_STREQ(w.name, "CNK_wave");
    EXPECT_EQ(w.setLogManager(nullptr), kNKErr_invalidPointer);
    CNK_wave other;
    EXPECT_EQ(w.setLogManager(reinterpret_cast<CNK_logManager*>(&other)), kNKErr_invalidPointer);
    CNK_logManager lm;
    EXPECT_EQ(w.setLogManager(&lm), kNKErr_OK);
    EXPECT_EQ(w.logManager, &lm);
}
