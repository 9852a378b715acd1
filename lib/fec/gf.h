// SPDX-License-Identifier: MIT
// gf.h - GF(2^8) arithmetic: the field tables and the multiply-accumulate and dot-product kernels.
//
// The field is GF(2^8) with the primitive polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D) and the
// generator alpha = x (the element 2). Sum and difference are XOR; products and inverses are
// look-ups.
#pragma once

#include <cstdint>

// Number of non-zero field elements, and the order of alpha.
constexpr int GF_SIZE = 255;

// The field's tables, worked out by the compiler and never written: read-only data that any number
// of codecs and threads share, with nothing to set up before the first use.
struct gf_field_tables {
  uint8_t pow[GF_SIZE];       // entry i = alpha^i
  int32_t log[GF_SIZE + 1];   // entry x = log_alpha(x); entry 0 = GF_SIZE
  uint8_t inv[GF_SIZE + 1];   // entry x = 1/x; entry 0 = 0
  uint8_t product[256][256];  // row a = the multiples of a
};
extern const gf_field_tables gf_tables;

// Each table by its own name.
inline constexpr const uint8_t (&gf_pow_table)[GF_SIZE] = gf_tables.pow;
inline constexpr const int32_t (&gf_log_table)[GF_SIZE + 1] = gf_tables.log;
inline constexpr const uint8_t (&gf_inv_table)[GF_SIZE + 1] = gf_tables.inv;
inline constexpr const uint8_t (&gf_product_table)[256][256] = gf_tables.product;

// x modulo 255 for any x >= 0, without a division.
int gf_reduce255(int x);

// The four functions below run the best kernels for this CPU (gf_best_kernel() in gf_kernel.h); a
// codec runs those its handle names.

// target[i] ^= m * source[i] for i in 0 .. nbytes-1; nbytes <= 0 changes nothing. Every caller
// skips m = 0 itself.
void gf_mul_accumulate(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

// The most sources one gf_dot_product() call takes: one per data packet of a codec.
constexpr int GF_DOT_MAX_SOURCES = 256;

// target[x] = XOR over i < count of coefficients[i] * sources[i][x], for x in 0 .. nbytes-1: the
// target is overwritten, each byte once, not accumulated into. count <= 0 gives an all-zero target;
// nbytes <= 0 reads and writes nothing. A source whose coefficient is 0 is never read (its pointer
// may be null). count is at most GF_DOT_MAX_SOURCES, and the target overlaps no source that is
// read.
void gf_dot_product(uint8_t* target, const uint8_t* const* sources, const uint8_t* coefficients,
                    int count, int nbytes);

// The most rows one gf_dot_products() or gf_dot_products_equal() call takes: one per packet of a
// codec.
constexpr int GF_DOT_MAX_ROWS = 256;

// gf_dot_product() for each r < rows: targets[r] gets the dot product with the coefficients
// coefficients[r * count ..]. A source whose coefficient is 0 in every row is never read. Made a
// stripe of every source at a time for all the rows, so that however long the sources are, the
// rows after the first read the stripe from the cache. rows is at most GF_DOT_MAX_ROWS, and no
// target overlaps a source or another target.
void gf_dot_products(uint8_t* const* targets, const uint8_t* const* sources,
                     const uint8_t* coefficients, int count, int rows, int nbytes);

// Whether, for every r < rows, XOR over i < count of coefficients[r * count + i] * sources[i][x]
// equals expected[r][x] for every x in 0 .. nbytes-1: the check that packets equal those a
// combination of others gives, without storing the combination. count is at most
// GF_DOT_MAX_SOURCES; every source is read, whatever its coefficient.
bool gf_dot_products_equal(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                           const uint8_t* const* expected, int rows, int nbytes);
