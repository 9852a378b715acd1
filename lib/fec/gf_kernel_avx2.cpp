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
#include <cstring>

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

namespace {

// The check of up to four rows at once: each source vector is loaded and split into nibbles once
// and serves every row, whose sums stay in registers (four rows of two vectors, the two nibble
// vectors of each of two source vectors, a row's tables and the mask: 15 of the 16 registers).
// Every byte's difference from the expected one is ORed into one vector, tested at the end.
template <int rows>
bool rows_equal(const uint8_t* const* sources, int count, const uint8_t (*tables)[2][16],
                const uint8_t* const* expected, int nbytes) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  __m256i differ = _mm256_setzero_si256();
  const auto stripe = [&](int x, int last) {
    __m256i sum[rows][2];
    for (int r = 0; r < rows; r++) sum[r][0] = sum[r][1] = _mm256_setzero_si256();
    for (int s = 0; s < count; s++) {
      const __m256i s0 = load(sources[s] + x);
      const __m256i s1 = load(sources[s] + last);
      const __m256i l0 = _mm256_and_si256(s0, nibble);
      const __m256i h0 = _mm256_and_si256(_mm256_srli_epi64(s0, 4), nibble);
      const __m256i l1 = _mm256_and_si256(s1, nibble);
      const __m256i h1 = _mm256_and_si256(_mm256_srli_epi64(s1, 4), nibble);
      for (int r = 0; r < rows; r++) {
        const __m256i lo = both_lanes(tables[r * count + s][0]);
        const __m256i hi = both_lanes(tables[r * count + s][1]);
        sum[r][0] = _mm256_xor_si256(
            sum[r][0], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l0), _mm256_shuffle_epi8(hi, h0)));
        sum[r][1] = _mm256_xor_si256(
            sum[r][1], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l1), _mm256_shuffle_epi8(hi, h1)));
      }
    }
    for (int r = 0; r < rows; r++) {
      differ = _mm256_or_si256(differ, _mm256_xor_si256(sum[r][0], load(expected[r] + x)));
      differ = _mm256_or_si256(differ, _mm256_xor_si256(sum[r][1], load(expected[r] + last)));
    }
  };
  int x = 0;
  for (; x + 64 <= nbytes; x += 64) stripe(x, x + 32);
  // The rest in one stripe of two vectors that may overlap those before: a check may look at a
  // byte twice.
  if (x < nbytes) stripe(x + 32 <= nbytes ? x : nbytes - 32, nbytes - 32);
  return _mm256_testz_si256(differ, differ) != 0;
}

}  // namespace

namespace {

// Up to four dot products at once, as rows_equal() checks them: each source vector is loaded and
// split into nibbles once for every row, and each row's stripe is stored once.
template <int rows>
void rows_dot(uint8_t* const* targets, const uint8_t* const* sources, int count,
              const uint8_t (*tables)[2][16], int nbytes) {
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  const auto stripe = [&](int x, int last) {
    __m256i sum[rows][2];
    for (int r = 0; r < rows; r++) sum[r][0] = sum[r][1] = _mm256_setzero_si256();
    for (int s = 0; s < count; s++) {
      const __m256i s0 = load(sources[s] + x);
      const __m256i s1 = load(sources[s] + last);
      const __m256i l0 = _mm256_and_si256(s0, nibble);
      const __m256i h0 = _mm256_and_si256(_mm256_srli_epi64(s0, 4), nibble);
      const __m256i l1 = _mm256_and_si256(s1, nibble);
      const __m256i h1 = _mm256_and_si256(_mm256_srli_epi64(s1, 4), nibble);
      for (int r = 0; r < rows; r++) {
        const __m256i lo = both_lanes(tables[r * count + s][0]);
        const __m256i hi = both_lanes(tables[r * count + s][1]);
        sum[r][0] = _mm256_xor_si256(
            sum[r][0], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l0), _mm256_shuffle_epi8(hi, h0)));
        sum[r][1] = _mm256_xor_si256(
            sum[r][1], _mm256_xor_si256(_mm256_shuffle_epi8(lo, l1), _mm256_shuffle_epi8(hi, h1)));
      }
    }
    for (int r = 0; r < rows; r++) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(targets[r] + x), sum[r][0]);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(targets[r] + last), sum[r][1]);
    }
  };
  int x = 0;
  for (; x + 64 <= nbytes; x += 64) stripe(x, x + 32);
  // The rest in one stripe of two vectors that may overlap those before, whose bytes they make
  // again with the same values (no target overlaps a source).
  if (x < nbytes) stripe(x + 32 <= nbytes ? x : nbytes - 32, nbytes - 32);
}

}  // namespace

void gf_dot_products_avx2(uint8_t* const* targets, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int rows, int nbytes) {
  if (nbytes < 32) {
    for (int r = 0; r < rows; r++) {
      gf_dot_product_table(targets[r], sources, coefficients + r * count, count, nbytes);
    }
    return;
  }
  alignas(16) uint8_t tables[4 * GF_DOT_MAX_SOURCES][2][16];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  for (int first = 0; first < rows; first += 4) {
    const int group = rows - first < 4 ? rows - first : 4;
    const uint8_t* row = coefficients + first * count;
    // The sources some row of the group takes, each with the tables of every row of the group.
    bool taken[GF_DOT_MAX_SOURCES];
    int used = 0;
    for (int s = 0; s < count; s++) {
      taken[s] = false;
      for (int r = 0; r < group; r++) taken[s] = taken[s] || row[r * count + s] != 0;
      if (taken[s]) from[used++] = sources[s];
    }
    for (int r = 0; r < group; r++) {
      int u = 0;
      for (int s = 0; s < count; s++) {
        if (!taken[s]) continue;
        const uint8_t c = row[r * count + s];
        memcpy(tables[r * used + u][0], gf_product_table[c], 16);
        memcpy(tables[r * used + u][1], gf_product_table[gf_product_table[c][16]], 16);
        u++;
      }
    }
    uint8_t* const* to = targets + first;
    switch (group) {
      case 1:
        rows_dot<1>(to, from, used, tables, nbytes);
        break;
      case 2:
        rows_dot<2>(to, from, used, tables, nbytes);
        break;
      case 3:
        rows_dot<3>(to, from, used, tables, nbytes);
        break;
      default:
        rows_dot<4>(to, from, used, tables, nbytes);
        break;
    }
  }
}

bool gf_dot_products_equal_avx2(const uint8_t* const* sources, const uint8_t* coefficients,
                                int count, const uint8_t* const* expected, int rows, int nbytes) {
  if (nbytes < 32) {
    return gf_dot_products_equal_by_dot(gf_dot_product_table, sources, coefficients, count,
                                        expected, rows, nbytes);
  }
  alignas(16) uint8_t tables[4 * GF_DOT_MAX_SOURCES][2][16];
  for (int first = 0; first < rows; first += 4) {
    const int group = rows - first < 4 ? rows - first : 4;
    // Every source gets its tables, a zero coefficient too, so that the rows share the sources.
    for (int r = 0; r < group; r++) {
      const uint8_t* row = coefficients + (first + r) * count;
      for (int s = 0; s < count; s++) {
        memcpy(tables[r * count + s][0], gf_product_table[row[s]], 16);
        memcpy(tables[r * count + s][1], gf_product_table[gf_product_table[row[s]][16]], 16);
      }
    }
    const uint8_t* const* want = expected + first;
    bool equal = false;
    switch (group) {
      case 1:
        equal = rows_equal<1>(sources, count, tables, want, nbytes);
        break;
      case 2:
        equal = rows_equal<2>(sources, count, tables, want, nbytes);
        break;
      case 3:
        equal = rows_equal<3>(sources, count, tables, want, nbytes);
        break;
      default:
        equal = rows_equal<4>(sources, count, tables, want, nbytes);
        break;
    }
    if (!equal) return false;
  }
  return true;
}

#endif
