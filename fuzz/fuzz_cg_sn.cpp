// CG serial-number decoder and check digits on arbitrary text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "nk_velora_sn.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The tester's field is 64 bytes, so a serial number has at most 63 characters.
    const std::string text(reinterpret_cast<const char*>(data), size < 63 ? size : 63);
    t_nkCgInfo info{};
    info.color = 255;
    if (nkFom_checkCgSn(nullptr, text.c_str(), &info, kVL1) == 0) {
        if (info.type != 0 && info.type != 1 && info.type != 2 && info.type != 255) std::abort();
        if (info.color < 0 || (info.color > 4 && info.color != 255)) std::abort();
        if (info.configCode[4] != '\0' || std::memcmp(info.configCode, text.data() + 11, 4) != 0) std::abort();
    }
    const i32 n = static_cast<i32>(size < 256 ? size : 256);
    const char* p = reinterpret_cast<const char*>(data);
    const u16 verdict = nkFom_verifySnCheckDigit(p, n);
    if (verdict != 0 && verdict != kNKErr_snErr_invalidCharacter && verdict != kNKErr_snErr_invalidCheckDigit)
        std::abort();
    const char digit = nkFom_getSnCheckDigit(p, n);
    if (n > 0 && digit != '\0') {
        std::string full(p, static_cast<size_t>(n));
        full.push_back(digit);
        if (nkFom_verifySnCheckDigit(full.data(), n + 1) != 0) std::abort();
    }
    return 0;
}
