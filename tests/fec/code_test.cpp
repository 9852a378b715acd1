// SPDX-License-Identifier: MIT
// Tests of building a codec (its encoding matrix), the Vandermonde inversion and matrix product it
// is built with, producing packets, releasing a codec, and the allocator's failure exit.
#include <gtest/gtest.h>

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
using kestrune::test::Matrix;
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
  const CodePtr code(fec_create(c.k, c.n));
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
  // Captured by name: clang 14 cannot capture structured bindings.
  EXPECT_EQ(capture_stderr([&, k = k, n = n] { raw = fec_create(k, n); }), "");
  const CodePtr code(raw);
  ASSERT_NE(code, nullptr);
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
    const CodePtr code(fec_create(1, n));
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(rows_of(*code, 0, n), Matrix(n, 1)) << "n " << n;
  }
}

class FecCreateInvalid : public ::testing::TestWithParam<Shape> {};

TEST_P(FecCreateInvalid, ReturnsNullWithAMessage) {
  const auto [k, n] = GetParam();
  fec_code* code = nullptr;
  const std::string message = capture_stderr([&, k = k, n = n] { code = fec_create(k, n); });
  EXPECT_EQ(code, nullptr);
  EXPECT_EQ(message, text("Invalid parameters k ", k, " n ", n, " GF_SIZE 255\n"));
  const CodePtr owned(code);
}

INSTANTIATE_TEST_SUITE_P(Codes, FecCreateInvalid,
                         ::testing::Values(Shape{5, 4}, Shape{257, 257}, Shape{14, 257},
                                           Shape{256, 257}, Shape{0, 5}, Shape{0, 0}, Shape{-1, 3},
                                           Shape{1, 0}),
                         [](const ::testing::TestParamInfo<Shape>& info) {
                           const auto name = [](int v) {
                             return v < 0 ? text("minus", -v) : text(v);
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
    vdm_invert(m.data(), c.k);
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
    vdm_invert(inverse.data(), k);
    EXPECT_EQ(field_matrix_product(v, inverse, k, k, k), identity_matrix(k));

    Matrix scrambled = v;
    for (size_t at = 0; at < scrambled.size(); at++) {
      if (at % k != 1) scrambled[at] = rng.byte();
    }
    vdm_invert(scrambled.data(), k);
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
  const CodePtr code(fec_create(2, 4));
  ASSERT_NE(code, nullptr);
  uint8_t d0[] = {97, 98}, d1[] = {99, 100};
  uint8_t* const data[] = {d0, d1};
  const Matrix expected[] = {{97, 98}, {99, 100}, {101, 110}, {105, 122}};
  for (int pkt_no = 0; pkt_no < 4; pkt_no++) {
    Matrix target = {0xEE, 0xEE};
    const std::string message =
        capture_stderr([&] { fec_encode_pkt(code.get(), data, target.data(), pkt_no, 2); });
    EXPECT_EQ(target, expected[pkt_no]) << "packet " << pkt_no;
    EXPECT_EQ(message, "");
  }
  EXPECT_EQ(Matrix(d0, d0 + 2), (Matrix{97, 98}));
  EXPECT_EQ(Matrix(d1, d1 + 2), (Matrix{99, 100}));
}

// Every packet of a few codes, over a target holding old bytes: data packets are copies, parity
// packets the field combination given by their encode_matrix row. The byte after the target must
// stay as it was. Every buffer has that extra byte, so no pointer is null, even for size 0.
TEST(FecEncodePkt, EveryPacketIsItsRowTimesTheDataPackets) {
  for (const auto [k, n] : {Shape{1, 3}, Shape{3, 5}, Shape{14, 18}, Shape{32, 48}}) {
    const CodePtr code(fec_create(k, n));
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

TEST(FecEncodePkt, InvalidIndexWritesAMessageAndLeavesTheTarget) {
  const CodePtr code(fec_create(2, 4));
  ASSERT_NE(code, nullptr);
  uint8_t d0[] = {97, 98}, d1[] = {99, 100};
  uint8_t* const data[] = {d0, d1};
  for (const int pkt_no : {4, 5, 255, INT_MAX, -1, -2, INT_MIN}) {
    Matrix target = {0xEE, 0x11};
    const std::string message =
        capture_stderr([&] { fec_encode_pkt(code.get(), data, target.data(), pkt_no, 2); });
    EXPECT_EQ(message, text("Invalid index ", pkt_no, " (max 3)\n"));
    EXPECT_EQ(target, (Matrix{0xEE, 0x11})) << "packet " << pkt_no;
  }
}

// --- fec_free and fec_alloc ---------------------------------------------------------------------

TEST(FecFree, NullWritesAMessage) {
  EXPECT_EQ(capture_stderr([] { fec_free(nullptr); }), "bad parameters to fec_free\n");
}

TEST(FecFree, CodeIsReleasedSilently) {
  fec_code* code = fec_create(14, 18);
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(capture_stderr([&] { fec_free(code); }), "");
}

// The text without the lines the sanitizer runtime writes itself ("==<pid>==WARNING:
// AddressSanitizer failed to allocate ..."): they are not the codec's output.
std::string without_sanitizer_lines(const std::string& text) {
  std::string kept;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string line = text.substr(start, end - start);
    if (line.rfind("==", 0) != 0 || line.find("Sanitizer") == std::string::npos) kept += line;
    start = end;
  }
  return kept;
}

// Matches standard error output that is exactly `expected` once sanitizer lines are dropped.
class CodecOutputIs : public ::testing::MatcherInterface<const std::string&> {
 public:
  explicit CodecOutputIs(std::string expected) : expected_(std::move(expected)) {}
  bool MatchAndExplain(const std::string& text,
                       ::testing::MatchResultListener* listener) const override {
    const std::string own = without_sanitizer_lines(text);
    *listener << "without sanitizer lines: \"" << own << "\"";
    return own == expected_;
  }
  void DescribeTo(std::ostream* out) const override {
    *out << "is exactly \"" << expected_ << "\", sanitizer lines aside";
  }

 private:
  std::string expected_;
};

::testing::Matcher<const std::string&> codec_output_is(std::string expected) {
  return ::testing::MakeMatcher(new CodecOutputIs(std::move(expected)));
}

TEST(FecAllocDeathTest, FailureWritesTheLabelAndExitsWithStatusOne) {
  EXPECT_EXIT(fec_alloc(SIZE_MAX, "label"), ::testing::ExitedWithCode(1),
              codec_output_is(("-- malloc failure allocating label\n")));
  EXPECT_EXIT(fec_alloc_zeroed(SIZE_MAX, "new pkt buffer"), ::testing::ExitedWithCode(1),
              codec_output_is(("-- malloc failure allocating new pkt buffer\n")));
}

}  // namespace
