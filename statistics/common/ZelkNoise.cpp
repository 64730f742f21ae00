// The noise measure of recorded taps.
#include "ZelkNoise.h"

#include <algorithm>
#include <vector>

#include "ZelkMath.h"

namespace {

uint32_t le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

}  // namespace

bool ZelkNoise_measureWav(const uint8_t* wav, size_t size, double* outAvg, double* outStdev) {
    constexpr size_t kHeader = 44;
    if (!wav || size < kHeader) return false;
    const uint32_t rate = le32(wav + 24);
    // The header's data size is believed only as far as the file goes.
    const uint64_t held = (size - kHeader) / 2;
    const uint64_t declared = le32(wav + 40) / 2;
    const uint64_t samples = std::min(held, declared);
    // The first 100 ms, counted in single precision as the recordings were always measured.
    const float wanted = static_cast<float>(rate) * 100.0f / 1000.0f;
    const uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(wanted), samples);
    if (n == 0) return false;
    const int64_t h = int64_t(2 * uint64_t(rate) / 1000) / 2;

    std::vector<double> prefix(n + 1, 0.0);
    const uint8_t* data = wav + kHeader;
    for (uint64_t i = 0; i < n; ++i)
        prefix[i + 1] = prefix[i] + static_cast<int16_t>(uint16_t(data[2 * i] | data[2 * i + 1] << 8));
    std::vector<double> y(n);
    const int64_t count = static_cast<int64_t>(n);
    for (int64_t m = 0; m < count; ++m) {
        const int64_t lo = std::max<int64_t>(0, m - h);
        // Below 1000 samples a second the window would be empty: it keeps the sample itself.
        const int64_t hi = std::max(std::min(count, m + h), m + 1);
        const double mean = (prefix[size_t(hi)] - prefix[size_t(lo)]) / double(hi - lo);
        y[size_t(m)] = (prefix[size_t(m) + 1] - prefix[size_t(m)]) - mean;
    }
    double avg = 0, stdev = 0;
    const SInt32 len = static_cast<SInt32>(std::min<uint64_t>(n, INT32_MAX));
    ZMATH_FindMaxMinSpanAvgStdevRmsMedDouble_1D(y.data(), len, 0, len, nullptr, nullptr, nullptr, &avg, &stdev, nullptr,
                                                nullptr);
    if (outAvg) *outAvg = avg;
    if (outStdev) *outStdev = stdev;
    return true;
}
