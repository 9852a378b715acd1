// gf_kernel_table.cpp - the plain multiply-accumulate kernel: target[i] ^= row_m[source[i]].
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
