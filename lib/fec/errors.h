// SPDX-License-Identifier: MIT
// errors.h - finding the wrong values in one byte column of a chunk: errors decoding of the code.
//
// The code is a Reed-Solomon code. Row r of the Vandermonde matrix that the codec is built from
// evaluates a polynomial of degree < k at the point 0 (r = 0) or at alpha^(r-1) (r >= 1), and the
// systematic form only changes which polynomial stands for which data, not the set of codewords.
// So byte x of the packets at any set of distinct positions is the value at their points of one
// polynomial of degree < k, but where a packet is wrong. With A values, up to (A - k) / 2 wrong
// ones are found whatever they are, and no other codeword lies that near.
#pragma once

#include <cstdint>

// The point that packet `position` (0 .. 255) of any codec evaluates its polynomial at.
uint8_t fec_point(int position);

// Finds the codeword nearest to the count values: values[t] is byte x of the packet at
// positions[t] (distinct, 0 .. 255, any order), for a code of k data packets. When some codeword
// differs from the values in e places with 2e <= count - k (it is then the only one), marks those
// places in wrong[0 .. count-1] (the rest false) and returns e; otherwise returns -1 and leaves
// wrong[] undefined. Allocates nothing. Gao's algorithm: interpolation, then the extended
// Euclidean algorithm stopped half-way; about count^2 field operations.
int fec_find_errors(int k, const int* positions, const uint8_t* values, int count, bool* wrong);
