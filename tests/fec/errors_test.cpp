// SPDX-License-Identifier: MIT
// Tests of the errors decoder: against a search of every codeword on small codes, and at the
// radius's edge on large ones. The codewords come from the codec's own encoder, one byte per
// packet, so the tests also hold the decoder to the codec's points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "fec/errors.h"
#include "fec/fec.h"
#include "tests/fec/fec_test_util.h"
#include "tests/support/random.h"

namespace {

using kestrune::test::CodePtr;
using kestrune::test::field_mul_row;
using kestrune::test::seeded_random;

// The column of the codeword of `data` (k bytes) at the given positions, from the encoder.
std::vector<uint8_t> encode_column(const fec_code* code, const std::vector<uint8_t>& data,
                                   const std::vector<int>& positions) {
  std::vector<uint8_t> bytes = data;
  std::vector<uint8_t*> packets;
  for (uint8_t& b : bytes) packets.push_back(&b);
  std::vector<uint8_t> column;
  for (const int p : positions) {
    uint8_t value = 0;
    fec_encode_pkt(code, packets.data(), &value, p, 1);
    column.push_back(value);
  }
  return column;
}

// Whether the values at the places not marked wrong form one codeword: the first k of them
// rebuild the data, which must give every other one.
bool rest_is_codeword(const fec_code* code, const std::vector<int>& positions,
                      const std::vector<uint8_t>& values, const std::vector<char>& wrong) {
  std::vector<uint8_t> bytes;
  std::vector<int32_t> numbers;
  for (size_t t = 0; t < positions.size() && static_cast<int>(numbers.size()) < code->k; t++) {
    if (wrong[t]) continue;
    bytes.push_back(values[t]);
    numbers.push_back(positions[t]);
  }
  if (static_cast<int>(numbers.size()) < code->k) return false;
  std::vector<uint8_t*> packets;
  for (uint8_t& b : bytes) packets.push_back(&b);
  if (fec_decode_pkts(code, packets.data(), numbers.data(), 1) != 0) return false;
  std::vector<uint8_t> data;
  for (uint8_t* p : packets) data.push_back(*p);
  const std::vector<uint8_t> column = encode_column(code, data, positions);
  for (size_t t = 0; t < positions.size(); t++) {
    if (!wrong[t] && column[t] != values[t]) return false;
  }
  return true;
}

int call(int k, const std::vector<int>& positions, const std::vector<uint8_t>& values,
         std::vector<char>& wrong) {
  bool marks[256] = {};
  const int count = static_cast<int>(positions.size());
  const int e = fec_find_errors(k, positions.data(), values.data(), count, marks);
  wrong.assign(marks, marks + count);
  return e;
}

std::vector<int> distinct_positions(seeded_random& random, int n, int count) {
  std::vector<int> all(static_cast<size_t>(n));
  for (int p = 0; p < n; p++) all[p] = p;
  random.shuffle(all);
  all.resize(static_cast<size_t>(count));
  std::sort(all.begin(), all.end());
  return all;
}

// Small codes: every codeword is tried, and the nearest one decides what the decoder must say.
TEST(FindErrors, AgreesWithSearchOfEveryCodeword) {
  seeded_random random(0xe77);
  struct shape {
    int k, n, cases;
  };
  for (const shape s : {shape{1, 9, 150}, shape{2, 10, 60}, shape{2, 256, 40}}) {
    CodePtr code(fec_create(s.k, s.n, nullptr));
    ASSERT_NE(code, nullptr);
    // The codewords of the unit data vectors, from the encoder; by linearity they give every other.
    std::vector<int> every(static_cast<size_t>(s.n));
    for (int p = 0; p < s.n; p++) every[p] = p;
    std::vector<std::vector<uint8_t>> basis;
    for (int j = 0; j < s.k; j++) {
      std::vector<uint8_t> unit(static_cast<size_t>(s.k), 0);
      unit[j] = 1;
      basis.push_back(encode_column(code.get(), unit, every));
    }
    const int words = 1 << (8 * s.k);
    const auto codeword_at = [&](int word, int position) {
      uint8_t value = 0;
      for (int j = 0; j < s.k; j++) {
        value ^= field_mul_row(static_cast<uint8_t>(word >> (8 * j)))[basis[j][position]];
      }
      return value;
    };
    for (int c = 0; c < s.cases; c++) {
      const int count = random.between(s.k, std::min(s.n, 10));
      const std::vector<int> positions = distinct_positions(random, s.n, count);
      const int truth = random.below(words);
      std::vector<uint8_t> values;
      for (const int p : positions) values.push_back(codeword_at(truth, p));
      const int changes = random.between(0, count - s.k + 1);
      for (int e = 0; e < changes; e++) values[random.below(count)] ^= random.nonzero_byte();

      int nearest = count + 1;
      int at_nearest = 0;
      int best = 0;
      for (int word = 0; word < words; word++) {
        int distance = 0;
        for (int t = 0; t < count && distance <= nearest; t++) {
          distance += codeword_at(word, positions[t]) != values[t] ? 1 : 0;
        }
        if (distance < nearest) {
          nearest = distance;
          at_nearest = 1;
          best = word;
        } else if (distance == nearest) {
          at_nearest++;
        }
      }
      std::vector<char> wrong;
      const int e = call(s.k, positions, values, wrong);
      SCOPED_TRACE(testing::Message() << "k " << s.k << " n " << s.n << " case " << c << " count "
                                      << count << " nearest " << nearest);
      if (2 * nearest > count - s.k) {
        EXPECT_EQ(e, -1);
        continue;
      }
      ASSERT_EQ(at_nearest, 1);
      ASSERT_EQ(e, nearest);
      for (int t = 0; t < count; t++) {
        EXPECT_EQ(wrong[t] != 0, codeword_at(best, positions[t]) != values[t]) << "place " << t;
      }
    }
  }
}

// Large codes, among them those whose points fill the whole field: e = t wrong values anywhere
// are found exactly; with t + 1 the original is never claimed, and whatever is claimed is a
// codeword that near.
TEST(FindErrors, RadiusEdgeOnLargeCodes) {
  seeded_random random(0xed9e);
  struct shape {
    int k, n;
  };
  for (const shape s : {shape{14, 18}, shape{128, 255}, shape{200, 256}, shape{1, 256},
                        shape{254, 256}, shape{255, 256}, shape{30, 64}}) {
    CodePtr code(fec_create(s.k, s.n, nullptr));
    ASSERT_NE(code, nullptr);
    for (int c = 0; c < 12; c++) {
      const int count = c < 4 ? s.n : random.between(s.k, s.n);
      const std::vector<int> positions = distinct_positions(random, s.n, count);
      std::vector<uint8_t> data(static_cast<size_t>(s.k));
      for (uint8_t& b : data) b = random.byte();
      const std::vector<uint8_t> truth = encode_column(code.get(), data, positions);
      const int t = (count - s.k) / 2;
      for (const int errors : {t, t + 1}) {
        if (errors > count) continue;
        std::vector<uint8_t> values = truth;
        std::vector<int> places(static_cast<size_t>(count));
        for (int p = 0; p < count; p++) places[p] = p;
        random.shuffle(places);
        // The first case puts the wrong values at the front, where a rebuild would take them.
        if (c == 0) std::sort(places.begin(), places.end());
        std::vector<char> expected(static_cast<size_t>(count), 0);
        for (int e = 0; e < errors; e++) {
          values[places[e]] ^= random.nonzero_byte();
          expected[places[e]] = 1;
        }
        std::vector<char> wrong;
        const int found = call(s.k, positions, values, wrong);
        SCOPED_TRACE(testing::Message()
                     << "k " << s.k << " n " << s.n << " count " << count << " errors " << errors);
        if (errors == t) {
          EXPECT_EQ(found, errors);
          EXPECT_EQ(wrong, expected);
        } else if (found >= 0) {
          EXPECT_LE(2 * found, count - s.k);
          EXPECT_NE(wrong, expected);
          EXPECT_TRUE(rest_is_codeword(code.get(), positions, values, wrong));
        }
      }
    }
  }
}

TEST(FindErrors, FewerValuesThanKOrBadKRefused) {
  const std::vector<int> positions = {0, 1, 2};
  const std::vector<uint8_t> values = {1, 2, 3};
  std::vector<char> wrong;
  EXPECT_EQ(call(4, positions, values, wrong), -1);
  EXPECT_EQ(call(0, positions, values, wrong), -1);
  // Exactly k values are always a codeword: nothing is wrong, nothing can be told.
  EXPECT_EQ(call(3, positions, values, wrong), 0);
}

// The points the decoder assumes, from the field's definition: 0 for packet 0, alpha^(r-1) for r.
TEST(FindErrors, PointsAreTheVandermondeRows) {
  uint8_t power = 1;
  EXPECT_EQ(fec_point(0), 0);
  for (int r = 1; r < 256; r++) {
    EXPECT_EQ(fec_point(r), power) << r;
    power = field_mul_row(2)[power];
  }
}

}  // namespace
