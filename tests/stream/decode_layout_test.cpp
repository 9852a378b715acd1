// SPDX-License-Identifier: MIT
// decode_layout_test.cpp - streams whose blocks or chunks are out of place, cut short, extended,
// re-headed or written with other parameters: exactly what the decoder writes, reports at -vv and
// exits with, from a file and from a pipe.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g;  // the decoder's: the defaults
const uint64_t block = g.blocksize;
const uint32_t cap = static_cast<uint32_t>(g.capacity());
const uint32_t last_len = 5000;  // user bytes of every test stream's last chunk

uint64_t base(uint64_t chunk) { return g.chunk_offset(chunk); }

// Lines for positions [first, end) of a chunk all dropped with the same result.
std::string bad_run(uint64_t chunk, int first, int end, int result) {
  std::string lines;
  for (int i = first; i < end; i++) lines += bad_block(g, {chunk, i}, result);
  return lines;
}

// The report lines of intact chunks holding clens.
std::string reads(std::initializer_list<uint32_t> clens) {
  std::string lines;
  for (const uint32_t clen : clens) lines += read_blocks(g, clen);
  return lines;
}

// Changes the stream of the data.
using edit_fn = std::function<void(std::string& stream, const std::string& data)>;
// The expected output from the data and the changed stream.
using out_fn = std::function<std::string(const std::string& data, const std::string& stream)>;

struct layout_case {
  std::string name;
  uint64_t chunks;  // of the stream: chunks - 1 full ones and last_len bytes
  edit_fn damage;   // null: none
  int status;
  out_fn output;
  std::string messages;         // expected at -vv after the report
  stream_geometry written = g;  // the geometry the stream was written with
};

out_fn chunks(uint64_t first, uint64_t count = UINT64_MAX) {
  return
      [=](const std::string& data, const std::string&) { return chunks_of(data, g, first, count); };
}
const out_fn nothing = [](const std::string&, const std::string&) { return std::string(); };

std::vector<layout_case> layout_cases() {
  std::vector<layout_case> cases;
  const std::string three_reads = reads({cap, cap, last_len});

  for (const size_t offset :
       {size_t{100}, size_t{0}, size_t{5}, g.index_byte(), g.k_byte(), g.digest() + 3}) {
    cases.push_back({"byte " + std::to_string(offset) + " of block 0 changed", 3,
                     [=](std::string& s, const std::string&) {
                       flip_bytes(s, g, {0, 0}, offset);
                     },
                     0, chunks(0), bad_block(0, -3, 0) + three_reads});
  }
  cases.push_back({"blocks 0 and 1 exchanged", 3,
                   [](std::string& s, const std::string&) {
                     swap_blocks(s, g, {0, 0}, {0, 1});
                   },
                   0, chunks(0), bad_block(0, 1, 0) + bad_block(block, 0, 1) + three_reads});
  cases.push_back({"index byte of block 2 of chunk 1 set to 9 and resealed", 3,
                   [](std::string& s, const std::string&) {
                     overwrite_bytes(s, g, {1, 2}, g.index_byte(), "\x09");
                     reseal_block(s, g, {1, 2});
                   },
                   0, chunks(0), reads({cap}) + bad_block(g, {1, 2}, 9) + reads({cap, last_len})});
  cases.push_back({"block 5 of chunk 1 replaced by block 7 of another stream", 3,
                   [](std::string& s, const std::string& data) {
                     splice_block(s, g, {1, 5}, encode(data.substr(0, 100), g), {0, 7});
                   },
                   0, chunks(0), reads({cap}) + bad_block(g, {1, 5}, 7) + reads({cap, last_len})});
  cases.push_back(
      {"block 3 of chunk 1 taken from a stream written with k 12", 3,
       [](std::string& s, const std::string& data) {
         splice_block(s, g, {1, 3}, encode(data, {.blocksize = 1024, .n = 18, .k = 12}), {1, 3});
       },
       1, chunks(0, 1), reads({cap}) + fatal("incorrect K value")});
  cases.push_back({"k byte of block 4 of chunk 1 set to 15 and resealed", 3,
                   [](std::string& s, const std::string&) {
                     overwrite_bytes(s, g, {1, 4}, g.k_byte(), "\x0f");
                     reseal_block(s, g, {1, 4});
                   },
                   1, chunks(0, 1), reads({cap}) + fatal("incorrect K value")});

  // Dropped blocks shift everything behind them; the blocks are not found again.
  std::string shifted;
  for (int i = 3; i < 17; i++) shifted += bad_block(i * block, i + 1, i);
  cases.push_back({"block 3 dropped from a one-chunk stream", 1,
                   [](std::string& s, const std::string&) {
                     drop_block(s, g, {0, 3});
                   },
                   1, nothing,
                   shifted + bad_block(17 * block, -2, 17) + fatal(too_many_bad_blocks)});
  cases.push_back({"parity block 15 of the last chunk dropped", 2,
                   [](std::string& s, const std::string&) {
                     drop_block(s, g, {1, 15});
                   },
                   0, chunks(0), reads({cap, last_len})});

  // Chunk order.
  cases.push_back({"chunks 0 and 1 exchanged in a stream of three", 3,
                   [](std::string& s, const std::string&) { swap_chunks(s, g, 0, 1); }, 1, nothing,
                   reads({cap}) + fatal("chunk out of order at 0 id 1 expecting 0")});
  cases.push_back({"chunks 0 and 1 exchanged in a stream of two", 2,
                   [](std::string& s, const std::string&) { swap_chunks(s, g, 0, 1); }, 0,
                   chunks(1), reads({last_len})});
  cases.push_back({"chunk 1 of four lost", 4,
                   [](std::string& s, const std::string&) { s.erase(base(1), g.chunk_bytes()); }, 1,
                   chunks(0, 1),
                   reads({cap, cap}) + fatal("chunk out of order at 18432 id 2 expecting 1")});
  cases.push_back({"chunk 0 numbered -2", 3,
                   [](std::string& s, const std::string&) { set_chunk_header(s, g, 0, cap, -2); },
                   1, nothing,
                   reads({cap}) + fatal("chunk out of order at 0 id 4294967294 expecting 0")});
  cases.push_back({"chunk 1 marked last, chunk 2 destroyed", 3,
                   [](std::string& s, const std::string&) {
                     set_chunk_header(s, g, 1, cap, -1);
                     for (int i = 0; i < g.n; i++) zero_block(s, g, {2, i});
                   },
                   0, chunks(0, 2), reads({cap, cap})});

  // Chunk lengths: 0 writes nothing of the chunk, more than the capacity writes the capacity.
  cases.push_back({"clen of chunk 1 set to 0", 3,
                   [](std::string& s, const std::string&) { set_chunk_header(s, g, 1, 0, 1); }, 0,
                   [](const std::string& data, const std::string&) {
                     return chunks_of(data, g, 0, 1) + chunks_of(data, g, 2);
                   },
                   reads({cap, 0, last_len})});
  for (const uint32_t clen : {cap + 1, uint32_t{0x7fffffff}, uint32_t{0x80000000}, ~uint32_t{0}}) {
    cases.push_back(
        {"clen of the last chunk set to " + std::to_string(clen), 3,
         [=](std::string& s, const std::string&) { set_chunk_header(s, g, 2, clen, -1); }, 0,
         [](const std::string& data, const std::string& stream) {
           return chunks_of(data, g, 0, 2) + stored_packets(stream, g, 2);
         },
         reads({cap, cap, clen})});
  }

  // Cut and extended streams.
  cases.push_back(
      {"cut inside block 5 of chunk 1", 3,
       [](std::string& s, const std::string&) { truncate_at(s, base(1) + 5 * block + 100); }, 1,
       chunks(0, 1), reads({cap}) + bad_run(1, 5, 18, -2) + fatal(too_many_bad_blocks)});
  cases.push_back({"cut between chunks 1 and 2", 3,
                   [](std::string& s, const std::string&) { truncate_at(s, base(2)); }, 1,
                   chunks(0, 2),
                   reads({cap, cap}) + bad_run(2, 0, 18, -2) + fatal(too_many_bad_blocks)});
  cases.push_back(
      {"cut inside data block 13 of the last chunk", 3,
       [](std::string& s, const std::string&) { truncate_at(s, base(2) + 13 * block + 500); }, 1,
       chunks(0, 2), reads({cap, cap}) + bad_run(2, 13, 18, -2) + fatal(too_many_bad_blocks)});
  cases.push_back({"cut right after the data blocks of the last chunk", 3,
                   [](std::string& s, const std::string&) { truncate_at(s, base(2) + 14 * block); },
                   0, chunks(0), three_reads});
  cases.push_back(
      {"cut inside parity block 16 of the last chunk", 3,
       [](std::string& s, const std::string&) { truncate_at(s, base(2) + 16 * block + 10); }, 0,
       chunks(0), three_reads});
  cases.push_back({"cut after the 14th intact block of the last chunk, block 2 damaged", 3,
                   [](std::string& s, const std::string&) {
                     flip_bytes(s, g, {2, 2}, 0);
                     truncate_at(s, base(2) + 15 * block);
                   },
                   0, chunks(0), reads({cap, cap}) + bad_block(g, {2, 2}, -3) + reads({last_len})});
  cases.push_back(
      {"bytes appended", 3,
       [](std::string& s, const std::string&) { append_bytes(s, pattern_bytes(3000, 99)); }, 0,
       chunks(0), three_reads});
  cases.push_back({"another stream appended", 3,
                   [](std::string& s, const std::string& data) {
                     append_bytes(s, encode(data.substr(100), g));
                   },
                   0, chunks(0), three_reads});
  cases.push_back(
      {"empty stream", 0, nullptr, 1, nothing, bad_run(0, 0, 18, -2) + fatal(too_many_bad_blocks)});

  // Streams written with other parameters.
  cases.push_back({"written with k 12", 3, nullptr, 1, nothing, fatal("incorrect K value"),
                   stream_geometry{.blocksize = 1024, .n = 18, .k = 12}});
  cases.push_back({"written with blocksize 512", 3, nullptr, 1, nothing,
                   bad_run(0, 0, 18, -3) + fatal(too_many_bad_blocks),
                   stream_geometry{.blocksize = 512, .n = 18, .k = 14}});
  cases.push_back({"written with n 20, one chunk", 1, nullptr, 0, chunks(0), reads({last_len}),
                   stream_geometry{.blocksize = 1024, .n = 20, .k = 14}});
  std::string lines = reads({cap}) + bad_block(base(1), 18, 0) + bad_block(base(1) + block, 19, 1);
  for (int i = 2; i < 18; i++) lines += bad_block(g, {1, i}, i - 2);
  cases.push_back({"written with n 20, two chunks", 2, nullptr, 1, chunks(0, 1),
                   lines + fatal(too_many_bad_blocks),
                   stream_geometry{.blocksize = 1024, .n = 20, .k = 14}});
  lines = reads({cap});
  for (int i = 0; i < 14; i++) lines += bad_block(g, {1, i}, i + 2);
  cases.push_back({"written with n 16, two chunks", 2, nullptr, 1, chunks(0, 1),
                   lines + bad_run(1, 14, 18, -2) + fatal(too_many_bad_blocks),
                   stream_geometry{.blocksize = 1024, .n = 16, .k = 14}});
  return cases;
}

// Test parameters print as their names.
void PrintTo(const layout_case& param, std::ostream* os) { *os << param.name; }

class StreamDecodeLayout : public ::testing::TestWithParam<layout_case> {};

TEST_P(StreamDecodeLayout, OutputStatusAndReport) {
  const layout_case& c = GetParam();
  const stream_geometry& w = c.written;
  ASSERT_LT(last_len, w.capacity());
  const size_t size = c.chunks == 0 ? 0 : (c.chunks - 1) * w.capacity() + last_len;
  const std::string data = pattern_bytes(size, test_seed());
  std::string stream = encode(data, w);
  ASSERT_EQ(stream.size(), c.chunks * w.chunk_bytes());
  if (c.damage) c.damage(stream, data);
  const std::string expected = c.output(data, stream);

  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(stream, g, how, {"-vv"});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, report(g, how, 2) + c.messages);
    EXPECT_TRUE(same_bytes(r.out, expected));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, StreamDecodeLayout, ::testing::ValuesIn(layout_cases()),
                         [](const ::testing::TestParamInfo<layout_case>& info) {
                           std::string name;
                           for (const char ch : info.param.name) {
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace kestrune::test
