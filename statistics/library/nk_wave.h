// RIFF/WAVE audio files read into per-channel samples, exported as a C header text,
// and two waveform tools: a forward-backward first-order low-pass and a peak envelope.
#pragma once

#include <string>
#include <vector>

#include "nk_typedef.h"

#pragma pack(push, 1)
typedef struct {
    char RIFF[4];
    i32 chunkSize;
    char WAVE[4];
    char fmt_[4];
    i32 subchunk1Size;
    u16 audioFormat;
    u16 channelCount;
    i32 samplesPerSec;
    u32 byteRate;
    u16 blockSize;
    u16 bitsPerSample;
    char data[4];
    u32 dataSize;
} t_nkWaveFileHdr;
#pragma pack(pop)
static_assert(sizeof(t_nkWaveFileHdr) == 44, "the header is read straight from the file");

class CNK_wave : public CNK_baseObject {
public:
    std::string fileName;
    std::string folder;
    t_nkWaveFileHdr header{};
    std::string headerText;
    std::string formatName;
    float scale = 1.0f;
    std::string trailerText;
    std::vector<std::vector<float>> channels;

    CNK_wave();
    ~CNK_wave() override;
    u16 setLogManager(CNK_logManager* lm) override;

    u16 loadWaveFile(const char* fileName);
    // Writes <file>.h beside the loaded file.
    u16 exportWaveData();
    // Writing wave files is not provided.
    u16 saveWaveFile();
};

void fltr_lowpass(std::vector<float>& data, float cutoff, float sampleRate);
std::vector<float> computeEnvelope(const std::vector<double>& x, float sampleRate);
std::vector<float> computeEnvelope(const std::vector<float>& x, float sampleRate);
