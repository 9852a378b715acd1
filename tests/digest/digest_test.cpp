// SPDX-License-Identifier: MIT
// Tests of the many-message digest: every variant this CPU runs, lane by lane, against libmd; and
// the variant each instruction-set level chooses.
#include <gtest/gtest.h>
#include <md5.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "cpu/cpu.h"
#include "stream/digest.h"
#include "stream/digest_variants.h"
#include "tests/support/cpu_levels.h"

void PrintTo(const digest_variant_info& v, std::ostream* os) { *os << v.name; }

namespace {

using kestrune::test::check_in_fresh_process_at_every_setting;
using kestrune::test::level_for_setting;

using digest = std::array<uint8_t, DIGEST_LEN>;

std::string hex(const uint8_t* d) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (int i = 0; i < DIGEST_LEN; i++) {
    s += digits[d[i] >> 4];
    s += digits[d[i] & 15];
  }
  return s;
}

std::string libmd_hex(const uint8_t* msg, size_t len) {
  MD5_CTX context;
  uint8_t d[DIGEST_LEN];
  MD5Init(&context);
  MD5Update(&context, msg, len);
  MD5Final(d, &context);
  return hex(d);
}

// Bytes that differ from message to message and from length to length.
void fill(uint8_t* p, size_t len, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 12345;
  for (size_t i = 0; i < len; i += 4) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    memcpy(p + i, &x, len - i < 4 ? len - i : 4);
  }
}

// Runs `run` on the messages and compares every digest with libmd's. The entry after the last
// digest must be left as it was.
::testing::AssertionResult matches_libmd(digest_many_fn run,
                                         const std::vector<const uint8_t*>& msgs, size_t len,
                                         uint8_t (*out)[DIGEST_LEN]) {
  const int count = static_cast<int>(msgs.size());
  memset(out, 0xa5, (msgs.size() + 1) * DIGEST_LEN);
  run(msgs.data(), len, count, out);
  for (int i = 0; i < count; i++) {
    const std::string want = libmd_hex(msgs[i], len);
    if (hex(out[i]) != want) {
      return ::testing::AssertionFailure()
             << "message " << i << " of " << count << ", " << len << " bytes: got " << hex(out[i])
             << ", libmd gives " << want;
    }
  }
  for (int b = 0; b < DIGEST_LEN; b++) {
    if (out[count][b] != 0xa5) {
      return ::testing::AssertionFailure() << "wrote past the " << count << " digests";
    }
  }
  return ::testing::AssertionSuccess();
}

// `count` different messages of `len` bytes, each in its own stretch of one buffer, with starts
// that fall on every alignment.
struct batch {
  std::vector<uint8_t> bytes;
  std::vector<const uint8_t*> msgs;
  std::vector<digest> out;

  batch(int count, size_t len) : out(count + 1) {
    const size_t stride = len + 67;
    bytes.resize(stride * count + 1);
    for (int i = 0; i < count; i++) {
      uint8_t* m = bytes.data() + stride * i + i % 7;
      fill(m, len, static_cast<uint32_t>(len * 1000 + i));
      msgs.push_back(m);
    }
  }
  uint8_t (*out_rows())[DIGEST_LEN] { return reinterpret_cast<uint8_t(*)[DIGEST_LEN]>(out.data()); }
};

class DigestVariant : public ::testing::TestWithParam<digest_variant_info> {
 protected:
  void SetUp() override {
    if (cpu_level_detected() < GetParam().needs) {
      GTEST_SKIP() << "this CPU cannot run " << GetParam().name;
    }
  }
  digest_many_fn run() const { return GetParam().run; }
  int lanes() const { return GetParam().lanes; }
};

// RFC 1321's test suite, each message in every lane of full and partial passes.
TEST_P(DigestVariant, KnownAnswers) {
  struct known {
    const char* text;
    const char* md5;
  };
  const known cases[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"1234567890123456789012345678901234567890"
       "1234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (const known& c : cases) {
    const size_t len = strlen(c.text);
    for (const int count : {1, 2, lanes() + 1, 3 * lanes() - 1}) {
      // Copies rather than one pointer repeated, so that each lane reads its own memory.
      std::vector<std::string> copies(count, c.text);
      std::vector<const uint8_t*> msgs;
      for (const std::string& s : copies)
        msgs.push_back(reinterpret_cast<const uint8_t*>(s.data()));
      std::vector<digest> out(count);
      run()(msgs.data(), len, count, reinterpret_cast<uint8_t(*)[DIGEST_LEN]>(out.data()));
      for (int i = 0; i < count; i++) {
        EXPECT_EQ(hex(out[i].data()), c.md5)
            << '"' << c.text << "\" in lane " << i << " of " << count;
      }
    }
  }
}

// Every length from 0 to 2100 bytes, so every place the message can end in its last block. The
// vector variants digest two or three vectors of lanes per full pass, and what is left in one pass
// of one, two or three; the counts make a partial pass of three vectors and a partial pass of two.
TEST_P(DigestVariant, EveryLengthMatchesLibmd) {
  for (const int count : {3 * lanes() - 1, lanes() + 3}) {
    for (size_t len = 0; len <= 2100; len++) {
      batch b(count, len);
      ASSERT_TRUE(matches_libmd(run(), b.msgs, len, b.out_rows()));
    }
  }
}

// Every message count up to four vectors of lanes and one more, for the lengths where the padding
// changes shape and for the shorter blocks the stream carries; up to two vectors and one more for
// the longer blocks.
TEST_P(DigestVariant, EveryCountMatchesLibmd) {
  struct lengths {
    std::vector<size_t> len;
    int max_count;
  };
  const lengths cases[] = {
      {{0, 1, 55, 56, 57, 63, 64, 65, 119, 120, 127, 128, 129}, 4 * lanes() + 1},  // padding
      {{10, 11, 1008}, 4 * lanes() + 1},  // payload + 2 for blocksizes 26 (the least), 27, 1024
      {{4080, 65520}, 2 * lanes() + 1},   // blocksizes 4096 and 65536 (the most)
  };
  for (const lengths& c : cases) {
    for (const size_t len : c.len) {
      for (int count = 0; count <= c.max_count; count++) {
        batch b(count, len);
        ASSERT_TRUE(matches_libmd(run(), b.msgs, len, b.out_rows()));
      }
    }
  }
}

// Messages equal but for one byte of one of them: that message's digest, and only its, changes.
TEST_P(DigestVariant, OneByteChangesOnlyItsOwnDigest) {
  const size_t len = 184;  // two full blocks, then a tail of two blocks
  const int count = lanes() + 3;
  std::vector<uint8_t> same(len);
  fill(same.data(), len, 7);
  const std::string same_md5 = libmd_hex(same.data(), len);
  std::vector<std::vector<uint8_t>> copies(count, same);
  std::vector<const uint8_t*> msgs;
  for (const auto& c : copies) msgs.push_back(c.data());
  std::vector<digest> out(count);
  for (int changed = 0; changed < count; changed++) {
    for (size_t at = 0; at < len; at++) {
      copies[changed][at] ^= 0x10;
      run()(msgs.data(), len, count, reinterpret_cast<uint8_t(*)[DIGEST_LEN]>(out.data()));
      for (int i = 0; i < count; i++) {
        const std::string want = i == changed ? libmd_hex(msgs[i], len) : same_md5;
        ASSERT_EQ(hex(out[i].data()), want)
            << "message " << i << ", with byte " << at << " of message " << changed << " changed";
      }
      copies[changed][at] ^= 0x10;
    }
  }
}

// Where the messages lie does not matter: any alignment, any order, overlapping, or all the same.
// The digests may land at any alignment too.
TEST_P(DigestVariant, MessagesAnywhere) {
  struct layout {
    const char* name;
    size_t (*start)(int i, int count, size_t len);  // offset of message i from a 64-byte boundary
  };
  const layout layouts[] = {
      {"each at its own alignment", [](int i, int, size_t len) { return i * (len + 64) + i % 64; }},
      {"descending", [](int i, int count, size_t len) { return (count - 1 - i) * (len + 5) + 3; }},
      {"overlapping, one byte apart",
       [](int i, int, size_t) { return static_cast<size_t>(i) + 1; }},
      {"all the same", [](int, int, size_t) { return size_t{7}; }},
  };
  const int count = 3 * lanes() - 1;
  for (const size_t len : {0, 3, 64, 1008}) {
    std::vector<uint8_t> bytes((count + 1) * (len + 128));
    uint8_t* const base = bytes.data() + (64 - reinterpret_cast<uintptr_t>(bytes.data()) % 64) % 64;
    fill(base, bytes.size() - (base - bytes.data()), static_cast<uint32_t>(len));
    std::vector<uint8_t> out_bytes((count + 1) * DIGEST_LEN + 1);
    auto* const out = reinterpret_cast<uint8_t(*)[DIGEST_LEN]>(out_bytes.data() + 1);
    for (const layout& l : layouts) {
      std::vector<const uint8_t*> msgs;
      for (int i = 0; i < count; i++) msgs.push_back(base + l.start(i, count, len));
      EXPECT_TRUE(matches_libmd(run(), msgs, len, out)) << l.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Built, DigestVariant, ::testing::ValuesIn(digest_variants_built()),
                         [](const auto& info) { return std::string(info.param.name); });

// The variant each instruction-set level runs, and its lanes, by the level's number: the widest
// the level allows.
struct known_variant {
  const char* name;
  int lanes;
};
#if defined(KESTRUNE_SIMD_DIGEST) && defined(__x86_64__)
constexpr known_variant variant_at[] = {
    {"libmd", 1}, {"ssse3", 4}, {"avx2", 8}, {"avx512", 16}, {"avx512", 16}};
#else
constexpr known_variant variant_at[] = {
    {"libmd", 1}, {"libmd", 1}, {"libmd", 1}, {"libmd", 1}, {"libmd", 1}};
#endif

// In this process, at whatever level the test run was given (scripts/test runs the suite again
// with KESTRUNE_CPU_LEVEL set to every level the machine has); and its digests are libmd's.
TEST(DigestMany, UsesTheVariantKnownForTheLevelInUse) {
  const char* setting = std::getenv("KESTRUNE_CPU_LEVEL");
  SCOPED_TRACE(std::string("KESTRUNE_CPU_LEVEL=") + (setting ? setting : "(unset)"));
  ASSERT_EQ(cpu_level_in_use(), level_for_setting(setting));
  const known_variant& known = variant_at[cpu_level_in_use()];
  EXPECT_STREQ(digest_variant(), known.name);
  EXPECT_EQ(digest_lanes(), known.lanes);

  for (const size_t len : {0, 1008}) {
    batch b(2 * digest_lanes() + 3, len);
    EXPECT_TRUE(matches_libmd(digest_many, b.msgs, len, b.out_rows()));
  }
}

TEST(DigestMany, LevelVariableChoosesTheVariantInAFreshProcess) {
  check_in_fresh_process_at_every_setting([](const char* setting) {
    const cpu_level want = level_for_setting(setting);
    const known_variant& known = variant_at[want];
    std::fprintf(stderr, "level in use %s, variant %s of %d lanes; expected %s and %s of %d\n",
                 cpu_level_name(cpu_level_in_use()), digest_variant(), digest_lanes(),
                 cpu_level_name(want), known.name, known.lanes);
    return cpu_level_in_use() == want && std::strcmp(digest_variant(), known.name) == 0 &&
           digest_lanes() == known.lanes;
  });
}

// libmd runs anywhere, so every build has it, and it comes last.
TEST(DigestMany, LibmdIsAlwaysBuilt) {
  const auto built = digest_variants_built();
  ASSERT_FALSE(built.empty());
  EXPECT_STREQ(built.back().name, "libmd");
  EXPECT_EQ(built.back().needs, CPU_PORTABLE);
}

}  // namespace
