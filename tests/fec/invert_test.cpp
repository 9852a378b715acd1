// SPDX-License-Identifier: MIT
// Tests of gauss_invert(), the general k x k inversion behind decoding: known inverses, singular
// matrices, random invertible matrices whose product with the result must be the identity (with
// every multiply-accumulate kernel this CPU runs), and running out of memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/cpu.h"
#include "fec/fec_internal.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"
#include "tests/fec/failing_malloc.h"
#include "tests/fec/fec_test_util.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/random.h"

namespace {

using kestrune::test::capture_stderr;
using kestrune::test::field_matrix_product;
using kestrune::test::field_mul;
using kestrune::test::identity_matrix;
using kestrune::test::MallocWatch;
using kestrune::test::Matrix;
using kestrune::test::Reports;
using kestrune::test::seeded_random;
using kestrune::test::text;

const char kPivotNotFound[] = "XXX pivot not found!\n";

class GaussInvert : public ::testing::Test {
 protected:
  struct Outcome {
    int result;
    std::string message;  // what was reported
    std::string written;  // what went to standard error: nothing, ever
    Matrix matrix;
  };
  static Outcome invert(Matrix matrix, int k, const gf_kernel* kernel = gf_best_kernel()) {
    Outcome outcome{-1, "", "", {}};
    Reports reports;
    outcome.written = capture_stderr(
        [&] { outcome.result = gauss_invert(matrix.data(), k, kernel, *reports.reporter()); });
    outcome.message = reports.take();
    outcome.matrix = matrix;
    return outcome;
  }
};

TEST_F(GaussInvert, KnownInverses) {
  struct Case {
    const char* what;
    int k;
    Matrix matrix, inverse;
  };
  const Case cases[] = {
      {"[2]", 1, {2}, {142}},
      {"[1]", 1, {1}, {1}},
      {"identity", 3, identity_matrix(3), identity_matrix(3)},
      {"exchange", 2, {0, 1, 1, 0}, {0, 1, 1, 0}},
      {"[[1,1],[1,2]]", 2, {1, 1, 1, 2}, {245, 244, 244, 244}},
      {"[[1,2],[3,4]]", 2, {1, 2, 3, 4}, {2, 1, 143, 142}},
      {"permutation", 3, {0, 0, 1, 1, 0, 0, 0, 1, 0}, {0, 1, 0, 0, 0, 1, 1, 0, 0}},
      {"Vandermonde of 0, 1, 2",
       3,
       {1, 0, 0, 1, 1, 1, 1, 2, 4},
       {1, 0, 0, 143, 245, 122, 142, 244, 122}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = invert(c.matrix, c.k);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.message, "");
    EXPECT_EQ(outcome.written, "");
    EXPECT_EQ(outcome.matrix, c.inverse);
    EXPECT_EQ(field_matrix_product(c.matrix, c.inverse, c.k, c.k, c.k), identity_matrix(c.k));
  }
}

TEST_F(GaussInvert, SingularMatricesFail) {
  struct Case {
    const char* what;
    int k;
    Matrix matrix;
  };
  const Case cases[] = {
      {"[0]", 1, {0}},
      {"zero 2 x 2", 2, {0, 0, 0, 0}},
      {"second row twice the first", 2, {1, 2, 2, 4}},
      {"two equal rows", 3, {1, 2, 3, 4, 5, 6, 1, 2, 3}},
      {"two equal rows apart", 4, {7, 0, 9, 1, 0, 3, 0, 0, 5, 5, 5, 5, 7, 0, 9, 1}},
      {"zero row", 3, {1, 2, 3, 0, 0, 0, 4, 5, 6}},
      {"zero column", 3, {1, 0, 3, 4, 0, 6, 7, 0, 9}},
      {"third row the sum of the others", 3, {1, 2, 3, 4, 5, 6, 5, 7, 5}},
      {"unit rows and a repeated row", 4, {1, 0, 0, 0, 15, 8, 6, 2, 0, 0, 1, 0, 15, 8, 6, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome outcome = invert(c.matrix, c.k);
    EXPECT_EQ(outcome.result, 1);
    EXPECT_EQ(outcome.message, kPivotNotFound);
    EXPECT_EQ(outcome.written, "");
  }
}

// P * L * U with L lower and U upper triangular with non-zero diagonals and P a row permutation:
// invertible by construction. Off-diagonal entries are zero with probability zero_percent, so the
// sparse ones have zeros on the diagonal and need pivots from other rows and columns.
Matrix random_invertible(seeded_random& rng, int k, int zero_percent) {
  Matrix lower(static_cast<size_t>(k) * k, 0), upper(static_cast<size_t>(k) * k, 0);
  for (int i = 0; i < k; i++) {
    for (int j = 0; j < k; j++) {
      const size_t at = static_cast<size_t>(i) * k + j;
      if (i == j) {
        lower[at] = rng.nonzero_byte();
        upper[at] = rng.nonzero_byte();
      } else if (rng.below(100) >= zero_percent) {
        (i > j ? lower : upper)[at] = rng.byte();
      }
    }
  }
  const Matrix lu = field_matrix_product(lower, upper, k, k, k);
  std::vector<int> order(k);
  for (int i = 0; i < k; i++) order[i] = i;
  rng.shuffle(order);
  Matrix permuted(lu.size());
  for (int i = 0; i < k; i++) {
    for (int j = 0; j < k; j++)
      permuted[static_cast<size_t>(i) * k + j] = lu[static_cast<size_t>(order[i]) * k + j];
  }
  return permuted;
}

TEST_F(GaussInvert, RandomInvertibleMatrices) {
  seeded_random rng(5);
  int count = 0;
  const gf_kernel* kernels = gf_kernel_list(&count);
  std::vector<const gf_kernel*> usable;
  for (int i = 0; i < count; i++) {
    if (kernels[i].level <= cpu_level_detected()) usable.push_back(&kernels[i]);
  }
  int case_number = 0;
  for (const int k : {1, 2, 3, 4, 5, 8, 13, 32, 64, 100}) {
    for (const int zero_percent : {0, 50, 90}) {
      for (int round = 0; round < 3; round++) {
        const gf_kernel& kernel = *usable[case_number++ % usable.size()];
        SCOPED_TRACE(
            text("k ", k, ", ", zero_percent, "% zeros, round ", round, ", kernel ", kernel.name));
        const Matrix matrix = random_invertible(rng, k, zero_percent);
        const Outcome outcome = invert(matrix, k, &kernel);
        ASSERT_EQ(outcome.result, 0);
        EXPECT_EQ(outcome.message, "");
        ASSERT_EQ(field_matrix_product(matrix, outcome.matrix, k, k, k), identity_matrix(k));
      }
    }
  }
}

// An invertible matrix with one row replaced by a combination of two others.
TEST_F(GaussInvert, RandomSingularMatrices) {
  seeded_random rng(6);
  for (const int k : {2, 3, 5, 16, 50}) {
    for (const int zero_percent : {0, 90}) {
      for (int round = 0; round < 3; round++) {
        SCOPED_TRACE(text("k ", k, ", ", zero_percent, "% zeros, round ", round));
        Matrix matrix = random_invertible(rng, k, zero_percent);
        const int target = rng.below(k);
        const int a = (target + 1 + rng.below(k - 1)) % k;
        const int b = (target + 1 + rng.below(k - 1)) % k;
        const uint8_t ca = rng.nonzero_byte(), cb = rng.byte();
        for (int j = 0; j < k; j++) {
          matrix[static_cast<size_t>(target) * k + j] =
              field_mul(ca, matrix[static_cast<size_t>(a) * k + j]) ^
              field_mul(cb, matrix[static_cast<size_t>(b) * k + j]);
        }
        const Outcome outcome = invert(matrix, k);
        EXPECT_EQ(outcome.result, 1);
        EXPECT_EQ(outcome.message, kPivotNotFound);
      }
    }
  }
}

// Each of the four work areas made to fail in turn: FEC_OUT_OF_MEMORY with the area's message, the
// matrix as it was, and every area allocated before the failure released.
TEST_F(GaussInvert, OutOfMemoryReportsAndLeavesTheMatrix) {
  const char* const labels[] = {"indxc", "indxr", "ipiv", FEC_LINE_LABEL};
  const Matrix matrix = {1, 2, 3, 4};
  for (int fail_at = 1; fail_at <= 4; fail_at++) {
    SCOPED_TRACE(text("allocation ", fail_at, " fails"));
    Matrix copy = matrix;
    Reports reports;
    int result = -1, calls = 0, outstanding = -1;
    {
      MallocWatch watch(fail_at);
      result = gauss_invert(copy.data(), 2, gf_best_kernel(), *reports.reporter());
      calls = watch.calls();
      outstanding = watch.outstanding();
    }
    EXPECT_EQ(result, FEC_OUT_OF_MEMORY);
    EXPECT_EQ(calls, fail_at);
    EXPECT_EQ(outstanding, 0);
    EXPECT_EQ(reports.take(), text("-- malloc failure allocating ", labels[fail_at - 1], "\n"));
    EXPECT_EQ(copy, matrix);
  }
}

}  // namespace
