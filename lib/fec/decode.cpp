// SPDX-License-Identifier: MIT
// decode.cpp - rebuilding the k data packets of a chunk from any k of its n packets.
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fec/fec.h"
#include "fec/fec_internal.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"

// Data packets reach their own slots by pointer exchange; their bytes are never copied. Each
// exchange settles one data packet for good, so there are at most k of them. Negative numbers are
// left where they are; fec_decode_matrix() rejects them.
int fec_reorder_pkts(uint8_t** pkts, int32_t* pkt_nos, int k) {
  int i = 0;
  while (i < k) {
    const int32_t v = pkt_nos[i];
    if (v >= 0 && v < k && v != i) {
      if (pkt_nos[v] == v) return 1;
      pkt_nos[i] = pkt_nos[v];
      pkt_nos[v] = v;
      std::swap(pkts[i], pkts[v]);
    } else {
      i++;
    }
  }
  return 0;
}

int fec_decode_matrix(const fec_code* code, const int32_t* pkt_nos, uint8_t** inverse) {
  const int k = code->k;
  *inverse = nullptr;
  auto* matrix =
      static_cast<uint8_t*>(fec_alloc(static_cast<size_t>(k) * k, FEC_LINE_LABEL, code->reporter));
  if (matrix == nullptr) return FEC_OUT_OF_MEMORY;
  for (int r = 0; r < k; r++) {
    uint8_t* row = matrix + r * k;
    const int32_t number = pkt_nos[r];
    if (number < 0 || number >= code->n) {
      fec_report(code->reporter, "decode: invalid index %d (max %d)\n", number, code->n - 1);
      free(matrix);
      return 1;
    }
    if (number < k) {
      memset(row, 0, k);
      row[r] = 1;
    } else {
      memcpy(row, code->encode_matrix + static_cast<size_t>(number) * k, k);
    }
  }
  const int inverted = gauss_invert(matrix, k, code->kernel, code->reporter);
  if (inverted != 0) {
    free(matrix);
    return inverted;
  }
  *inverse = matrix;
  return 0;
}

int fec_decode_pkts(const fec_code* code, uint8_t** pkts, int32_t* pkt_nos, int pkt_size) {
  const int k = code->k;
  if (pkt_size < 0) pkt_size = 0;
  if (fec_reorder_pkts(pkts, pkt_nos, k) != 0) return 1;
  const size_t matrix_size = static_cast<size_t>(k) * k;
  const size_t nos_size = sizeof(int32_t) * k;
  const uint8_t* inverse = code->last_inverse;
  if (code->last_pkt_nos[0] < 0 || memcmp(pkt_nos, code->last_pkt_nos, nos_size) != 0) {
    uint8_t* made = nullptr;
    const int result = fec_decode_matrix(code, pkt_nos, &made);
    if (result != 0) return result;
    memcpy(code->last_inverse, made, matrix_size);
    memcpy(code->last_pkt_nos, pkt_nos, nos_size);
    free(made);
  }

  // Row r of the inverse gives data packet r from the packets at hand. Every new packet reads the
  // parity packets that the write-back overwrites, so all are complete before any is written back.
  // gf_dot_products() writes every byte of its targets, so the new buffers need no clearing.
  // The rows of the missing data packets, made together into the codec's scratch area.
  int missing = 0;
  for (int r = 0; r < k; r++) missing += pkt_nos[r] >= k ? 1 : 0;
  if (missing == 0 || pkt_size == 0) return 0;
  fec_scratch& scratch = *code->scratch;
  const size_t needed = static_cast<size_t>(missing) * static_cast<size_t>(pkt_size);
  if (scratch.size < needed) {
    free(scratch.bytes);
    scratch.size = 0;
    scratch.bytes = static_cast<uint8_t*>(fec_alloc(needed, "new pkt buffer", code->reporter));
    if (scratch.bytes == nullptr) return FEC_OUT_OF_MEMORY;
    scratch.size = needed;
  }
  auto* new_pkts =
      static_cast<uint8_t**>(fec_alloc(sizeof(uint8_t*) * k, "new pkt pointers", code->reporter));
  if (new_pkts == nullptr) return FEC_OUT_OF_MEMORY;
  auto* rows = static_cast<uint8_t*>(fec_alloc(matrix_size, "new pkt rows", code->reporter));
  if (rows == nullptr) {
    free(new_pkts);
    return FEC_OUT_OF_MEMORY;
  }
  missing = 0;
  for (int r = 0; r < k; r++) {
    if (pkt_nos[r] < k) continue;
    new_pkts[missing] = scratch.bytes + static_cast<size_t>(missing) * pkt_size;
    memcpy(rows + missing * k, inverse + r * k, k);
    missing++;
  }
  gf_dot_products_with(code->kernel, new_pkts, pkts, rows, k, missing, pkt_size);
  missing = 0;
  for (int r = 0; r < k; r++) {
    if (pkt_nos[r] < k) continue;
    memcpy(pkts[r], new_pkts[missing], pkt_size);
    missing++;
  }
  free(rows);
  free(new_pkts);
  return 0;
}
