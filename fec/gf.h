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

// Process-wide tables, built once by gf_init_tables() and read-only afterwards.
extern uint8_t gf_pow_table[GF_SIZE];       // entry i = alpha^i
extern int32_t gf_log_table[GF_SIZE + 1];   // entry x = log_alpha(x); entry 0 = GF_SIZE
extern uint8_t gf_inv_table[GF_SIZE + 1];   // entry x = 1/x; entry 0 = 0
extern uint8_t gf_product_table[256][256];  // row a = the multiples of a
extern uint8_t gf_tables_ready;             // 1 once the tables above are complete

// Builds the tables when they are not built yet; returns at once otherwise. Also chooses the
// kernels for this CPU.
void gf_init_tables();

// x modulo 255 for any x >= 0, without a division.
int gf_reduce255(int x);

// target[i] ^= m * source[i] for i in 0 .. nbytes-1; nbytes <= 0 changes nothing. The tables must
// be built. Every caller skips m = 0 itself.
void gf_mul_accumulate(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

// The most sources one gf_dot_product() call takes: one per data packet of a codec.
constexpr int GF_DOT_MAX_SOURCES = 256;

// target[x] = XOR over i < count of coefficients[i] * sources[i][x], for x in 0 .. nbytes-1: the
// target is overwritten, each byte once, not accumulated into. count <= 0 gives an all-zero target;
// nbytes <= 0 reads and writes nothing. A source whose coefficient is 0 is never read (its pointer
// may be null). count is at most GF_DOT_MAX_SOURCES, the target overlaps no source that is read,
// and the tables must be built.
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
// GF_DOT_MAX_SOURCES; every source is read, whatever its coefficient; the tables must be built.
bool gf_dot_products_equal(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                           const uint8_t* const* expected, int rows, int nbytes);
