// SPDX-License-Identifier: MIT
// Tests of every variant of the multiply-accumulate kernel against the field as defined, of every
// variant of the dot-product kernel against the plain one (and of the plain one against the field),
// of a codec running each variant once chosen for it and no other codec changing, of the free
// functions of gf.h, and of the choice of the best kernel from the instruction-set level.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cpu/cpu.h"
#include "fec/fec.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"
#include "tests/fec/fec_test_util.h"
#include "tests/support/cpu_levels.h"
#include "tests/support/random.h"

namespace {

using kestrune::test::check_in_fresh_process_at_every_setting;
using kestrune::test::CodePtr;
using kestrune::test::data_packet;
using kestrune::test::expected_packet;
using kestrune::test::field_mul_row;
using kestrune::test::level_for_setting;
using kestrune::test::seeded_random;
using kestrune::test::TailGuardedBytes;
using kestrune::test::text;

// target[i] ^= m * source[i] for nbytes bytes, worked out with the field as defined.
void field_mul_accumulate(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  const uint8_t* times_m = field_mul_row(m);
  for (int i = 0; i < nbytes; i++) target[i] ^= times_m[source[i]];
}

// Bytes kept before and after the target; a kernel that writes outside its range changes them.
constexpr int kCanaryBytes = 64;

// A target of nbytes at `offset` bytes past a 64-byte boundary, with canary bytes on both sides.
// The whole area starts with random contents, or the target with given ones; expected() is the
// area as the field says a kernel leaves it.
class TargetArea {
 public:
  TargetArea(seeded_random& rng, int nbytes, int offset)
      : nbytes_(nbytes), bytes_(static_cast<size_t>(nbytes) + 2 * kCanaryBytes + 128) {
    for (uint8_t& b : bytes_) b = rng.byte();
    const auto base = reinterpret_cast<uintptr_t>(bytes_.data());
    start_ = static_cast<size_t>((64 - base % 64) % 64) + kCanaryBytes + offset;
  }
  TargetArea(seeded_random& rng, const std::vector<uint8_t>& contents, int offset)
      : TargetArea(rng, static_cast<int>(contents.size()), offset) {
    std::copy(contents.begin(), contents.end(), target());
  }

  uint8_t* target() { return bytes_.data() + start_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

  std::vector<uint8_t> expected(const uint8_t* source, uint8_t m) const {
    std::vector<uint8_t> result = bytes_;
    field_mul_accumulate(result.data() + start_, source, m, nbytes_);
    return result;
  }
  // The area with the target holding `contents` and the canaries as they are now.
  std::vector<uint8_t> with_target(const std::vector<uint8_t>& contents) const {
    std::vector<uint8_t> result = bytes_;
    std::copy(contents.begin(), contents.end(), result.begin() + static_cast<long>(start_));
    return result;
  }

  // Where the first difference from `want` lies, for a failure message.
  std::string first_difference(const std::vector<uint8_t>& want) const {
    for (size_t i = 0; i < bytes_.size(); i++) {
      if (bytes_[i] == want[i]) continue;
      const long at = static_cast<long>(i) - static_cast<long>(start_);
      std::string where = at < 0                ? "canary before the target"
                          : at >= long{nbytes_} ? "canary after the target"
                                                : "target";
      return where + ", byte " + std::to_string(at) + ": " + std::to_string(bytes_[i]) +
             " instead of " + std::to_string(want[i]);
    }
    return "none";
  }

 private:
  int nbytes_;
  std::vector<uint8_t> bytes_;
  size_t start_;
};

// Source bytes in a TailGuardedBytes area 3 bytes longer than they are: at(3) places their last
// byte right before an inaccessible page, so that a kernel that reads past the end faults; at(0)
// to at(2) give other alignments.
class SourceArea {
 public:
  SourceArea(seeded_random& rng, int nbytes)
      : area_(static_cast<size_t>(nbytes) + 3), copy_(area_.size()) {
    for (size_t i = 0; i < area_.size(); i++) area_.data()[i] = copy_[i] = rng.byte();
  }
  // The given bytes at at(3); an empty source is the guard page itself.
  explicit SourceArea(const std::vector<uint8_t>& contents)
      : area_(contents.size() + 3), copy_(area_.size()) {
    for (size_t i = 0; i < contents.size(); i++) copy_[3 + i] = contents[i];
    std::memcpy(area_.data(), copy_.data(), copy_.size());
  }

  const uint8_t* at(int offset) { return area_.data() + offset; }
  bool unchanged() { return std::memcmp(area_.data(), copy_.data(), copy_.size()) == 0; }

 private:
  TailGuardedBytes area_;
  std::vector<uint8_t> copy_;
};

// Runs `run` for every multiplier on nbytes at a target offset of m % 64 and a source offset of
// m / 64 (so each length meets every alignment of the target and 4 of the source, and touches the
// guard page), and compares the whole target area, canaries included, with the field's result.
::testing::AssertionResult matches_the_field(gf_kernel_fn run, seeded_random& rng, int nbytes) {
  SourceArea source(rng, nbytes);
  for (int m = 0; m < 256; m++) {
    TargetArea area(rng, nbytes, m % 64);
    const uint8_t* from = source.at(m / 64);
    const std::vector<uint8_t> want = area.expected(from, static_cast<uint8_t>(m));
    run(area.target(), from, static_cast<uint8_t>(m), nbytes);
    if (area.bytes() != want) {
      return ::testing::AssertionFailure()
             << "m " << m << ", nbytes " << nbytes << ", target offset " << m % 64
             << ", source offset " << m / 64 << ": first difference in the "
             << area.first_difference(want);
    }
  }
  if (!source.unchanged()) return ::testing::AssertionFailure() << "wrote to the source";
  return ::testing::AssertionSuccess();
}

// --- Dot products --------------------------------------------------------------------------------

// How the coefficients of a dot-product case are drawn.
enum class Coefficients {
  kRandom,      // any byte, 0 and 1 included
  kMixed,       // 0, 1 or a random non-zero byte, a third of the sources each
  kEveryValue,  // distinct values in a scrambled order: all 256 of them with 256 sources
  kAllZero,     // the target must come out all zeros, without a source read
  kAllOne,      // the XOR of the sources
};

struct DotCase {
  int count;
  int nbytes;
  Coefficients coefficients;
};

std::string describe(const DotCase& c) {
  static const char* const names[] = {"random", "mixed", "every value", "all zero", "all one"};
  return text("count ", c.count, ", nbytes ", c.nbytes, ", coefficients ",
              names[static_cast<int>(c.coefficients)]);
}

// Every count of sources with every length, lengths on both sides of each vector width and stripe
// the kernels use, with every way of drawing the coefficients.
std::vector<DotCase> every_dot_case() {
  std::vector<DotCase> cases;
  for (const int count : {1, 2, 3, 14, 128, 256}) {
    for (const int nbytes :
         {0, 1, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 191, 200, 1006, 4078, 65539}) {
      for (const Coefficients coefficients :
           {Coefficients::kRandom, Coefficients::kMixed, Coefficients::kEveryValue,
            Coefficients::kAllZero, Coefficients::kAllOne}) {
        cases.push_back({count, nbytes, coefficients});
      }
    }
  }
  return cases;
}

constexpr int kMaxDotBytes = 65539;

// Room for the sources of any dot-product case: GF_DOT_MAX_SOURCES areas of random bytes, each
// ending right before an inaccessible page, so that a kernel that reads past the end of a source
// placed at the end of its area faults.
class DotSources {
 public:
  explicit DotSources(seeded_random& rng) {
    for (int i = 0; i < GF_DOT_MAX_SOURCES; i++) {
      areas_.push_back(std::make_unique<TailGuardedBytes>(kMaxDotBytes + 64));
      TailGuardedBytes& area = *areas_.back();
      copies_.emplace_back(area.size());
      for (size_t j = 0; j < area.size(); j++) area.data()[j] = copies_.back()[j] = rng.byte();
    }
  }

  // Source i of nbytes, ending `gap` (0 .. 64) bytes before the inaccessible page.
  const uint8_t* source(int i, int nbytes, int gap) {
    TailGuardedBytes& area = *areas_[i];
    return area.data() + area.size() - nbytes - gap;
  }

  bool unchanged() {
    for (size_t i = 0; i < areas_.size(); i++) {
      if (std::memcmp(areas_[i]->data(), copies_[i].data(), copies_[i].size()) != 0) return false;
    }
    return true;
  }

 private:
  std::vector<std::unique_ptr<TailGuardedBytes>> areas_;
  std::vector<std::vector<uint8_t>> copies_;
};

// The operands of one case: the coefficients drawn as it says, and each source at its own
// alignment. Sources whose coefficient is 0 are null: no kernel may read them. Case number `index`
// puts source index % count right at its area's end.
struct DotOperands {
  std::vector<uint8_t> coefficients;
  std::vector<const uint8_t*> sources;

  DotOperands(const DotCase& c, int index, seeded_random& rng, DotSources& room) {
    for (int i = 0; i < c.count; i++) {
      uint8_t coefficient = 0;
      switch (c.coefficients) {
        case Coefficients::kRandom:
          coefficient = rng.byte();
          break;
        case Coefficients::kMixed: {
          const int kind = rng.below(3);
          coefficient = kind == 0 ? 0 : kind == 1 ? 1 : rng.nonzero_byte();
          break;
        }
        case Coefficients::kEveryValue:
          coefficient = static_cast<uint8_t>(i * 167 + index);
          break;
        case Coefficients::kAllZero:
          coefficient = 0;
          break;
        case Coefficients::kAllOne:
          coefficient = 1;
          break;
      }
      coefficients.push_back(coefficient);
      const int gap = i == index % c.count ? 0 : (i * 7 + index) % 64 + 1;
      sources.push_back(coefficient == 0 ? nullptr : room.source(i, c.nbytes, gap));
    }
  }
};

// A dot product worked out another way, given the operands of a case.
using DotOracle = std::vector<uint8_t> (*)(const DotOperands& operands, int nbytes);

std::vector<uint8_t> plain_dot(const DotOperands& operands, int nbytes) {
  std::vector<uint8_t> result(static_cast<size_t>(nbytes));
  gf_dot_product_table(result.data(), operands.sources.data(), operands.coefficients.data(),
                       static_cast<int>(operands.sources.size()), nbytes);
  return result;
}

std::vector<uint8_t> field_dot(const DotOperands& operands, int nbytes) {
  std::vector<uint8_t> result(static_cast<size_t>(nbytes), 0);
  for (size_t i = 0; i < operands.sources.size(); i++) {
    if (operands.coefficients[i] == 0) continue;
    const uint8_t* times_c = field_mul_row(operands.coefficients[i]);
    for (int x = 0; x < nbytes; x++) result[x] ^= times_c[operands.sources[i][x]];
  }
  return result;
}

// Runs `run` on every case, each on a target of random contents at an offset of the case number
// modulo 64 from a 64-byte boundary, and compares the whole target area, canaries included, with
// the oracle's result.
::testing::AssertionResult dot_matches(gf_dot_fn run, DotOracle oracle,
                                       const std::vector<DotCase>& cases, uint64_t stream) {
  seeded_random rng(stream);
  DotSources room(rng);
  for (size_t index = 0; index < cases.size(); index++) {
    const DotCase& c = cases[index];
    const DotOperands operands(c, static_cast<int>(index), rng, room);
    TargetArea area(rng, c.nbytes, static_cast<int>(index % 64));
    const std::vector<uint8_t> want = area.with_target(oracle(operands, c.nbytes));
    run(area.target(), operands.sources.data(), operands.coefficients.data(), c.count, c.nbytes);
    if (area.bytes() != want) {
      return ::testing::AssertionFailure()
             << describe(c) << ", target offset " << index % 64 << ": first difference in the "
             << area.first_difference(want);
    }
  }
  if (!room.unchanged()) return ::testing::AssertionFailure() << "wrote to a source";
  return ::testing::AssertionSuccess();
}

// Every kernel of the list, the plain one included: the field is the oracle of them all.
std::vector<int> every_kernel() {
  int count = 0;
  gf_kernel_list(&count);
  std::vector<int> indices;
  for (int i = 0; i < count; i++) indices.push_back(i);
  return indices;
}

class KernelVariant : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    int count = 0;
    kernel_ = &gf_kernel_list(&count)[GetParam()];
    if (kernel_->level > cpu_level_detected()) {
      GTEST_SKIP() << kernel_->name << " needs " << cpu_level_name(kernel_->level)
                   << "; this CPU has " << cpu_level_name(cpu_level_detected());
    }
  }

  const gf_kernel* kernel_ = nullptr;
};

TEST_P(KernelVariant, KnownAnswers) {
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
  seeded_random rng(0x4a);
  for (const Case& c : cases) {
    SCOPED_TRACE(text("m = ", int{c.m}));
    SourceArea source(c.source);
    TargetArea area(rng, c.target, 0);
    const std::vector<uint8_t> want = area.with_target(c.expected);
    kernel_->run(area.target(), source.at(3), c.m, static_cast<int>(c.target.size()));
    EXPECT_EQ(area.bytes(), want) << "first difference in the " << area.first_difference(want);
  }
}

TEST_P(KernelVariant, MatchesTheFieldForEveryMultiplierAndShortLength) {
  seeded_random rng(0x4b);
  for (int nbytes = 0; nbytes <= 140; nbytes++) {
    ASSERT_TRUE(matches_the_field(kernel_->run, rng, nbytes)) << kernel_->name;
  }
}

TEST_P(KernelVariant, MatchesTheFieldForEveryMultiplierOnPacketAndLargeBuffers) {
  seeded_random rng(0x4c);
  for (const int nbytes : {1000, 1006, 4097, 65536}) {
    EXPECT_TRUE(matches_the_field(kernel_->run, rng, nbytes)) << kernel_->name;
  }
}

// Nothing is read (the source is the guard page itself) and nothing is written.
TEST_P(KernelVariant, NonPositiveLengthChangesNothing) {
  seeded_random rng(0x4d);
  for (const int nbytes : {0, -1, -16, -17, -63, -64, -65, INT_MIN}) {
    SourceArea source(std::vector<uint8_t>{});
    TargetArea area(rng, 200, 1);
    const std::vector<uint8_t> before = area.bytes();
    kernel_->run(area.target(), source.at(3), 0x53, nbytes);
    EXPECT_EQ(area.bytes(), before) << kernel_->name << ", nbytes " << nbytes;
  }
}

TEST_P(KernelVariant, DotProductMatchesThePlainKernel) {
  EXPECT_TRUE(dot_matches(kernel_->dot, plain_dot, every_dot_case(), 0x4f)) << kernel_->name;
}

// No sources, or a negative count, give an all-zero target; a non-positive length reads nothing
// (the sources are the guard page itself) and writes nothing.
TEST_P(KernelVariant, DotProductEdgesOfCountAndLength) {
  seeded_random rng(0x50);
  for (const int count : {0, -1}) {
    for (const int nbytes : {1, 33, 200, 1006}) {
      TargetArea area(rng, nbytes, nbytes % 64);
      const std::vector<uint8_t> want =
          area.with_target(std::vector<uint8_t>(static_cast<size_t>(nbytes), 0));
      kernel_->dot(area.target(), nullptr, nullptr, count, nbytes);
      EXPECT_EQ(area.bytes(), want) << kernel_->name << ", count " << count << ", nbytes " << nbytes
                                    << ": first difference in the " << area.first_difference(want);
    }
  }
  SourceArea guard(std::vector<uint8_t>{});
  const uint8_t* sources[3] = {guard.at(3), guard.at(3), guard.at(3)};
  const uint8_t coefficients[3] = {0x53, 1, 0xFF};
  for (const int nbytes : {0, -1, -16, -17, -63, -64, -65, INT_MIN}) {
    TargetArea area(rng, 200, 1);
    const std::vector<uint8_t> before = area.bytes();
    kernel_->dot(area.target(), sources, coefficients, 3, nbytes);
    EXPECT_EQ(area.bytes(), before) << kernel_->name << ", nbytes " << nbytes;
  }
}

// gf_dot_products_with() the variant gives every row the plain kernel's product: rows in groups
// and alone, lengths around the vector widths and long enough to be made in stripes, every target's
// canaries intact, and no source read whose coefficient is 0 in every row (it is null) or past its
// end (the last source ends at a guard page).
TEST_P(KernelVariant, SeveralProductsMatchThePlainKernelRowByRow) {
  seeded_random rng(0x53);
  DotSources room(rng);
  int index = 0;
  for (const int count : {1, 14, 109, 256}) {
    for (const int rows : {1, 3, 4, 5, 9, 32}) {
      for (const int nbytes : {0, 1, 31, 32, 33, 64, 127, 129, 1006, 4078}) {
        SCOPED_TRACE(text(kernel_->name, ", count ", count, ", rows ", rows, ", nbytes ", nbytes));
        index++;
        // One source in five unused by every row, the others with a 0 in some rows.
        std::vector<uint8_t> coefficients(static_cast<size_t>(rows * count));
        std::vector<const uint8_t*> sources(static_cast<size_t>(count));
        for (int i = 0; i < count; i++) {
          const bool unused = count > 1 && rng.below(5) == 0;
          for (int r = 0; r < rows; r++) {
            coefficients[r * count + i] = unused || rng.chance(0.1) ? 0 : rng.byte();
          }
          const int gap = i == count - 1 ? 0 : (i * 7 + index) % 64 + 1;
          sources[i] = unused ? nullptr : room.source(i, nbytes, gap);
        }
        std::vector<TargetArea> areas;
        std::vector<std::vector<uint8_t>> want;
        std::vector<uint8_t*> targets;
        for (int r = 0; r < rows; r++) {
          areas.emplace_back(rng, nbytes, (index + r) % 64);
          std::vector<uint8_t> product(static_cast<size_t>(nbytes));
          gf_dot_product_table(product.data(), sources.data(), coefficients.data() + r * count,
                               count, nbytes);
          want.push_back(areas.back().with_target(product));
        }
        for (TargetArea& area : areas) targets.push_back(area.target());
        gf_dot_products_with(kernel_, targets.data(), sources.data(), coefficients.data(), count,
                             rows, nbytes);
        for (int r = 0; r < rows; r++) {
          EXPECT_EQ(areas[r].bytes(), want[r])
              << "row " << r << ": first difference in the " << areas[r].first_difference(want[r]);
        }
      }
    }
  }
  EXPECT_TRUE(room.unchanged()) << "wrote to a source";
}

// gf_dot_products_equal_with() the variant: true when every row equals the plain kernel's product,
// false when any one byte of any row differs, at the ends (where a last vector overlaps the one
// before) and inside.
TEST_P(KernelVariant, CheckOfSeveralProductsFindsEveryChangedByte) {
  seeded_random rng(0x52);
  for (const int count : {1, 14, 256}) {
    for (const int rows : {1, 2, 3, 4, 5, 9}) {
      for (const int nbytes : {0, 1, 31, 32, 33, 63, 64, 65, 95, 1006}) {
        std::vector<std::vector<uint8_t>> data(static_cast<size_t>(count));
        std::vector<const uint8_t*> sources;
        for (std::vector<uint8_t>& d : data) {
          d.resize(static_cast<size_t>(nbytes));
          for (uint8_t& b : d) b = rng.byte();
          sources.push_back(d.data());
        }
        std::vector<uint8_t> coefficients(static_cast<size_t>(rows * count));
        for (uint8_t& c : coefficients) c = rng.chance(0.1) ? 0 : rng.byte();
        std::vector<std::vector<uint8_t>> made(static_cast<size_t>(rows));
        std::vector<const uint8_t*> expected;
        for (int r = 0; r < rows; r++) {
          made[r].resize(static_cast<size_t>(nbytes));
          gf_dot_product_table(made[r].data(), sources.data(), coefficients.data() + r * count,
                               count, nbytes);
          expected.push_back(made[r].data());
        }
        SCOPED_TRACE(text(kernel_->name, ", count ", count, ", rows ", rows, ", nbytes ", nbytes));
        EXPECT_TRUE(gf_dot_products_equal_with(kernel_, sources.data(), coefficients.data(), count,
                                               expected.data(), rows, nbytes));
        if (nbytes == 0) continue;
        for (const int at : {0, nbytes - 1, rng.below(nbytes)}) {
          const int row = rng.below(rows);
          made[row][at] ^= rng.nonzero_byte();
          EXPECT_FALSE(gf_dot_products_equal_with(kernel_, sources.data(), coefficients.data(),
                                                  count, expected.data(), rows, nbytes))
              << "row " << row << ", byte " << at;
          made[row][at] = 0;
          gf_dot_product_table(made[row].data(), sources.data(), coefficients.data() + row * count,
                               count, nbytes);
        }
      }
    }
  }
}

// A codec set to the variant makes every packet as the field says, one at a time and all parity
// packets together, checks them, and rebuilds its data from parity packets (inverting the decoding
// matrix with the variant's multiply-accumulate).
TEST_P(KernelVariant, CodecRunsItOnceChosen) {
  for (const auto& [k, n] : {std::pair{3, 5}, std::pair{14, 18}, std::pair{32, 48}}) {
    for (const int pkt_size : {1, 33, 1006}) {
      SCOPED_TRACE(text(kernel_->name, ", code (", k, ", ", n, "), size ", pkt_size));
      const CodePtr code(fec_create(k, n, nullptr));
      ASSERT_NE(code, nullptr);
      fec_use_kernel(code.get(), kernel_);
      ASSERT_EQ(code->kernel, kernel_);
      std::vector<std::vector<uint8_t>> data;
      std::vector<uint8_t*> pkts;
      for (int i = 0; i < k; i++) data.push_back(data_packet(i, pkt_size));
      for (auto& packet : data) pkts.push_back(packet.data());

      std::vector<std::vector<uint8_t>> parity(n - k, std::vector<uint8_t>(pkt_size, 0xA5));
      std::vector<uint8_t*> targets;
      for (auto& packet : parity) targets.push_back(packet.data());
      fec_encode_parity(code.get(), pkts.data(), targets.data(), k, n - k, pkt_size);
      std::vector<int32_t> numbers;
      std::vector<const uint8_t*> expected;
      for (int r = k; r < n; r++) {
        const std::vector<uint8_t> want = expected_packet(*code, r, pkt_size);
        EXPECT_EQ(parity[r - k], want) << "parity packet " << r << " made with the others";
        std::vector<uint8_t> one(pkt_size, 0x5A);
        fec_encode_pkt(code.get(), pkts.data(), one.data(), r, pkt_size);
        EXPECT_EQ(one, want) << "parity packet " << r << " made alone";
        numbers.push_back(r);
        expected.push_back(parity[r - k].data());
      }
      EXPECT_TRUE(fec_pkts_equal(code.get(), pkts.data(), numbers.data(), expected.data(), n - k,
                                 pkt_size));
      parity[n - k - 1][pkt_size - 1] ^= 0x10;
      EXPECT_FALSE(fec_pkts_equal(code.get(), pkts.data(), numbers.data(), expected.data(), n - k,
                                  pkt_size));
      parity[n - k - 1][pkt_size - 1] ^= 0x10;

      // The first n - k data packets lost, the parity packets in their place.
      const int lost = std::min(k, n - k);
      std::vector<uint8_t*> received = pkts;
      std::vector<int32_t> received_numbers(k);
      for (int i = 0; i < k; i++) received_numbers[i] = i;
      for (int i = 0; i < lost; i++) {
        received[i] = parity[i].data();
        received_numbers[i] = k + i;
      }
      ASSERT_EQ(fec_decode_pkts(code.get(), received.data(), received_numbers.data(), pkt_size), 0);
      for (int i = 0; i < k; i++) {
        EXPECT_EQ(std::vector<uint8_t>(received[i], received[i] + pkt_size),
                  data_packet(i, pkt_size))
            << "data packet " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelVariant, ::testing::ValuesIn(every_kernel()),
                         [](const ::testing::TestParamInfo<int>& info) {
                           int count = 0;
                           return std::string(gf_kernel_list(&count)[info.param].name);
                         });

TEST(KernelList, EndsWithThePlainKernelThatRunsEverywhere) {
  int count = 0;
  const gf_kernel* kernels = gf_kernel_list(&count);
  ASSERT_GE(count, 1);
  const gf_kernel& plain = kernels[count - 1];
  EXPECT_STREQ(plain.name, "table");
  EXPECT_EQ(plain.run, &gf_mul_accumulate_table);
  EXPECT_EQ(plain.dot, &gf_dot_product_table);
  EXPECT_EQ(plain.level, CPU_PORTABLE);
  EXPECT_TRUE(plain.supported());
  for (int i = 0; i < count; i++) {
    EXPECT_NE(kernels[i].run, nullptr) << kernels[i].name;
    EXPECT_NE(kernels[i].dot, nullptr) << kernels[i].name;
  }
}

// The plain dot product, every other variant's oracle, against the field as defined.
TEST(PlainDotProduct, MatchesTheField) {
  EXPECT_TRUE(dot_matches(gf_dot_product_table, field_dot, every_dot_case(), 0x52));
}

// The kernel each instruction-set level runs, by the level's number: the fastest the level allows.
#if defined(__x86_64__)
constexpr const char* kernel_at[] = {"table", "ssse3", "avx2", "avx512", "gfni"};
#else
constexpr const char* kernel_at[] = {"table", "table", "table", "table", "table"};
#endif

// In this process, at whatever level the test run was given (scripts/test runs the suite again
// with KESTRUNE_CPU_LEVEL set to every level the machine has): the best kernel, and every new
// codec's.
TEST(KernelSelection, BestKernelIsTheOneKnownForTheLevelInUse) {
  const char* setting = std::getenv("KESTRUNE_CPU_LEVEL");
  SCOPED_TRACE(std::string("KESTRUNE_CPU_LEVEL=") + (setting ? setting : "(unset)"));
  ASSERT_EQ(cpu_level_in_use(), level_for_setting(setting));
  ASSERT_NE(gf_best_kernel(), nullptr);
  EXPECT_STREQ(gf_best_kernel()->name, kernel_at[cpu_level_in_use()]);
  EXPECT_TRUE(gf_best_kernel()->supported());
  const CodePtr code(fec_create(2, 4, nullptr));
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(code->kernel, gf_best_kernel());
}

TEST(KernelSelection, LevelVariableChoosesTheKernelInAFreshProcess) {
  check_in_fresh_process_at_every_setting([](const char* setting) {
    const cpu_level want = level_for_setting(setting);
    const char* best = gf_best_kernel()->name;
    std::fprintf(stderr, "level in use %s, kernel %s; expected %s and %s\n",
                 cpu_level_name(cpu_level_in_use()), best, cpu_level_name(want), kernel_at[want]);
    return cpu_level_in_use() == want && std::strcmp(best, kernel_at[want]) == 0;
  });
}

// The free functions of gf.h, which run the best kernel: every multiplier and length against the
// field, and the dot products against the plain kernel.
TEST(FreeFunctions, MatchTheFieldAndThePlainKernel) {
  seeded_random rng(0x54);
  for (int nbytes = 0; nbytes <= 70; nbytes++) {
    ASSERT_TRUE(matches_the_field(gf_mul_accumulate, rng, nbytes));
  }
  for (const int nbytes : {1000, 4097})
    EXPECT_TRUE(matches_the_field(gf_mul_accumulate, rng, nbytes));
  const std::vector<DotCase> cases = {{3, 65, Coefficients::kRandom},
                                      {14, 1006, Coefficients::kMixed},
                                      {14, 1006, Coefficients::kRandom},
                                      {256, 4078, Coefficients::kEveryValue}};
  EXPECT_TRUE(dot_matches(gf_dot_product, plain_dot, cases, 0x55));

  for (const int rows : {1, 4, 9}) {
    SCOPED_TRACE(text("rows ", rows));
    const int count = 14, nbytes = 1006;
    std::vector<std::vector<uint8_t>> data(count, std::vector<uint8_t>(nbytes));
    std::vector<const uint8_t*> sources;
    for (auto& d : data) {
      for (uint8_t& b : d) b = rng.byte();
      sources.push_back(d.data());
    }
    std::vector<uint8_t> coefficients(static_cast<size_t>(rows * count));
    for (uint8_t& c : coefficients) c = rng.byte();
    std::vector<std::vector<uint8_t>> made(rows, std::vector<uint8_t>(nbytes, 0xA5));
    std::vector<std::vector<uint8_t>> want(rows, std::vector<uint8_t>(nbytes));
    std::vector<uint8_t*> targets;
    std::vector<const uint8_t*> expected;
    for (int r = 0; r < rows; r++) {
      gf_dot_product_table(want[r].data(), sources.data(), coefficients.data() + r * count, count,
                           nbytes);
      targets.push_back(made[r].data());
      expected.push_back(want[r].data());
    }
    gf_dot_products(targets.data(), sources.data(), coefficients.data(), count, rows, nbytes);
    EXPECT_EQ(made, want);
    EXPECT_TRUE(gf_dot_products_equal(sources.data(), coefficients.data(), count, expected.data(),
                                      rows, nbytes));
    want[rows - 1][nbytes / 2] ^= 1;
    EXPECT_FALSE(gf_dot_products_equal(sources.data(), coefficients.data(), count, expected.data(),
                                       rows, nbytes));
  }
}

// --- One codec's kernels ------------------------------------------------------------------------

// Calls of the counting kernel below, which does what the plain one does and counts. Test state:
// only this test's thread runs the kernel.
struct KernelCalls {
  int run = 0, dot = 0, dots = 0, equal = 0;
  int total() const { return run + dot + dots + equal; }
};
KernelCalls counted;

void counting_run(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  counted.run++;
  gf_mul_accumulate_table(target, source, m, nbytes);
}

void counting_dot(uint8_t* target, const uint8_t* const* sources, const uint8_t* coefficients,
                  int count, int nbytes) {
  counted.dot++;
  gf_dot_product_table(target, sources, coefficients, count, nbytes);
}

void counting_dots(uint8_t* const* targets, const uint8_t* const* sources,
                   const uint8_t* coefficients, int count, int rows, int nbytes) {
  counted.dots++;
  for (int r = 0; r < rows; r++) {
    gf_dot_product_table(targets[r], sources, coefficients + r * count, count, nbytes);
  }
}

bool counting_equal(const uint8_t* const* sources, const uint8_t* coefficients, int count,
                    const uint8_t* const* expected, int rows, int nbytes) {
  counted.equal++;
  return gf_dot_products_equal_by_dot(gf_dot_product_table, sources, coefficients, count, expected,
                                      rows, nbytes);
}

const gf_kernel counting_kernel = {"counting",    counting_run,   counting_dot,
                                   counting_dots, counting_equal, CPU_PORTABLE};

// Every operation of a codec given the counting kernel, one after another: each runs it, and gives
// the right result. Another codec made before and used in between, and the free functions, never
// run it; the best kernel stays what it was.
TEST(FecUseKernel, ChangesThatCodecAlone) {
  const gf_kernel* best = gf_best_kernel();
  const int k = 4, n = 8, pkt_size = 40;
  const CodePtr chosen(fec_create(k, n, nullptr));
  const CodePtr other(fec_create(k, n, nullptr));
  ASSERT_NE(chosen, nullptr);
  ASSERT_NE(other, nullptr);
  fec_use_kernel(chosen.get(), &counting_kernel);
  EXPECT_EQ(other->kernel, best);

  std::vector<std::vector<uint8_t>> data;
  std::vector<uint8_t*> pkts;
  for (int i = 0; i < k; i++) data.push_back(data_packet(i, pkt_size));
  for (auto& packet : data) pkts.push_back(packet.data());
  std::vector<std::vector<uint8_t>> want;
  for (int r = k; r < n; r++) want.push_back(expected_packet(*chosen, r, pkt_size));

  // Everything one codec does, with the count of calls of the counting kernel that must follow.
  const auto operations = [&](fec_code* code) {
    std::vector<std::vector<uint8_t>> parity(n - k, std::vector<uint8_t>(pkt_size));
    fec_encode_pkt(code, pkts.data(), parity[0].data(), k, pkt_size);
    EXPECT_EQ(parity[0], want[0]);
    std::vector<uint8_t*> targets;
    for (auto& packet : parity) targets.push_back(packet.data());
    fec_encode_parity(code, pkts.data(), targets.data(), k, n - k, pkt_size);
    EXPECT_EQ(parity, want);
    const int32_t numbers[] = {4, 5, 6, 7};
    std::vector<const uint8_t*> expected(targets.begin(), targets.end());
    EXPECT_TRUE(fec_pkts_equal(code, pkts.data(), numbers, expected.data(), n - k, pkt_size));
    std::vector<uint8_t*> received = targets;
    int32_t received_numbers[] = {4, 5, 6, 7};
    EXPECT_EQ(fec_decode_pkts(code, received.data(), received_numbers, pkt_size), 0);
    for (int i = 0; i < k; i++) {
      EXPECT_EQ(std::vector<uint8_t>(received[i], received[i] + pkt_size), data[i]);
    }
  };

  counted = {};
  operations(other.get());
  EXPECT_EQ(counted.total(), 0) << "a codec left alone ran the counting kernel";
  operations(chosen.get());
  EXPECT_EQ(counted.dot, 1) << "fec_encode_pkt()";
  EXPECT_EQ(counted.equal, 1) << "fec_pkts_equal()";
  EXPECT_EQ(counted.dots, 2) << "fec_encode_parity() and fec_decode_pkts()";
  EXPECT_GT(counted.run, 0) << "the inversion in fec_decode_pkts()";
  const KernelCalls after_chosen = counted;
  operations(other.get());
  uint8_t target[4] = {}, source[4] = {1, 2, 3, 4};
  gf_mul_accumulate(target, source, 7, 4);
  EXPECT_EQ(counted.total(), after_chosen.total()) << "the other codec or a free function ran it";
  EXPECT_EQ(gf_best_kernel(), best);
  EXPECT_EQ(other->kernel, best);
}

}  // namespace
