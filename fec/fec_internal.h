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

// Allocates nbytes (not cleared); on failure writes "-- malloc failure allocating %s\n" with label
// and ends the process with exit status 1.
void* fec_alloc(size_t nbytes, const char* label);

// As fec_alloc(), with the block filled with zeros.
void* fec_alloc_zeroed(size_t nbytes, const char* label);

// Replaces the k x k Vandermonde matrix of the distinct points matrix(r, 1), point 0 being 0, by
// its inverse. Only column 1 is read.
void vdm_invert(uint8_t* matrix, int k);

// product (rows x cols) = left (rows x inner) * right (inner x cols); product overlaps neither.
void gf_matrix_product(const uint8_t* left, const uint8_t* right, uint8_t* product, int rows,
                       int inner, int cols);

// Inverts the k x k matrix in place by Gauss-Jordan elimination, with the multiply-accumulate
// kernel of `kernel`; 0 on success, 1 after "XXX pivot not found!\n" when it is singular.
int gauss_invert(uint8_t* matrix, int k, const gf_kernel* kernel);

// Moves every data packet into the slot of its own number; 1 when a data packet number occurs
// twice.
int fec_reorder_pkts(uint8_t** pkts, int32_t* pkt_nos, int k);

// The inverse of the matrix of encode_matrix rows named by pkt_nos (k*k bytes, freed by the caller
// with free()), or null when a number is out of range or the matrix is singular.
uint8_t* fec_decode_matrix(const fec_code* code, const int32_t* pkt_nos);
