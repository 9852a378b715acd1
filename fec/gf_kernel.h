// gf_kernel.h - the variants of the multiply-accumulate kernel and the choice among them.
//
// Every variant computes target[i] ^= m * source[i] exactly as the plain table kernel does; the
// plain kernel is the fallback on every CPU and the oracle the others are tested against.
#pragma once

#include <cstdint>

#include "cpu/cpu.h"

using gf_kernel_fn = void (*)(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

struct gf_kernel {
  const char* name;  // short name, as benchmarks and test messages show it
  gf_kernel_fn run;  // the kernel itself
  cpu_level level;   // the instruction-set level it needs

  // Whether it may run in this process: its level is within cpu_level_in_use(). Defined out of line
  // so that no kernel translation unit, built with wider instructions, emits a copy of it.
  bool supported() const;
};

// The SIMD variants, one translation unit each, compiled for x86-64 only. Each needs the level its
// kernel list entry names and must not be called on a CPU below it. Their loads and stores are
// unaligned.
//
// The SSSE3, AVX2 and AVX-512 kernels share one method. The plain kernel computes
// target[i] ^= row[source[i]] with row = gf_product_table[m], one look-up in a 256-entry row per
// byte. But the product is linear over GF(2), so m * x = m * (x & 0x0F) ^ m * (x & 0xF0): two
// 16-entry tables, lo[j] = m * j and hi[j] = m * (j << 4), give the product of any byte from its
// two nibbles, and a byte shuffle (pshufb) looks up every byte of a vector in a 16-byte table at
// once. The source's low nibbles looked up in lo and its high nibbles in hi, the two XORed, are the
// products of a whole vector of bytes, which are then XORed into the target.
#if defined(__x86_64__)
void gf_mul_accumulate_ssse3(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_mul_accumulate_avx2(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_mul_accumulate_avx512(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_mul_accumulate_gfni(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
#endif

// The plain kernel: one look-up in the multiplier's product-table row and one XOR per byte.
void gf_mul_accumulate_table(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

// All variants compiled into this build, best first; the last one is always the plain kernel, which
// needs CPU_PORTABLE.
const gf_kernel* gf_kernel_list(int* count);

// The kernel gf_mul_accumulate() runs now.
const gf_kernel* gf_active_kernel();

// Makes gf_mul_accumulate() run `kernel` from now on; the CPU must reach its level.
void gf_use_kernel(const gf_kernel* kernel);
