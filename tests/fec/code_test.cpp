// SPDX-License-Identifier: MIT
// Tests of building a codec (its encoding matrix), the Vandermonde inversion and matrix product it
// is built with, producing packets, releasing a codec, the codec's messages, and running out of
// memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fec/fec.h"
#include "fec/fec_internal.h"
#include "fec/gf.h"
#include "tests/fec/failing_malloc.h"
#include "tests/fec/fec_test_util.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/random.h"

namespace {

using kestrune::test::capture_stderr;
using kestrune::test::CodePtr;
using kestrune::test::data_packet;
using kestrune::test::expected_packet;
using kestrune::test::field_matrix_product;
using kestrune::test::field_pow;
using kestrune::test::identity_matrix;
using kestrune::test::MallocWatch;
using kestrune::test::Matrix;
using kestrune::test::Reports;
using kestrune::test::seeded_random;
using kestrune::test::text;
using kestrune::test::vandermonde;

Matrix rows_of(const fec_code& code, int first, int count) {
  const uint8_t* begin = code.encode_matrix + static_cast<size_t>(first) * code.k;
  return Matrix(begin, begin + static_cast<size_t>(count) * code.k);
}

// --- fec_create ---------------------------------------------------------------------------------

struct KnownRows {
  int k, n, first_row;
  Matrix rows;  // rows first_row .. n-1, row-major
};

void PrintTo(const KnownRows& c, std::ostream* out) {
  *out << "code (" << c.k << ", " << c.n << "), rows " << c.first_row << " on";
}

class FecCreateKnownRows : public ::testing::TestWithParam<KnownRows> {};

TEST_P(FecCreateKnownRows, EncodeMatrixRows) {
  const KnownRows& c = GetParam();
  const CodePtr code(fec_create(c.k, c.n, nullptr));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(rows_of(*code, c.first_row, c.n - c.first_row), c.rows);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FecCreateKnownRows,
    ::testing::Values(KnownRows{2, 4, 0, {1, 0, 0, 1, 3, 2, 5, 4}},
                      KnownRows{3, 5, 3, {15, 8, 6, 45, 48, 28}},
                      KnownRows{
                          14, 18, 14, {0x76, 0xa3, 0x49, 0x9b, 0x3d, 0x42, 0x81, 0x1f, 0x34, 0xa3,
                                       0x0d, 0x4b, 0x39, 0x0f, 0xbe, 0x3f, 0x33, 0x03, 0xdd, 0xc4,
                                       0x9e, 0x24, 0x2e, 0x0b, 0xe8, 0x83, 0x31, 0x6c, 0x46, 0xb1,
                                       0x16, 0x4a, 0x0a, 0x07, 0xac, 0x4e, 0x06, 0x9f, 0x8d, 0x19,
                                       0x27, 0x6f, 0x24, 0x49, 0x43, 0xdf, 0x04, 0x16, 0xf1, 0x5d,
                                       0x30, 0x4f, 0x0e, 0xa1, 0xf6, 0x68}}),
    [](const ::testing::TestParamInfo<KnownRows>& info) {
      return text("k", info.param.k, "_n", info.param.n);
    });

struct Shape {
  int k, n;
};

void PrintTo(const Shape& shape, std::ostream* out) {
  *out << "(" << shape.k << ", " << shape.n << ")";
}

std::string shape_name(const ::testing::TestParamInfo<Shape>& info) {
  return text("k", info.param.k, "_n", info.param.n);
}

class FecCreateShapes : public ::testing::TestWithParam<Shape> {};

// The encode matrix is the Vandermonde matrix V of the points 0, 1, 2, 4, ..., alpha^(n-2) times
// the inverse of its top k x k block: the top k rows are the identity, and the parity rows P
// satisfy P * V_top = V_bottom, which is checked here with the field worked out from its
// definition.
TEST_P(FecCreateShapes, EncodeMatrixIsTheSystematicVandermondeMatrix) {
  const auto [k, n] = GetParam();
  fec_code* raw = nullptr;
  Reports reports;
  // Captured by name: clang 14 cannot capture structured bindings.
  EXPECT_EQ(capture_stderr([&, k = k, n = n] { raw = fec_create(k, n, reports.reporter()); }), "");
  const CodePtr code(raw);
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(reports.take(), "");
  EXPECT_EQ(code->k, k);
  EXPECT_EQ(code->n, n);
  EXPECT_EQ(rows_of(*code, 0, k), identity_matrix(k));

  std::vector<uint8_t> points(n, 0);
  for (int r = 1; r < n; r++) points[r] = field_pow(2, r - 1);
  const Matrix v = vandermonde(points, k);
  const Matrix v_top(v.begin(), v.begin() + static_cast<size_t>(k) * k);
  const Matrix v_bottom(v.begin() + static_cast<size_t>(k) * k, v.end());
  EXPECT_EQ(field_matrix_product(rows_of(*code, k, n - k), v_top, n - k, k, k), v_bottom);
}

INSTANTIATE_TEST_SUITE_P(Codes, FecCreateShapes,
                         ::testing::Values(Shape{1, 1}, Shape{1, 2}, Shape{1, 256}, Shape{2, 2},
                                           Shape{2, 4}, Shape{3, 5}, Shape{7, 7}, Shape{5, 12},
                                           Shape{14, 18}, Shape{32, 48}, Shape{100, 200},
                                           Shape{128, 255}, Shape{200, 256}, Shape{255, 256},
                                           Shape{256, 256}),
                         shape_name);

TEST(FecCreate, OneDataPacketMakesEveryRowOne) {
  for (const int n : {1, 2, 3, 17, 255, 256}) {
    const CodePtr code(fec_create(1, n, nullptr));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(rows_of(*code, 0, n), Matrix(n, 1)) << "n " << n;
  }
}

class FecCreateInvalid : public ::testing::TestWithParam<Shape> {};

TEST_P(FecCreateInvalid, ReturnsNullWithAMessage) {
  const auto [k, n] = GetParam();
  fec_code* code = nullptr;
  Reports reports;
  const std::string written =
      capture_stderr([&, k = k, n = n] { code = fec_create(k, n, reports.reporter()); });
  EXPECT_EQ(code, nullptr);
  EXPECT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.take(), text("Invalid parameters k ", k, " n ", n, " GF_SIZE 255\n"));
  EXPECT_EQ(written, "");
  const CodePtr owned(code);
}

INSTANTIATE_TEST_SUITE_P(Codes, FecCreateInvalid,
                         ::testing::Values(Shape{5, 4}, Shape{257, 257}, Shape{14, 257},
                                           Shape{256, 257}, Shape{0, 5}, Shape{0, 0}, Shape{-1, 3},
                                           Shape{1, 0}, Shape{INT_MIN, INT_MAX}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           const auto name = [](int v) {
                             return v < 0 ? text("minus", -static_cast<long>(v)) : text(v);
                           };
                           return text("k", name(info.param.k), "_n", name(info.param.n));
                         });

// --- vdm_invert and gf_matrix_product -----------------------------------------------------------

TEST(FecMatrices, VdmInvertKnownAnswers) {
  struct Case {
    int k;
    Matrix matrix, inverse;
  };
  const Case cases[] = {
      {1, {1}, {1}},
      {3, {1, 0, 0, 1, 1, 1, 1, 2, 4}, {1, 0, 0, 143, 245, 122, 142, 244, 122}},
  };
  for (const Case& c : cases) {
    Matrix m = c.matrix;
    EXPECT_TRUE(vdm_invert(m.data(), c.k, fec_reporter{}));
    EXPECT_EQ(m, c.inverse) << "k " << c.k;
  }
}

// Vandermonde matrices of the point 0 followed by distinct non-zero points in random order, up to
// all 256 points of the field. Only column 1 (the points) is read: with every other column
// scrambled the result is the same.
TEST(FecMatrices, VdmInvertGivesTheInverse) {
  seeded_random rng(3);
  std::vector<uint8_t> nonzero(255);
  for (int i = 0; i < 255; i++) nonzero[i] = static_cast<uint8_t>(i + 1);
  for (const int k : {2, 3, 4, 5, 16, 17, 64, 200, 256}) {
    SCOPED_TRACE(text("k ", k));
    rng.shuffle(nonzero);
    std::vector<uint8_t> points = {0};
    points.insert(points.end(), nonzero.begin(), nonzero.begin() + (k - 1));
    const Matrix v = vandermonde(points, k);
    Matrix inverse = v;
    ASSERT_TRUE(vdm_invert(inverse.data(), k, fec_reporter{}));
    EXPECT_EQ(field_matrix_product(v, inverse, k, k, k), identity_matrix(k));

    Matrix scrambled = v;
    for (size_t at = 0; at < scrambled.size(); at++) {
      if (at % k != 1) scrambled[at] = rng.byte();
    }
    ASSERT_TRUE(vdm_invert(scrambled.data(), k, fec_reporter{}));
    EXPECT_EQ(scrambled, inverse) << "a column other than 1 was read";
  }
}

TEST(FecMatrices, MatrixProductKnownAnswers) {
  struct Case {
    int rows, inner, cols;
    Matrix left, right, product;
  };
  const Case cases[] = {
      // A 2 x 2 matrix times its inverse.
      {2, 2, 2, {1, 2, 3, 4}, {2, 1, 143, 142}, {1, 0, 0, 1}},
      // Rows 3 and 4 of the Vandermonde matrix of the (3, 5) code, times the inverse of its top
      // block: the code's parity rows.
      {2,
       3,
       3,
       {1, 4, 16, 1, 8, 64},
       {1, 0, 0, 143, 245, 122, 142, 244, 122},
       {15, 8, 6, 45, 48, 28}},
      {1, 3, 1, {2, 3, 7}, {128, 7, 3}, {29 ^ 9 ^ 9}},
      {2, 1, 3, {2, 128}, {128, 142, 1}, {29, 1, 2, 19, 64, 128}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(text(c.rows, " x ", c.inner, " times ", c.inner, " x ", c.cols));
    Matrix product(c.product.size(), 0xA5);
    gf_matrix_product(c.left.data(), c.right.data(), product.data(), c.rows, c.inner, c.cols);
    EXPECT_EQ(product, c.product);
  }
}

TEST(FecMatrices, MatrixProductMatchesTheField) {
  seeded_random rng(4);
  const int sizes[] = {1, 2, 3, 7, 16, 33};
  for (const int rows : sizes) {
    for (const int inner : sizes) {
      for (const int cols : sizes) {
        Matrix left(static_cast<size_t>(rows) * inner), right(static_cast<size_t>(inner) * cols);
        for (uint8_t& x : left) x = rng.byte();
        for (uint8_t& x : right) x = rng.byte();
        Matrix product(static_cast<size_t>(rows) * cols, 0xA5);
        gf_matrix_product(left.data(), right.data(), product.data(), rows, inner, cols);
        ASSERT_EQ(product, field_matrix_product(left, right, rows, inner, cols))
            << rows << " x " << inner << " times " << inner << " x " << cols;
      }
    }
  }
}

// --- fec_encode_pkt -----------------------------------------------------------------------------

TEST(FecEncodePkt, KnownPacketsOfTheTwoFourCode) {
  Reports reports;
  const CodePtr code(fec_create(2, 4, reports.reporter()));
  ASSERT_NE(code, nullptr);
  uint8_t d0[] = {97, 98}, d1[] = {99, 100};
  uint8_t* const data[] = {d0, d1};
  const Matrix expected[] = {{97, 98}, {99, 100}, {101, 110}, {105, 122}};
  for (int pkt_no = 0; pkt_no < 4; pkt_no++) {
    Matrix target = {0xEE, 0xEE};
    fec_encode_pkt(code.get(), data, target.data(), pkt_no, 2);
    EXPECT_EQ(target, expected[pkt_no]) << "packet " << pkt_no;
    EXPECT_EQ(reports.take(), "");
  }
  EXPECT_EQ(Matrix(d0, d0 + 2), (Matrix{97, 98}));
  EXPECT_EQ(Matrix(d1, d1 + 2), (Matrix{99, 100}));
}

// Every packet of a few codes, over a target holding old bytes: data packets are copies, parity
// packets the field combination given by their encode_matrix row. The byte after the target must
// stay as it was. Every buffer has that extra byte, so no pointer is null, even for size 0.
TEST(FecEncodePkt, EveryPacketIsItsRowTimesTheDataPackets) {
  for (const auto [k, n] : {Shape{1, 3}, Shape{3, 5}, Shape{14, 18}, Shape{32, 48}}) {
    const CodePtr code(fec_create(k, n, nullptr));
    ASSERT_NE(code, nullptr);
    for (const int pkt_size : {0, 1, 7, 33}) {
      std::vector<std::vector<uint8_t>> data;
      std::vector<uint8_t*> pointers;
      for (int i = 0; i < k; i++) data.push_back(data_packet(i, pkt_size + 1));
      for (auto& packet : data) pointers.push_back(packet.data());
      for (int pkt_no = 0; pkt_no < n; pkt_no++) {
        std::vector<uint8_t> target(pkt_size + 1, 0x5C);
        fec_encode_pkt(code.get(), pointers.data(), target.data(), pkt_no, pkt_size);
        std::vector<uint8_t> expected = expected_packet(*code, pkt_no, pkt_size);
        expected.push_back(0x5C);
        ASSERT_EQ(target, expected)
            << "code (" << k << ", " << n << "), packet " << pkt_no << ", size " << pkt_size;
      }
      for (int i = 0; i < k; i++) {
        ASSERT_EQ(data[i], data_packet(i, pkt_size + 1)) << "data packet " << i << " changed";
      }
    }
  }
}

TEST(FecEncodePkt, InvalidIndexReportsAndLeavesTheTarget) {
  Reports reports;
  const CodePtr code(fec_create(2, 4, reports.reporter()));
  ASSERT_NE(code, nullptr);
  uint8_t d0[] = {97, 98}, d1[] = {99, 100};
  uint8_t* const data[] = {d0, d1};
  for (const int pkt_no : {4, 5, 255, INT_MAX, -1, -2, INT_MIN}) {
    Matrix target = {0xEE, 0x11};
    const std::string written =
        capture_stderr([&] { fec_encode_pkt(code.get(), data, target.data(), pkt_no, 2); });
    EXPECT_EQ(reports.count(), 1);
    EXPECT_EQ(reports.take(), text("Invalid index ", pkt_no, " (max 3)\n"));
    EXPECT_EQ(written, "");
    EXPECT_EQ(target, (Matrix{0xEE, 0x11})) << "packet " << pkt_no;
  }
}

// --- fec_free -----------------------------------------------------------------------------------

TEST(FecFree, NullReportsAMessage) {
  Reports reports;
  EXPECT_EQ(capture_stderr([&] { fec_free(nullptr, reports.reporter()); }), "");
  EXPECT_EQ(reports.count(), 1);
  EXPECT_EQ(reports.take(), "bad parameters to fec_free\n");
}

TEST(FecFree, CodeIsReleasedSilently) {
  Reports reports;
  fec_code* code = fec_create(14, 18, reports.reporter());
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(capture_stderr([&] { fec_free(code, reports.reporter()); }), "");
  EXPECT_EQ(reports.take(), "");
}

// --- Where messages go --------------------------------------------------------------------------

// Every message a codec has, from calls that fail in each way, with its reporter null or without a
// report function: nothing is reported anywhere and nothing breaks.
TEST(FecReporter, NullReporterAndNullFunctionDropMessages) {
  int untouched = 0;
  const fec_reporter no_function{nullptr, &untouched};
  for (const fec_reporter* reporter : {static_cast<const fec_reporter*>(nullptr), &no_function}) {
    SCOPED_TRACE(reporter == nullptr ? "null reporter" : "null report function");
    const std::string written = capture_stderr([&] {
      EXPECT_EQ(fec_create(5, 4, reporter), nullptr);
      fec_free(nullptr, reporter);
      {
        MallocWatch watch(1);
        EXPECT_EQ(fec_create(3, 5, reporter), nullptr);
      }
      const CodePtr code(fec_create(2, 4, reporter));
      ASSERT_NE(code, nullptr);
      uint8_t d0[] = {97, 98}, d1[] = {99, 100};
      uint8_t* data[] = {d0, d1};
      uint8_t target[2] = {};
      fec_encode_pkt(code.get(), data, target, 4, 2);
      int32_t out_of_range[] = {0, 4};
      EXPECT_EQ(fec_decode_pkts(code.get(), data, out_of_range, 2), 1);
      int32_t repeated_parity[] = {3, 3};
      EXPECT_EQ(fec_decode_pkts(code.get(), data, repeated_parity, 2), 1);
    });
    EXPECT_EQ(written, "");
  }
  EXPECT_EQ(untouched, 0);
}

// A codec keeps a copy of the reporter it was given, and its messages go to its own reporter only.
TEST(FecReporter, EachCodecReportsToItsOwnCopy) {
  Reports first_reports, second_reports;
  CodePtr first, second;
  {
    const fec_reporter copy = *first_reports.reporter();
    first.reset(fec_create(2, 4, &copy));
  }
  second.reset(fec_create(3, 6, second_reports.reporter()));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  uint8_t d0[] = {1}, d1[] = {2}, d2[] = {3};
  uint8_t* data[] = {d0, d1, d2};
  uint8_t target[1] = {};
  fec_encode_pkt(first.get(), data, target, 9, 1);
  EXPECT_EQ(first_reports.take(), "Invalid index 9 (max 3)\n");
  EXPECT_EQ(second_reports.take(), "");
  fec_encode_pkt(second.get(), data, target, -3, 1);
  EXPECT_EQ(first_reports.take(), "");
  EXPECT_EQ(second_reports.take(), "Invalid index -3 (max 5)\n");
}

// --- Running out of memory ----------------------------------------------------------------------

TEST(FecAlloc, FailureReportsTheLabelAndReturnsNull) {
  for (const char* label : {"label", "new pkt buffer", FEC_LINE_LABEL}) {
    for (const bool zeroed : {false, true}) {
      SCOPED_TRACE(text(zeroed ? "fec_alloc_zeroed" : "fec_alloc", " \"", label, "\""));
      Reports reports;
      // A size no heap has room for, then a small one made to fail.
      void* block = zeroed ? fec_alloc_zeroed(SIZE_MAX, label, *reports.reporter())
                           : fec_alloc(SIZE_MAX, label, *reports.reporter());
      EXPECT_EQ(block, nullptr);
      EXPECT_EQ(reports.take(), text("-- malloc failure allocating ", label, "\n"));
      const std::string written = capture_stderr([&] {
        MallocWatch watch(1);
        block = zeroed ? fec_alloc_zeroed(16, label, *reports.reporter())
                       : fec_alloc(16, label, *reports.reporter());
      });
      EXPECT_EQ(block, nullptr);
      EXPECT_EQ(reports.count(), 1);
      EXPECT_EQ(reports.take(), text("-- malloc failure allocating ", label, "\n"));
      EXPECT_EQ(written, "");
    }
  }
}

TEST(FecAlloc, ZeroedBlockHoldsZeros) {
  for (const size_t size : {size_t{1}, size_t{17}, size_t{4096}}) {
    auto* block = static_cast<uint8_t*>(fec_alloc_zeroed(size, "zeros", fec_reporter{}));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(std::count(block, block + size, 0), static_cast<long>(size)) << size << " bytes";
    free(block);
  }
}

// The labels of fec_create()'s allocations, in order: the codec, its encoding matrix, the
// Vandermonde matrix, the three work areas of its inversion (for k > 1), then the decoding matrix,
// its packet numbers and the scratch area.
std::vector<std::string> create_labels(int k) {
  std::vector<std::string> labels = {"new_code", FEC_LINE_LABEL, FEC_LINE_LABEL};
  if (k > 1) labels.insert(labels.end(), 3, FEC_LINE_LABEL);
  labels.insert(labels.end(), 3, FEC_LINE_LABEL);
  return labels;
}

class FecCreateOutOfMemory : public ::testing::TestWithParam<Shape> {};

// Each allocation of fec_create() made to fail in turn: null, the allocation's message once and
// nothing on standard error, no allocation after the failed one, and every block the call had
// allocated released.
TEST_P(FecCreateOutOfMemory, EachFailureReportsAndReleasesEverything) {
  const auto [k, n] = GetParam();
  const std::vector<std::string> labels = create_labels(k);
  {
    MallocWatch watch;
    fec_code* code = fec_create(k, n, nullptr);
    ASSERT_NE(code, nullptr);
    fec_free(code, nullptr);
    ASSERT_EQ(watch.calls(), static_cast<int>(labels.size()));
    ASSERT_EQ(watch.outstanding(), 0);
  }
  for (int fail_at = 1; fail_at <= static_cast<int>(labels.size()); fail_at++) {
    SCOPED_TRACE(text("allocation ", fail_at, " fails"));
    Reports reports;
    fec_code* code = nullptr;
    int calls = 0, outstanding = -1;
    const std::string written = capture_stderr([&, k = k, n = n] {
      MallocWatch watch(fail_at);
      code = fec_create(k, n, reports.reporter());
      calls = watch.calls();
      outstanding = watch.outstanding();
    });
    const CodePtr owned(code);
    EXPECT_EQ(code, nullptr);
    EXPECT_EQ(calls, fail_at);
    EXPECT_EQ(outstanding, 0);
    EXPECT_EQ(reports.count(), 1);
    EXPECT_EQ(reports.take(), text("-- malloc failure allocating ", labels[fail_at - 1], "\n"));
    EXPECT_EQ(written, "");
  }
}

INSTANTIATE_TEST_SUITE_P(Codes, FecCreateOutOfMemory,
                         ::testing::Values(Shape{1, 1}, Shape{1, 3}, Shape{2, 4}, Shape{14, 18},
                                           Shape{256, 256}),
                         shape_name);

}  // namespace
