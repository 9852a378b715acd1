// SPDX-License-Identifier: MIT
// unreadable_test.cpp - kestrune -d and kestrune-scan on a stream file with a stretch that cannot
// be read (tests/support/unreadable.h), with readable blocks behind it in the same chunk: each
// unreadable block costs that block alone. The decoder restores the exact bytes and names every
// unreadable block it needed at -vv; the scanner calls exactly those blocks short and accepts all
// others.
#include <gtest/gtest.h>

#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/scan/scan_support.h"
#include "tests/support/unreadable.h"

namespace kestrune::test {
namespace {

const stream_geometry g;  // the defaults: 14 data blocks and 4 parity blocks a chunk
const size_t data_size = 2 * g.capacity() + 5000;

struct unreadable_case {
  const char* name;
  block_ref block;  // the block where the unreadable bytes start
  size_t skip;      // readable bytes of that block before them
  size_t length;    // unreadable bytes
};

void PrintTo(const unreadable_case& c, std::ostream* os) { *os << c.name; }

// The blocks whose bytes overlap the unreadable ones, as stream block numbers.
std::set<uint64_t> unreadable_blocks(const unreadable_case& c) {
  const uint64_t start = block_offset(g, c.block) + c.skip;
  std::set<uint64_t> blocks;
  for (uint64_t b = start / g.blocksize; b * g.blocksize < start + c.length; b++) blocks.insert(b);
  return blocks;
}

bool unreadable(const std::set<uint64_t>& blocks, uint64_t chunk, int position) {
  return blocks.count(chunk * g.n + position) != 0;
}

const unreadable_case cases[] = {
    {"data_block_5_of_chunk_0", {0, 5}, 0, 1024},
    {"100_bytes_inside_data_block_7_of_chunk_1", {1, 7}, 500, 100},
    {"across_data_blocks_8_and_9_of_chunk_0", {0, 8}, 1000, 48},
    {"data_blocks_3_and_4_of_chunk_1", {1, 3}, 0, 2 * 1024},
    {"header_block_of_the_last_chunk", {2, 0}, 0, 1024},
    // The decoder's witness: it reads the next block instead, without a word.
    {"parity_block_14_of_chunk_1", {1, 14}, 0, 1024},
    // One block more than the parity: chunk 1 is lost.
    {"data_blocks_2_to_6_of_chunk_1", {1, 2}, 0, 5 * 1024},
};

class UnreadableBlocks
    : public ::testing::TestWithParam<std::tuple<unreadable_case, read_failure>> {
 protected:
  const unreadable_case& the_case() const { return std::get<0>(GetParam()); }
  run_options failing_reads() const {
    const unreadable_case& c = the_case();
    run_options options;
    options.env =
        unreadable_bytes(block_offset(g, c.block) + c.skip, c.length, std::get<1>(GetParam()));
    return options;
  }
};

// The output is exactly the data of the chunks the decoder restores, and -vv names each unreadable
// block it read before the k-th acceptable one of its chunk: a block read from the wrong place
// would show as another bad block, or as wrong bytes.
TEST_P(UnreadableBlocks, DecoderRestoresTheBytesAndNamesTheBlocks) {
  const std::set<uint64_t> blocks = unreadable_blocks(the_case());
  const std::string data = pattern_bytes(data_size, test_seed());
  const uint64_t chunks = chunk_count(g, data.size());
  std::string messages;
  uint64_t restored = 0;
  for (; restored < chunks; restored++) {
    int accepted = 0;
    for (int i = 0; i < g.n && accepted < g.k; i++) {
      if (unreadable(blocks, restored, i)) {
        messages += bad_block(g, {restored, i}, -2);
      } else {
        accepted++;
      }
    }
    if (accepted < g.k) break;
    messages += read_blocks(g, static_cast<uint32_t>(chunks_of(data, g, restored, 1).size()));
  }
  const bool complete = restored == chunks;
  if (!complete) messages += fatal(too_many_bad_blocks);

  const run_result r = decode(encode(data, g), g, feed::file, {"-vv"}, failing_reads());
  EXPECT_EQ(r.status, complete ? 0 : 1);
  EXPECT_EQ(r.err, report(g, feed::file, 2) + messages);
  EXPECT_TRUE(same_bytes(r.out, chunks_of(data, g, 0, restored)));
}

// A file is read a batch (14 chunks of the defaults) at a time, whole chunks in one read. An
// unreadable block in it stays unread: its slot still holds what the batch before left there, here
// chunk 1's block 16, a valid block that must not be taken for chunk 15's witness. Chunk 15 has
// damaged parity blocks 14 and 15 and an unreadable 16, so its witness is 17; chunks 0 and 14 lose
// data block 3 besides (a stripe, whose next chunks are digested whole). Nothing is said of 14 to
// 16, and every byte comes back.
TEST(UnreadableReadAhead, AnUnreadableBlockIsNoWitness) {
  const std::string data = pattern_bytes(16 * g.capacity() + 100, test_seed());
  std::string stream = encode(data, g);
  flip_bytes(stream, g, {0, 3}, 100);
  flip_bytes(stream, g, {14, 3}, 100);
  flip_bytes(stream, g, {15, 14}, 100);
  flip_bytes(stream, g, {15, 15}, 100);
  for (const read_failure how : {read_failure::whole_read, read_failure::after_a_short}) {
    SCOPED_TRACE(name_of(how));
    run_options options;
    options.env = unreadable_bytes(block_offset(g, {15, 16}), g.blocksize, how);
    const run_result r = decode(stream, g, feed::file, {"-vv"}, options);
    EXPECT_EQ(r.status, 0);
    std::string messages;
    for (uint64_t m = 0; m < chunk_count(g, data.size()); m++) {
      if (m == 0 || m == 14) messages += bad_block(g, {m, 3}, -3);
      messages += read_blocks(g, static_cast<uint32_t>(chunks_of(data, g, m, 1).size()));
    }
    EXPECT_EQ(r.err, report(g, feed::file, 2) + messages);
    EXPECT_TRUE(same_bytes(r.out, data));
  }
}

// Every unreadable block is rejected as short, every other one accepted; the salvage keeps every
// byte that can be had.
TEST_P(UnreadableBlocks, ScannerCallsExactlyThoseBlocksShort) {
  const std::set<uint64_t> blocks = unreadable_blocks(the_case());
  const std::string data = pattern_bytes(data_size, test_seed());
  const temp_dir dir;
  std::vector<std::string> args = all_geometry_args(g);
  args.insert(args.end(), {"--json", "--salvage", dir.file("salvage")});
  const run_result r = scan(encode(data, g), feed::file, args, failing_reads());
  EXPECT_EQ(r.err, "");
  const json_report report = read_json_report(r.out);
  ASSERT_EQ(report.chunks.size(), chunk_count(g, data.size()));

  bool lost = false;
  for (uint64_t m = 0; m < report.chunks.size(); m++) {
    SCOPED_TRACE("chunk " + std::to_string(m));
    const json_value& chunk = report.chunks[m];
    std::string rejected = "[";
    int short_blocks = 0;
    for (int i = 0; i < g.n; i++) {
      if (!unreadable(blocks, m, i)) continue;
      if (short_blocks++ > 0) rejected += ',';
      rejected += R"({"position":)" + std::to_string(i) + R"(,"reason":"short"})";
    }
    rejected += ']';
    EXPECT_EQ(chunk["rejected"].text(), rejected);
    EXPECT_EQ(chunk["accepted"].number(), g.n - short_blocks);
    const char* status = short_blocks == 0           ? "intact"
                         : short_blocks <= g.n - g.k ? "repairable"
                                                     : "lost";
    EXPECT_EQ(chunk["status"].string(), status);
    lost = lost || short_blocks > g.n - g.k;
  }
  EXPECT_EQ(r.status, lost ? 3 : 2);
  const std::string salvaged = read_file(dir.file("salvage"));
  EXPECT_TRUE(salvage_matches(salvaged, data, report));
  if (!lost) {
    EXPECT_TRUE(same_bytes(salvaged, data));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnreadableBlocks,
    ::testing::Combine(::testing::ValuesIn(cases),
                       ::testing::Values(read_failure::whole_read, read_failure::after_a_short)),
    [](const ::testing::TestParamInfo<std::tuple<unreadable_case, read_failure>>& info) {
      return std::string(std::get<0>(info.param).name) + "_" + name_of(std::get<1>(info.param));
    });

}  // namespace
}  // namespace kestrune::test
