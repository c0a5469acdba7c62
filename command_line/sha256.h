// SHA-256 (FIPS 180-4), for a digest of the driver library that a drill's report names.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wdt {

struct Sha256 {
    uint32_t state[8];
    uint64_t length = 0;     // bytes taken in so far
    unsigned char block[64];
    size_t used = 0;         // bytes of `block` filled
};

void sha256_start(Sha256& hash);
void sha256_add(Sha256& hash, const void* data, size_t size);
// The digest as 64 lower-case hexadecimal digits, with the final NUL.
void sha256_finish(Sha256& hash, char (&hex)[65]);

}  // namespace wdt
