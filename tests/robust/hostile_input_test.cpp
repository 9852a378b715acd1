// SPDX-License-Identifier: MIT
// hostile_input_test.cpp - input that cannot be trusted: garbage given to the decoder, and streams
// whose blocks are intact but whose chunk headers lie, or that carry blocks of another stream.
// Every run also keeps the promise of tests/robust/outcome.h: all of it with status 0, or a prefix
// and one message with status 1. Failing surroundings have surroundings_test.cpp.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g;  // the defaults
const size_t cap = g.capacity();
const size_t last_len = 5000;  // user bytes in the last chunk of the three-chunk streams
const size_t header_len = 8;   // the chunk header at the start of data packet 0

std::string three_chunks(uint64_t salt) {
  return pattern_bytes(2 * cap + last_len, test_seed() + salt);
}

// ---- Streams given to the decoder, from a file and through a pipe.

struct decoding {
  std::string stream;
  int status;
  std::string out;      // standard output
  std::string message;  // the fatal message; empty for none
  std::string whole;    // what the stream holds: everything a complete decoding writes
  size_t unit;          // a failed decoding writes whole chunks of this many bytes; 0: no rule
};

struct stream_case {
  std::string name;
  std::function<decoding()> make;
};

void PrintTo(const stream_case& c, std::ostream* os) { *os << c.name; }

std::vector<stream_case> stream_cases() {
  std::vector<stream_case> cases;

  // Nothing in garbage passes as a block: no digest matches, so chunk 0 cannot be rebuilt.
  for (const size_t length :
       {size_t{0}, size_t{1}, size_t{17}, size_t{1023}, size_t{1024}, size_t{1025}, size_t{18431},
        size_t{18432}, size_t{18433}, size_t{100000}}) {
    cases.push_back(
        {std::to_string(length) + " zero bytes",
         [=] { return decoding{std::string(length, '\0'), 1, "", too_many_bad_blocks, "", cap}; }});
    cases.push_back(
        {std::to_string(length) + " random bytes", [=] {
           return decoding{
               pattern_bytes(length, test_seed() + 7), 1, "", too_many_bad_blocks, "", cap};
         }});
  }

  // Intact blocks, impossible chunk headers. A clen beyond the capacity yields the capacity: the
  // chunk's bytes and the zeros the encoder filled it up with.
  cases.push_back({"clen 0xFFFFFFFF in the last chunk", [] {
                     const std::string data = three_chunks(0);
                     std::string stream = encode(data, g);
                     set_chunk_header(stream, g, 2, 0xFFFFFFFF, -1);
                     const std::string out = data + std::string(cap - last_len, '\0');
                     return decoding{stream, 0, out, "", out, 0};
                   }});
  cases.push_back({"clen 0xFFFFFFFF in a one-chunk stream of 100 bytes", [] {
                     const std::string data = pattern_bytes(100, test_seed());
                     std::string stream = encode(data, g);
                     set_chunk_header(stream, g, 0, 0xFFFFFFFF, -1);
                     const std::string out = data + std::string(cap - 100, '\0');
                     return decoding{stream, 0, out, "", out, 0};
                   }});
  cases.push_back(
      {"chunk 1 numbered 5", [] {
         const std::string data = three_chunks(0);
         std::string stream = encode(data, g);
         set_chunk_header(stream, g, 1, cap, 5);
         return decoding{
             stream, 1,  chunks_of(data, g, 0, 1), "chunk out of order at 18432 id 5 expecting 1",
             data,   cap};
       }});
  // The last chunk's number ends the stream wherever it stands: what follows it is not part of the
  // stream, and the decoding is complete.
  cases.push_back({"chunk 0 of three numbered -1", [] {
                     const std::string data = three_chunks(0);
                     std::string stream = encode(data, g);
                     set_chunk_header(stream, g, 0, cap, -1);
                     const std::string out = chunks_of(data, g, 0, 1);
                     return decoding{stream, 0, out, "", out, 0};
                   }});

  // Blocks of another stream with the same parameters. A block's digest covers the block alone,
  // so such a block standing at its own position passes every check of its own; the chunk's other
  // blocks give it away (the witness disagrees), and the chunk is rebuilt from those that agree.
  cases.push_back({"data block 3 of chunk 1 from chunk 1 of another stream", [] {
                     const std::string data = three_chunks(0);
                     const std::string other = three_chunks(1);
                     std::string stream = encode(data, g);
                     splice_block(stream, g, {1, 3}, encode(other, g), {1, 3});
                     return decoding{stream, 0, data, "", data, 0};
                   }});
  cases.push_back({"data block 3 of chunk 1 from chunk 0 of another stream", [] {
                     const std::string data = three_chunks(0);
                     const std::string other = three_chunks(1);
                     std::string stream = encode(data, g);
                     splice_block(stream, g, {1, 3}, encode(other, g), {0, 3});
                     return decoding{stream, 0, data, "", data, 0};
                   }});
  cases.push_back({"chunk 1 from chunk 1 of another stream", [] {
                     const std::string data = three_chunks(0);
                     const std::string other = three_chunks(1);
                     std::string stream = encode(data, g);
                     const std::string foreign = encode(other, g);
                     stream.replace(g.chunk_offset(1), g.chunk_bytes(), foreign, g.chunk_offset(1),
                                    g.chunk_bytes());
                     const std::string out = chunks_of(data, g, 0, 1) + chunks_of(other, g, 1, 1) +
                                             chunks_of(data, g, 2);
                     return decoding{stream, 0, out, "", out, 0};
                   }});
  cases.push_back(
      {"chunk 1 from chunk 0 of another stream", [] {
         const std::string data = three_chunks(0);
         std::string stream = encode(data, g);
         const std::string foreign = encode(three_chunks(1), g);
         stream.replace(g.chunk_offset(1), g.chunk_bytes(), foreign, 0, g.chunk_bytes());
         return decoding{
             stream, 1,  chunks_of(data, g, 0, 1), "chunk out of order at 18432 id 0 expecting 1",
             data,   cap};
       }});
  return cases;
}

class RobustHostileStream : public ::testing::TestWithParam<stream_case> {};

TEST_P(RobustHostileStream, EndsAsExpectedFromFileAndPipe) {
  const decoding d = GetParam().make();
  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(d.stream, g, how);
    EXPECT_EQ(r.status, d.status);
    EXPECT_EQ(r.err, d.message.empty() ? "" : fatal(d.message));
    EXPECT_TRUE(same_bytes(r.out, d.out));
    EXPECT_TRUE(whole_or_clean_failure(r, d.whole, d.unit));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RobustHostileStream, ::testing::ValuesIn(stream_cases()),
                         [](const ::testing::TestParamInfo<stream_case>& info) {
                           std::string name;
                           for (const char ch : info.param.name) {
                             name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                           }
                           return name;
                         });

// A parity block of another stream, at its own position, where the chunk needs parity: the
// rebuild from it disagrees with the chunk's next parity block, the foreign block is found and left
// out, and the chunk comes back exactly, with status 0 and no word below -vv.
TEST(RobustForeignParity, IsFoundAndLeftOut) {
  const std::string data = three_chunks(0);
  const std::string other = three_chunks(1);
  std::string stream = encode(data, g);
  splice_block(stream, g, {1, 14}, encode(other, g), {1, 14});
  zero_block(stream, g, {1, 2});
  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(stream, g, how);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(same_bytes(r.out, data));
  }
}

}  // namespace
}  // namespace kestrune::test
