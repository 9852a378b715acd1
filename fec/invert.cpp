// invert.cpp - in-place inversion of a k x k matrix over GF(2^8) by Gauss-Jordan elimination.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fec/fec_internal.h"
#include "fec/gf.h"

// Any non-zero element serves as a pivot, so the search takes the first one it meets. The diagonal
// is tried first: for the decode matrices of distinct packet numbers it is always usable, and the
// rows of received data packets are unit rows, which need no elimination pass at all.
int gauss_invert(uint8_t* matrix, int k) {
  auto* indxc = static_cast<int32_t*>(fec_alloc(sizeof(int32_t) * k, "indxc"));
  auto* indxr = static_cast<int32_t*>(fec_alloc(sizeof(int32_t) * k, "indxr"));
  auto* ipiv = static_cast<int32_t*>(fec_alloc(sizeof(int32_t) * k, "ipiv"));
  auto* unit_row = static_cast<uint8_t*>(fec_alloc_zeroed(k, " ## __LINE__ ## "));
  memset(ipiv, 0, sizeof(int32_t) * k);

  int result = 1;
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
        fprintf(stderr, "XXX pivot not found!\n");
        goto done;
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
        if (f != 0) gf_mul_accumulate(row, pivot_row, f, k);
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
  result = 0;

done:
  free(indxc);
  free(indxr);
  free(ipiv);
  free(unit_row);
  return result;
}
