// SPDX-License-Identifier: MIT
// errors.cpp - errors decoding of one byte column (Gao's algorithm).
//
// With the A points a_t and values y_t: g0 = prod (x - a_t), g1 the polynomial of degree < A
// through the values. The extended Euclidean algorithm on (g0, g1), stopped at the first remainder
// g = u g0 + v g1 of degree < (A + k) / 2, leaves v as the error locator (up to a constant) and
// g = f v, f being the codeword's polynomial, whenever at most (A - k) / 2 values are wrong. The
// points may be any distinct field elements, 0 among them: nothing is divided by a point.
#include "fec/errors.h"

#include <cstring>
#include <utility>

#include "fec/gf.h"

namespace {

// Degree <= 256 (g0 has one more term than the most points); products stay within it, since the
// locator's degree never passes A - deg(remainder).
constexpr int max_terms = 2 * (GF_SIZE + 2);

struct poly {
  int deg = -1;  // -1 for the zero polynomial
  uint8_t c[max_terms];
};

uint8_t mul(uint8_t a, uint8_t b) { return gf_product_table[a][b]; }

void trim(poly& p) {
  while (p.deg >= 0 && p.c[p.deg] == 0) p.deg--;
}

uint8_t eval(const poly& p, uint8_t x) {
  uint8_t sum = 0;
  for (int d = p.deg; d >= 0; d--) sum = mul(sum, x) ^ p.c[d];
  return sum;
}

// quotient = a / b; a becomes the remainder. b is not zero.
void divide(poly& a, const poly& b, poly& quotient) {
  quotient.deg = a.deg - b.deg;
  if (quotient.deg < 0) {
    quotient.deg = -1;
    return;
  }
  memset(quotient.c, 0, static_cast<size_t>(quotient.deg) + 1);
  const uint8_t lead_inverse = gf_inv_table[b.c[b.deg]];
  for (int d = a.deg; d >= b.deg; d--) {
    if (a.c[d] == 0) continue;
    const uint8_t f = mul(a.c[d], lead_inverse);
    quotient.c[d - b.deg] = f;
    const uint8_t* row = gf_product_table[f];
    for (int i = 0; i <= b.deg; i++) a.c[d - b.deg + i] ^= row[b.c[i]];
  }
  a.deg = b.deg - 1;
  trim(a);
  trim(quotient);
}

// target += a * b.
void add_product(poly& target, const poly& a, const poly& b) {
  if (a.deg < 0 || b.deg < 0) return;
  const int deg = a.deg + b.deg;
  for (int d = target.deg + 1; d <= deg; d++) target.c[d] = 0;
  if (deg > target.deg) target.deg = deg;
  for (int i = 0; i <= a.deg; i++) {
    if (a.c[i] == 0) continue;
    const uint8_t* row = gf_product_table[a.c[i]];
    for (int j = 0; j <= b.deg; j++) target.c[i + j] ^= row[b.c[j]];
  }
  trim(target);
}

}  // namespace

uint8_t fec_point(int position) {
  return position == 0 ? 0 : gf_pow_table[gf_reduce255(position - 1)];
}

int fec_find_errors(int k, const int* positions, const uint8_t* values, int count, bool* wrong) {
  if (k < 1 || count < k || count > GF_SIZE + 1) return -1;
  uint8_t points[GF_SIZE + 1];
  for (int t = 0; t < count; t++) points[t] = fec_point(positions[t]);

  // g0 = prod (x - a_t), built one factor at a time.
  poly g0;
  g0.deg = 0;
  g0.c[0] = 1;
  for (int t = 0; t < count; t++) {
    g0.c[g0.deg + 1] = 0;
    for (int d = g0.deg + 1; d >= 1; d--) g0.c[d] = g0.c[d - 1] ^ mul(points[t], g0.c[d]);
    g0.c[0] = mul(points[t], g0.c[0]);
    g0.deg++;
  }

  // g1 = sum y_t * (g0 / (x - a_t)) / prod_{s != t} (a_t - a_s).
  poly g1;
  g1.deg = count - 1;
  memset(g1.c, 0, sizeof g1.c);
  for (int t = 0; t < count; t++) {
    if (values[t] == 0) continue;
    uint8_t denominator = 1;
    for (int s = 0; s < count; s++) {
      if (s != t) denominator = mul(denominator, points[t] ^ points[s]);
    }
    const uint8_t* row = gf_product_table[mul(values[t], gf_inv_table[denominator])];
    // Synthetic division of g0 by (x - a_t), the quotient's terms added in as they come.
    uint8_t carry = 0;
    for (int d = count; d >= 1; d--) {
      carry = g0.c[d] ^ mul(points[t], carry);
      g1.c[d - 1] ^= row[carry];
    }
  }
  trim(g1);

  // The extended Euclidean algorithm, carrying only the coefficient of g1.
  poly r0 = g0;
  poly r1 = g1;
  poly v0;
  poly v1;
  v1.deg = 0;
  v1.c[0] = 1;
  poly quotient;
  while (r1.deg >= 0 && 2 * r1.deg >= count + k) {
    divide(r0, r1, quotient);  // r0 becomes the remainder
    add_product(v0, quotient, v1);
    std::swap(r0, r1);
    std::swap(v0, v1);
  }

  // f = g / v, exactly, of degree < k.
  poly f;
  divide(r1, v1, f);
  if (r1.deg >= 0 || f.deg >= k) return -1;
  int errors = 0;
  for (int t = 0; t < count; t++) {
    wrong[t] = eval(f, points[t]) != values[t];
    errors += wrong[t] ? 1 : 0;
  }
  return 2 * errors <= count - k ? errors : -1;
}
