// SPDX-License-Identifier: MIT
// decode_roundtrip_test.cpp - undamaged streams of every shape decode to exactly the input, from a
// file and from a pipe.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

struct shape {
  const char* name;
  stream_geometry g;
  bool large_input;  // also a few MiB of input
};

// The sizes around the chunk capacity, several chunks, and optionally a few MiB.
std::vector<size_t> sizes_for(const shape& s) {
  const size_t cap = s.g.capacity();
  std::set<size_t> sizes{1, cap - 1, cap, cap + 1, 3 * cap + cap / 3 + 1};
  if (s.large_input) sizes.insert((size_t{3} << 20) + 7);
  sizes.erase(0);
  return {sizes.begin(), sizes.end()};
}

// Test parameters print as their names.
void PrintTo(const shape& param, std::ostream* os) { *os << param.name; }

class StreamDecodeRoundTrip : public ::testing::TestWithParam<shape> {};

TEST_P(StreamDecodeRoundTrip, RestoresTheInput) {
  const stream_geometry& g = GetParam().g;
  for (const size_t size : sizes_for(GetParam())) {
    SCOPED_TRACE("input of " + std::to_string(size) + " bytes");
    const std::string data = pattern_bytes(size, test_seed() + static_cast<unsigned>(size));
    const std::string stream = encode(data, g);
    ASSERT_EQ(stream.size(), chunk_count(g, size) * g.chunk_bytes());
    for (const feed how : all_feeds) {
      SCOPED_TRACE(feed_name(how));
      const run_result r = decode(stream, g, how);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.err, "");
      EXPECT_TRUE(same_bytes(r.out, data));
    }
  }
}

const shape shapes[] = {
    {"k1_n2", {.blocksize = 1024, .n = 2, .k = 1}, false},
    {"k2_n3_b26", {.blocksize = 26, .n = 3, .k = 2}, false},
    {"k1_n2_b27", {.blocksize = 27, .n = 2, .k = 1}, false},
    {"k14_n18_b26", {.blocksize = 26, .n = 18, .k = 14}, false},
    {"k14_n18_b27", {.blocksize = 27, .n = 18, .k = 14}, false},
    {"defaults", {}, true},
    {"k5_n5", {.blocksize = 1024, .n = 5, .k = 5}, false},
    {"k200_n255", {.blocksize = 1024, .n = 255, .k = 200}, false},
    {"k256_n256", {.blocksize = 1024, .n = 256, .k = 256}, false},
    {"b64K", {.blocksize = 65536, .n = 18, .k = 14}, true},
    {"k2_n3_b64K", {.blocksize = 65536, .n = 3, .k = 2}, false},
};

INSTANTIATE_TEST_SUITE_P(Shapes, StreamDecodeRoundTrip, ::testing::ValuesIn(shapes),
                         [](const ::testing::TestParamInfo<shape>& info) {
                           return std::string(info.param.name);
                         });

// The program decodes under a name that ends in "decode" without -d, from a seekable standard
// input as from a file operand; -v reports the parameters and the kind of input.
TEST(StreamDecodeInvocation, DecodeNameSeekableStdinAndReport) {
  const stream_geometry g{.blocksize = 512, .n = 7, .k = 4};
  const std::string data = pattern_bytes(3 * g.capacity() + 100, test_seed());
  const std::string stream = encode(data, g);
  const temp_dir dir;
  const std::string link = dir.file("kestrune-decode");
  std::filesystem::create_symlink(kestrune_path(), link);

  struct invocation {
    const char* name;
    std::string program;
    std::vector<std::string> options;  // before the parameters
    input_from from;
    feed reported;
  };
  const invocation cases[] = {
      {"kestrune-decode FILE", link, {"-v"}, input_from::file_operand, feed::file},
      {"kestrune-decode < FILE", link, {"-v"}, input_from::stdin_file, feed::file},
      {"kestrune -d < FILE", kestrune_path(), {"-v", "-d"}, input_from::stdin_file, feed::file},
      {"kestrune -d < PIPE", kestrune_path(), {"-v", "-d"}, input_from::pipe, feed::pipe},
  };
  for (const invocation& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-b", "512", "-n", "7", "-k", "4"});
    run_options options;
    options.program = c.program;
    const run_result r = run_in(args, c.from, stream, output_to::captured, options, "stream.kst");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, report(g, c.reported, 1));
    EXPECT_TRUE(same_bytes(r.out, data));
  }
}

}  // namespace
}  // namespace kestrune::test
