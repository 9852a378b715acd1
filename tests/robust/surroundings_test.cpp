// SPDX-License-Identifier: MIT
// surroundings_test.cpp - the encoder and the decoder in surroundings that fail them: no standard
// input, a directory as the input, standard output closed or full; and the same inputs where
// everything works. Exactly the status and the messages of each run, and the promise of
// tests/robust/outcome.h: all of the output with status 0, or a prefix and one message with
// status 1.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"
#include "tests/support/surroundings.h"

namespace kestrune::test {
namespace {

const stream_geometry defaults;
const stream_geometry small{.blocksize = 26, .n = 3, .k = 2};  // 8 user bytes a chunk
const size_t three_chunks = 2 * defaults.capacity() + 5000;
const std::string small_report = "Kestrune v1.0\n(K, N) = (2, 3)\nBlocksize = 26\nEncode mode.\n";
const char* const read_error = "read error";
const char* const write_error = "write error";

enum class mode { encode, decode };

struct surroundings_case {
  const char* name;
  mode run;
  std::vector<std::string> options;  // before the geometry's options
  stream_geometry g;
  input_from from;
  size_t input_size;  // user bytes; the decoder gets their stream
  output_to to;
  int status;
  std::string report;   // what -v writes before the message
  const char* message;  // the fatal message; empty for none
};

void PrintTo(const surroundings_case& c, std::ostream* os) { *os << c.name; }

class RobustSurroundings : public ::testing::TestWithParam<surroundings_case> {};

// Run as "kestrune" and under the binary's path: the messages begin with the name as invoked.
TEST_P(RobustSurroundings, EndWithTheMessage) {
  const surroundings_case& c = GetParam();
  const std::string data = pattern_bytes(c.input_size, test_seed());
  const std::string stream = c.input_size == 0 ? "" : encode(data, c.g);
  std::vector<std::string> args = c.options;
  if (c.run == mode::decode) args.insert(args.begin(), "-d");
  for (const std::string& arg : geometry_args(c.g)) args.push_back(arg);
  // What a complete run writes: the stream for the encoder, the data for the decoder.
  const std::string& whole = c.run == mode::encode ? stream : data;
  const size_t unit = c.run == mode::encode ? c.g.chunk_bytes() : c.g.capacity();
  const bool captured = c.to == output_to::captured;

  for (const std::string& name : {std::string("kestrune"), kestrune_path()}) {
    SCOPED_TRACE("run as " + name);
    run_options options;
    options.argv0 = name;
    const run_result r = run_in(args, c.from, c.run == mode::decode ? stream : data, c.to, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.report + (*c.message == '\0' ? "" : name + ": " + c.message + "\n"));
    if (captured && c.status != 0) {
      EXPECT_EQ(r.out, "");
    }
    if (captured && c.run == mode::encode && r.status == 0) {
      EXPECT_TRUE(cli::is_encoding_of(r.out, c.g, data));
    }
    const bool report_first = r.err.compare(0, c.report.size(), c.report) == 0;
    EXPECT_TRUE(whole_or_clean_failure(r.status, r.out,
                                       report_first ? r.err.substr(c.report.size()) : r.err, whole,
                                       unit, name, captured));
  }
}

const surroundings_case surroundings_cases[] = {
    // No input to read: the encoder's read fails; the decoder finds no block.
    {"encode_stdin_closed",
     mode::encode,
     {},
     defaults,
     input_from::stdin_closed,
     0,
     output_to::captured,
     1,
     "",
     read_error},
    {"decode_stdin_closed",
     mode::decode,
     {},
     defaults,
     input_from::stdin_closed,
     0,
     output_to::captured,
     1,
     "",
     too_many_bad_blocks},
    // A directory opens, and every read of it fails.
    {"encode_directory_operand",
     mode::encode,
     {},
     defaults,
     input_from::directory_operand,
     0,
     output_to::captured,
     1,
     "",
     read_error},
    {"encode_stdin_directory",
     mode::encode,
     {},
     defaults,
     input_from::stdin_directory,
     0,
     output_to::captured,
     1,
     "",
     read_error},
    {"decode_directory_operand",
     mode::decode,
     {},
     defaults,
     input_from::directory_operand,
     0,
     output_to::captured,
     1,
     "",
     too_many_bad_blocks},
    {"decode_stdin_directory",
     mode::decode,
     {},
     defaults,
     input_from::stdin_directory,
     0,
     output_to::captured,
     1,
     "",
     too_many_bad_blocks},
    // The report comes first; no statistics follow a failure.
    {"encode_read_error_after_report",
     mode::encode,
     {"-v"},
     small,
     input_from::directory_operand,
     0,
     output_to::captured,
     1,
     small_report,
     read_error},
    {"encode_dev_full_no_statistics",
     mode::encode,
     {"-v"},
     small,
     input_from::pipe,
     3,
     output_to::dev_full,
     1,
     small_report,
     write_error},
    // Output that fits the stdio buffer fails at the final flush; larger output on the way.
    {"encode_dev_full_78_bytes",
     mode::encode,
     {},
     small,
     input_from::pipe,
     3,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"encode_dev_full_1014_bytes",
     mode::encode,
     {},
     small,
     input_from::stdin_file,
     100,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"encode_dev_full_one_chunk",
     mode::encode,
     {},
     defaults,
     input_from::pipe,
     100,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"encode_dev_full_one_mebibyte",
     mode::encode,
     {},
     defaults,
     input_from::stdin_file,
     1 << 20,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"decode_dev_full_from_file",
     mode::decode,
     {},
     defaults,
     input_from::file_operand,
     100,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"decode_dev_full_from_pipe",
     mode::decode,
     {},
     defaults,
     input_from::pipe,
     100,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"decode_dev_full_from_file_four_chunks",
     mode::decode,
     {},
     defaults,
     input_from::file_operand,
     3 * defaults.capacity() + 7,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"decode_dev_full_from_pipe_three_chunks",
     mode::decode,
     {},
     defaults,
     input_from::pipe,
     three_chunks,
     output_to::dev_full,
     1,
     "",
     write_error},
    {"decode_dev_full_from_stdin",
     mode::decode,
     {},
     defaults,
     input_from::stdin_file,
     three_chunks,
     output_to::dev_full,
     1,
     "",
     write_error},
    // Output that goes nowhere.
    {"encode_stdout_closed",
     mode::encode,
     {},
     defaults,
     input_from::pipe,
     100,
     output_to::closed,
     1,
     "",
     write_error},
    {"encode_stdout_closed_small_output",
     mode::encode,
     {},
     small,
     input_from::pipe,
     3,
     output_to::closed,
     1,
     "",
     write_error},
    {"encode_stdout_closed_three_chunks",
     mode::encode,
     {},
     defaults,
     input_from::file_operand,
     three_chunks,
     output_to::closed,
     1,
     "",
     write_error},
    {"decode_stdout_closed_from_file",
     mode::decode,
     {},
     defaults,
     input_from::file_operand,
     100,
     output_to::closed,
     1,
     "",
     write_error},
    {"decode_stdout_closed_from_pipe",
     mode::decode,
     {},
     defaults,
     input_from::pipe,
     three_chunks,
     output_to::closed,
     1,
     "",
     write_error},
    // Nothing to write, nothing to fail.
    {"encode_dev_full_empty_input",
     mode::encode,
     {},
     defaults,
     input_from::pipe,
     0,
     output_to::dev_full,
     0,
     "",
     ""},
    // The same inputs with a working output end with everything written.
    {"encode_file_operand",
     mode::encode,
     {},
     defaults,
     input_from::file_operand,
     three_chunks,
     output_to::captured,
     0,
     "",
     ""},
    {"decode_seekable_stdin",
     mode::decode,
     {},
     defaults,
     input_from::stdin_file,
     three_chunks,
     output_to::captured,
     0,
     "",
     ""},
    {"decode_pipe",
     mode::decode,
     {},
     defaults,
     input_from::pipe,
     three_chunks,
     output_to::captured,
     0,
     "",
     ""},
};

INSTANTIATE_TEST_SUITE_P(Cases, RobustSurroundings, ::testing::ValuesIn(surroundings_cases),
                         [](const ::testing::TestParamInfo<surroundings_case>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kestrune::test
