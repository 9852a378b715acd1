// SPDX-License-Identifier: MIT
// digest.cpp - choosing the digest variant once, and the libmd one that runs anywhere.
#include <md5.h>

#include <cstring>

#include "stream/digest.h"
#include "stream/digest_variants.h"

void digest_many_libmd(const uint8_t* const* msgs, size_t len, int count,
                       uint8_t (*out)[DIGEST_LEN]) {
  for (int i = 0; i < count; i++) {
    MD5_CTX context;
    MD5Init(&context);
    if (len > 0) MD5Update(&context, msgs[i], len);
    MD5Final(out[i], &context);
  }
}

int digest_pad_tail(const uint8_t* msg, size_t len, uint8_t tail[128]) {
  const size_t kept = len % 64;
  const int blocks = kept < 56 ? 1 : 2;
  if (kept > 0) memcpy(tail, msg + (len - kept), kept);
  tail[kept] = 0x80;
  memset(tail + kept + 1, 0, 64 * blocks - 8 - (kept + 1));
  const uint64_t bits = static_cast<uint64_t>(len) << 3;
  for (int i = 0; i < 8; i++) tail[64 * blocks - 8 + i] = static_cast<uint8_t>(bits >> (8 * i));
  return blocks;
}

namespace {

const digest_variant_info variants[] = {
#ifdef KESTRUNE_SIMD_DIGEST
    {"avx512", 16, CPU_AVX512, digest_many_avx512},
    {"avx2", 8, CPU_AVX2, digest_many_avx2},
    {"ssse3", 4, CPU_SSSE3, digest_many_ssse3},
#endif
    {"libmd", 1, CPU_PORTABLE, digest_many_libmd},
};

// The widest variant the level in use allows; libmd's level is the lowest, so one always fits.
const digest_variant_info& variant_in_use() {
  static const digest_variant_info& chosen = []() -> const digest_variant_info& {
    const cpu_level level = cpu_level_in_use();
    for (const digest_variant_info& v : variants) {
      if (v.needs <= level) return v;
    }
    return variants[sizeof variants / sizeof variants[0] - 1];
  }();
  return chosen;
}

}  // namespace

std::span<const digest_variant_info> digest_variants_built() { return variants; }

void digest_many(const uint8_t* const* msgs, size_t len, int count, uint8_t (*out)[DIGEST_LEN]) {
  variant_in_use().run(msgs, len, count, out);
}

int digest_lanes() { return variant_in_use().lanes; }

const char* digest_variant() { return variant_in_use().name; }
