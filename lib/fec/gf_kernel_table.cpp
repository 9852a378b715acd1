// SPDX-License-Identifier: MIT
// gf_kernel_table.cpp - the plain kernels: target[i] ^= row_m[source[i]] for the
// multiply-accumulate, and target[x] = the XOR of row_c[source[x]] over the sources for the dot
// product.
#include "fec/gf.h"
#include "fec/gf_kernel.h"

void gf_mul_accumulate_table(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  const uint8_t* row = gf_product_table[m];
  int i = 0;
  for (; i + 16 <= nbytes; i += 16) {
    for (int j = 0; j < 16; j++) target[i + j] ^= row[source[i + j]];
  }
  for (; i < nbytes; i++) target[i] ^= row[source[i]];
}

void gf_dot_product_table(uint8_t* target, const uint8_t* const* sources,
                          const uint8_t* coefficients, int count, int nbytes) {
  if (nbytes <= 0) return;
  // The sources with a non-zero coefficient and their rows; the others add nothing.
  const uint8_t* from[GF_DOT_MAX_SOURCES];
  const uint8_t* rows[GF_DOT_MAX_SOURCES];
  int used = 0;
  for (int i = 0; i < count; i++) {
    if (coefficients[i] == 0) continue;
    from[used] = sources[i];
    rows[used] = gf_product_table[coefficients[i]];
    used++;
  }
  // Eight bytes at a time, their sums packed in one word, byte j in bits 8j .. 8j+7.
  int x = 0;
  for (; x + 8 <= nbytes; x += 8) {
    uint64_t sum = 0;
    for (int s = 0; s < used; s++) {
      const uint8_t* row = rows[s];
      const uint8_t* source = from[s] + x;
      for (int j = 0; j < 8; j++) sum ^= uint64_t{row[source[j]]} << (8 * j);
    }
    for (int j = 0; j < 8; j++) target[x + j] = static_cast<uint8_t>(sum >> (8 * j));
  }
  for (; x < nbytes; x++) {
    uint8_t sum = 0;
    for (int s = 0; s < used; s++) sum ^= rows[s][from[s][x]];
    target[x] = sum;
  }
}
