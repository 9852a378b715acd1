// Tests of the GF(2^8) tables, the reduction modulo 255 and the multiply-accumulate kernels, all
// against the field as defined (carry-less product reduced by 0x11D) and against known values.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "fec/fec.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"
#include "tests/fec/fec_test_util.h"

namespace {

using kestrune::test::CodePtr;
using kestrune::test::field_mul;
using kestrune::test::field_mul_row;
using kestrune::test::field_mul_slow;
using kestrune::test::field_pow;
using kestrune::test::Rng;
using kestrune::test::seed_note;
using kestrune::test::TailGuardedBytes;
using kestrune::test::test_seed;
using kestrune::test::text;

class GfTables : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gf_init_tables(); }
};

// The reference multiplication itself, against products known from elsewhere.
TEST(GfReference, AgreesWithKnownProducts) {
  struct Case {
    uint8_t a, b, product;
  };
  const Case cases[] = {{2, 128, 29},    {128, 128, 19}, {3, 7, 9},    {2, 142, 1},
                        {255, 255, 226}, {3, 244, 1},    {29, 131, 1}, {255, 253, 1}};
  for (const Case& c : cases) {
    EXPECT_EQ(field_mul_slow(c.a, c.b), c.product) << int{c.a} << " * " << int{c.b};
  }
}

TEST_F(GfTables, PowTableKnownEntries) {
  const uint8_t first[] = {1, 2, 4, 8, 16, 32, 64, 128, 29, 58, 116, 232, 205, 135, 19, 38, 76};
  for (int i = 0; i < 17; i++) EXPECT_EQ(gf_pow_table[i], first[i]) << "alpha^" << i;
  EXPECT_EQ(gf_pow_table[254], 142);
}

TEST_F(GfTables, PowTableHoldsThePowersOfTwoAndEachNonZeroElementOnce) {
  int seen[256] = {};
  for (int i = 0; i < GF_SIZE; i++) {
    EXPECT_EQ(gf_pow_table[i], field_pow(2, i)) << "alpha^" << i;
    seen[gf_pow_table[i]]++;
  }
  EXPECT_EQ(seen[0], 0);
  for (int x = 1; x < 256; x++) EXPECT_EQ(seen[x], 1) << "element " << x;
}

TEST_F(GfTables, LogTableKnownEntries) {
  struct Case {
    int x;
    int32_t log;
  };
  const Case cases[] = {{0, 255}, {1, 0}, {2, 1}, {3, 25}, {29, 8}, {142, 254}, {255, 175}};
  for (const Case& c : cases) EXPECT_EQ(gf_log_table[c.x], c.log) << "log " << c.x;
}

TEST_F(GfTables, LogTableInvertsThePowers) {
  for (int x = 1; x < 256; x++) {
    const int32_t log = gf_log_table[x];
    ASSERT_GE(log, 0) << "log " << x;
    ASSERT_LT(log, GF_SIZE) << "log " << x;
    EXPECT_EQ(field_pow(2, log), x) << "log " << x << " = " << log;
  }
}

TEST_F(GfTables, InvTableKnownEntries) {
  struct Case {
    int x;
    uint8_t inverse;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {2, 142}, {3, 244}, {29, 131}, {142, 2}, {255, 253}};
  for (const Case& c : cases) EXPECT_EQ(gf_inv_table[c.x], c.inverse) << "1 / " << c.x;
}

TEST_F(GfTables, InvTableGivesTheInverseOfEveryNonZeroElement) {
  for (int x = 1; x < 256; x++) {
    EXPECT_EQ(field_mul(static_cast<uint8_t>(x), gf_inv_table[x]), 1) << "1 / " << x;
  }
}

TEST_F(GfTables, ProductTableKnownEntries) {
  struct Case {
    int a, b;
    uint8_t product;
  };
  const Case cases[] = {{2, 128, 29}, {128, 128, 19}, {3, 7, 9}, {2, 142, 1}, {255, 255, 226}};
  for (const Case& c : cases) {
    EXPECT_EQ(gf_product_table[c.a][c.b], c.product) << c.a << " * " << c.b;
  }
}

TEST_F(GfTables, ProductTableIsTheFieldProduct) {
  int mismatches = 0;
  std::string first;
  for (int a = 0; a < 256; a++) {
    for (int b = 0; b < 256; b++) {
      const uint8_t expected = field_mul_slow(static_cast<uint8_t>(a), static_cast<uint8_t>(b));
      if (gf_product_table[a][b] != expected && mismatches++ == 0) {
        first = text(a, " * ", b, " is ", int{gf_product_table[a][b]}, ", not ", int{expected});
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "first: " << first;
  for (int x = 0; x < 256; x++) {
    EXPECT_EQ(gf_product_table[0][x], 0) << "row 0, column " << x;
    EXPECT_EQ(gf_product_table[x][0], 0) << "row " << x << ", column 0";
    for (int y = 0; y < x; y++) ASSERT_EQ(gf_product_table[x][y], gf_product_table[y][x]);
  }
}

TEST_F(GfTables, InitTablesDoesNotRebuildBuiltTables) {
  ASSERT_EQ(gf_tables_ready, 1);
  uint8_t& entry = gf_product_table[7][9];
  const uint8_t original = entry;
  struct Restore {
    uint8_t& entry;
    uint8_t value;
    ~Restore() { entry = value; }
  } restore{entry, original};

  entry = static_cast<uint8_t>(original ^ 0x5A);
  gf_init_tables();
  EXPECT_EQ(entry, original ^ 0x5A) << "gf_init_tables() rebuilt the tables";
  const CodePtr code(fec_create(2, 4));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(entry, original ^ 0x5A) << "fec_create() rebuilt the tables";
}

TEST(GfReduce255, KnownValues) {
  struct Case {
    int x, residue;
  };
  const Case cases[] = {{0, 0},     {1, 1},   {254, 254}, {255, 0},   {256, 1},
                        {509, 254}, {510, 0}, {999, 234}, {65025, 0}, {64769, 254}};
  for (const Case& c : cases) EXPECT_EQ(gf_reduce255(c.x), c.residue) << c.x;
}

TEST(GfReduce255, IsTheRemainderModulo255OverTheExponentSumRange) {
  for (int x = 0; x <= 254 * 255; x++) ASSERT_EQ(gf_reduce255(x), x % 255) << x;
}

// --- Multiply-accumulate ------------------------------------------------------------------------

constexpr int kCanary = 16;
constexpr uint8_t kCanaryByte = 0xC3;

// A target of `size` bytes at `offset` into a block, with canary bytes on both sides.
class CanaryTarget {
 public:
  CanaryTarget(const std::vector<uint8_t>& contents, int offset)
      : offset_(offset),
        size_(static_cast<int>(contents.size())),
        block_(offset + 2 * kCanary + contents.size(), kCanaryByte) {
    std::copy(contents.begin(), contents.end(), data());
  }
  uint8_t* data() { return block_.data() + offset_ + kCanary; }
  std::vector<uint8_t> contents() { return std::vector<uint8_t>(data(), data() + size_); }
  // Whether a byte outside the target changed.
  bool canaries_intact() const {
    for (int i = offset_; i < offset_ + kCanary; i++) {
      if (block_[i] != kCanaryByte) return false;
    }
    for (size_t i = offset_ + kCanary + size_; i < block_.size(); i++) {
      if (block_[i] != kCanaryByte) return false;
    }
    return true;
  }

 private:
  int offset_;
  int size_;
  std::vector<uint8_t> block_;
};

// The source bytes placed at the very end of readable memory.
class GuardedSource {
 public:
  explicit GuardedSource(const std::vector<uint8_t>& contents) : bytes_(contents.size()) {
    std::copy(contents.begin(), contents.end(), bytes_.data());
  }
  const uint8_t* data() { return bytes_.data(); }

 private:
  TailGuardedBytes bytes_;
};

std::vector<uint8_t> field_mul_accumulate(std::vector<uint8_t> target,
                                          const std::vector<uint8_t>& source, uint8_t m) {
  const uint8_t* times_m = field_mul_row(m);
  for (size_t i = 0; i < target.size(); i++) target[i] ^= times_m[source[i]];
  return target;
}

std::vector<uint8_t> random_bytes(Rng& rng, int size) {
  std::vector<uint8_t> bytes(size);
  for (uint8_t& b : bytes) b = rng.byte();
  return bytes;
}

class GfMulAccumulate : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gf_init_tables(); }
};

TEST_F(GfMulAccumulate, KnownAnswers) {
  struct Case {
    uint8_t m;
    std::vector<uint8_t> source, target, expected;
  };
  const Case cases[] = {
      {2, {128}, {0}, {29}},
      {3, {7, 0, 1}, {0, 5, 6}, {9, 5, 5}},
      {255, {255}, {1}, {227}},
      {142, {2, 4}, {1, 2}, {0, 0}},
      {1, {0x5A, 0xFF, 0x00, 0x81}, {0x0F, 0x0F, 0xF0, 0x81}, {0x55, 0xF0, 0xF0, 0x00}},  // XOR
      {0, {1, 2, 3}, {9, 8, 7}, {9, 8, 7}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(text("m = ", int{c.m}));
    GuardedSource source(c.source);
    CanaryTarget target(c.target, 0);
    gf_mul_accumulate(target.data(), source.data(), c.m, static_cast<int>(c.target.size()));
    EXPECT_EQ(target.contents(), c.expected);
    EXPECT_TRUE(target.canaries_intact());
  }
}

TEST_F(GfMulAccumulate, NonPositiveLengthChangesNothing) {
  const std::vector<uint8_t> before = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
  for (const int nbytes : {0, -1, -16, -17, INT_MIN}) {
    SCOPED_TRACE(text("nbytes = ", nbytes));
    GuardedSource source({});  // any read faults
    CanaryTarget target(before, 0);
    gf_mul_accumulate(target.data(), source.data(), 0x53, nbytes);
    EXPECT_EQ(target.contents(), before);
    EXPECT_TRUE(target.canaries_intact());
  }
}

// Lengths just below, at and just above multiples of a 16-byte block. The source bytes and the
// multiplier are non-zero, so every byte in range must change, the tail bytes included.
TEST_F(GfMulAccumulate, UpdatesEveryByteInRangeAndNoOther) {
  Rng rng(test_seed());
  SCOPED_TRACE(seed_note());
  for (const int nbytes : {1, 15, 16, 17, 31, 32, 33, 47, 48, 49}) {
    SCOPED_TRACE(text("nbytes = ", nbytes));
    std::vector<uint8_t> source_bytes(nbytes);
    for (uint8_t& b : source_bytes) b = rng.nonzero_byte();
    const std::vector<uint8_t> before = random_bytes(rng, nbytes);
    const uint8_t m = rng.nonzero_byte();
    GuardedSource source(source_bytes);
    CanaryTarget target(before, 0);
    gf_mul_accumulate(target.data(), source.data(), m, nbytes);
    EXPECT_EQ(target.contents(), field_mul_accumulate(before, source_bytes, m));
    EXPECT_TRUE(target.canaries_intact());
  }
}

// Runs `run` for every multiplier and every length 0 .. max_length and compares the result with
// the field. The source's end touches a guard page, so its start is misaligned in turn as the
// length grows; the target's offset from an allocation goes through 0 .. 3 with the multiplier.
template <typename Run>
void compare_with_field(Rng& rng, int max_length, Run run) {
  int mismatches = 0;
  std::string first;
  for (int nbytes = 0; nbytes <= max_length; nbytes++) {
    const std::vector<uint8_t> source_bytes = random_bytes(rng, nbytes);
    GuardedSource source(source_bytes);
    const std::vector<uint8_t> before = random_bytes(rng, nbytes);
    for (int m = 0; m < 256; m++) {
      const int offset = m % 4;
      CanaryTarget target(before, offset);
      run(target.data(), source.data(), static_cast<uint8_t>(m), nbytes);
      const bool ok = target.contents() ==
                          field_mul_accumulate(before, source_bytes, static_cast<uint8_t>(m)) &&
                      target.canaries_intact();
      if (!ok && mismatches++ == 0) {
        first = text("m ", m, ", nbytes ", nbytes, ", target offset ", offset);
      }
    }
  }
  EXPECT_EQ(mismatches, 0) << "first wrong result: " << first;
}

TEST_F(GfMulAccumulate, MatchesTheFieldForEveryMultiplierLengthAndAlignment) {
  Rng rng(test_seed() ^ 1);
  SCOPED_TRACE(seed_note());
  compare_with_field(rng, 70, gf_mul_accumulate);
}

TEST_F(GfMulAccumulate, KernelListEndsWithThePlainKernelAndTheBestSupportedIsActive) {
  int count = 0;
  const gf_kernel* kernels = gf_kernel_list(&count);
  ASSERT_GE(count, 1);
  const gf_kernel& plain = kernels[count - 1];
  EXPECT_STREQ(plain.name, "table");
  EXPECT_EQ(plain.run, &gf_mul_accumulate_table);
  EXPECT_TRUE(plain.supported());

  const gf_kernel* best = nullptr;
  for (int i = 0; i < count && best == nullptr; i++) {
    if (kernels[i].supported()) best = &kernels[i];
  }
  EXPECT_EQ(gf_active_kernel(), best);
}

// Every kernel this CPU runs, called directly and as the one gf_mul_accumulate() dispatches to,
// against the field; lengths run past a few vector widths. The plain kernel is among them, so the
// loop has work on every CPU, and a faster variant that matches the field matches the plain kernel.
TEST_F(GfMulAccumulate, EverySupportedKernelMatchesTheField) {
  int count = 0;
  const gf_kernel* kernels = gf_kernel_list(&count);
  struct Restore {
    const gf_kernel* kernel;
    ~Restore() { gf_use_kernel(kernel); }
  } restore{gf_active_kernel()};

  for (int i = 0; i < count; i++) {
    const gf_kernel& kernel = kernels[i];
    if (!kernel.supported()) continue;
    SCOPED_TRACE(text("kernel ", kernel.name));
    Rng rng(test_seed() ^ 2);
    SCOPED_TRACE(seed_note());
    compare_with_field(rng, 140, kernel.run);

    for (const int nbytes : {-1, -16, -64, INT_MIN}) {
      GuardedSource source({});
      const std::vector<uint8_t> before = random_bytes(rng, 80);
      CanaryTarget target(before, 1);
      kernel.run(target.data(), source.data(), 0x53, nbytes);
      EXPECT_EQ(target.contents(), before) << "nbytes " << nbytes;
      EXPECT_TRUE(target.canaries_intact()) << "nbytes " << nbytes;
    }

    gf_use_kernel(&kernel);
    ASSERT_EQ(gf_active_kernel(), &kernel);
    for (const int nbytes : {1000, 4097}) {
      const std::vector<uint8_t> source_bytes = random_bytes(rng, nbytes);
      GuardedSource source(source_bytes);
      const std::vector<uint8_t> before = random_bytes(rng, nbytes);
      for (const uint8_t m : {uint8_t{1}, uint8_t{2}, uint8_t{0x8E}, uint8_t{0xFF}}) {
        CanaryTarget target(before, 3);
        gf_mul_accumulate(target.data(), source.data(), m, nbytes);
        EXPECT_EQ(target.contents(), field_mul_accumulate(before, source_bytes, m))
            << "nbytes " << nbytes << ", m " << int{m};
        EXPECT_TRUE(target.canaries_intact());
      }
    }
  }
}

}  // namespace
