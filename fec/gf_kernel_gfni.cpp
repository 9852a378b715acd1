// gf_kernel_gfni.cpp - the multiply-accumulate kernel with GFNI on AVX-512, 64 bytes at a time.
//
// Rather than gf_kernel.h's nibble tables, this uses that multiplying by m is a linear map of
// GF(2)^8, so it has an 8x8 bit matrix whose column j is m * 2^j (the image of bit j), and
// gf2p8affineqb applies such a matrix to every byte of a vector. (gf2p8mulb would multiply
// directly, but modulo 0x11B, not the 0x11D of this field.) The instruction takes the matrix as a
// 64-bit word in which byte 7 - i holds row i, the input bits that make output bit i: bit j of that
// byte is bit i of m * 2^j. The 256 words are built once from the product table, on the first call.
// The bytes after the last full vector go through the same steps with a byte mask, which neither
// reads nor writes memory outside the buffers.
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

}  // namespace

void gf_mul_accumulate_gfni(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  if (nbytes <= 0) return;
  static const affine_matrices matrices;
  const __m512i matrix = _mm512_set1_epi64(static_cast<long long>(matrices.word[m]));

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

#endif
