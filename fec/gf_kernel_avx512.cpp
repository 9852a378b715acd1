// gf_kernel_avx512.cpp - the multiply-accumulate kernel with AVX-512BW vpshufb, 64 bytes at a time.
//
// The nibble-table multiply described in gf_kernel.h. vpshufb looks up nibbles in a 16-byte table
// per 128-bit lane, so both tables sit in all four lanes; one three-way XOR (vpternlogd) adds both
// look-ups to the target. The bytes after the last full vector go through the same steps with a
// byte mask, which neither reads nor writes memory outside the buffers.
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

#endif
