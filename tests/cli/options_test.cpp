// SPDX-License-Identifier: MIT
// options_test.cpp - the command line: option reading, the start-up checks and their order, the
// usage text, the operand, the invocation name and the -v report.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/support/process.h"
#include "tests/support/surroundings.h"

namespace kestrune::test::cli {
namespace {

const std::string usage_text = "usage: kestrune [-v] [-d] [-b<blocksize>] [-n<n>] [-k<k>] [file]\n";

std::string report(int k, int n, int blocksize) {
  return "Kestrune v1.0\n(K, N) = (" + std::to_string(k) + ", " + std::to_string(n) +
         ")\nBlocksize = " + std::to_string(blocksize) + "\n";
}

// Makes the directory the working directory for the object's lifetime.
class scoped_cwd {
 public:
  explicit scoped_cwd(const std::string& path) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(path);
  }
  ~scoped_cwd() { std::filesystem::current_path(previous_); }
  scoped_cwd(const scoped_cwd&) = delete;
  scoped_cwd& operator=(const scoped_cwd&) = delete;

 private:
  std::filesystem::path previous_;
};

// Runs the program as "kestrune" in a fresh working directory that holds the files "data", "-"
// and "-v" (or nothing), so that relative operands are under the test's control.
run_result run_named_kestrune(const std::vector<std::string>& args, run_options how = {},
                              bool with_files = true) {
  how.argv0 = "kestrune";
  temp_dir dir;
  if (with_files) {
    write_file(dir.file("data"), "data file");
    write_file(dir.file("-"), "file named dash");
    write_file(dir.file("-v"), "file named dash v");
  }
  const scoped_cwd in_dir(dir.path());
  return run_program(args, how);
}

// ---- Rejected command lines: status 1, nothing on standard output, exactly this on standard
// error.

struct rejection_case {
  const char* name;
  std::vector<std::string> args;
  std::string err;
};

void PrintTo(const rejection_case& c, std::ostream* os) { *os << c.name; }

class CliRejects : public ::testing::TestWithParam<rejection_case> {};

TEST_P(CliRejects, WithStatusOneAndTheMessage) {
  const rejection_case& c = GetParam();
  const run_result r = run_named_kestrune(c.args);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, c.err);
}

const std::string bad_kn = "kestrune: invalid (k, n)\n";
const std::string bad_blocksize = "kestrune: invalid blocksize\n";

rejection_case usage_case(const char* name, std::vector<std::string> args) {
  return {name, std::move(args), usage_text};
}

INSTANTIATE_TEST_SUITE_P(
    Options, CliRejects,
    ::testing::Values(
        // getopt's own complaint, then the usage text; before any other check.
        rejection_case{"unknown_option", {"-x"}, "kestrune: invalid option -- 'x'\n" + usage_text},
        rejection_case{
            "unknown_option_in_a_group", {"-vq"}, "kestrune: invalid option -- 'q'\n" + usage_text},
        rejection_case{"missing_blocksize",
                       {"-b"},
                       "kestrune: option requires an argument -- 'b'\n" + usage_text},
        rejection_case{
            "missing_n", {"-n"}, "kestrune: option requires an argument -- 'n'\n" + usage_text},
        rejection_case{"missing_k",
                       {"-v", "-k"},
                       "kestrune: option requires an argument -- 'k'\n" + usage_text},
        rejection_case{"unknown_option_beats_invalid_k_n",
                       {"-n", "1", "-x"},
                       "kestrune: invalid option -- 'x'\n" + usage_text},
        rejection_case{"unknown_option_beats_invalid_blocksize",
                       {"-b", "5", "-x"},
                       "kestrune: invalid option -- 'x'\n" + usage_text}),
    [](const ::testing::TestParamInfo<rejection_case>& info) {
      return std::string(info.param.name);
    });

INSTANTIATE_TEST_SUITE_P(
    KN, CliRejects,
    ::testing::Values(
        rejection_case{"n_1", {"-n", "1"}, bad_kn},
        rejection_case{"n_257", {"-n", "257", "-k", "2"}, bad_kn},
        rejection_case{"n_0_not_a_number", {"-n", "x"}, bad_kn},
        rejection_case{"n_negative", {"-n", "-18"}, bad_kn},
        rejection_case{"k_0", {"-k", "0"}, bad_kn},
        rejection_case{"k_negative", {"-k", "-1"}, bad_kn},
        rejection_case{"k_above_default_n", {"-k", "19"}, bad_kn},
        rejection_case{"k_above_n", {"-n", "5", "-k", "6"}, bad_kn},
        rejection_case{"k_257_n_256", {"-n", "256", "-k", "257"}, bad_kn},
        // Values beyond 32 bits are out of range, never taken modulo 2^32 or 2^64.
        rejection_case{"n_2pow32_plus_18", {"-n", "4294967314"}, bad_kn},
        rejection_case{"n_2pow64_plus_18", {"-n", "18446744073709551634"}, bad_kn},
        rejection_case{"n_minus_2pow32_plus_18", {"-n", "-4294967278"}, bad_kn},
        rejection_case{"n_int32_max", {"-n", "2147483647"}, bad_kn},
        rejection_case{"k_minus_2pow32_plus_1", {"-k", "-4294967295"}, bad_kn},
        rejection_case{"k_2pow32_plus_1", {"-k", "4294967297"}, bad_kn},
        rejection_case{"k_2pow32_plus_14", {"-k", "4294967310"}, bad_kn},
        // (k, n) is checked before the blocksize and before the operands.
        rejection_case{"invalid_k_n_beats_invalid_blocksize", {"-n", "1", "-b", "5"}, bad_kn},
        rejection_case{"invalid_k_n_beats_two_operands", {"-n", "1", "data", "data"}, bad_kn},
        rejection_case{"invalid_k_n_beats_missing_file", {"-k", "0", "missing"}, bad_kn},
        rejection_case{"invalid_k_n_when_decoding", {"-d", "-n", "257"}, bad_kn}),
    [](const ::testing::TestParamInfo<rejection_case>& info) {
      return std::string(info.param.name);
    });

INSTANTIATE_TEST_SUITE_P(
    Blocksize, CliRejects,
    ::testing::Values(
        rejection_case{"b_25", {"-b", "25"}, bad_blocksize},
        rejection_case{"b_0", {"-b", "0"}, bad_blocksize},
        rejection_case{"b_empty", {"-b", ""}, bad_blocksize},
        rejection_case{"b_lone_K", {"-b", "K"}, bad_blocksize},
        rejection_case{"b_4KB_is_4", {"-b", "4KB"}, bad_blocksize},
        rejection_case{"b_suffix_not_last", {"-b", "1kx"}, bad_blocksize},
        rejection_case{"b_negative", {"-b", "-1024"}, bad_blocksize},
        rejection_case{"b_negative_K", {"-b", "-1K"}, bad_blocksize},
        rejection_case{"b_2pow31_in_K", {"-b", "2097152K"}, bad_blocksize},
        rejection_case{"b_99999999999", {"-b", "99999999999"}, bad_blocksize},
        rejection_case{"b_int32_max", {"-b", "2147483647"}, bad_blocksize},
        rejection_case{"b_2pow32_plus_1024_in_K", {"-b", "4194305K"}, bad_blocksize},
        rejection_case{"b_2pow32_plus_1024", {"-b", "4294968320"}, bad_blocksize},
        rejection_case{"b_minus_2pow32_plus_1024", {"-b", "-4294966272"}, bad_blocksize},
        rejection_case{"n_times_b_2pow31_plus_16", {"-n", "18", "-b", "119304648"}, bad_blocksize},
        rejection_case{
            "n_256_times_b_2pow31", {"-n", "256", "-k", "1", "-b", "8388608"}, bad_blocksize},
        rejection_case{
            "n_256_times_b_2pow31_in_K", {"-n", "256", "-k", "1", "-b", "8192K"}, bad_blocksize},
        rejection_case{"no_room_for_data_k_1_b_26", {"-k", "1", "-b", "26"}, bad_blocksize},
        rejection_case{
            "no_room_for_data_when_decoding", {"-d", "-k", "1", "-b", "26"}, bad_blocksize},
        // The blocksize is checked before the operands.
        rejection_case{
            "invalid_blocksize_beats_two_operands", {"-b", "5", "data", "data"}, bad_blocksize},
        rejection_case{
            "invalid_blocksize_beats_missing_file", {"-b", "5", "missing"}, bad_blocksize}),
    [](const ::testing::TestParamInfo<rejection_case>& info) {
      return std::string(info.param.name);
    });

INSTANTIATE_TEST_SUITE_P(
    Operands, CliRejects,
    ::testing::Values(
        usage_case("two_operands", {"data", "data"}),
        usage_case("two_operands_checked_before_opening", {"missing", "missing"}),
        usage_case("three_operands", {"-v", "data", "data", "data"}),
        // The first operand ends the options: what follows is operands.
        usage_case("option_after_operand", {"data", "-v"}),
        usage_case("bad_blocksize_after_operand_is_not_read", {"data", "-b", "5"}),
        usage_case("double_dash_after_operand", {"data", "--"}),
        usage_case("two_operands_after_double_dash", {"--", "data", "data"}),
        usage_case("dash_then_option", {"-", "-v"}),
        rejection_case{"missing_file", {"missing"}, "kestrune: can't open 'missing'\n"},
        rejection_case{"missing_file_when_decoding",
                       {"-d", "-v", "missing"},
                       "kestrune: can't open 'missing'\n"},
        rejection_case{"missing_file_in_a_missing_directory",
                       {"no/such/file"},
                       "kestrune: can't open 'no/such/file'\n"},
        rejection_case{"double_dash_makes_dash_dash_x_an_operand",
                       {"--", "-x"},
                       "kestrune: can't open '-x'\n"},
        rejection_case{
            "second_double_dash_is_an_operand", {"-v", "--", "--"}, "kestrune: can't open '--'\n"}),
    [](const ::testing::TestParamInfo<rejection_case>& info) {
      return std::string(info.param.name);
    });

// A lone "-" names a file, not the standard input.
TEST(CliOperand, LoneDashNamesAMissingFile) {
  run_options how;
  how.stdin_bytes = "standard input";
  const run_result r = run_named_kestrune({"-"}, how, false);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "kestrune: can't open '-'\n");
}

// The operand that is read, with the standard input holding other bytes.
TEST(CliOperand, TheOperandIsTheInput) {
  struct operand_case {
    std::vector<std::string> args;
    int blocksize;
    std::string input;  // the bytes expected in the stream
  };
  const operand_case cases[] = {
      {{"data"}, 1024, "data file"},
      {{"-"}, 1024, "file named dash"},
      {{"--", "-"}, 1024, "file named dash"},
      {{"--", "-v"}, 1024, "file named dash v"},
      {{"-b", "26", "--", "data"}, 26, "data file"},
      {{}, 1024, "standard input"},
      {{"--"}, 1024, "standard input"},
      {{"-b", "26", "--"}, 26, "standard input"},
  };
  for (const operand_case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    run_options how;
    how.stdin_bytes = "standard input";
    const run_result r = run_named_kestrune(c.args, how);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(is_encoding_of(r.out, {.blocksize = c.blocksize}, c.input));
  }
}

// ---- Accepted values, seen in the -v report of an empty encode.

struct accepted_case {
  const char* name;
  std::vector<std::string> args;
  int k, n, blocksize;
};

void PrintTo(const accepted_case& c, std::ostream* os) { *os << c.name; }

class CliAccepts : public ::testing::TestWithParam<accepted_case> {};

TEST_P(CliAccepts, AndReportsTheValues) {
  const accepted_case& c = GetParam();
  std::vector<std::string> args = {"-v"};
  args.insert(args.end(), c.args.begin(), c.args.end());
  const run_result r = run_named_kestrune(args);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, report(c.k, c.n, c.blocksize) +
                       "Encode mode.\nRead 0 bytes, wrote 0 bytes.\nExpansion factor = nan.\n");
}

INSTANTIATE_TEST_SUITE_P(
    Values, CliAccepts,
    ::testing::Values(
        accepted_case{"defaults", {}, 14, 18, 1024},
        accepted_case{"b_26", {"-b", "26"}, 14, 18, 26},
        accepted_case{"b_4K", {"-b", "4K"}, 14, 18, 4096},
        accepted_case{"b_4k", {"-b", "4k"}, 14, 18, 4096},
        accepted_case{"b_attached", {"-b4K"}, 14, 18, 4096},
        accepted_case{"b_leading_blanks", {"-b", " \t4K"}, 14, 18, 4096},
        accepted_case{"b_plus_sign", {"-b", "+4k"}, 14, 18, 4096},
        accepted_case{"b_leading_zeros", {"-b", "0000000000000000000001024"}, 14, 18, 1024},
        accepted_case{"b_trailing_junk", {"-b", "1024x"}, 14, 18, 1024},
        accepted_case{"b_suffix_after_junk", {"-b", "3xk"}, 14, 18, 3072},
        accepted_case{"b_27_with_k_1", {"-k", "1", "-b", "27"}, 1, 18, 27},
        accepted_case{"n_256_times_b_below_2pow31",
                      {"-n", "256", "-k", "1", "-b", "8388607"},
                      1,
                      256,
                      8388607},
        accepted_case{"n_256_times_b_below_2pow31_in_K",
                      {"-n", "256", "-k", "1", "-b", "8191K"},
                      1,
                      256,
                      8387584},
        accepted_case{"n_256_k_256", {"-n", "256", "-k", "256"}, 256, 256, 1024},
        accepted_case{"n_2_k_1", {"-n", "2", "-k", "1"}, 1, 2, 1024},
        accepted_case{"k_equals_n", {"-n", "5", "-k", "5"}, 5, 5, 1024},
        accepted_case{"k_with_K_has_no_suffix", {"-k", "2K"}, 2, 18, 1024},
        accepted_case{"n_with_k_has_no_suffix", {"-n", "20k"}, 14, 20, 1024},
        accepted_case{"n_leading_blank", {"-n", " 20"}, 14, 20, 1024},
        accepted_case{"n_plus_sign", {"-n", "+20"}, 14, 20, 1024},
        accepted_case{"n_trailing_junk", {"-n", "20abc"}, 14, 20, 1024},
        accepted_case{"n_many_leading_zeros", {"-n", "000000000000000000020"}, 14, 20, 1024},
        accepted_case{"attached_and_grouped", {"-n20", "-k3", "-b26"}, 3, 20, 26},
        // The last of repeated options wins, also over an invalid earlier value.
        accepted_case{"b_twice", {"-b", "100", "-b", "200"}, 14, 18, 200},
        accepted_case{"b_4K_then_30", {"-b", "4K", "-b", "30"}, 14, 18, 30},
        accepted_case{"b_invalid_then_valid", {"-b", "5", "-b", "1024"}, 14, 18, 1024},
        accepted_case{"n_and_k_twice", {"-n", "5", "-k", "3", "-n", "20", "-k", "4"}, 4, 20, 1024},
        accepted_case{"n_invalid_then_valid", {"-n", "1", "-n", "18"}, 14, 18, 1024},
        accepted_case{"double_dash_ends_options", {"-b", "26", "--"}, 14, 18, 26}),
    [](const ::testing::TestParamInfo<accepted_case>& info) {
      return std::string(info.param.name);
    });

// ---- The -v report.

struct report_case {
  const char* name;
  std::vector<std::string> args;
  size_t input_size;
  input_from from;  // a pipe or a file redirected to the standard input
  std::string err;
};

void PrintTo(const report_case& c, std::ostream* os) { *os << c.name; }

class CliEncodeReport : public ::testing::TestWithParam<report_case> {};

TEST_P(CliEncodeReport, IsExactlyThis) {
  const report_case& c = GetParam();
  run_options how;
  how.argv0 = "kestrune";
  const run_result r =
      run_in(c.args, c.from, pattern_bytes(c.input_size, 5), output_to::captured, how);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(r.out.size(), (c.input_size + 14075) / 14076 * 18432);
}

const std::string defaults_vv = report(14, 18, 1024) +
                                "Encode mode.\n"
                                "Reading data in chunks of 14076 bytes.\n"
                                "Writing data in chunks of 18432 bytes.\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, CliEncodeReport,
    ::testing::Values(
        report_case{"quiet", {}, 100, input_from::pipe, ""},
        report_case{"v_empty",
                    {"-v"},
                    0,
                    input_from::stdin_file,
                    report(14, 18, 1024) +
                        "Encode mode.\nRead 0 bytes, wrote 0 bytes.\nExpansion factor = nan.\n"},
        report_case{"v_empty_pipe",
                    {"-v"},
                    0,
                    input_from::pipe,
                    report(14, 18, 1024) +
                        "Encode mode.\nRead 0 bytes, wrote 0 bytes.\nExpansion factor = nan.\n"},
        report_case{"vv_empty",
                    {"-vv"},
                    0,
                    input_from::stdin_file,
                    defaults_vv + "read a chunk of size 0\n"
                                  "Read 0 bytes, wrote 0 bytes.\nExpansion factor = nan.\n"},
        report_case{"v_one_full_chunk_pipe",
                    {"-v"},
                    14076,
                    input_from::pipe,
                    report(14, 18, 1024) + "Encode mode.\nRead 14076 bytes, wrote 18432 bytes.\n"
                                           "Expansion factor = 1.30946.\n"},
        report_case{"vv_two_chunks_pipe",
                    {"-vv"},
                    14077,
                    input_from::pipe,
                    defaults_vv + "read a chunk of size 14076\nread a chunk of size 1\n"
                                  "Read 14077 bytes, wrote 36864 bytes.\n"
                                  "Expansion factor = 2.61874.\n"},
        report_case{"vvv_three_chunks_file",
                    {"-vvv"},
                    28153,
                    input_from::stdin_file,
                    defaults_vv + "read a chunk of size 14076\nread a chunk of size 14076\n"
                                  "read a chunk of size 1\n"
                                  "Read 28153 bytes, wrote 55296 bytes.\n"
                                  "Expansion factor = 1.96412.\n"}),
    [](const ::testing::TestParamInfo<report_case>& info) { return std::string(info.param.name); });

TEST(CliEncodeReport, SmallCodeWithSeparateFlags) {
  run_options how;
  how.argv0 = "kestrune";
  how.stdin_bytes = "abcdefghij";
  const run_result r = run_program({"-v", "-k2", "-n3", "-v", "-b26"}, how);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.size(), 156u);
  EXPECT_EQ(r.err, report(2, 3, 26) +
                       "Encode mode.\n"
                       "Reading data in chunks of 8 bytes.\n"
                       "Writing data in chunks of 78 bytes.\n"
                       "read a chunk of size 8\nread a chunk of size 2\n"
                       "Read 10 bytes, wrote 156 bytes.\nExpansion factor = 15.6.\n");
}

// In decode mode the report ends the same way whatever the decoder makes of the empty input after
// it; "Input is a pipe." follows only for a pipe.
TEST(CliDecodeReport, StartsWithTheParametersAndTheInputKind) {
  struct decode_case {
    std::vector<std::string> args;
    bool pipe;
    std::string start;
  };
  const decode_case cases[] = {
      {{"-v", "-d"}, false, report(14, 18, 1024) + "Decode mode.\n"},
      {{"-v", "-d"}, true, report(14, 18, 1024) + "Decode mode.\nInput is a pipe.\n"},
      {{"-vvd"},
       false,
       report(14, 18, 1024) + "Decode mode.\nReading data in chunks of 18432 bytes.\n"
                              "Writing data in chunks of 14076 bytes.\n"},
      {{"-dvv"},
       true,
       report(14, 18, 1024) + "Decode mode.\nInput is a pipe.\n"
                              "Reading data in chunks of 18432 bytes.\n"
                              "Writing data in chunks of 14076 bytes.\n"},
      {{"-vv", "-d", "-k2", "-n3", "-b26"},
       true,
       report(2, 3, 26) + "Decode mode.\nInput is a pipe.\n"
                          "Reading data in chunks of 78 bytes.\n"
                          "Writing data in chunks of 8 bytes.\n"},
  };
  for (const decode_case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) + (c.pipe ? " pipe" : " file"));
    run_options how;
    how.argv0 = "kestrune";
    if (c.pipe) how.stdin_bytes = "";
    const run_result r = run_program(c.args, how);
    EXPECT_EQ(r.err.substr(0, c.start.size()), c.start);
    const std::string rest = r.err.substr(std::min(c.start.size(), r.err.size()));
    EXPECT_EQ(rest.find("Input is a pipe."), std::string::npos) << rest;
    EXPECT_EQ(rest.find("Reading data"), std::string::npos) << rest;
    EXPECT_EQ(rest.find("Encode mode."), std::string::npos) << rest;
    EXPECT_EQ(rest.find("Expansion factor"), std::string::npos) << rest;
  }
}

// ---- The invocation name.

// A name ending in exactly "decode" selects decode mode; the messages name the program as invoked.
TEST(CliProgramName, NameEndingInDecodeSelectsDecoding) {
  temp_dir dir;
  struct name_case {
    std::string link;  // symbolic link to the binary, in dir
    bool bare_argv0;   // argv[0] is the bare link name, else the full path
    bool decodes;
  };
  const name_case cases[] = {
      {"x-decode", true, true}, {"xDecode", true, false},         {"decoder", true, false},
      {"decode", true, true},   {"ecode", true, false},           {"decode.sh", true, false},
      {"DECODE", true, false},  {"kestrune-decode", false, true}, {"kestrune", false, false},
  };
  for (const name_case& c : cases) {
    const std::string link = dir.file(c.link);
    std::filesystem::create_symlink(kestrune_path(), link);
    const std::string argv0 = c.bare_argv0 ? c.link : link;
    SCOPED_TRACE(argv0);
    run_options how;
    how.program = link;
    how.argv0 = argv0;
    const run_result r = run_program({"-v"}, how);
    const std::string mode = c.decodes ? "Decode mode.\n" : "Encode mode.\n";
    EXPECT_EQ(r.err.substr(0, report(14, 18, 1024).size() + mode.size()),
              report(14, 18, 1024) + mode);
    if (!c.decodes) {
      EXPECT_EQ(r.status, 0);
    }
  }

  // Only the name's end counts: a directory called decode does not select decoding.
  std::filesystem::create_directory(dir.file("decode.d"));
  const std::string in_decode_dir = dir.file("decode.d") + "/kes";
  std::filesystem::create_symlink(kestrune_path(), in_decode_dir);
  run_options how;
  how.program = in_decode_dir;
  const run_result r = run_program({"-v"}, how);
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("Encode mode.\n"), std::string::npos) << r.err;
}

TEST(CliProgramName, MessagesUseTheNameAsInvoked) {
  struct message_case {
    std::string argv0;
    std::vector<std::string> args;
    std::string err;
  };
  const message_case cases[] = {
      {"./bin/kes",
       {"-x"},
       "./bin/kes: invalid option -- 'x'\n"
       "usage: ./bin/kes [-v] [-d] [-b<blocksize>] [-n<n>] [-k<k>] [file]\n"},
      {"x-decode",
       {"a", "b"},
       "usage: x-decode [-v] [-d] [-b<blocksize>] [-n<n>] [-k<k>] [file]\n"},
      {"/usr/bin/kestrune-decode", {"-n", "1"}, "/usr/bin/kestrune-decode: invalid (k, n)\n"},
      {"kes", {"-b", "1"}, "kes: invalid blocksize\n"},
      {"k", {"/nonexistent/file"}, "k: can't open '/nonexistent/file'\n"},
  };
  for (const message_case& c : cases) {
    SCOPED_TRACE(c.argv0);
    run_options how;
    how.argv0 = c.argv0;
    const run_result r = run_program(c.args, how);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
  }
}

// With an empty argument vector there are no options and no name: the standard input is encoded
// as usual, and the messages have no prefix. (Linux hands an empty vector to the program as one
// empty name.)
TEST(CliProgramName, EmptyArgumentVectorEncodesTheStandardInput) {
  const std::string input = pattern_bytes(20000, 9);
  run_options how;
  how.no_argv = true;
  const run_result r = run_in({}, input_from::stdin_file, input, output_to::captured, how);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(is_encoding_of(r.out, stream_geometry{}, input));
}

TEST(CliProgramName, EmptyArgumentVectorMessagesHaveNoPrefix) {
  run_options how;
  how.no_argv = true;
  const run_result write_failed =
      run_in({}, input_from::stdin_file, pattern_bytes(100, 9), output_to::dev_full, how);
  EXPECT_EQ(write_failed.status, 1);
  EXPECT_EQ(write_failed.err, "write error\n");

  const run_result read_failed =
      run_in({}, input_from::stdin_directory, "", output_to::captured, how);
  EXPECT_EQ(read_failed.status, 1);
  EXPECT_EQ(read_failed.out, "");
  EXPECT_EQ(read_failed.err, "read error\n");
}

}  // namespace
}  // namespace kestrune::test::cli
