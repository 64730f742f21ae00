// Support library stand-in: the digest the repository access fingerprints its
// trust object with.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define HEXLO_SHA256_LENGTH 32

// SHA-256 of the bytes into `digest`; 0 on success, -1 on failure (null digest,
// null data with a non-zero length, or a failure of the digest engine).
int hexlo_sha256(const void* data, size_t length, uint8_t digest[HEXLO_SHA256_LENGTH]);

// Test hook: the next `count` digests fail.
void hexlo_test_failNext(int count);

#ifdef __cplusplus
}
#endif
