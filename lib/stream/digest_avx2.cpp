// SPDX-License-Identifier: MIT
// digest_avx2.cpp - MD5 of many equal-length messages at once with AVX2, eight to a vector.
//
// The steps are md5_lanes in digest_lanes_impl.h; this file, the only one built with -mavx2, has
// AVX2's operations on eight 32-bit lanes. For each block, the eight messages' 64-byte rows become
// sixteen vectors of words: for each 16-byte quarter of the block, rows i and i + 4 are loaded into
// the two halves of one vector, and a 4 x 4 transpose of words within each half finishes the job.
// AVX2 has neither a three-input logic instruction nor a rotate, so F, G, H and I take two or three
// instructions and a rotate three. A pass of two groups, 16 messages, digests 1.7 times as fast on
// Zen 4 as two passes of one group, and full passes of three groups, 24 messages, 5-14% faster per
// message again on an AMD EPYC (digest_bench, 144 messages: 21.0-21.4 us against 22.6-24.8 us).
// With AVX-512 a third group gained nothing measurable, so its full passes keep two.
#include "cpu/intrinsics.h"
#include "stream/digest_lanes_impl.h"

namespace {

struct avx2_ops {
  using vec = __m256i;
  static constexpr int LANES = 8;

  // A single message left over goes to libmd: on Zen 4 a pass over 1008-byte messages takes
  // 1.8 us however few lanes are in use, libmd 1.45 us a message.
  static constexpr int PARTIAL_PASS_MIN = 2;
  static constexpr int FULL_PASS_GROUPS = 3;

  static constexpr bool TERNARY_LOGIC = false;

  __attribute__((always_inline)) static vec set1(uint32_t x) {
    return _mm256_set1_epi32(static_cast<int>(x));
  }
  __attribute__((always_inline)) static vec add(vec x, vec y) { return _mm256_add_epi32(x, y); }
  __attribute__((always_inline)) static vec sub(vec x, vec y) { return _mm256_sub_epi32(x, y); }
  __attribute__((always_inline)) static vec bit_and(vec x, vec y) { return _mm256_and_si256(x, y); }
  __attribute__((always_inline)) static vec bit_or(vec x, vec y) { return _mm256_or_si256(x, y); }
  __attribute__((always_inline)) static vec bit_xor(vec x, vec y) { return _mm256_xor_si256(x, y); }
  __attribute__((always_inline)) static vec and_not(vec x, vec y) {
    return _mm256_andnot_si256(x, y);
  }
  template <int s>
  __attribute__((always_inline)) static vec rotl(vec x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, s), _mm256_srli_epi32(x, 32 - s));
  }
  __attribute__((always_inline)) static void opaque(vec& x) { asm("" : "+x"(x)); }
  __attribute__((always_inline)) static void store(uint32_t* p, vec x) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(p), x);
  }

  __attribute__((always_inline)) static __m128i load128(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  }

  __attribute__((always_inline)) static void load_words(const uint8_t* const* row, size_t offset,
                                                        vec* words) {
#pragma GCC unroll 4
    for (int quarter = 0; quarter < 4; quarter++) {
      const size_t at = offset + 16 * quarter;
      // r[i] holds words 4 * quarter .. 4 * quarter + 3 of row i in its low half, of row i + 4 in
      // its high half.
      vec r[4];
#pragma GCC unroll 4
      for (int i = 0; i < 4; i++) {
        r[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(load128(row[i] + at)),
                                       load128(row[i + 4] + at), 1);
      }
      const vec t0 = _mm256_unpacklo_epi32(r[0], r[1]);
      const vec t1 = _mm256_unpackhi_epi32(r[0], r[1]);
      const vec t2 = _mm256_unpacklo_epi32(r[2], r[3]);
      const vec t3 = _mm256_unpackhi_epi32(r[2], r[3]);
      words[4 * quarter] = _mm256_unpacklo_epi64(t0, t2);
      words[4 * quarter + 1] = _mm256_unpackhi_epi64(t0, t2);
      words[4 * quarter + 2] = _mm256_unpacklo_epi64(t1, t3);
      words[4 * quarter + 3] = _mm256_unpackhi_epi64(t1, t3);
    }
  }
};

}  // namespace

void digest_many_avx2(const uint8_t* const* msgs, size_t len, int count,
                      uint8_t (*out)[DIGEST_LEN]) {
  md5_lanes<avx2_ops>::digest_many(msgs, len, count, out);
}
