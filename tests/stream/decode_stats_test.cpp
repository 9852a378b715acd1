// SPDX-License-Identifier: MIT
// decode_stats_test.cpp - kestrune -d --stats: the summary of what the decoder dropped, by kind,
// the chunks that needed parity and the lowest spare, on an undamaged stream, a damaged one, and at
// a fatal stop, from a file and from a pipe; and nothing of it without the option.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g{};  // the defaults: n 18, k 14
constexpr uint64_t chunks = 4;

// The user data, and an older version of it with a few bytes changed in every packet: its blocks
// pass every check on their own, but disagree with the new version's chunk.
struct versions {
  std::string now;
  std::string before;
};

versions two_versions() {
  versions v;
  v.now = pattern_bytes(size_t(chunks * g.capacity() - g.capacity() / 3), test_seed());
  v.before = v.now;
  for (size_t at = 5; at < v.before.size(); at += g.payload_len() / 2) v.before[at] ^= 0x5a;
  return v;
}

struct expected_stats {
  int64_t read;
  int64_t needing_parity;
  int64_t digest;
  int64_t index;
  int64_t short_blocks;
  int64_t inconsistent;
  int lowest_spare;
  uint64_t lowest_at;  // chunk
  int64_t stopped_at;  // chunk, or -1 when the stream is restored
};

std::string stats_text(const expected_stats& e, const std::string& input_name) {
  const auto line = [](const std::string& what, int64_t count) {
    return "stats: " + what + " " + std::to_string(count) + "\n";
  };
  std::string text = line("chunks read", e.read) + line("chunks needing parity", e.needing_parity);
  text += line("blocks dropped", e.digest + e.index + e.short_blocks + e.inconsistent);
  text += line("blocks dropped digest", e.digest) + line("blocks dropped index", e.index);
  text += line("blocks dropped short", e.short_blocks);
  text += line("blocks dropped inconsistent", e.inconsistent);
  text += "stats: lowest spare " + std::to_string(e.lowest_spare) + " at chunk " +
          std::to_string(e.lowest_at) + " offset " + std::to_string(g.chunk_offset(e.lowest_at)) +
          "\n";
  if (e.stopped_at >= 0) {
    const uint64_t at = uint64_t(e.stopped_at);
    text += "stats: stopped at chunk " + std::to_string(at) + " offset " +
            std::to_string(g.chunk_offset(at)) + "\n";
    text += "stats: kestrune-scan " + input_name + " reports every chunk and salvages the rest\n";
  }
  return text;
}

struct stats_case {
  const char* name;
  std::function<void(std::string& stream, const std::string& old_stream)> damage;
  expected_stats expected;
};

void PrintTo(const stats_case& c, std::ostream* os) { *os << c.name; }

class StreamDecodeStats : public ::testing::TestWithParam<stats_case> {};

TEST_P(StreamDecodeStats, SummarisesWhatWasDroppedOnlyWhenAsked) {
  const stats_case& c = GetParam();
  const versions v = two_versions();
  std::string stream = encode(v.now, g);
  c.damage(stream, encode(v.before, g));
  const bool stops = c.expected.stopped_at >= 0;
  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result plain = decode(stream, g, how);
    const run_result r = decode(stream, g, how, {"--stats"});
    EXPECT_EQ(r.status, stops ? 1 : 0);
    EXPECT_EQ(plain.status, r.status);
    EXPECT_TRUE(same_bytes(r.out, plain.out));
    if (!stops) {
      EXPECT_TRUE(same_bytes(r.out, v.now));
    }
    // The summary, then the fatal message that the run without --stats gives alone.
    // The file is named by its path in a temporary directory, which the summary repeats.
    const std::string err = std::regex_replace(
        r.err, std::regex("kestrune-scan /[^ ]*/stream\\.kst "), "kestrune-scan stream.kst ");
    const std::string name = how == feed::file ? "stream.kst" : "-";
    EXPECT_EQ(err, stats_text(c.expected, name) + plain.err);
    EXPECT_EQ(plain.err.find("stats:"), std::string::npos) << plain.err;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamDecodeStats,
    ::testing::Values(
        stats_case{"undamaged",
                   [](std::string&, const std::string&) {},
                   {chunks, 0, 0, 0, 0, 0, g.n - g.k, 0, -1}},
        // Chunk 0: a parity block of the older version (inconsistent). Chunk 1: a data block and
        // the first parity block beyond the k with a wrong digest. Chunk 2: two data blocks
        // exchanged (index). Chunk 3, the last: a parity block whose index byte is damaged
        // (digest) and the last block cut short.
        stats_case{"damaged",
                   [](std::string& stream, const std::string& old_stream) {
                     splice_block(stream, g, {0, 16}, old_stream, {0, 16});
                     flip_bytes(stream, g, {1, 2}, 100);
                     flip_bytes(stream, g, {1, 15}, 7);
                     swap_blocks(stream, g, {2, 3}, {2, 5});
                     flip_bytes(stream, g, {3, 16}, g.index_byte());
                     truncate_at(stream, stream.size() - 100);
                   },
                   {chunks, 2, 3, 2, 1, 1, 2, 1, -1}},
        // A data block of the older version in a chunk whose other blocks are all there.
        stats_case{"stale data block",
                   [](std::string& stream, const std::string& old_stream) {
                     splice_block(stream, g, {1, 4}, old_stream, {1, 4});
                   },
                   {chunks, 1, 0, 0, 0, 1, 3, 1, -1}},
        // Chunk 2 loses n - k + 1 blocks: chunks 0 and 1 restored, the stop at chunk 2.
        stats_case{"fatal stop",
                   [](std::string& stream, const std::string&) {
                     flip_bytes(stream, g, {1, 17}, 3);
                     for (int p = 0; p <= g.n - g.k; p++) zero_block(stream, g, {2, p});
                   },
                   {2, 0, 6, 0, 0, 0, 3, 1, 2}}));

// --stats is the decoder's: encoding refuses it, before any output.
TEST(StreamDecodeStatsOption, IsRefusedWhenEncoding) {
  run_options options;
  options.stdin_bytes = "data";
  const run_result r = run_program({"--stats"}, options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("--stats goes with -d"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace kestrune::test
