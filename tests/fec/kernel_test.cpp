// Tests of the SIMD variants of the multiply-accumulate kernel against the plain table kernel, and
// of the choice of the kernel in use from the instruction-set level.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/cpu.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"
#include "tests/fec/fec_test_util.h"

namespace {

using kestrune::test::Rng;
using kestrune::test::seed_note;
using kestrune::test::TailGuardedBytes;
using kestrune::test::test_seed;

// Bytes kept before and after the target; a kernel that writes outside its range changes them.
constexpr int kCanaryBytes = 64;

// A target of nbytes at `offset` bytes past a 64-byte boundary, with canary bytes on both sides.
// The whole area starts with random contents; expected() is that area as the plain kernel leaves
// it.
class TargetArea {
 public:
  TargetArea(Rng& rng, int nbytes, int offset)
      : nbytes_(nbytes), bytes_(static_cast<size_t>(nbytes) + 2 * kCanaryBytes + 128) {
    for (uint8_t& b : bytes_) b = rng.byte();
    const auto base = reinterpret_cast<uintptr_t>(bytes_.data());
    start_ = static_cast<size_t>((64 - base % 64) % 64) + kCanaryBytes + offset;
  }

  uint8_t* target() { return bytes_.data() + start_; }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

  std::vector<uint8_t> expected(const uint8_t* source, uint8_t m) const {
    std::vector<uint8_t> result = bytes_;
    gf_mul_accumulate_table(result.data() + start_, source, m, nbytes_);
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

// nbytes random source bytes starting `offset` bytes before the end of a TailGuardedBytes area of
// nbytes + 3: with offset 3 the last source byte touches an inaccessible page, so a kernel that
// reads past the end faults.
class SourceArea {
 public:
  SourceArea(Rng& rng, int nbytes) : area_(static_cast<size_t>(nbytes) + 3), copy_(area_.size()) {
    for (size_t i = 0; i < area_.size(); i++) area_.data()[i] = copy_[i] = rng.byte();
  }

  const uint8_t* at(int offset) { return area_.data() + offset; }
  bool unchanged() { return std::memcmp(area_.data(), copy_.data(), copy_.size()) == 0; }

 private:
  TailGuardedBytes area_;
  std::vector<uint8_t> copy_;
};

int kernel_count() {
  int count = 0;
  gf_kernel_list(&count);
  return count;
}

// The variants under test: every entry of the list but the plain kernel, which is the oracle.
std::vector<int> simd_variants() {
  std::vector<int> indices;
  for (int i = 0; i + 1 < kernel_count(); i++) indices.push_back(i);
  return indices;
}

class KernelVariant : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() { gf_init_tables(); }

  void SetUp() override {
    int count = 0;
    kernel_ = &gf_kernel_list(&count)[GetParam()];
    if (kernel_->level > cpu_level_detected()) {
      GTEST_SKIP() << kernel_->name << " needs " << cpu_level_name(kernel_->level)
                   << "; this CPU has " << cpu_level_name(cpu_level_detected());
    }
  }

  // Runs the variant for every multiplier on nbytes at a target offset of m % 64 and a source
  // offset of m / 64 (so each length meets every alignment of the target and 4 of the source), and
  // compares the whole target area, canaries included, with the plain kernel's.
  void compare_with_table(Rng& rng, int nbytes) {
    SourceArea source(rng, nbytes);
    for (int m = 0; m < 256; m++) {
      TargetArea area(rng, nbytes, m % 64);
      const uint8_t* from = source.at(m / 64);
      const std::vector<uint8_t> want = area.expected(from, static_cast<uint8_t>(m));
      kernel_->run(area.target(), from, static_cast<uint8_t>(m), nbytes);
      if (area.bytes() != want) {
        ADD_FAILURE() << kernel_->name << ": m " << m << ", nbytes " << nbytes << ", target offset "
                      << m % 64 << ", source offset " << m / 64 << ": first difference in the "
                      << area.first_difference(want);
        return;
      }
    }
    EXPECT_TRUE(source.unchanged()) << kernel_->name << " wrote to the source, nbytes " << nbytes;
  }

  const gf_kernel* kernel_ = nullptr;
};

TEST_P(KernelVariant, MatchesThePlainKernelForEveryMultiplierAndShortLength) {
  Rng rng(test_seed() ^ 0x4b);
  SCOPED_TRACE(seed_note());
  for (int nbytes = 0; nbytes <= 130; nbytes++) compare_with_table(rng, nbytes);
}

TEST_P(KernelVariant, MatchesThePlainKernelForEveryMultiplierOnPacketAndLargeBuffers) {
  Rng rng(test_seed() ^ 0x4c);
  SCOPED_TRACE(seed_note());
  for (const int nbytes : {1006, 65536}) compare_with_table(rng, nbytes);
}

TEST_P(KernelVariant, NonPositiveLengthChangesNothing) {
  Rng rng(test_seed() ^ 0x4d);
  SCOPED_TRACE(seed_note());
  for (const int nbytes : {0, -1, -63, -64, -65, INT_MIN}) {
    SourceArea source(rng, 200);
    TargetArea area(rng, 200, 1);
    const std::vector<uint8_t> before = area.bytes();
    kernel_->run(area.target(), source.at(0), 0x53, nbytes);
    EXPECT_EQ(area.bytes(), before) << kernel_->name << ", nbytes " << nbytes;
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelVariant, ::testing::ValuesIn(simd_variants()),
                         [](const ::testing::TestParamInfo<int>& info) {
                           int count = 0;
                           return std::string(gf_kernel_list(&count)[info.param].name);
                         });
// Builds without SIMD variants (not x86-64) have nothing to instantiate.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(KernelVariant);

// The first kernel of the list that `level` allows.
const gf_kernel* best_for(cpu_level level) {
  int count = 0;
  const gf_kernel* kernels = gf_kernel_list(&count);
  for (int i = 0; i < count; i++) {
    if (kernels[i].level <= level) return &kernels[i];
  }
  return nullptr;
}

// The level the process should use when KESTRUNE_CPU_LEVEL is `name` (null: unset): a level name
// lowers the detected level in builds that honour the variable; anything else leaves it.
cpu_level expected_level(const char* name) {
  cpu_level level = cpu_level_detected();
#ifdef KESTRUNE_LEVEL_OVERRIDE
  for (int i = CPU_PORTABLE; i < level && name != nullptr; i++) {
    if (std::strcmp(name, cpu_level_name(static_cast<cpu_level>(i))) == 0) {
      level = static_cast<cpu_level>(i);
    }
  }
#else
  (void)name;
#endif
  return level;
}

// In this process, with whatever KESTRUNE_CPU_LEVEL the test run was given.
TEST(KernelSelection, ActiveKernelIsTheBestTheLevelInUseAllows) {
  gf_init_tables();
  const char* name = std::getenv("KESTRUNE_CPU_LEVEL");
  SCOPED_TRACE(std::string("KESTRUNE_CPU_LEVEL=") + (name ? name : "(unset)"));
  EXPECT_EQ(cpu_level_in_use(), expected_level(name));
  const gf_kernel* active = gf_active_kernel();
  ASSERT_NE(active, nullptr);
  EXPECT_LE(active->level, cpu_level_in_use()) << active->name;
  EXPECT_EQ(active, best_for(cpu_level_in_use()))
      << "active " << active->name << ", best " << best_for(cpu_level_in_use())->name;
}

// The level is read once per process, so each setting runs in a fresh one: the threadsafe death
// test style starts the test binary again, with the environment set here.
TEST(KernelSelection, LevelVariableLowersTheKernelInAFreshProcess) {
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* saved = std::getenv("KESTRUNE_CPU_LEVEL");
  const std::string restore = saved ? saved : "";
  for (const char* name : {"portable", "ssse3", "avx2", "avx512", "gfni", "no-such-level"}) {
    SCOPED_TRACE(std::string("KESTRUNE_CPU_LEVEL=") + name);
    setenv("KESTRUNE_CPU_LEVEL", name, 1);
    const cpu_level want = expected_level(name);
    EXPECT_EXIT(
        {
          gf_init_tables();
          const gf_kernel* active = gf_active_kernel();
          const bool ok =
              cpu_level_in_use() == want && active == best_for(want) && active->level <= want;
          fprintf(stderr, "level in use %s, active kernel %s\n", cpu_level_name(cpu_level_in_use()),
                  active->name);
          std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "")
        << "wanted level " << cpu_level_name(want) << ", kernel " << best_for(want)->name;
  }
  if (saved) {
    setenv("KESTRUNE_CPU_LEVEL", restore.c_str(), 1);
  } else {
    unsetenv("KESTRUNE_CPU_LEVEL");
  }
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace
