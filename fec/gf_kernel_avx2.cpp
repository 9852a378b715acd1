// SPDX-License-Identifier: MIT
// gf_kernel_avx2.cpp - the multiply-accumulate and dot-product kernels with AVX2 vpshufb, 32 bytes
// at a time.
//
// The nibble-table multiply described in gf_kernel.h. vpshufb looks up nibbles in a 16-byte table
// per 128-bit lane, so both tables sit in both lanes. The bytes after the last full vector take the
// plain row look-up, but for the dot product, which overwrites its target: there a last vector
// that overlaps the one before covers them, and a target shorter than a vector is the plain
// kernel's.
//
// Built with -mavx2 and nothing wider; called only when the CPU has AVX2.
#include "fec/gf.h"
#include "fec/gf_kernel.h"

#if defined(KESTRUNE_X86_KERNELS) && defined(__x86_64__)

#include "cpu/intrinsics.h"

namespace {

inline __m256i product(__m256i s, __m256i lo, __m256i hi, __m256i nibble) {
  return _mm256_xor_si256(
      _mm256_shuffle_epi8(lo, _mm256_and_si256(s, nibble)),
      _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi64(s, 4), nibble)));
}

// A 16-byte table in both lanes.
inline __m256i both_lanes(const uint8_t* table) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(table)));
}

inline __m256i load(const uint8_t* bytes) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
}

}  // namespace

void gf_mul_accumulate_avx2(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  const uint8_t* row = gf_product_table[m];
  alignas(16) uint8_t high[16];
  for (int j = 0; j < 16; j++) high[j] = row[j << 4];
  const __m256i lo =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row)));
  const __m256i hi =
      _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(high)));
  const __m256i nibble = _mm256_set1_epi8(0x0F);

  int i = 0;
  for (; i + 64 <= nbytes; i += 64) {
    const __m256i s0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
    const __m256i s1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i + 32));
    __m256i* t0 = reinterpret_cast<__m256i*>(target + i);
    __m256i* t1 = reinterpret_cast<__m256i*>(target + i + 32);
    _mm256_storeu_si256(t0, _mm256_xor_si256(_mm256_loadu_si256(t0), product(s0, lo, hi, nibble)));
    _mm256_storeu_si256(t1, _mm256_xor_si256(_mm256_loadu_si256(t1), product(s1, lo, hi, nibble)));
  }
  if (i + 32 <= nbytes) {
    const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
    __m256i* t = reinterpret_cast<__m256i*>(target + i);
    _mm256_storeu_si256(t, _mm256_xor_si256(_mm256_loadu_si256(t), product(s, lo, hi, nibble)));
    i += 32;
  }
  for (; i < nbytes; i++) target[i] ^= row[source[i]];
}

void gf_dot_product_avx2(uint8_t* target, const uint8_t* const* sources,
                         const uint8_t* coefficients, int count, int nbytes) {
  if (nbytes < 32) {
    // Shorter than a vector: the plain kernel.
    gf_dot_product_table(target, sources, coefficients, count, nbytes);
    return;
  }
  alignas(16) uint8_t tables[GF_DOT_MAX_SOURCES][2][16];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  const int used = gf_dot_tables(sources, coefficients, count, tables, from);
  const __m256i nibble = _mm256_set1_epi8(0x0F);

  int x = 0;
  for (; x + 64 <= nbytes; x += 64) {
    __m256i sum0 = _mm256_setzero_si256();
    __m256i sum1 = _mm256_setzero_si256();
    for (int s = 0; s < used; s++) {
      const __m256i lo = both_lanes(tables[s][0]);
      const __m256i hi = both_lanes(tables[s][1]);
      sum0 = _mm256_xor_si256(sum0, product(load(from[s] + x), lo, hi, nibble));
      sum1 = _mm256_xor_si256(sum1, product(load(from[s] + x + 32), lo, hi, nibble));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + x), sum0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + x + 32), sum1);
  }
  // One vector at x; the last one may overlap the vector before it, whose bytes it sums again to
  // the same values (the target overlaps no source).
  const auto one_vector = [&](int at) {
    __m256i sum = _mm256_setzero_si256();
    for (int s = 0; s < used; s++) {
      sum = _mm256_xor_si256(sum, product(load(from[s] + at), both_lanes(tables[s][0]),
                                          both_lanes(tables[s][1]), nibble));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(target + at), sum);
  };
  if (x + 32 <= nbytes) {
    one_vector(x);
    x += 32;
  }
  if (x < nbytes) one_vector(nbytes - 32);
}

#endif
