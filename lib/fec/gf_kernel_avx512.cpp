// SPDX-License-Identifier: MIT
// gf_kernel_avx512.cpp - the multiply-accumulate and dot-product kernels with AVX-512BW vpshufb, 64
// bytes at a time.
//
// The nibble-table multiply described in gf_kernel.h. vpshufb looks up nibbles in a 16-byte table
// per 128-bit lane, so both tables sit in all four lanes; one three-way XOR (vpternlogd) adds both
// look-ups to the target (or, in the dot product, to the running sum). The bytes after the last
// full vector go through the same steps with a byte mask, which neither reads nor writes memory
// outside the buffers.
//
// Built with -mavx512f -mavx512bw; called only when the CPU has both.
#include "fec/gf.h"
#include "fec/gf_kernel.h"

#if defined(KESTRUNE_X86_KERNELS) && defined(__x86_64__)

#include "cpu/intrinsics.h"

namespace {

// target ^ lo[s & 15] ^ hi[s >> 4] for every byte; 0x96 is the truth table of a ^ b ^ c.
inline __m512i accumulate(__m512i t, __m512i s, __m512i lo, __m512i hi, __m512i nibble) {
  const __m512i l = _mm512_shuffle_epi8(lo, _mm512_and_si512(s, nibble));
  const __m512i h = _mm512_shuffle_epi8(hi, _mm512_and_si512(_mm512_srli_epi64(s, 4), nibble));
  return _mm512_ternarylogic_epi32(t, l, h, 0x96);
}

// A 16-byte table in all four lanes.
inline __m512i all_lanes(const uint8_t* table) {
  return _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

}  // namespace

void gf_mul_accumulate_avx512(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  if (nbytes <= 0) return;
  const uint8_t* row = gf_product_table[m];
  alignas(16) uint8_t high[16];
  for (int j = 0; j < 16; j++) high[j] = row[j << 4];
  const __m512i lo = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
  const __m512i hi = _mm512_broadcast_i32x4(_mm_load_si128(reinterpret_cast<const __m128i*>(high)));
  const __m512i nibble = _mm512_set1_epi8(0x0F);

  int i = 0;
  for (; i + 128 <= nbytes; i += 128) {
    const __m512i s0 = _mm512_loadu_si512(source + i);
    const __m512i s1 = _mm512_loadu_si512(source + i + 64);
    const __m512i t0 = _mm512_loadu_si512(target + i);
    const __m512i t1 = _mm512_loadu_si512(target + i + 64);
    _mm512_storeu_si512(target + i, accumulate(t0, s0, lo, hi, nibble));
    _mm512_storeu_si512(target + i + 64, accumulate(t1, s1, lo, hi, nibble));
  }
  if (i + 64 <= nbytes) {
    const __m512i s = _mm512_loadu_si512(source + i);
    const __m512i t = _mm512_loadu_si512(target + i);
    _mm512_storeu_si512(target + i, accumulate(t, s, lo, hi, nibble));
    i += 64;
  }
  if (i < nbytes) {
    const __mmask64 mask = _cvtu64_mask64((uint64_t{1} << (nbytes - i)) - 1);
    const __m512i s = _mm512_maskz_loadu_epi8(mask, source + i);
    const __m512i t = _mm512_maskz_loadu_epi8(mask, target + i);
    _mm512_mask_storeu_epi8(target + i, mask, accumulate(t, s, lo, hi, nibble));
  }
}

void gf_dot_product_avx512(uint8_t* target, const uint8_t* const* sources,
                           const uint8_t* coefficients, int count, int nbytes) {
  if (nbytes <= 0) return;
  alignas(16) uint8_t tables[GF_DOT_MAX_SOURCES][2][16];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  const int used = gf_dot_tables(sources, coefficients, count, tables, from);
  const __m512i nibble = _mm512_set1_epi8(0x0F);

  int x = 0;
  for (; x + 128 <= nbytes; x += 128) {
    __m512i sum0 = _mm512_setzero_si512();
    __m512i sum1 = _mm512_setzero_si512();
    for (int s = 0; s < used; s++) {
      const __m512i lo = all_lanes(tables[s][0]);
      const __m512i hi = all_lanes(tables[s][1]);
      sum0 = accumulate(sum0, _mm512_loadu_si512(from[s] + x), lo, hi, nibble);
      sum1 = accumulate(sum1, _mm512_loadu_si512(from[s] + x + 64), lo, hi, nibble);
    }
    _mm512_storeu_si512(target + x, sum0);
    _mm512_storeu_si512(target + x + 64, sum1);
  }
  if (x + 64 <= nbytes) {
    __m512i sum = _mm512_setzero_si512();
    for (int s = 0; s < used; s++) {
      sum = accumulate(sum, _mm512_loadu_si512(from[s] + x), all_lanes(tables[s][0]),
                       all_lanes(tables[s][1]), nibble);
    }
    _mm512_storeu_si512(target + x, sum);
    x += 64;
  }
  if (x < nbytes) {
    const __mmask64 mask = _cvtu64_mask64((uint64_t{1} << (nbytes - x)) - 1);
    __m512i sum = _mm512_setzero_si512();
    for (int s = 0; s < used; s++) {
      sum = accumulate(sum, _mm512_maskz_loadu_epi8(mask, from[s] + x), all_lanes(tables[s][0]),
                       all_lanes(tables[s][1]), nibble);
    }
    _mm512_mask_storeu_epi8(target + x, mask, sum);
  }
}

#endif
