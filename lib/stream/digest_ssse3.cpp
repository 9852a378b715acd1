// SPDX-License-Identifier: MIT
// digest_ssse3.cpp - MD5 of many equal-length messages at once with SSE, four to a vector: the
// digest of the machines that have SSSE3 but not AVX2.
//
// The steps are md5_lanes in digest_lanes_impl.h; this file, the only one built with -mssse3, has
// SSE's operations on four 32-bit lanes. For each 16-byte quarter of a block the four messages'
// rows are loaded and transposed as 4 x 4 words. SSE has neither a three-input logic instruction
// nor a rotate: F, G, H and I take two or three instructions and a rotate three, but for the
// rotations by 16, which SSSE3's byte shuffle does in one (3-4% faster in all on an AMD EPYC; the
// same shuffle gained nothing with AVX2). Full passes of three groups, 12 messages, digest 144
// messages in 31 us against 36 us with two groups (digest_bench, AMD EPYC): 4.3 GB/s, where libmd
// manages 0.65.
#include "cpu/intrinsics.h"
#include "stream/digest_lanes_impl.h"

namespace {

struct ssse3_ops {
  using vec = __m128i;
  static constexpr int LANES = 4;

  // A single message left over goes to libmd.
  static constexpr int PARTIAL_PASS_MIN = 2;
  static constexpr int FULL_PASS_GROUPS = 3;

  static constexpr bool TERNARY_LOGIC = false;

  __attribute__((always_inline)) static vec set1(uint32_t x) {
    return _mm_set1_epi32(static_cast<int>(x));
  }
  __attribute__((always_inline)) static vec add(vec x, vec y) { return _mm_add_epi32(x, y); }
  __attribute__((always_inline)) static vec sub(vec x, vec y) { return _mm_sub_epi32(x, y); }
  __attribute__((always_inline)) static vec bit_and(vec x, vec y) { return _mm_and_si128(x, y); }
  __attribute__((always_inline)) static vec bit_or(vec x, vec y) { return _mm_or_si128(x, y); }
  __attribute__((always_inline)) static vec bit_xor(vec x, vec y) { return _mm_xor_si128(x, y); }
  __attribute__((always_inline)) static vec and_not(vec x, vec y) { return _mm_andnot_si128(x, y); }
  template <int s>
  __attribute__((always_inline)) static vec rotl(vec x) {
    if constexpr (s == 16) {
      // Each lane's two 16-bit halves exchanged.
      return _mm_shuffle_epi8(x,
                              _mm_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13));
    } else {
      return _mm_or_si128(_mm_slli_epi32(x, s), _mm_srli_epi32(x, 32 - s));
    }
  }
  __attribute__((always_inline)) static void opaque(vec& x) { asm("" : "+x"(x)); }
  __attribute__((always_inline)) static void store(uint32_t* p, vec x) {
    _mm_store_si128(reinterpret_cast<__m128i*>(p), x);
  }

  __attribute__((always_inline)) static void load_words(const uint8_t* const* row, size_t offset,
                                                        vec* words) {
#pragma GCC unroll 4
    for (int quarter = 0; quarter < 4; quarter++) {
      const size_t at = offset + 16 * quarter;
      vec r[4];
#pragma GCC unroll 4
      for (int i = 0; i < 4; i++) {
        r[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row[i] + at));
      }
      const vec t0 = _mm_unpacklo_epi32(r[0], r[1]);
      const vec t1 = _mm_unpackhi_epi32(r[0], r[1]);
      const vec t2 = _mm_unpacklo_epi32(r[2], r[3]);
      const vec t3 = _mm_unpackhi_epi32(r[2], r[3]);
      words[4 * quarter] = _mm_unpacklo_epi64(t0, t2);
      words[4 * quarter + 1] = _mm_unpackhi_epi64(t0, t2);
      words[4 * quarter + 2] = _mm_unpacklo_epi64(t1, t3);
      words[4 * quarter + 3] = _mm_unpackhi_epi64(t1, t3);
    }
  }
};

}  // namespace

void digest_many_ssse3(const uint8_t* const* msgs, size_t len, int count,
                       uint8_t (*out)[DIGEST_LEN]) {
  md5_lanes<ssse3_ops>::digest_many(msgs, len, count, out);
}
