// The noise of one recording: how far its first 100 ms stray from their own
// running mean (a window of 1 ms either side), as a standard deviation.
#pragma once

#include <cstddef>
#include <cstdint>

// `wav`: a whole file, a 44-byte RIFF WAVE header then signed 16-bit
// little-endian samples; the rate is read at byte 24 and the data size at byte
// 40, the samples bounded by what the file holds. False when the file is
// shorter than its header or holds no sample of the first 100 ms.
bool ZelkNoise_measureWav(const uint8_t* wav, size_t size, double* outAvg, double* outStdev);
