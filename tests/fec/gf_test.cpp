// SPDX-License-Identifier: MIT
// Tests of the GF(2^8) tables and the reduction modulo 255, against the field as defined
// (carry-less product reduced by 0x11D) and against known values, and of the tables being
// read-only data. The multiply-accumulate kernels have kernel_test.cpp.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "fec/gf.h"
#include "tests/fec/fec_test_util.h"

namespace {

using kestrune::test::field_mul;
using kestrune::test::field_mul_slow;
using kestrune::test::field_pow;
using kestrune::test::text;

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

TEST(GfTables, PowTableKnownEntries) {
  const uint8_t first[] = {1, 2, 4, 8, 16, 32, 64, 128, 29, 58, 116, 232, 205, 135, 19, 38, 76};
  for (int i = 0; i < 17; i++) EXPECT_EQ(gf_pow_table[i], first[i]) << "alpha^" << i;
  EXPECT_EQ(gf_pow_table[254], 142);
}

TEST(GfTables, PowTableHoldsThePowersOfTwoAndEachNonZeroElementOnce) {
  int seen[256] = {};
  for (int i = 0; i < GF_SIZE; i++) {
    EXPECT_EQ(gf_pow_table[i], field_pow(2, i)) << "alpha^" << i;
    seen[gf_pow_table[i]]++;
  }
  EXPECT_EQ(seen[0], 0);
  for (int x = 1; x < 256; x++) EXPECT_EQ(seen[x], 1) << "element " << x;
}

TEST(GfTables, LogTableKnownEntries) {
  struct Case {
    int x;
    int32_t log;
  };
  const Case cases[] = {{0, 255}, {1, 0}, {2, 1}, {3, 25}, {29, 8}, {142, 254}, {255, 175}};
  for (const Case& c : cases) EXPECT_EQ(gf_log_table[c.x], c.log) << "log " << c.x;
}

TEST(GfTables, LogTableInvertsThePowers) {
  for (int x = 1; x < 256; x++) {
    const int32_t log = gf_log_table[x];
    ASSERT_GE(log, 0) << "log " << x;
    ASSERT_LT(log, GF_SIZE) << "log " << x;
    EXPECT_EQ(field_pow(2, log), x) << "log " << x << " = " << log;
  }
}

TEST(GfTables, InvTableKnownEntries) {
  struct Case {
    int x;
    uint8_t inverse;
  };
  const Case cases[] = {{0, 0}, {1, 1}, {2, 142}, {3, 244}, {29, 131}, {142, 2}, {255, 253}};
  for (const Case& c : cases) EXPECT_EQ(gf_inv_table[c.x], c.inverse) << "1 / " << c.x;
}

TEST(GfTables, InvTableGivesTheInverseOfEveryNonZeroElement) {
  for (int x = 1; x < 256; x++) {
    EXPECT_EQ(field_mul(static_cast<uint8_t>(x), gf_inv_table[x]), 1) << "1 / " << x;
  }
}

TEST(GfTables, ProductTableKnownEntries) {
  struct Case {
    int a, b;
    uint8_t product;
  };
  const Case cases[] = {{2, 128, 29}, {128, 128, 19}, {3, 7, 9}, {2, 142, 1}, {255, 255, 226}};
  for (const Case& c : cases) {
    EXPECT_EQ(gf_product_table[c.a][c.b], c.product) << c.a << " * " << c.b;
  }
}

TEST(GfTables, ProductTableIsTheFieldProduct) {
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

// The permissions of the mapping of this process that holds `address`, as /proc/self/maps gives
// them ("r--p", "rw-p", ...); empty when no mapping holds it.
std::string mapping_permissions(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) return "";
  std::string permissions;
  unsigned long start = 0, end = 0;
  char perms[8] = {};
  char line[1024];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    if (std::sscanf(line, "%lx-%lx %7s", &start, &end, perms) == 3 && start <= at && at < end) {
      permissions = perms;
      break;
    }
  }
  std::fclose(maps);
  return permissions;
}

// The tables are constants that the process maps read-only: nothing can build them again or change
// them while codecs read them, and no call has to come first.
TEST(GfTables, LieInReadOnlyMemory) {
  const void* tables[] = {gf_pow_table, gf_log_table, gf_inv_table, gf_product_table,
                          &gf_product_table[255][255]};
  for (const void* table : tables) {
    const std::string permissions = mapping_permissions(table);
    ASSERT_EQ(permissions.size(), 4u) << "no mapping holds " << table;
    EXPECT_EQ(permissions[0], 'r') << permissions;
    EXPECT_EQ(permissions[1], '-') << "the mapping that holds a table is writable: " << permissions;
  }
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

}  // namespace
