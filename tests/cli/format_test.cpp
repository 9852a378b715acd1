// SPDX-License-Identifier: MIT
// format_test.cpp - the protected stream the program writes: block layout, trailers, chunk headers,
// data placement and padding, read back by the tests' own stream reader; and the same output
// whether the input comes through a pipe, as a redirected file or as the file operand.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/support/process.h"
#include "tests/support/surroundings.h"

namespace kestrune::test::cli {
namespace {

// Known answer: "abc" with k = 2, n = 3 and 26-byte blocks, parity included.
TEST(CliFormat, ThreeBytesGiveTheKnownStream) {
  const std::string expected = from_hex(
      "00000003ffffffff 0002 ebf2d44f6991842218fd8b8206733d9d"
      "6162630000000000 0102 d1599f518b8cf52acdd895bf6faec437"
      "c2c4c6051c1c1c1c 0202 6fe4eac574b3aa94d59a360164cde3ba");
  ASSERT_EQ(expected.size(), 78u);
  for (const input_from from : {input_from::pipe, input_from::file_operand}) {
    const run_result r = run_in({"-k2", "-n3", "-b26"}, from, "abc");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(to_hex(r.out), to_hex(expected));
  }
}

struct layout_case {
  const char* name;
  std::vector<std::string> args;
  stream_geometry g;
  size_t input_size;
};

void PrintTo(const layout_case& c, std::ostream* os) { *os << c.name; }

class CliLayout : public ::testing::TestWithParam<layout_case> {};

TEST_P(CliLayout, EveryBlockCarriesItsPartOfTheInput) {
  const layout_case& c = GetParam();
  const std::string input = pattern_bytes(c.input_size, 7);
  const run_result r = run_in(c.args, input_from::stdin_file, input);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(is_encoding_of(r.out, c.g, input));
}

// Capacities: defaults 14076; (2, 3, 26) 8; (1, 4, 27) 1; (3, 3, 64) 130; (256, 256, 64) 11768;
// (1, 256, 64) 38; (200, 256, 40) 4392; (16, 24, 4096) 65240; (14, 18, 26) 104.
INSTANTIATE_TEST_SUITE_P(
    Cases, CliLayout,
    ::testing::Values(
        layout_case{"defaults_one_byte", {}, {.blocksize = 1024, .n = 18, .k = 14}, 1},
        layout_case{
            "defaults_one_chunk_less_one", {}, {.blocksize = 1024, .n = 18, .k = 14}, 14075},
        layout_case{"defaults_one_full_chunk", {}, {.blocksize = 1024, .n = 18, .k = 14}, 14076},
        layout_case{"defaults_one_byte_over", {}, {.blocksize = 1024, .n = 18, .k = 14}, 14077},
        layout_case{"defaults_two_full_chunks", {}, {.blocksize = 1024, .n = 18, .k = 14}, 28152},
        layout_case{"defaults_five_chunks_and_a_part",
                    {},
                    {.blocksize = 1024, .n = 18, .k = 14},
                    5 * 14076 + 3000},
        layout_case{"small_code_thirteen_chunks",
                    {"-k2", "-n3", "-b26"},
                    {.blocksize = 26, .n = 3, .k = 2},
                    100},
        layout_case{"one_data_packet_one_byte_chunks",
                    {"-k1", "-n4", "-b27"},
                    {.blocksize = 27, .n = 4, .k = 1},
                    3},
        layout_case{"no_parity_when_k_equals_n",
                    {"-k", "3", "-n", "3", "-b", "64"},
                    {.blocksize = 64, .n = 3, .k = 3},
                    500},
        layout_case{"k_256_has_k_byte_0",
                    {"-n", "256", "-k", "256", "-b", "64"},
                    {.blocksize = 64, .n = 256, .k = 256},
                    11769},
        layout_case{"block_indexes_up_to_255",
                    {"-n", "256", "-k", "1", "-b", "64"},
                    {.blocksize = 64, .n = 256, .k = 1},
                    100},
        layout_case{"k_200_of_256",
                    {"-n", "256", "-k", "200", "-b", "40"},
                    {.blocksize = 40, .n = 256, .k = 200},
                    5000},
        layout_case{"four_kib_blocks",
                    {"-b", "4K", "-n", "24", "-k", "16"},
                    {.blocksize = 4096, .n = 24, .k = 16},
                    100000},
        layout_case{"smallest_blocks_default_code",
                    {"-b", "26"},
                    {.blocksize = 26, .n = 18, .k = 14},
                    1000}),
    [](const ::testing::TestParamInfo<layout_case>& info) { return std::string(info.param.name); });

// The chunk headers at the defaults, byte for byte, independent of the stream reader.
TEST(CliFormat, ChunkHeadersAtTheDefaults) {
  struct header_case {
    size_t input_size;
    size_t output_size;
    std::vector<std::pair<size_t, std::string>> headers;  // offset, hex bytes
  };
  const header_case cases[] = {
      {14076, 18432, {{0, "000036fc ffffffff"}}},
      {14077, 36864, {{0, "000036fc 00000000"}, {18432, "00000001 ffffffff"}}},
      {28152, 36864, {{0, "000036fc 00000000"}, {18432, "000036fc ffffffff"}}},
  };
  for (const header_case& c : cases) {
    SCOPED_TRACE(c.input_size);
    const std::string input = pattern_bytes(c.input_size, 3);
    const run_result r = run_in({}, input_from::pipe, input);
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), c.output_size);
    for (const auto& [offset, hex] : c.headers) {
      EXPECT_EQ(to_hex(r.out.substr(offset, 8)), to_hex(from_hex(hex))) << "at " << offset;
    }
    // Block 0 of each chunk: index 0, k byte 14.
    for (size_t chunk = 0; chunk < c.output_size; chunk += 18432) {
      EXPECT_EQ(to_hex(r.out.substr(chunk + 1006, 2)), "000e") << "at " << chunk;
    }
  }

  // The one byte of the second chunk right after its header, then zeros to the end of packet 0.
  const std::string input = pattern_bytes(14077, 3);
  const run_result r = run_in({}, input_from::pipe, input);
  ASSERT_EQ(r.out.size(), 36864u);
  EXPECT_EQ(r.out[18440], input.back());
  EXPECT_EQ(r.out.substr(18441, 1006 - 9), std::string(1006 - 9, '\0'));
}

// The input read through a pipe, redirected from a file and named as the operand gives one and the
// same stream; an empty input an empty stream.
TEST(CliFormat, PipeFileAndOperandGiveTheSameStream) {
  struct size_case {
    std::vector<std::string> args;
    stream_geometry g;
    size_t input_size;
  };
  const size_case cases[] = {
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 0},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 1},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 14076},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 14077},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 28152},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 3 * 14076 + 100},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 200000},
      // Inputs that end at, or one byte after, the end of a batch of 14 or 16 chunks (the input is
      // read a batch at a time, with one byte beyond to tell whether a chunk is the last).
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 14 * 14076},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 14 * 14076 + 1},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 16 * 14076},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 16 * 14076 + 1},
      {{}, {.blocksize = 1024, .n = 18, .k = 14}, 28 * 14076},
      {{"-b4096"}, {.blocksize = 4096, .n = 18, .k = 14}, 1000000},
      {{"-k2", "-n3", "-b26"}, {.blocksize = 26, .n = 3, .k = 2}, 0},
      {{"-k2", "-n3", "-b26"}, {.blocksize = 26, .n = 3, .k = 2}, 8},
      {{"-k2", "-n3", "-b26"}, {.blocksize = 26, .n = 3, .k = 2}, 9},
      {{"-k2", "-n3", "-b26"}, {.blocksize = 26, .n = 3, .k = 2}, 4100},
  };
  for (const size_case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.input_size << " bytes, k " << c.g.k);
    const std::string input = pattern_bytes(c.input_size, 11);
    const run_result piped = run_in(c.args, input_from::pipe, input);
    const run_result redirected = run_in(c.args, input_from::stdin_file, input);
    const run_result named = run_in(c.args, input_from::file_operand, input);
    for (const run_result* r : {&piped, &redirected, &named}) {
      EXPECT_EQ(r->status, 0);
      EXPECT_EQ(r->err, "");
    }
    EXPECT_TRUE(is_encoding_of(piped.out, c.g, input));
    EXPECT_TRUE(redirected.out == piped.out) << "redirected file differs from pipe";
    EXPECT_TRUE(named.out == piped.out) << "operand differs from pipe";
  }
}

}  // namespace
}  // namespace kestrune::test::cli
