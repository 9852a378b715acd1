// SPDX-License-Identifier: MIT
// gf_kernel.h - the variants of the multiply-accumulate and dot-product kernels, the choice among
// them, and running a codec on a chosen one.
//
// Every variant computes target[i] ^= m * source[i] (the multiply-accumulate kernel), and
// target[x] = XOR over i of coefficients[i] * sources[i][x] (the dot-product kernel), exactly as
// the plain table kernels do; the plain kernels are the fallback on every CPU and the oracle the
// others are tested against.
#pragma once

#include <cstdint>

#include "cpu/cpu.h"

struct fec_code;

using gf_kernel_fn = void (*)(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
using gf_dot_fn = void (*)(uint8_t* target, const uint8_t* const* sources,
                           const uint8_t* coefficients, int count, int nbytes);
using gf_dots_fn = void (*)(uint8_t* const* targets, const uint8_t* const* sources,
                            const uint8_t* coefficients, int count, int rows, int nbytes);
using gf_equal_fn = bool (*)(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                             const uint8_t* const* expected, int rows, int nbytes);

// One instruction-set level's kernels, chosen together: gf_best_kernel() for the free functions of
// gf.h and every new codec, fec_use_kernel() for one codec.
struct gf_kernel {
  const char* name;  // short name, as benchmarks and test messages show it
  gf_kernel_fn run;  // the multiply-accumulate kernel, as gf_mul_accumulate()
  gf_dot_fn dot;     // the dot-product kernel, as gf_dot_product()
  // Several dot products at once, as gf_dot_products() makes each stripe of them; null where one
  // dot product after another serves as well.
  gf_dots_fn dots;
  // The check of several dot products at once, as gf_dot_products_equal(); null where the
  // dot-product kernel into a small buffer and a comparison serve as well.
  gf_equal_fn equal;
  cpu_level level;  // the instruction-set level both need

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
//
// The dot-product variants first gather in local arrays, once per call, what each source with a
// non-zero coefficient c needs: its two 16-byte tables (lo is the start of row c, hi the start of
// row c * 16, as c * (j << 4) = (c * 16) * j), or for GFNI its matrix. Then, one stripe of two
// vectors at a time, they add up the products of all those sources in registers and store the
// stripe of the target once. The bytes after the last full vector are done as the variant's
// multiply-accumulate kernel does its own.
#if defined(__x86_64__)
void gf_mul_accumulate_ssse3(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_mul_accumulate_avx2(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_mul_accumulate_avx512(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_mul_accumulate_gfni(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

void gf_dot_product_ssse3(uint8_t* target, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int nbytes);
void gf_dot_product_avx2(uint8_t* target, const uint8_t* const* sources,
                         const uint8_t* coefficients, int count, int nbytes);
void gf_dot_product_avx512(uint8_t* target, const uint8_t* const* sources,
                           const uint8_t* coefficients, int count, int nbytes);
void gf_dot_product_gfni(uint8_t* target, const uint8_t* const* sources,
                         const uint8_t* coefficients, int count, int nbytes);

void gf_dot_products_avx2(uint8_t* const* targets, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int rows, int nbytes);
void gf_dot_products_gfni(uint8_t* const* targets, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int rows, int nbytes);

bool gf_dot_products_equal_avx2(const uint8_t* const* sources, const uint8_t* coefficients,
                                int count, const uint8_t* const* expected, int rows, int nbytes);
#endif

// For the nibble-table dot products: the two tables (lo, hi) and the source of every source whose
// coefficient is not 0, in order; returns how many. lo[1] is the coefficient itself.
int gf_dot_tables(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                  uint8_t (*tables)[2][16], const uint8_t** from);

// The bytes of each source that one stripe of gf_dot_products() and gf_dot_products_equal() takes:
// all of them when count sources of nbytes fit gf_stripe_sources_bytes, else stripes of about
// equal length in whole 64-byte lines that do.
int gf_stripe_bytes(int count, int nbytes);

// The check through the variant's dot-product kernel: each product made into a small buffer, a
// stretch at a time, and compared.
bool gf_dot_products_equal_by_dot(gf_dot_fn dot, const uint8_t* const* sources,
                                  const uint8_t* coefficients, int count,
                                  const uint8_t* const* expected, int rows, int nbytes);

// The plain kernels: one look-up in the multiplier's product-table row and one XOR per byte and
// source.
void gf_mul_accumulate_table(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
void gf_dot_product_table(uint8_t* target, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int nbytes);

// All variants compiled into this build, best first; the last one is always the plain kernel, which
// needs CPU_PORTABLE.
const gf_kernel* gf_kernel_list(int* count);

// The first variant of the list whose level is within cpu_level_in_use(): chosen once, on the first
// call from any thread, and the same for the life of the process. gf_mul_accumulate(),
// gf_dot_product(), gf_dot_products() and gf_dot_products_equal() run it, and fec_create() gives it
// to every codec.
const gf_kernel* gf_best_kernel();

// gf_dot_products() and gf_dot_products_equal() on `kernel`'s variants; the CPU must reach its
// level.
void gf_dot_products_with(const gf_kernel* kernel, uint8_t* const* targets,
                          const uint8_t* const* sources, const uint8_t* coefficients, int count,
                          int rows, int nbytes);
bool gf_dot_products_equal_with(const gf_kernel* kernel, const uint8_t* const* sources,
                                const uint8_t* coefficients, int count,
                                const uint8_t* const* expected, int rows, int nbytes);

// Makes `code` run `kernel`'s variants in every operation from now on, for tests and benchmarks
// that measure or check one variant; no other codec and no free function changes. The CPU must
// reach the kernel's level.
void fec_use_kernel(fec_code* code, const gf_kernel* kernel);
