// gf.h - GF(2^8) arithmetic: the field tables and the multiply-accumulate kernel.
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
// multiply-accumulate kernel for this CPU.
void gf_init_tables();

// x modulo 255 for any x >= 0, without a division.
int gf_reduce255(int x);

// target[i] ^= m * source[i] for i in 0 .. nbytes-1; nbytes <= 0 changes nothing. The tables must
// be built. Every caller skips m = 0 itself.
void gf_mul_accumulate(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);
