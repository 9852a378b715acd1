// SPDX-License-Identifier: MIT
// digest_variants.h - each digest variant on its own, for the dispatcher, the tests and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "cpu/cpu.h"
#include "stream/digest.h"

using digest_many_fn = void (*)(const uint8_t* const* msgs, size_t len, int count,
                                uint8_t (*out)[DIGEST_LEN]);

struct digest_variant_info {
  const char* name;    // "avx512", "avx2", "ssse3" or "libmd"
  int lanes;           // messages one pass digests
  cpu_level needs;     // the lowest instruction-set level that can run it
  digest_many_fn run;  // same contract as digest_many()
};

// The variants this build has, widest first; libmd, which runs anywhere, is always last. The vector
// ones are built for x86 only, and only with KESTRUNE_SIMD_DIGEST; each runs only on a CPU whose
// cpu_level_detected() is at least its `needs`.
std::span<const digest_variant_info> digest_variants_built();

// The variants themselves, with digest_many()'s contract.
void digest_many_libmd(const uint8_t* const* msgs, size_t len, int count,
                       uint8_t (*out)[DIGEST_LEN]);
void digest_many_avx2(const uint8_t* const* msgs, size_t len, int count,
                      uint8_t (*out)[DIGEST_LEN]);
void digest_many_avx512(const uint8_t* const* msgs, size_t len, int count,
                        uint8_t (*out)[DIGEST_LEN]);
void digest_many_ssse3(const uint8_t* const* msgs, size_t len, int count,
                       uint8_t (*out)[DIGEST_LEN]);

// The one or two final 64-byte blocks of a len-byte message: its last len % 64 bytes, the byte
// 0x80, zeros, then the message length in bits as a 64-bit little-endian number. Writes 64 or 128
// bytes of `tail` and returns how many blocks that is.
int digest_pad_tail(const uint8_t* msg, size_t len, uint8_t tail[128]);

// What the vector variants share: MD5's 64 steps. Step i works on word md5_word(i) of the block,
// adds md5_sine[i] (the integer part of 2^32 * |sin(i + 1)|) and rotates left by md5_shift(i).
inline constexpr uint32_t md5_sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

inline constexpr uint32_t md5_initial_state[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

constexpr int md5_word(int i) {
  switch (i / 16) {
    case 0:
      return i;
    case 1:
      return (5 * i + 1) % 16;
    case 2:
      return (3 * i + 5) % 16;
    default:
      return (7 * i) % 16;
  }
}

constexpr int md5_shift(int i) {
  constexpr int shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
  return shifts[i / 16][i % 4];
}
