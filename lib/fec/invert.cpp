// SPDX-License-Identifier: MIT
// invert.cpp - in-place inversion of k x k matrices over GF(2^8): Vandermonde matrices by their
// interpolation formula, any other by Gauss-Jordan elimination.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fec/fec_internal.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"

namespace {

// The three blocks of vdm_invert(), each allocated only after the one before: one failure, one
// message.
struct vdm_work {
  uint8_t* coeff = nullptr;
  uint8_t* quot = nullptr;
  uint8_t* point = nullptr;

  bool allocate(int k, const fec_reporter& reporter) {
    coeff = static_cast<uint8_t*>(fec_alloc(k, FEC_LINE_LABEL, reporter));
    if (coeff != nullptr) quot = static_cast<uint8_t*>(fec_alloc(k, FEC_LINE_LABEL, reporter));
    if (quot != nullptr) point = static_cast<uint8_t*>(fec_alloc(k, FEC_LINE_LABEL, reporter));
    return point != nullptr;
  }
  ~vdm_work() {
    free(coeff);
    free(quot);
    free(point);
  }
};

// The four blocks of gauss_invert(), likewise.
struct gauss_work {
  int32_t* indxc = nullptr;
  int32_t* indxr = nullptr;
  int32_t* ipiv = nullptr;
  uint8_t* unit_row = nullptr;

  bool allocate(int k, const fec_reporter& reporter) {
    const size_t indices = sizeof(int32_t) * k;
    indxc = static_cast<int32_t*>(fec_alloc(indices, "indxc", reporter));
    if (indxc != nullptr) indxr = static_cast<int32_t*>(fec_alloc(indices, "indxr", reporter));
    if (indxr != nullptr) ipiv = static_cast<int32_t*>(fec_alloc(indices, "ipiv", reporter));
    if (ipiv != nullptr) {
      unit_row = static_cast<uint8_t*>(fec_alloc_zeroed(k, FEC_LINE_LABEL, reporter));
    }
    return unit_row != nullptr;
  }
  ~gauss_work() {
    free(indxc);
    free(indxr);
    free(ipiv);
    free(unit_row);
  }
};

}  // namespace

// The inverse of a Vandermonde matrix V (V(r, j) = x_r^j) has as column r the coefficients of the
// Lagrange polynomial Q_r(x) / Q_r(x_r), where Q_r = P / (x + x_r) and P is the product of (x +
// x_m) over all points. This costs O(k^2) products where a general elimination would cost O(k^3).
bool vdm_invert(uint8_t* matrix, int k, const fec_reporter& reporter) {
  if (k <= 1) return true;

  vdm_work work;
  if (!work.allocate(k, reporter)) return false;
  uint8_t* const coeff = work.coeff;
  uint8_t* const quot = work.quot;
  uint8_t* const point = work.point;

  memset(coeff, 0, k);
  for (int r = 0; r < k; r++) point[r] = matrix[r * k + 1];

  // P(x) = x^k + coeff[k-1] x^(k-1) + ... + coeff[0], built one factor at a time. Since point[0] is
  // 0, the constant term stays 0 and coeff[k-1-i] needs no update at step i.
  coeff[k - 1] = point[0];
  for (int i = 1; i < k; i++) {
    const uint8_t* times_point = gf_product_table[point[i]];
    for (int j = k - i; j < k - 1; j++) coeff[j] ^= times_point[coeff[j + 1]];
    coeff[k - 1] ^= point[i];
  }

  for (int r = 0; r < k; r++) {
    const uint8_t* times_x = gf_product_table[point[r]];
    // Synthetic division of P by (x + x_r); t ends as Q_r(x_r), non-zero for distinct points.
    quot[k - 1] = 1;
    uint8_t t = 1;
    for (int i = k - 2; i >= 0; i--) {
      quot[i] = coeff[i + 1] ^ times_x[quot[i + 1]];
      t = times_x[t] ^ quot[i];
    }
    const uint8_t* scale = gf_product_table[gf_inv_table[t]];
    for (int j = 0; j < k; j++) matrix[j * k + r] = scale[quot[j]];
  }
  return true;
}

// Any non-zero element serves as a pivot, so the search takes the first one it meets. The diagonal
// is tried first: for the decode matrices of distinct packet numbers it is always usable, and the
// rows of received data packets are unit rows, which need no elimination pass at all.
int gauss_invert(uint8_t* matrix, int k, const gf_kernel* kernel, const fec_reporter& reporter) {
  gauss_work work;
  if (!work.allocate(k, reporter)) return FEC_OUT_OF_MEMORY;
  int32_t* const indxc = work.indxc;
  int32_t* const indxr = work.indxr;
  int32_t* const ipiv = work.ipiv;
  uint8_t* const unit_row = work.unit_row;
  memset(ipiv, 0, sizeof(int32_t) * k);

  for (int col = 0; col < k; col++) {
    int irow = -1;
    int icol = -1;
    if (ipiv[col] != 1 && matrix[col * k + col] != 0) {
      irow = col;
      icol = col;
      ipiv[col]++;
    } else {
      // ipiv marks done rows and columns alike: a pivot always moves onto the diagonal.
      for (int r = 0; r < k && irow < 0; r++) {
        if (ipiv[r] == 1) continue;
        for (int j = 0; j < k; j++) {
          if (ipiv[j] == 0 && matrix[r * k + j] != 0) {
            irow = r;
            icol = j;
            break;
          }
        }
      }
      if (irow < 0) {
        fec_report(reporter, "%s", FEC_PIVOT_MSG);
        return 1;
      }
      ipiv[icol]++;
      if (irow != icol) {
        std::swap_ranges(matrix + irow * k, matrix + irow * k + k, matrix + icol * k);
      }
    }
    indxr[col] = irow;
    indxc[col] = icol;

    uint8_t* pivot_row = matrix + icol * k;
    const uint8_t v = pivot_row[icol];
    if (v != 1) {
      // Setting the pivot to 1 before scaling leaves 1/v there: the inverse's own entry.
      const uint8_t* scale = gf_product_table[gf_inv_table[v]];
      pivot_row[icol] = 1;
      for (int j = 0; j < k; j++) pivot_row[j] = scale[pivot_row[j]];
    }

    unit_row[icol] = 1;
    if (memcmp(pivot_row, unit_row, k) != 0) {
      for (int l = 0; l < k; l++) {
        if (l == icol) continue;
        uint8_t* row = matrix + l * k;
        const uint8_t f = row[icol];
        row[icol] = 0;
        if (f != 0) kernel->run(row, pivot_row, f, k);
      }
    }
    unit_row[icol] = 0;
  }

  for (int col = k - 1; col >= 0; col--) {
    const int r = indxr[col];
    const int j = indxc[col];
    if (r == j) continue;
    for (int row = 0; row < k; row++) std::swap(matrix[row * k + r], matrix[row * k + j]);
  }
  return 0;
}
