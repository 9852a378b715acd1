// SPDX-License-Identifier: MIT
// gf_kernel_ssse3.cpp - the multiply-accumulate and dot-product kernels with SSSE3 pshufb, 16 bytes
// at a time.
//
// The nibble-table multiply described in gf_kernel.h, with the two tables in one 16-byte register
// each. The bytes after the last full vector take the plain row look-up, but for the dot product,
// which overwrites its target: there a last vector that overlaps the one before covers them, and a
// target shorter than a vector is the plain kernel's.
//
// Built with -mssse3 and nothing wider; called only when the CPU has SSSE3.
#include "fec/gf.h"
#include "fec/gf_kernel.h"

#if defined(KESTRUNE_X86_KERNELS) && defined(__x86_64__)

#include "cpu/intrinsics.h"

namespace {

inline __m128i product(__m128i s, __m128i lo, __m128i hi, __m128i nibble) {
  return _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(s, nibble)),
                       _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(s, 4), nibble)));
}

inline __m128i load(const uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

}  // namespace

void gf_mul_accumulate_ssse3(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  const uint8_t* row = gf_product_table[m];
  alignas(16) uint8_t high[16];
  for (int j = 0; j < 16; j++) high[j] = row[j << 4];
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(high));
  const __m128i nibble = _mm_set1_epi8(0x0F);

  int i = 0;
  for (; i + 32 <= nbytes; i += 32) {
    const __m128i p0 = product(load(source + i), lo, hi, nibble);
    const __m128i p1 = product(load(source + i + 16), lo, hi, nibble);
    __m128i* t0 = reinterpret_cast<__m128i*>(target + i);
    __m128i* t1 = reinterpret_cast<__m128i*>(target + i + 16);
    _mm_storeu_si128(t0, _mm_xor_si128(_mm_loadu_si128(t0), p0));
    _mm_storeu_si128(t1, _mm_xor_si128(_mm_loadu_si128(t1), p1));
  }
  if (i + 16 <= nbytes) {
    const __m128i p = product(load(source + i), lo, hi, nibble);
    __m128i* t = reinterpret_cast<__m128i*>(target + i);
    _mm_storeu_si128(t, _mm_xor_si128(_mm_loadu_si128(t), p));
    i += 16;
  }
  for (; i < nbytes; i++) target[i] ^= row[source[i]];
}

void gf_dot_product_ssse3(uint8_t* target, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int nbytes) {
  if (nbytes < 16) {
    // Shorter than a vector: the plain kernel.
    gf_dot_product_table(target, sources, coefficients, count, nbytes);
    return;
  }
  alignas(16) uint8_t tables[GF_DOT_MAX_SOURCES][2][16];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  const int used = gf_dot_tables(sources, coefficients, count, tables, from);
  const __m128i nibble = _mm_set1_epi8(0x0F);

  int x = 0;
  for (; x + 32 <= nbytes; x += 32) {
    __m128i sum0 = _mm_setzero_si128();
    __m128i sum1 = _mm_setzero_si128();
    for (int s = 0; s < used; s++) {
      const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(tables[s][0]));
      const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(tables[s][1]));
      sum0 = _mm_xor_si128(sum0, product(load(from[s] + x), lo, hi, nibble));
      sum1 = _mm_xor_si128(sum1, product(load(from[s] + x + 16), lo, hi, nibble));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + x), sum0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + x + 16), sum1);
  }
  // One vector at x; the last one may overlap the vector before it, whose bytes it sums again to
  // the same values (the target overlaps no source).
  const auto one_vector = [&](int at) {
    __m128i sum = _mm_setzero_si128();
    for (int s = 0; s < used; s++) {
      const __m128i lo = _mm_load_si128(reinterpret_cast<const __m128i*>(tables[s][0]));
      const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(tables[s][1]));
      sum = _mm_xor_si128(sum, product(load(from[s] + at), lo, hi, nibble));
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(target + at), sum);
  };
  if (x + 16 <= nbytes) {
    one_vector(x);
    x += 16;
  }
  if (x < nbytes) one_vector(nbytes - 16);
}

#endif
