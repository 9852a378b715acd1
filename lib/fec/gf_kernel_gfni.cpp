// SPDX-License-Identifier: MIT
// gf_kernel_gfni.cpp - the multiply-accumulate and dot-product kernels with GFNI on AVX-512, 64
// bytes at a time.
//
// Rather than gf_kernel.h's nibble tables, this uses that multiplying by m is a linear map of
// GF(2)^8, so it has an 8x8 bit matrix whose column j is m * 2^j (the image of bit j), and
// gf2p8affineqb applies such a matrix to every byte of a vector. (gf2p8mulb would multiply
// directly, but modulo 0x11B, not the 0x11D of this field.) The instruction takes the matrix as a
// 64-bit word in which byte 7 - i holds row i, the input bits that make output bit i: bit j of that
// byte is bit i of m * 2^j. The 256 words are built once from the product table, on the first call.
// The dot product adds up the products of all its sources in registers, one 128-byte stripe at a
// time, with the words of its coefficients picked out once per call. The bytes after the last full
// vector go through the same steps with a byte mask, which neither reads nor writes memory outside
// the buffers.
//
// Built with -mgfni -mavx512f -mavx512bw; called only when the CPU has all three. The field tables
// must be built before the first call.
#include "fec/gf.h"
#include "fec/gf_kernel.h"

#if defined(KESTRUNE_X86_KERNELS) && defined(__x86_64__)

#include "cpu/intrinsics.h"

namespace {

struct affine_matrices {
  uint64_t word[256];

  affine_matrices() {
    for (int m = 0; m < 256; m++) {
      const uint8_t* row = gf_product_table[m];
      uint64_t matrix = 0;
      for (int i = 0; i < 8; i++) {
        uint64_t bits = 0;
        for (int j = 0; j < 8; j++) bits |= uint64_t{(row[1 << j] >> i) & 1u} << j;
        matrix |= bits << (8 * (7 - i));
      }
      word[m] = matrix;
    }
  }
};

const affine_matrices& matrices() {
  static const affine_matrices built;
  return built;
}

}  // namespace

void gf_mul_accumulate_gfni(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  if (nbytes <= 0) return;
  const __m512i matrix = _mm512_set1_epi64(static_cast<long long>(matrices().word[m]));

  int i = 0;
  for (; i + 128 <= nbytes; i += 128) {
    const __m512i p0 = _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(source + i), matrix, 0);
    const __m512i p1 =
        _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(source + i + 64), matrix, 0);
    _mm512_storeu_si512(target + i, _mm512_xor_si512(_mm512_loadu_si512(target + i), p0));
    _mm512_storeu_si512(target + i + 64, _mm512_xor_si512(_mm512_loadu_si512(target + i + 64), p1));
  }
  if (i + 64 <= nbytes) {
    const __m512i p = _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(source + i), matrix, 0);
    _mm512_storeu_si512(target + i, _mm512_xor_si512(_mm512_loadu_si512(target + i), p));
    i += 64;
  }
  if (i < nbytes) {
    const __mmask64 mask = _cvtu64_mask64((uint64_t{1} << (nbytes - i)) - 1);
    const __m512i p =
        _mm512_gf2p8affine_epi64_epi8(_mm512_maskz_loadu_epi8(mask, source + i), matrix, 0);
    _mm512_mask_storeu_epi8(target + i, mask,
                            _mm512_xor_si512(_mm512_maskz_loadu_epi8(mask, target + i), p));
  }
}

void gf_dot_product_gfni(uint8_t* target, const uint8_t* const* sources,
                         const uint8_t* coefficients, int count, int nbytes) {
  if (nbytes <= 0) return;
  // The matrix and the source of every source whose coefficient is not 0.
  const affine_matrices& all = matrices();
  long long words[GF_DOT_MAX_SOURCES];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  int used = 0;
  for (int i = 0; i < count; i++) {
    const uint8_t c = coefficients[i];
    if (c == 0) continue;
    words[used] = static_cast<long long>(all.word[c]);
    from[used] = sources[i];
    used++;
  }

  int x = 0;
  for (; x + 128 <= nbytes; x += 128) {
    __m512i sum0 = _mm512_setzero_si512();
    __m512i sum1 = _mm512_setzero_si512();
    for (int s = 0; s < used; s++) {
      const __m512i matrix = _mm512_set1_epi64(words[s]);
      sum0 = _mm512_xor_si512(
          sum0, _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(from[s] + x), matrix, 0));
      sum1 = _mm512_xor_si512(
          sum1, _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(from[s] + x + 64), matrix, 0));
    }
    _mm512_storeu_si512(target + x, sum0);
    _mm512_storeu_si512(target + x + 64, sum1);
  }
  if (x + 64 <= nbytes) {
    __m512i sum = _mm512_setzero_si512();
    for (int s = 0; s < used; s++) {
      sum = _mm512_xor_si512(sum, _mm512_gf2p8affine_epi64_epi8(_mm512_loadu_si512(from[s] + x),
                                                                _mm512_set1_epi64(words[s]), 0));
    }
    _mm512_storeu_si512(target + x, sum);
    x += 64;
  }
  if (x < nbytes) {
    const __mmask64 mask = _cvtu64_mask64((uint64_t{1} << (nbytes - x)) - 1);
    __m512i sum = _mm512_setzero_si512();
    for (int s = 0; s < used; s++) {
      sum = _mm512_xor_si512(
          sum, _mm512_gf2p8affine_epi64_epi8(_mm512_maskz_loadu_epi8(mask, from[s] + x),
                                             _mm512_set1_epi64(words[s]), 0));
    }
    _mm512_mask_storeu_epi8(target + x, mask, sum);
  }
}

namespace {

// Up to four dot products at once: each source vector is loaded once for every row, and each row's
// stripe is stored once. `masks` covers the two vectors of a stripe; a full stripe has all bits
// set, the last one only those of the bytes left.
template <int rows>
void rows_dot(uint8_t* const* targets, const uint8_t* const* sources, int count,
              const long long* words, int nbytes) {
  const auto stripe = [&](int x, __mmask64 mask0, __mmask64 mask1) {
    __m512i sum[rows][2];
    for (int r = 0; r < rows; r++) sum[r][0] = sum[r][1] = _mm512_setzero_si512();
    for (int s = 0; s < count; s++) {
      const __m512i s0 = _mm512_maskz_loadu_epi8(mask0, sources[s] + x);
      const __m512i s1 = _mm512_maskz_loadu_epi8(mask1, sources[s] + x + 64);
      for (int r = 0; r < rows; r++) {
        const __m512i matrix = _mm512_set1_epi64(words[r * count + s]);
        sum[r][0] = _mm512_xor_si512(sum[r][0], _mm512_gf2p8affine_epi64_epi8(s0, matrix, 0));
        sum[r][1] = _mm512_xor_si512(sum[r][1], _mm512_gf2p8affine_epi64_epi8(s1, matrix, 0));
      }
    }
    for (int r = 0; r < rows; r++) {
      _mm512_mask_storeu_epi8(targets[r] + x, mask0, sum[r][0]);
      _mm512_mask_storeu_epi8(targets[r] + x + 64, mask1, sum[r][1]);
    }
  };
  const __mmask64 all = _cvtu64_mask64(~uint64_t{0});
  int x = 0;
  for (; x + 128 <= nbytes; x += 128) stripe(x, all, all);
  if (x < nbytes) {
    const int left = nbytes - x;
    const auto first_bits = [](int bits) {
      return _cvtu64_mask64(bits >= 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1);
    };
    stripe(x, first_bits(left), first_bits(left > 64 ? left - 64 : 0));
  }
}

}  // namespace

void gf_dot_products_gfni(uint8_t* const* targets, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int rows, int nbytes) {
  if (nbytes <= 0) return;
  const affine_matrices& all = matrices();
  long long words[4 * GF_DOT_MAX_SOURCES];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  for (int first = 0; first < rows; first += 4) {
    const int group = rows - first < 4 ? rows - first : 4;
    const uint8_t* row = coefficients + first * count;
    // The sources some row of the group takes, each with the matrices of every row of the group.
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
        if (taken[s]) words[r * used + u++] = static_cast<long long>(all.word[row[r * count + s]]);
      }
    }
    uint8_t* const* to = targets + first;
    switch (group) {
      case 1:
        rows_dot<1>(to, from, used, words, nbytes);
        break;
      case 2:
        rows_dot<2>(to, from, used, words, nbytes);
        break;
      case 3:
        rows_dot<3>(to, from, used, words, nbytes);
        break;
      default:
        rows_dot<4>(to, from, used, words, nbytes);
        break;
    }
  }
}

#endif
