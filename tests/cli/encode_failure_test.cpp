// SPDX-License-Identifier: MIT
// encode_failure_test.cpp - the encoder in-process, in the child of a death test: the end of the
// chunk numbers through its chunk-numbering seam, and input that fails in the middle of a chunk.
// Unreadable input and unwritable output through the binary: tests/robust/surroundings_test.cpp.
#include <gtest/gtest.h>

#include <sys/types.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "programs/common/diag.h"
#include "programs/common/io.h"
#include "stream/buffers.h"
#include "stream/failure.h"
#include "stream/stream.h"
#include "tests/cli/stream_check.h"
#include "tests/support/process.h"
#include "tests/support/random.h"
#include "tests/support/unreadable.h"

namespace kestrune::test::cli {
namespace {

// Sets up the run for the geometry, sends standard output to out_path, encodes the input numbering
// the chunks from first_id, and exits with status 0 when everything is written.
[[noreturn]] void encode_in_child(const stream_geometry& g, const char* name, FILE* input,
                                  uint32_t first_id, const std::string& out_path) {
  program_name = name;
  stream_context ctx;
  ctx.config.k = g.k;
  ctx.config.n = g.n;
  ctx.config.blocksize = g.blocksize;
  ctx.callbacks.write = write_stdout;
  setup_buffers(ctx);
  if (input == nullptr || freopen(out_path.c_str(), "wb", stdout) == nullptr) _exit(3);
  piece_reader reader;
  reader.file = input;
  if (ctx.payload_len >= direct_piece_min) reader.fd = fileno(input);
  try {
    stream_encoder(ctx, static_cast<int32_t>(first_id)).pull(read_pieces, &reader);
  } catch (const stream_failure& failure) {
    die("%s", failure.message.c_str());
  }
  if (fflush(stdout) != 0) _exit(4);
  exit(0);
}

FILE* open_bytes(const std::string& bytes) {
  return fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "r");
}

struct chunk_id_case {
  const char* name;
  uint32_t first_id;
  size_t input_size;
  const char* program;  // program_name in the child
  int status;
  std::string err;
  std::vector<uint32_t> written_ids;
};

void PrintTo(const chunk_id_case& c, std::ostream* os) { *os << c.name; }

class CliChunkIds : public ::testing::TestWithParam<chunk_id_case> {};

// k = 2, n = 3, 26-byte blocks: 8 input bytes per chunk.
TEST_P(CliChunkIds, RunOutAfterTheLastNumber) {
  const chunk_id_case& c = GetParam();
  const stream_geometry g{.blocksize = 26, .n = 3, .k = 2};
  temp_dir dir;
  const std::string out_path = dir.file("out");
  const std::string input = pattern_bytes(c.input_size, 4);
  EXPECT_EXIT(encode_in_child(g, c.program, open_bytes(input), c.first_id, out_path),
              ::testing::ExitedWithCode(c.status), ::testing::Matcher<const std::string&>(c.err));
  EXPECT_TRUE(is_stream_of(read_file(out_path), g, input, c.written_ids));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliChunkIds,
    ::testing::Values(chunk_id_case{"three_chunks_end_on_minus_1",
                                    0xFFFFFFFD,
                                    24,
                                    nullptr,
                                    0,
                                    "",
                                    {0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF}},
                      chunk_id_case{"short_last_chunk_is_minus_1",
                                    0xFFFFFFFD,
                                    20,
                                    nullptr,
                                    0,
                                    "",
                                    {0xFFFFFFFD, 0xFFFFFFFE, 0xFFFFFFFF}},
                      chunk_id_case{"one_byte_too_many",
                                    0xFFFFFFFD,
                                    25,
                                    nullptr,
                                    1,
                                    "too many chunks\n",
                                    {0xFFFFFFFD, 0xFFFFFFFE}},
                      chunk_id_case{"many_chunks_too_many",
                                    0xFFFFFFFD,
                                    200,
                                    nullptr,
                                    1,
                                    "too many chunks\n",
                                    {0xFFFFFFFD, 0xFFFFFFFE}},
                      chunk_id_case{"message_has_the_program_name",
                                    0xFFFFFFFE,
                                    17,
                                    "kes",
                                    1,
                                    "kes: too many chunks\n",
                                    {0xFFFFFFFE}},
                      chunk_id_case{"two_chunks_from_the_last_but_one",
                                    0xFFFFFFFE,
                                    16,
                                    nullptr,
                                    0,
                                    "",
                                    {0xFFFFFFFE, 0xFFFFFFFF}},
                      chunk_id_case{"across_the_sign_change",
                                    0x7FFFFFFE,
                                    32,
                                    nullptr,
                                    0,
                                    "",
                                    {0x7FFFFFFE, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF}},
                      chunk_id_case{"from_zero", 0, 17, nullptr, 0, "", {0, 1, 0xFFFFFFFF}}),
    [](const ::testing::TestParamInfo<chunk_id_case>& info) {
      return std::string(info.param.name);
    });

// An input that delivers `good` bytes and then fails every read.
struct failing_input {
  std::string bytes;
  size_t good;
  size_t position = 0;
};

ssize_t read_failing(void* cookie, char* buffer, size_t size) {
  failing_input& in = *static_cast<failing_input*>(cookie);
  if (in.position >= in.good) {
    errno = EIO;
    return -1;
  }
  const size_t count = std::min(size, in.good - in.position);
  memcpy(buffer, in.bytes.data() + in.position, count);
  in.position += count;
  return static_cast<ssize_t>(count);
}

FILE* open_failing(failing_input* in) {
  cookie_io_functions_t functions{};
  functions.read = read_failing;
  return fopencookie(in, "r", functions);
}

struct read_failure_case {
  const char* name;
  size_t good;
  std::vector<uint32_t> written_ids;
};

void PrintTo(const read_failure_case& c, std::ostream* os) { *os << c.name; }

class CliReadFailure : public ::testing::TestWithParam<read_failure_case> {};

// k = 3, n = 4, 30-byte blocks: 28 input bytes per chunk, 4 in packet 0 and 12 in packets 1 and
// 2. A failure ends the run with the chunks before it written; a failure right at the end of a
// chunk is not taken for the end of the input.
TEST_P(CliReadFailure, StopsWithReadError) {
  const read_failure_case& c = GetParam();
  const stream_geometry g{.blocksize = 30, .n = 4, .k = 3};
  temp_dir dir;
  const std::string out_path = dir.file("out");
  failing_input in{pattern_bytes(100, 6), c.good};
  EXPECT_EXIT(encode_in_child(g, "kestrune", open_failing(&in), 0, out_path),
              ::testing::ExitedWithCode(1),
              ::testing::Matcher<const std::string&>(std::string("kestrune: read error\n")));
  EXPECT_TRUE(is_stream_of(read_file(out_path), g, in.bytes, c.written_ids));
}

INSTANTIATE_TEST_SUITE_P(Cases, CliReadFailure,
                         ::testing::Values(read_failure_case{"at_once", 0, {}},
                                           read_failure_case{"inside_packet_0", 2, {}},
                                           read_failure_case{"inside_packet_1", 10, {}},
                                           read_failure_case{"right_after_the_first_chunk", 28, {}},
                                           read_failure_case{"inside_the_second_chunk", 30, {0}},
                                           read_failure_case{
                                               "right_after_the_second_chunk", 56, {0}},
                                           read_failure_case{"inside_the_third_chunk", 60, {0, 1}}),
                         [](const ::testing::TestParamInfo<read_failure_case>& info) {
                           return std::string(info.param.name);
                         });

// The binary reading a file whose bytes from `bad` on cannot be read (a read that reaches them
// gives the bytes before them, the next one fails), its packets read straight into the blocks many
// at a time: the chunks complete before the failure, with a byte read beyond them, are written, and
// the run ends with "read error". (Small packets go through the FILE's buffer: CliReadFailure
// above.)
TEST(CliReadFailure, AFileThatCannotBeReadToTheEnd) {
  const stream_geometry geometries[] = {
      {.blocksize = 1024, .n = 18, .k = 14},
      {.blocksize = 4096, .n = 16, .k = 12},
  };
  for (const stream_geometry& g : geometries) {
    const uint64_t capacity = g.capacity();
    const std::string input = pattern_bytes(capacity * 40 + 7, test_seed());
    for (const uint64_t bad : {uint64_t{0}, uint64_t{5}, capacity, 2 * capacity + 1, 17 * capacity,
                               31 * capacity + 100}) {
      SCOPED_TRACE("blocksize " + std::to_string(g.blocksize) + ", unreadable from " +
                   std::to_string(bad));
      std::vector<uint32_t> written;
      for (uint32_t id = 0; uint64_t{id + 1} * capacity < bad; id++) written.push_back(id);
      temp_dir dir;
      write_file(dir.file("input"), input);
      for (const bool operand : {false, true}) {
        run_options options;
        options.env = unreadable_bytes(bad, input.size() - bad, read_failure::after_a_short);
        if (!operand) options.stdin_file = dir.file("input");
        std::vector<std::string> args = {"-b", std::to_string(g.blocksize),
                                         "-n", std::to_string(g.n),
                                         "-k", std::to_string(g.k)};
        if (operand) args.push_back(dir.file("input"));
        const run_result r = run_program(args, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, kestrune_path() + ": read error\n");
        EXPECT_TRUE(is_stream_of(r.out, g, input, written));
      }
    }
  }
}

}  // namespace
}  // namespace kestrune::test::cli
