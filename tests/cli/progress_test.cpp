// SPDX-License-Identifier: MIT
// progress_test.cpp - the progress line of kestrune --progress (encoding and decoding) and of
// kestrune-scan: drawn on standard error after carriage returns, cleared at the end, with the
// percentage of a file's size and none for a pipe, and standard output as without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/random.h"
#include "tests/support/surroundings.h"

namespace kestrune::test::cli {
namespace {

enum class tool { kestrune, scan };

struct progress_case {
  const char* name;
  tool program;
  std::vector<std::string> args;  // the option that shows the line is added by the test
  bool stream_input;              // the input is a protected stream (else the user data)
  input_from from;
  bool with_percentage;
};

void PrintTo(const progress_case& c, std::ostream* os) { *os << c.name; }

// Enough data for several readings of the clock (one per MiB or so of input).
const std::string& user_data() {
  static const std::string data = pattern_bytes(3'000'000, test_seed());
  return data;
}

const std::string& protected_stream() {
  static const std::string stream = [] {
    run_options options;
    options.stdin_bytes = user_data();
    return run_program({}, options).out;
  }();
  return stream;
}

run_result run_case(const progress_case& c, const std::vector<std::string>& extra) {
  std::vector<std::string> args = c.args;
  args.insert(args.end(), extra.begin(), extra.end());
  run_options options;
  if (c.program == tool::scan) options.program = KESTRUNE_SCAN_BINARY;
  return run_in(args, c.from, c.stream_input ? protected_stream() : user_data(),
                output_to::captured, options);
}

// "1.23 MB" and the like, in bytes.
double bytes_of(const std::string& number, const std::string& unit) {
  const std::string units = "BkMGTPE";
  const size_t power = units.find(unit[0]);
  double value = std::strtod(number.c_str(), nullptr);
  for (size_t p = 0; p < power; p++) value *= 1000;
  return value;
}

class ProgressLine : public ::testing::TestWithParam<progress_case> {};

TEST_P(ProgressLine, IsDrawnInPlaceAndClearedWithTheOutputUnchanged) {
  const progress_case& c = GetParam();
  const run_result plain = run_case(c, {});
  const run_result r = run_case(c, {"--progress"});
  ASSERT_EQ(plain.status, 0);
  EXPECT_EQ(r.status, plain.status);
  EXPECT_TRUE(r.out == plain.out) << "standard output differs";
  EXPECT_EQ(plain.err, "");

  // "\r<line>" once or more, then "\r<blanks>\r".
  const std::string size = R"(([0-9.]+) ([kMGTPE]?B))";
  const std::string label = c.program == tool::scan ? ".*kestrune-scan" : ".*kestrune";
  const std::regex drawing("\r(" + label + ": " + size + ", " + size + "/s" + "(, " + "([0-9.]+)" +
                           "% of " + size + ", [0-9]+:[0-5][0-9]:[0-5][0-9] left)?) *");
  const size_t end = r.err.rfind('\r', r.err.size() - 2);
  ASSERT_NE(end, std::string::npos) << "no line drawn";
  ASSERT_EQ(r.err.back(), '\r');
  const std::string clearing = r.err.substr(end + 1, r.err.size() - end - 2);
  EXPECT_EQ(clearing.find_first_not_of(' '), std::string::npos) << "not cleared";
  const std::string drawings = r.err.substr(0, end);
  size_t widest = 0;
  for (size_t at = 0; at < drawings.size();) {
    const size_t next = drawings.find('\r', at + 1);
    const std::string one = drawings.substr(at, next == std::string::npos ? next : next - at);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(one, m, drawing)) << "not a progress line: " << one;
    widest = std::max(widest, static_cast<size_t>(m[1].length()));
    const double done = bytes_of(m[2], m[3]);
    const double input = double((c.stream_input ? protected_stream() : user_data()).size());
    EXPECT_GT(done, 0);
    EXPECT_LE(done, input * 1.005);
    EXPECT_EQ(m[6].matched, c.with_percentage) << one;
    if (m[6].matched) {
      // The size is the input's, to three digits, and the percentage is of it.
      const double total = bytes_of(m[8], m[9]);
      EXPECT_NEAR(total, input, input * 0.005) << one;
      EXPECT_NEAR(std::strtod(m[7].str().c_str(), nullptr), 100 * done / input, 1.0) << one;
    }
    at = next == std::string::npos ? drawings.size() : next;
  }
  EXPECT_GE(clearing.size(), widest);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, ProgressLine,
    ::testing::Values(
        progress_case{"encode_file", tool::kestrune, {}, false, input_from::file_operand, true},
        progress_case{"encode_pipe", tool::kestrune, {}, false, input_from::pipe, false},
        progress_case{"decode_file", tool::kestrune, {"-d"}, true, input_from::file_operand, true},
        progress_case{
            "decode_stdin_file", tool::kestrune, {"-d"}, true, input_from::stdin_file, true},
        progress_case{"decode_pipe", tool::kestrune, {"-d"}, true, input_from::pipe, false},
        progress_case{"scan_stdin_file", tool::scan, {}, true, input_from::stdin_file, true},
        progress_case{"scan_pipe", tool::scan, {}, true, input_from::pipe, false}));

// -vv lines and the --stats summary never share a line with the progress line: each message
// begins where the line was cleared.
TEST(ProgressLineWithMessages, IsClearedBeforeEveryMessage) {
  const progress_case c{"decode", tool::kestrune, {"-d"}, true, input_from::pipe, false};
  const run_result r = run_case(c, {"--progress", "--stats", "-vv"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find('\r'), std::string::npos) << "no line drawn";
  size_t messages = 0;
  for (size_t at = 0; at < r.err.size();) {
    const size_t newline = r.err.find('\n', at);
    if (newline == std::string::npos) break;
    const std::string line = r.err.substr(at, newline - at);
    const size_t drawn = line.rfind('\r');
    // Whatever was drawn before the message ends with a clearing: blanks, then "\r".
    if (drawn != std::string::npos) {
      ASSERT_GT(drawn, 0u) << line;
      const size_t before = line.rfind('\r', drawn - 1);
      ASSERT_NE(before, std::string::npos) << line;
      EXPECT_EQ(line.substr(before + 1, drawn - before - 1).find_first_not_of(' '),
                std::string::npos)
          << line;
    }
    messages++;
    at = newline + 1;
  }
  EXPECT_GT(messages, 9u);
  EXPECT_NE(r.err.find("\nstats: chunks read "), std::string::npos);
}

// --no-progress wins over an earlier --progress.
TEST(ProgressLineScan, NoProgressTurnsItOff) {
  const progress_case c{"scan", tool::scan, {}, true, input_from::file_operand, true};
  const run_result r = run_case(c, {"--progress", "--no-progress"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

}  // namespace
}  // namespace kestrune::test::cli
