// hostile_input_test.cpp - input that cannot be trusted and surroundings that fail the program:
// garbage given to the decoder; streams whose blocks are intact but whose chunk headers lie, or
// that carry blocks of another stream; closed and full standard streams and a directory as the
// input. Every run also keeps the promise of tests/robust/outcome.h: all of it with status 0, or a
// prefix and one message with status 1.
#include <gtest/gtest.h>

#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g;  // the defaults
const size_t cap = g.capacity();
const size_t last_len = 5000;  // user bytes in the last chunk of the three-chunk streams
const size_t header_len = 8;   // the chunk header at the start of data packet 0

std::string three_chunks(unsigned salt) {
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
  SCOPED_TRACE(seed_trace());
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
  SCOPED_TRACE(seed_trace());
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

// ---- Closed and full standard streams, a directory as the input.

enum class mode { encode, decode };
enum class source { pipe, file_operand, stdin_file, directory_operand, stdin_directory, closed };
enum class sink { captured, closed, dev_full };

struct surroundings_case {
  const char* name;
  mode run;
  source from;
  size_t input_size;  // user bytes; the decoder gets their stream
  sink to;
  int status;
  const char* message;  // empty: none
};

void PrintTo(const surroundings_case& c, std::ostream* os) { *os << c.name; }

class RobustSurroundings : public ::testing::TestWithParam<surroundings_case> {};

TEST_P(RobustSurroundings, EndWithTheMessage) {
  SCOPED_TRACE(seed_trace());
  const surroundings_case& c = GetParam();
  const std::string data = pattern_bytes(c.input_size, test_seed());
  const std::string stream = c.input_size == 0 ? "" : encode(data, g);
  const temp_dir dir;
  write_file(dir.file("input"), c.run == mode::decode ? stream : data);

  std::vector<std::string> args;
  if (c.run == mode::decode) args.push_back("-d");
  run_options options;
  switch (c.from) {
    case source::pipe:
      options.stdin_bytes = c.run == mode::decode ? stream : data;
      break;
    case source::file_operand:
      args.push_back(dir.file("input"));
      break;
    case source::stdin_file:
      options.stdin_file = dir.file("input");
      break;
    case source::directory_operand:
      args.push_back(dir.path());
      break;
    case source::stdin_directory:
      options.stdin_file = dir.path();
      break;
    case source::closed:
      options.close_stdin = true;
      break;
  }
  if (c.to == sink::closed) options.close_stdout = true;
  if (c.to == sink::dev_full) options.stdout_file = "/dev/full";

  const run_result r = run_program(args, options);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, *c.message == '\0' ? "" : fatal(c.message));
  // What a complete run writes: the stream for the encoder, the data for the decoder.
  const std::string& whole = c.run == mode::encode ? stream : data;
  if (c.run == mode::encode && r.status == 0) {
    EXPECT_TRUE(cli::is_encoding_of(r.out, {g.k, g.n, g.blocksize}, data));
  }
  EXPECT_TRUE(whole_or_clean_failure(r, whole, c.run == mode::encode ? g.chunk_bytes() : cap,
                                     c.to == sink::captured));
}

const surroundings_case surroundings_cases[] = {
    // Closed standard input: the encoder's read fails; the decoder's block reads fail.
    {"encode_stdin_closed", mode::encode, source::closed, 0, sink::captured, 1, "read error"},
    {"decode_stdin_closed", mode::decode, source::closed, 0, sink::captured, 1,
     too_many_bad_blocks},
    // A directory opens, and every read of it fails.
    {"encode_directory_operand", mode::encode, source::directory_operand, 0, sink::captured, 1,
     "read error"},
    {"encode_stdin_directory", mode::encode, source::stdin_directory, 0, sink::captured, 1,
     "read error"},
    {"decode_directory_operand", mode::decode, source::directory_operand, 0, sink::captured, 1,
     too_many_bad_blocks},
    {"decode_stdin_directory", mode::decode, source::stdin_directory, 0, sink::captured, 1,
     too_many_bad_blocks},
    // Output that goes nowhere.
    {"encode_stdout_closed", mode::encode, source::pipe, 100, sink::closed, 1, "write error"},
    {"encode_stdout_closed_three_chunks", mode::encode, source::file_operand, 2 * cap + last_len,
     sink::closed, 1, "write error"},
    {"decode_stdout_closed_from_file", mode::decode, source::file_operand, 100, sink::closed, 1,
     "write error"},
    {"decode_stdout_closed_from_pipe", mode::decode, source::pipe, 2 * cap + last_len, sink::closed,
     1, "write error"},
    {"decode_dev_full_from_file", mode::decode, source::file_operand, 100, sink::dev_full, 1,
     "write error"},
    {"decode_dev_full_from_stdin", mode::decode, source::stdin_file, 2 * cap + last_len,
     sink::dev_full, 1, "write error"},
    {"decode_dev_full_from_pipe", mode::decode, source::pipe, 2 * cap + last_len, sink::dev_full, 1,
     "write error"},
    // The same inputs with a working output end with everything written.
    {"decode_seekable_stdin", mode::decode, source::stdin_file, 2 * cap + last_len, sink::captured,
     0, ""},
    {"decode_pipe", mode::decode, source::pipe, 2 * cap + last_len, sink::captured, 0, ""},
    {"encode_file_operand", mode::encode, source::file_operand, 2 * cap + last_len, sink::captured,
     0, ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, RobustSurroundings, ::testing::ValuesIn(surroundings_cases),
                         [](const ::testing::TestParamInfo<surroundings_case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kestrune::test
