// SPDX-License-Identifier: MIT
// fec_internal.h - the codec's own building blocks, shared by its source files and its tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fec/fec.h"

struct gf_kernel;

// Two of the codec's fixed texts look odd and are kept exactly as they stand, since scripts and
// logs match the codec's output as it is: the label that every temporary allocation names in
// fec_alloc()'s failure message (the line-number macro that was never expanded),
inline constexpr const char* FEC_LINE_LABEL = " ## __LINE__ ## ";
// and the message of a singular matrix.
inline constexpr const char* FEC_PIVOT_MSG = "XXX pivot not found!\n";

// Formats the message as printf() does into a line of at most 255 bytes (what passes is cut off)
// and hands it to the reporter; without a report function it is dropped.
void fec_report(const fec_reporter& reporter, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Allocates nbytes (not cleared); on failure reports "-- malloc failure allocating %s\n" with label
// and returns null.
void* fec_alloc(size_t nbytes, const char* label, const fec_reporter& reporter);

// As fec_alloc(), with the block filled with zeros.
void* fec_alloc_zeroed(size_t nbytes, const char* label, const fec_reporter& reporter);

// Replaces the k x k Vandermonde matrix of the distinct points matrix(r, 1), point 0 being 0, by
// its inverse. Only column 1 is read. False when memory runs out (after fec_alloc()'s report),
// with the matrix as it was.
bool vdm_invert(uint8_t* matrix, int k, const fec_reporter& reporter);

// product (rows x cols) = left (rows x inner) * right (inner x cols); product overlaps neither.
void gf_matrix_product(const uint8_t* left, const uint8_t* right, uint8_t* product, int rows,
                       int inner, int cols);

// Inverts the k x k matrix in place by Gauss-Jordan elimination, with the multiply-accumulate
// kernel of `kernel`: 0 on success; 1 after "XXX pivot not found!\n" when it is singular, the
// matrix then partly eliminated; FEC_OUT_OF_MEMORY when memory runs out, the matrix as it was.
int gauss_invert(uint8_t* matrix, int k, const gf_kernel* kernel, const fec_reporter& reporter);

// Moves every data packet into the slot of its own number; 1 when a data packet number occurs
// twice.
int fec_reorder_pkts(uint8_t** pkts, int32_t* pkt_nos, int k);

// Puts into *inverse the inverse of the matrix of encode_matrix rows named by pkt_nos (k*k bytes,
// freed by the caller with free()) and returns 0; or returns as fec_decode_pkts() does, 1 when a
// number is out of range or the matrix is singular and FEC_OUT_OF_MEMORY, with *inverse null.
int fec_decode_matrix(const fec_code* code, const int32_t* pkt_nos, uint8_t** inverse);
