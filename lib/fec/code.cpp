// SPDX-License-Identifier: MIT
// code.cpp - building a codec (the systematic encoding matrix), producing packets, and the codec's
// messages and allocations.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fec/fec.h"
#include "fec/fec_internal.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"

void fec_report(const fec_reporter& reporter, const char* format, ...) {
  if (reporter.report == nullptr) return;
  char line[256];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  reporter.report(reporter.user, line);
}

namespace {

void report_malloc_failure(const fec_reporter& reporter, const char* label) {
  fec_report(reporter, "-- malloc failure allocating %s\n", label);
}

}  // namespace

void* fec_alloc(size_t nbytes, const char* label, const fec_reporter& reporter) {
  void* block = malloc(nbytes > 0 ? nbytes : 1);
  if (block == nullptr) report_malloc_failure(reporter, label);
  return block;
}

void* fec_alloc_zeroed(size_t nbytes, const char* label, const fec_reporter& reporter) {
  void* block = calloc(nbytes > 0 ? nbytes : 1, 1);
  if (block == nullptr) report_malloc_failure(reporter, label);
  return block;
}

void gf_matrix_product(const uint8_t* left, const uint8_t* right, uint8_t* product, int rows,
                       int inner, int cols) {
  for (int i = 0; i < rows; i++) {
    for (int j = 0; j < cols; j++) {
      uint8_t sum = 0;
      for (int l = 0; l < inner; l++)
        sum ^= gf_product_table[left[i * inner + l]][right[l * cols + j]];
      product[i * cols + j] = sum;
    }
  }
}

namespace {

// Releases the codec and what it holds; what it does not hold yet is null.
void release(fec_code* code) {
  free(code->encode_matrix);
  free(code->last_inverse);
  free(code->last_pkt_nos);
  if (code->scratch != nullptr) free(code->scratch->bytes);
  free(code->scratch);
  free(code);
}

}  // namespace

fec_code* fec_create(int k, int n, const fec_reporter* reporter) {
  const fec_reporter to = reporter != nullptr ? *reporter : fec_reporter{nullptr, nullptr};
  if (k < 1 || n < k || k > GF_SIZE + 1 || n > GF_SIZE + 1) {
    fec_report(to, "Invalid parameters k %d n %d GF_SIZE %d\n", k, n, GF_SIZE);
    return nullptr;
  }

  // Zeroed, so that a codec left half-built by a failed allocation is released like a whole one.
  auto* code = static_cast<fec_code*>(fec_alloc_zeroed(sizeof(fec_code), "new_code", to));
  if (code == nullptr) return nullptr;
  code->k = k;
  code->n = n;
  code->kernel = gf_best_kernel();
  code->reporter = to;
  const size_t size = static_cast<size_t>(n) * k;
  code->encode_matrix = static_cast<uint8_t*>(fec_alloc(size, FEC_LINE_LABEL, to));
  if (code->encode_matrix == nullptr) {
    release(code);
    return nullptr;
  }
  auto* vdm = static_cast<uint8_t*>(fec_alloc(size, FEC_LINE_LABEL, to));
  if (vdm == nullptr) {
    release(code);
    return nullptr;
  }

  // Row 0 is the point 0; row r >= 1 is the point alpha^(r-1). The n points are distinct for n <=
  // 256.
  vdm[0] = 1;
  memset(vdm + 1, 0, k - 1);
  for (int r = 1; r < n; r++) {
    for (int j = 0; j < k; j++) vdm[r * k + j] = gf_pow_table[gf_reduce255((r - 1) * j)];
  }

  // encode_matrix = V * T with T the inverse of V's top block: the top block becomes the identity,
  // and any k rows are k rows of a Vandermonde matrix times the invertible T.
  if (!vdm_invert(vdm, k, to)) {
    free(vdm);
    release(code);
    return nullptr;
  }
  if (n > k) {
    gf_matrix_product(vdm + k * k, vdm, code->encode_matrix + k * k, n - k, k, k);
  }
  memset(code->encode_matrix, 0, static_cast<size_t>(k) * k);
  for (int d = 0; d < k; d++) code->encode_matrix[d * k + d] = 1;
  // Each allocation only after the one before succeeded: one failure, one message.
  code->last_inverse =
      static_cast<uint8_t*>(fec_alloc(static_cast<size_t>(k) * k, FEC_LINE_LABEL, to));
  if (code->last_inverse != nullptr) {
    code->last_pkt_nos = static_cast<int32_t*>(fec_alloc(sizeof(int32_t) * k, FEC_LINE_LABEL, to));
  }
  if (code->last_pkt_nos != nullptr) {
    code->scratch =
        static_cast<fec_scratch*>(fec_alloc_zeroed(sizeof(fec_scratch), FEC_LINE_LABEL, to));
  }
  free(vdm);
  if (code->scratch == nullptr) {
    release(code);
    return nullptr;
  }
  code->last_pkt_nos[0] = -1;
  return code;
}

void fec_use_kernel(fec_code* code, const gf_kernel* kernel) { code->kernel = kernel; }

void fec_encode_pkt(const fec_code* code, uint8_t* const* pkts, uint8_t* target, int pkt_no,
                    int pkt_size) {
  const int k = code->k;
  if (pkt_size < 0) pkt_size = 0;
  if (pkt_no >= 0 && pkt_no < k) {
    if (pkt_size > 0) memmove(target, pkts[pkt_no], pkt_size);
    return;
  }
  if (pkt_no < 0 || pkt_no >= code->n) {
    fec_report(code->reporter, "Invalid index %d (max %d)\n", pkt_no, code->n - 1);
    return;
  }
  if (pkt_size == 0) return;
  const uint8_t* row = code->encode_matrix + static_cast<size_t>(pkt_no) * k;
  code->kernel->dot(target, pkts, row, k, pkt_size);
}

void fec_encode_parity(const fec_code* code, const uint8_t* const* pkts, uint8_t* const* targets,
                       int first, int count, int pkt_size) {
  const int k = code->k;
  gf_dot_products_with(code->kernel, targets, pkts,
                       code->encode_matrix + static_cast<size_t>(first) * k, k, count, pkt_size);
}

bool fec_pkts_equal(const fec_code* code, const uint8_t* const* pkts, const int32_t* pkt_nos,
                    const uint8_t* const* expected, int count, int pkt_size) {
  const int k = code->k;
  if (pkt_size <= 0) return true;
  for (int t = 0; t < count;) {
    const int32_t first = pkt_nos[t];
    if (first < k) {
      if (memcmp(pkts[first], expected[t], static_cast<size_t>(pkt_size)) != 0) return false;
      t++;
      continue;
    }
    // A run of consecutive parity numbers takes consecutive rows of the matrix.
    int run = 1;
    while (t + run < count && pkt_nos[t + run] == first + run) run++;
    if (!gf_dot_products_equal_with(code->kernel, pkts,
                                    code->encode_matrix + static_cast<size_t>(first) * k, k,
                                    expected + t, run, pkt_size)) {
      return false;
    }
    t += run;
  }
  return true;
}

void fec_free(fec_code* code, const fec_reporter* reporter) {
  if (code == nullptr) {
    if (reporter != nullptr) fec_report(*reporter, "bad parameters to fec_free\n");
    return;
  }
  release(code);
}
