// gf_kernel_ssse3.cpp - the multiply-accumulate kernel with SSSE3 pshufb, 16 bytes at a time.
//
// The nibble-table multiply described in gf_kernel.h, with the two tables in one 16-byte register
// each. The bytes after the last full vector take the plain row look-up.
//
// Built with -mssse3 and nothing wider; called only when the CPU has SSSE3.
#include "fec/gf.h"
#include "fec/gf_kernel.h"

#if defined(KESTRUNE_X86_KERNELS) && defined(__x86_64__)

#include "cpu/intrinsics.h"

void gf_mul_accumulate_ssse3(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  const uint8_t* row = gf_product_table[m];
  alignas(16) uint8_t high[16];
  for (int j = 0; j < 16; j++) high[j] = row[j << 4];
  const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
  const __m128i hi = _mm_load_si128(reinterpret_cast<const __m128i*>(high));
  const __m128i nibble = _mm_set1_epi8(0x0F);

  int i = 0;
  for (; i + 32 <= nbytes; i += 32) {
    const __m128i s0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    const __m128i s1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i + 16));
    const __m128i p0 =
        _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(s0, nibble)),
                      _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(s0, 4), nibble)));
    const __m128i p1 =
        _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(s1, nibble)),
                      _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(s1, 4), nibble)));
    __m128i* t0 = reinterpret_cast<__m128i*>(target + i);
    __m128i* t1 = reinterpret_cast<__m128i*>(target + i + 16);
    _mm_storeu_si128(t0, _mm_xor_si128(_mm_loadu_si128(t0), p0));
    _mm_storeu_si128(t1, _mm_xor_si128(_mm_loadu_si128(t1), p1));
  }
  if (i + 16 <= nbytes) {
    const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    const __m128i p =
        _mm_xor_si128(_mm_shuffle_epi8(lo, _mm_and_si128(s, nibble)),
                      _mm_shuffle_epi8(hi, _mm_and_si128(_mm_srli_epi64(s, 4), nibble)));
    __m128i* t = reinterpret_cast<__m128i*>(target + i);
    _mm_storeu_si128(t, _mm_xor_si128(_mm_loadu_si128(t), p));
    i += 16;
  }
  for (; i < nbytes; i++) target[i] ^= row[source[i]];
}

#endif
