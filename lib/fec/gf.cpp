// SPDX-License-Identifier: MIT
// gf.cpp - GF(2^8) tables, the division-free reduction, the choice of kernels, and the dot
// products' tables.
#include "fec/gf.h"

#include <cstring>

#include "fec/gf_kernel.h"

namespace {

// Powers of alpha by repeated multiplication by x, reduced by the field polynomial; the logarithms
// and inverses from them; products as alpha^(log a + log b). The 0 entries stay 0.
constexpr gf_field_tables build_tables() {
  gf_field_tables t{};
  t.pow[0] = 1;
  for (int i = 1; i < GF_SIZE; i++) {
    const unsigned v = t.pow[i - 1];
    unsigned next = (v << 1) & 0xFF;
    if (v & 0x80) next ^= 0x1D;  // x^8 = x^4 + x^3 + x^2 + 1
    t.pow[i] = static_cast<uint8_t>(next);
  }
  for (int i = 0; i < GF_SIZE; i++) t.log[t.pow[i]] = i;
  t.log[0] = GF_SIZE;
  t.inv[1] = 1;
  for (int x = 2; x <= 255; x++) t.inv[x] = t.pow[GF_SIZE - t.log[x]];
  for (int a = 1; a < 256; a++) {
    for (int b = 1; b < 256; b++) t.product[a][b] = t.pow[(t.log[a] + t.log[b]) % GF_SIZE];
  }
  return t;
}

}  // namespace

constexpr gf_field_tables gf_tables = build_tables();

// A few entries the compiler checks; tests/fec/gf_test.cpp checks every one against the field's
// definition.
static_assert(gf_tables.pow[8] == 29 && gf_tables.pow[254] == 142);
static_assert(gf_tables.log[0] == GF_SIZE && gf_tables.log[3] == 25);
static_assert(gf_tables.inv[0] == 0 && gf_tables.inv[2] == 142 && gf_tables.inv[255] == 253);
static_assert(gf_tables.product[2][128] == 29 && gf_tables.product[255][255] == 226);
static_assert(gf_tables.product[0][7] == 0 && gf_tables.product[7][0] == 0);

namespace {

// Best first: the first entry whose level is within cpu_level_in_use() is the one chosen. The order
// is the measured one on AMD Zen 4 (bench/gf_bench, medians of 5, GiB/s): MulAcc on 1006 warm bytes
// gfni 46, avx512 42, avx2 35, ssse3 16, table 2.4; Encode of a (14, 18) chunk of 1006-byte packets
// gfni 11.7, avx512 9.3, avx2 7.8, ssse3 3.9, table 0.6. On 1 MiB out of memory all SIMD variants
// run at memory speed (10-13 GiB/s there). One GFNI variant only, on 512-bit vectors: a 256-bit one
// tried on the same CPU matched it on 8 KiB (65 GiB/s) and fell behind on 1006 bytes (42 GiB/s).
const gf_kernel kernels[] = {
#if defined(KESTRUNE_X86_KERNELS) && defined(__x86_64__)
    {"gfni", gf_mul_accumulate_gfni, gf_dot_product_gfni, gf_dot_products_gfni, nullptr, CPU_GFNI},
    // Every AVX-512 CPU has AVX2, whose several-row kernels serve this level too.
    {"avx512", gf_mul_accumulate_avx512, gf_dot_product_avx512, gf_dot_products_avx2,
     gf_dot_products_equal_avx2, CPU_AVX512},
    {"avx2", gf_mul_accumulate_avx2, gf_dot_product_avx2, gf_dot_products_avx2,
     gf_dot_products_equal_avx2, CPU_AVX2},
    {"ssse3", gf_mul_accumulate_ssse3, gf_dot_product_ssse3, nullptr, nullptr, CPU_SSSE3},
#endif
    {"table", gf_mul_accumulate_table, gf_dot_product_table, nullptr, nullptr, CPU_PORTABLE},
};

// How many bytes of all the sources together one stripe of several dot products takes: within the
// second-level cache of every x86-64 core this century (256 KiB and up), with room beside it for
// the targets and the tables.
constexpr int gf_stripe_sources_bytes = 128 << 10;

constexpr int kernel_count = static_cast<int>(sizeof kernels / sizeof kernels[0]);

// The best kernel the level in use allows; the list ends with the plain kernel, which every CPU
// runs.
const gf_kernel* choose_kernel() {
  const cpu_level level = cpu_level_in_use();
  for (const gf_kernel& kernel : kernels) {
    if (kernel.level <= level) return &kernel;
  }
  return &kernels[kernel_count - 1];
}

}  // namespace

bool gf_kernel::supported() const { return level <= cpu_level_in_use(); }

const gf_kernel* gf_kernel_list(int* count) {
  *count = kernel_count;
  return kernels;
}

const gf_kernel* gf_best_kernel() {
  static const gf_kernel* const best = choose_kernel();
  return best;
}

int gf_dot_tables(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                  uint8_t (*tables)[2][16], const uint8_t** from) {
  int used = 0;
  for (int i = 0; i < count; i++) {
    const uint8_t c = coefficients[i];
    if (c == 0) continue;
    // hi[j] = c * (j << 4) = (c * 16) * j: the start of row c * 16.
    memcpy(tables[used][0], gf_product_table[c], 16);
    memcpy(tables[used][1], gf_product_table[gf_product_table[c][16]], 16);
    from[used] = sources[i];
    used++;
  }
  return used;
}

int gf_reduce255(int x) {
  // 256 leaves the residue 1 modulo 255, so folding the high byte onto the low one keeps the
  // residue.
  while (x >= GF_SIZE) {
    x -= GF_SIZE;
    x = (x >> 8) + (x & 255);
  }
  return x;
}

void gf_mul_accumulate(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  gf_best_kernel()->run(target, source, m, nbytes);
}

void gf_dot_product(uint8_t* target, const uint8_t* const* sources, const uint8_t* coefficients,
                    int count, int nbytes) {
  gf_best_kernel()->dot(target, sources, coefficients, count, nbytes);
}

int gf_stripe_bytes(int count, int nbytes) {
  if (count < 1) count = 1;
  const int most = gf_stripe_sources_bytes / count;
  if (nbytes <= most) return nbytes;
  // Stripes of about equal length, in whole 64-byte lines, so that the last one is not a sliver.
  const int stripes = (nbytes + most - 1) / most;
  const int length = (nbytes + stripes - 1) / stripes;
  return (length + 63) / 64 * 64;
}

void gf_dot_products(uint8_t* const* targets, const uint8_t* const* sources,
                     const uint8_t* coefficients, int count, int rows, int nbytes) {
  gf_dot_products_with(gf_best_kernel(), targets, sources, coefficients, count, rows, nbytes);
}

void gf_dot_products_with(const gf_kernel* kernel, uint8_t* const* targets,
                          const uint8_t* const* sources, const uint8_t* coefficients, int count,
                          int rows, int nbytes) {
  if (nbytes <= 0 || rows <= 0) return;
  const int stripe = gf_stripe_bytes(count, nbytes);
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  uint8_t* to[GF_DOT_MAX_ROWS];
  for (int x = 0; x < nbytes; x += stripe) {
    const int length = nbytes - x < stripe ? nbytes - x : stripe;
    for (int i = 0; i < count; i++) from[i] = sources[i] == nullptr ? nullptr : sources[i] + x;
    for (int r = 0; r < rows; r++) to[r] = targets[r] + x;
    if (kernel->dots != nullptr) {
      kernel->dots(to, from, coefficients, count, rows, length);
    } else {
      for (int r = 0; r < rows; r++)
        kernel->dot(to[r], from, coefficients + r * count, count, length);
    }
  }
}

bool gf_dot_products_equal_by_dot(gf_dot_fn dot, const uint8_t* const* sources,
                                  const uint8_t* coefficients, int count,
                                  const uint8_t* const* expected, int rows, int nbytes) {
  // A stretch stays in the first-level cache beside the sources' stretches.
  constexpr int stretch = 1024;
  uint8_t made[stretch];
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  for (int x = 0; x < nbytes; x += stretch) {
    const int length = nbytes - x < stretch ? nbytes - x : stretch;
    for (int i = 0; i < count; i++) from[i] = sources[i] + x;
    for (int r = 0; r < rows; r++) {
      dot(made, from, coefficients + r * count, count, length);
      if (memcmp(made, expected[r] + x, static_cast<size_t>(length)) != 0) return false;
    }
  }
  return true;
}

namespace {

// The check through a variant's several-row kernel: four rows at a time made into small buffers, a
// stretch at a time, and compared.
bool equal_by_dots(gf_dots_fn dots, const uint8_t* const* sources, const uint8_t* coefficients,
                   int count, const uint8_t* const* expected, int rows, int nbytes) {
  constexpr int stretch = 1024;
  constexpr int group = 4;
  uint8_t made[group][stretch];
  uint8_t* to[group] = {made[0], made[1], made[2], made[3]};
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  for (int x = 0; x < nbytes; x += stretch) {
    const int length = nbytes - x < stretch ? nbytes - x : stretch;
    for (int i = 0; i < count; i++) from[i] = sources[i] + x;
    for (int first = 0; first < rows; first += group) {
      const int taken = rows - first < group ? rows - first : group;
      dots(to, from, coefficients + first * count, count, taken, length);
      for (int r = 0; r < taken; r++) {
        if (memcmp(made[r], expected[first + r] + x, static_cast<size_t>(length)) != 0) {
          return false;
        }
      }
    }
  }
  return true;
}

}  // namespace

bool gf_dot_products_equal(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                           const uint8_t* const* expected, int rows, int nbytes) {
  return gf_dot_products_equal_with(gf_best_kernel(), sources, coefficients, count, expected, rows,
                                    nbytes);
}

bool gf_dot_products_equal_with(const gf_kernel* kernel, const uint8_t* const* sources,
                                const uint8_t* coefficients, int count,
                                const uint8_t* const* expected, int rows, int nbytes) {
  if (kernel->equal == nullptr && kernel->dots != nullptr) {
    return equal_by_dots(kernel->dots, sources, coefficients, count, expected, rows, nbytes);
  }
  if (kernel->equal == nullptr) {
    return gf_dot_products_equal_by_dot(kernel->dot, sources, coefficients, count, expected, rows,
                                        nbytes);
  }
  // A stripe of every source at a time, checked against every row, so that the rows after the
  // first find the stripe in the cache.
  const int stripe = gf_stripe_bytes(count, nbytes);
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  const uint8_t* want[GF_DOT_MAX_ROWS];
  for (int x = 0; x < nbytes; x += stripe) {
    const int length = nbytes - x < stripe ? nbytes - x : stripe;
    for (int i = 0; i < count; i++) from[i] = sources[i] + x;
    for (int r = 0; r < rows; r++) want[r] = expected[r] + x;
    if (!kernel->equal(from, coefficients, count, want, rows, length)) return false;
  }
  return true;
}
