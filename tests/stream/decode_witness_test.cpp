// SPDX-License-Identifier: MIT
// decode_witness_test.cpp - blocks that are intact but do not belong (an older version of the
// archive at the same place, another stream with the same parameters): found by the chunk's other
// blocks and left out, or the run ends with "inconsistent blocks" -- never other bytes with
// status 0.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

// The user data and an older version of it: the same length, a few bytes changed in every packet,
// as a file rewritten in place leaves it.
struct versions {
  std::string now;
  std::string before;
};

versions two_versions(const stream_geometry& g, uint64_t chunks) {
  const uint64_t capacity = g.capacity();
  versions v;
  v.now = pattern_bytes(size_t(chunks * capacity - capacity / 3), test_seed());
  v.before = v.now;
  for (size_t at = 5; at < v.before.size(); at += g.payload_len() / 2) v.before[at] ^= 0x5a;
  return v;
}

struct witness_case {
  const char* name;
  stream_geometry g;
  // Stale blocks (copied from the old version's stream) and blocks zeroed, all in chunk 1.
  std::vector<int> stale;
  std::vector<int> zeroed;
  bool restored;           // else: "inconsistent blocks" after chunk 0's bytes
  std::vector<int> named;  // the blocks -vv reports as inconsistent, when restored
};

void PrintTo(const witness_case& c, std::ostream* os) { *os << c.name; }

class StreamDecodeWitness : public ::testing::TestWithParam<witness_case> {};

TEST_P(StreamDecodeWitness, LeavesOutTheBlocksThatDisagreeOrStops) {
  const witness_case& c = GetParam();
  const stream_geometry& g = c.g;
  const versions v = two_versions(g, 3);
  std::string stream = encode(v.now, g);
  const std::string old_stream = encode(v.before, g);
  for (const int p : c.stale) splice_block(stream, g, {1, p}, old_stream, {1, p});
  for (const int p : c.zeroed) zero_block(stream, g, {1, p});

  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(stream, g, how, {"-vv"});
    if (c.restored) {
      EXPECT_EQ(r.status, 0);
      EXPECT_TRUE(same_bytes(r.out, v.now));
      // The stale blocks the decoder looked at are named, after the lines of the blocks dropped
      // on the way and before the chunk's own line.
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
      EXPECT_NE(r.err.find(lines), std::string::npos) << r.err;
    } else {
      EXPECT_EQ(r.status, 1);
      EXPECT_TRUE(same_bytes(r.out, chunks_of(v.now, g, 0, 1)));
      const std::string end = fatal("unrecoverable error -- inconsistent blocks");
      ASSERT_GE(r.err.size(), end.size());
      EXPECT_EQ(r.err.substr(r.err.size() - end.size()), end);
      EXPECT_EQ(r.err.find("inconsistent block at"), std::string::npos) << r.err;
    }
  }
}

const stream_geometry defaults{.blocksize = 1024, .n = 18, .k = 14};
const stream_geometry small{.blocksize = 512, .n = 10, .k = 7};

INSTANTIATE_TEST_SUITE_P(
    Cases, StreamDecodeWitness,
    ::testing::Values(
        // One stale block: always found while k + 2 acceptable blocks remain.
        witness_case{"stale data block", defaults, {3}, {}, true, {3}},
        witness_case{"stale block 0 with the header", defaults, {0}, {}, true, {0}},
        witness_case{"stale parity block used in the rebuild", defaults, {14}, {2}, true, {14}},
        witness_case{"stale witness", defaults, {14}, {}, true, {14}},
        witness_case{"stale block, k + 2 acceptable", defaults, {5}, {1, 17}, true, {5}},
        witness_case{"stale block, other geometry", small, {2}, {}, true, {2}},
        // A stale block behind a witness that agrees is never read.
        witness_case{"stale block after the witness", defaults, {16}, {0}, true, {}},
        // Two stale blocks: found when 2 * 2 <= acceptable - k.
        witness_case{"two stale blocks, all others intact", defaults, {4, 15}, {}, true, {4, 15}},
        witness_case{"two stale blocks, k + 3 acceptable", defaults, {4, 9}, {0}, false, {}},
        // Too few blocks left to tell which one is wrong.
        witness_case{"stale block, k + 1 acceptable", defaults, {6}, {0, 1, 2}, false, {}},
        witness_case{"three stale blocks", small, {0, 4, 8}, {}, false, {}}));

// A stream whose blocks agree but whose witness is damaged: the next block serves, and nothing of
// it shows, not even at -vv.
TEST(StreamDecodeWitness, DamagedWitnessesChangeNoReport) {
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
