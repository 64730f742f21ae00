// SHA-256 through OpenSSL's EVP digest interface.
#include "hexlo.h"

#include <openssl/evp.h>

#include <atomic>

namespace {
std::atomic<int> g_failures{0};

// Takes one pending failure, if any.
bool takeFailure() {
    int n = g_failures.load();
    while (n > 0)
        if (g_failures.compare_exchange_weak(n, n - 1)) return true;
    return false;
}
}  // namespace

extern "C" int hexlo_sha256(const void* data, size_t length, uint8_t digest[HEXLO_SHA256_LENGTH]) {
    if (!digest || (!data && length > 0)) return -1;
    if (takeFailure()) return -1;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!ctx) return -1;
    unsigned int outLength = 0;
    const bool ok = EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1 &&
                    (length == 0 || EVP_DigestUpdate(ctx, data, length) == 1) &&
                    EVP_DigestFinal_ex(ctx, digest, &outLength) == 1 && outLength == HEXLO_SHA256_LENGTH;
    EVP_MD_CTX_free(ctx);
    return ok ? 0 : -1;
}

extern "C" void hexlo_test_failNext(int count) { g_failures.store(count > 0 ? count : 0); }
