// SPDX-License-Identifier: MIT
// decode_stale_test.cpp - blocks that are intact but do not belong (an older version of the
// archive at the same place): found by decoding and left out within the radius (2e <= A - k),
// else the run ends with "inconsistent blocks" -- never other bytes with status 0, unless the old
// version is itself the nearer codeword.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

// The user data and an older version of it: the same length, a few bytes changed in every packet
// (as a file rewritten in place leaves it), or only in data packet 3 of every chunk (one record
// rewritten: the old chunk then agrees with the new one at every other data position).
struct versions {
  std::string now;
  std::string before;
};

versions two_versions(const stream_geometry& g, uint64_t chunks, bool one_packet = false) {
  const uint64_t capacity = g.capacity();
  versions v;
  v.now = pattern_bytes(size_t(chunks * capacity - capacity / 3), test_seed());
  v.before = v.now;
  const size_t packet = g.payload_len();
  for (size_t at = 5; at < v.before.size(); at += packet / 2) {
    const size_t in_chunk = (at % capacity) + 8;  // the chunk header opens packet 0
    if (!one_packet || in_chunk / packet == 3) v.before[at] ^= 0x5a;
  }
  return v;
}

enum class outcome { now, before, refused };

struct stale_case {
  std::string name;
  stream_geometry g;
  // Stale blocks (copied from the old version's stream) and blocks zeroed, all in chunk 1.
  std::vector<int> stale;
  std::vector<int> zeroed;
  outcome expected;         // refused: "inconsistent blocks" after chunk 0's bytes
  std::vector<int> named;   // the blocks -vv reports as inconsistent, when restored
  bool one_packet = false;  // the old version differs in data packet 3 alone
};

void PrintTo(const stale_case& c, std::ostream* os) { *os << c.name; }

class StreamDecodeStale : public ::testing::TestWithParam<stale_case> {};

TEST_P(StreamDecodeStale, CorrectsWithinTheRadiusAndStopsBeyondIt) {
  const stale_case& c = GetParam();
  const stream_geometry& g = c.g;
  const versions v = two_versions(g, 3, c.one_packet);
  std::string stream = encode(v.now, g);
  const std::string old_stream = encode(v.before, g);
  for (const int p : c.stale) splice_block(stream, g, {1, p}, old_stream, {1, p});
  for (const int p : c.zeroed) zero_block(stream, g, {1, p});

  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(stream, g, how, {"-vv"});
    if (c.expected == outcome::refused) {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(same_bytes(r.out, chunks_of(v.now, g, 0, 1)));
      const std::string end = fatal("unrecoverable error -- inconsistent blocks");
      ASSERT_GE(r.err.size(), end.size());
      EXPECT_EQ(r.err.substr(r.err.size() - end.size()), end);
      EXPECT_EQ(r.err.find("inconsistent block at"), std::string::npos) << r.err;
      continue;
    }
    EXPECT_EQ(r.status, 0);
    const std::string& chunk1 = c.expected == outcome::now ? v.now : v.before;
    EXPECT_TRUE(same_bytes(
        r.out, chunks_of(v.now, g, 0, 1) + chunks_of(chunk1, g, 1, 1) + chunks_of(v.now, g, 2)));
    // The blocks left out are named, after the lines of the blocks dropped on the way and before
    // the chunk's own line.
    std::string lines;
    for (int p = 0, accepted = 0; accepted < g.k; p++) {
      const bool zeroed = std::find(c.zeroed.begin(), c.zeroed.end(), p) != c.zeroed.end();
      if (zeroed) lines += bad_block(g, {1, p}, -3);
      accepted += zeroed ? 0 : 1;
    }
    for (const int p : c.named) {
      const uint64_t offset = g.chunk_bytes() + uint64_t(p) * g.blocksize;
      lines += "inconsistent block at " + std::to_string(offset) + " id " + std::to_string(p) +
               " expecting " + std::to_string(p) + "\n";
    }
    lines += read_blocks(g, uint32_t(g.capacity()));
    EXPECT_NE(r.err.find(lines), std::string::npos) << r.err.substr(0, 4000);
  }
}

const stream_geometry defaults{.blocksize = 1024, .n = 18, .k = 14};
const stream_geometry small{.blocksize = 512, .n = 10, .k = 7};

// e positions of a chunk, spread over data and parity: the first block after the k (the first
// one beyond those a rebuild takes), block 0 with the header, then data and parity blocks in turn.
std::vector<int> spread(const stream_geometry& g, int e) {
  std::vector<int> picked;
  int data = 0;
  int parity = g.k;
  for (int t = 0; t < e; t++) {
    const bool take_parity = t % 2 == 0 ? parity < g.n : data >= g.k;
    picked.push_back(take_parity ? parity++ : data++);
  }
  std::sort(picked.begin(), picked.end());
  return picked;
}

// The radius's edge, all n blocks acceptable: t = (n - k) / 2 stale blocks are corrected, t + 1
// are refused (the old version differs in every packet, so it is no nearer).
std::vector<stale_case> radius_edge() {
  const std::vector<std::pair<const char*, stream_geometry>> shapes = {
      {"defaults", defaults},
      {"n 256 k 1", {.blocksize = 64, .n = 256, .k = 1}},
      {"n 256 k 200", {.blocksize = 64, .n = 256, .k = 200}},
      {"n 9 k 8", {.blocksize = 100, .n = 9, .k = 8}},
      {"n 10 k 8", {.blocksize = 100, .n = 10, .k = 8}},
  };
  std::vector<stale_case> cases;
  for (const auto& [name, g] : shapes) {
    const int t = (g.n - g.k) / 2;
    const std::vector<int> at_t = spread(g, t);
    cases.push_back({std::string(name) + ", t stale", g, at_t, {}, outcome::now, at_t});
    cases.push_back(
        {std::string(name) + ", t + 1 stale", g, spread(g, t + 1), {}, outcome::refused, {}});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RadiusEdge, StreamDecodeStale, ::testing::ValuesIn(radius_edge()));

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamDecodeStale,
    ::testing::Values(
        // One stale block: found while k + 2 acceptable blocks remain, wherever it stands.
        stale_case{"stale data block", defaults, {3}, {}, outcome::now, {3}},
        stale_case{"stale block 0 with the header", defaults, {0}, {}, outcome::now, {0}},
        stale_case{
            "stale parity block used in the rebuild", defaults, {14}, {2}, outcome::now, {14}},
        stale_case{"stale block, k + 2 acceptable", defaults, {5}, {1, 17}, outcome::now, {5}},
        stale_case{"stale block, other geometry", small, {2}, {}, outcome::now, {2}},
        stale_case{"stale block behind blocks that agree", defaults, {16}, {0}, outcome::now, {16}},
        // Two blocks of an older version that agree with each other: the rewritten data block and
        // the first parity block after the k used. Three genuine parity blocks outvote them.
        stale_case{
            "two stale blocks that agree", defaults, {3, 14}, {}, outcome::now, {3, 14}, true},
        // Beyond the radius: refused, unless the old version is the nearer codeword. Here it
        // agrees with the new one at every data block but 3, so with blocks 3 and 8 stale it
        // differs from the stream in block 9 alone.
        stale_case{
            "two stale blocks, k + 3 acceptable", defaults, {4, 9}, {0}, outcome::refused, {}},
        stale_case{"stale block, k + 1 acceptable", defaults, {6}, {0, 1, 2}, outcome::refused, {}},
        stale_case{"three stale blocks", small, {0, 4, 8}, {}, outcome::refused, {}},
        stale_case{"old version nearer",
                   {.blocksize = 100, .n = 10, .k = 8},
                   {3, 8},
                   {},
                   outcome::before,
                   {9},
                   true}));

// A stream whose blocks agree but some of whose blocks beyond the k are damaged, unreadable or
// misplaced: nothing of it shows, not even at -vv.
TEST(StreamDecodeStale, DamagedBlocksBeyondTheKChangeNoReport) {
  const stream_geometry g = defaults;
  const versions v = two_versions(g, 2);
  std::string stream = encode(v.now, g);
  const std::string intact = stream;
  zero_block(stream, g, {0, 14});
  flip_bytes(stream, g, {0, 15}, 3);
  splice_block(stream, g, {0, 16}, intact, {0, 15});  // an intact block at another position
  zero_block(stream, g, {1, 14});
  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(stream, g, how, {"-vv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(same_bytes(r.out, v.now));
    EXPECT_EQ(r.err, report(g, how, 2) + read_blocks(g, uint32_t(g.capacity())) +
                         read_blocks(g, uint32_t(v.now.size() - g.capacity())));
  }
}

}  // namespace
}  // namespace kestrune::test
