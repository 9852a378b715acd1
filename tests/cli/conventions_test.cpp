// SPDX-License-Identifier: MIT
// conventions_test.cpp - the Unix conventions of both programs, run as built: --help and --version
// (and kestrune-scan's -h and -V) as the first argument only, every other command line as before;
// kestrune-scan's "-" operand, its options after the operand and its salvage to standard output.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace kestrune::test::conventions {
namespace {

const std::string version = KESTRUNE_VERSION;

enum class tool { kestrune, scan };

std::string path_of(tool t) { return t == tool::kestrune ? kestrune_path() : KESTRUNE_SCAN_BINARY; }
std::string name_of(tool t) { return t == tool::kestrune ? "kestrune" : "kestrune-scan"; }

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

// Runs the tool under its plain name (or argv0) in an empty working directory, so that operands
// such as "--help" name no file.
run_result run_tool(tool t, const std::vector<std::string>& args, run_options how = {},
                    const std::string& argv0 = "") {
  how.program = path_of(t);
  how.argv0 = argv0.empty() ? name_of(t) : argv0;
  const temp_dir dir;
  const scoped_cwd in_dir(dir.path());
  return run_program(args, how);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The usage line, as the tool prints it last after an unknown option.
std::string usage_line(tool t, const std::string& argv0 = "") {
  const run_result r = run_tool(t, {"-x"}, {}, argv0);
  const std::vector<std::string> lines = lines_of(r.err);
  return lines.empty() ? "" : lines.back() + "\n";
}

// The options a usage line names: "[-b<blocksize>]" gives -b, "[--min-spare N]" --min-spare.
std::vector<std::string> options_in_usage(const std::string& usage) {
  std::vector<std::string> options;
  for (size_t open = usage.find("[-"); open != std::string::npos;
       open = usage.find("[-", open + 1)) {
    size_t end = open + 2;
    while (end < usage.size() &&
           (usage[end] == '-' || std::isalpha(static_cast<unsigned char>(usage[end])))) {
      end++;
    }
    // A one-letter option runs into its argument ("-b<blocksize>"): keep the letter alone.
    if (usage[open + 2] != '-') end = open + 3;
    options.push_back(usage.substr(open + 1, end - open - 1));
  }
  return options;
}

// ---- The first argument.

enum class outcome { help, version, as_before };

struct first_argument_case {
  const char* name;
  tool program;
  std::vector<std::string> args;
  outcome expected;
  std::string err;  // as_before: standard error, the usage line excepted
  bool then_usage = true;
  std::string argv0 = "";
};

void PrintTo(const first_argument_case& c, std::ostream* os) { *os << c.name; }

class FirstArgument : public ::testing::TestWithParam<first_argument_case> {};

TEST_P(FirstArgument, HelpVersionOrTheOldBehaviour) {
  const first_argument_case& c = GetParam();
  const run_result r = run_tool(c.program, c.args, {}, c.argv0);
  const std::string usage = usage_line(c.program, c.argv0);
  ASSERT_EQ(usage.rfind("usage: ", 0), 0u) << usage;
  switch (c.expected) {
    case outcome::version:
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.out, name_of(c.program) + " " + version + "\n");
      EXPECT_EQ(r.err, "");
      break;
    case outcome::help: {
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, "");
      // The usage line of the usage error first, then a line for every option it names.
      ASSERT_EQ(r.out.substr(0, usage.size()), usage);
      const std::vector<std::string> lines = lines_of(r.out.substr(usage.size()));
      std::vector<std::string> listed = options_in_usage(usage);
      listed.insert(listed.end(), {"--help", "--version"});
      for (const std::string& option : listed) {
        bool found = false;
        for (const std::string& line : lines) {
          const size_t at = line.find(option);
          found = found || (line.find_first_not_of(' ') == at && at != std::string::npos) ||
                  line.find(", " + option) != std::string::npos;
        }
        EXPECT_TRUE(found) << option << " is not explained in\n" << r.out;
      }
      EXPECT_NE(r.out.find(name_of(c.program) + "(1)"), std::string::npos);
      break;
    }
    case outcome::as_before:
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, c.err + (c.then_usage ? usage : ""));
      break;
  }
}

const std::string k_fatal = "kestrune: ";
const std::string scan_fatal = "kestrune-scan: ";

INSTANTIATE_TEST_SUITE_P(
    Kestrune, FirstArgument,
    ::testing::Values(first_argument_case{"help", tool::kestrune, {"--help"}, outcome::help, ""},
                      first_argument_case{"help_ignores_the_rest",
                                          tool::kestrune,
                                          {"--help", "-x", "missing", "missing"},
                                          outcome::help,
                                          ""},
                      first_argument_case{"help_under_the_decode_name",
                                          tool::kestrune,
                                          {"--help"},
                                          outcome::help,
                                          "",
                                          true,
                                          "kestrune-decode"},
                      first_argument_case{
                          "version", tool::kestrune, {"--version"}, outcome::version, ""},
                      first_argument_case{"version_under_the_decode_name",
                                          tool::kestrune,
                                          {"--version", "-d"},
                                          outcome::version,
                                          "",
                                          true,
                                          "/usr/bin/kestrune-decode"},
                      first_argument_case{"bogus",
                                          tool::kestrune,
                                          {"--bogus"},
                                          outcome::as_before,
                                          k_fatal + "invalid option -- '-'\n"},
                      first_argument_case{"abbreviated_help",
                                          tool::kestrune,
                                          {"--he"},
                                          outcome::as_before,
                                          k_fatal + "invalid option -- '-'\n"},
                      first_argument_case{"help_with_a_suffix",
                                          tool::kestrune,
                                          {"--helpx"},
                                          outcome::as_before,
                                          k_fatal + "invalid option -- '-'\n"},
                      first_argument_case{"no_h_letter",
                                          tool::kestrune,
                                          {"-h"},
                                          outcome::as_before,
                                          k_fatal + "invalid option -- 'h'\n"},
                      first_argument_case{"no_V_letter",
                                          tool::kestrune,
                                          {"-V"},
                                          outcome::as_before,
                                          k_fatal + "invalid option -- 'V'\n"},
                      first_argument_case{"help_second",
                                          tool::kestrune,
                                          {"-v", "--help"},
                                          outcome::as_before,
                                          k_fatal + "invalid option -- '-'\n"},
                      first_argument_case{"version_after_the_operand",
                                          tool::kestrune,
                                          {"data", "--version"},
                                          outcome::as_before,
                                          ""},
                      first_argument_case{"help_after_double_dash_is_a_file",
                                          tool::kestrune,
                                          {"--", "--help"},
                                          outcome::as_before,
                                          k_fatal + "can't open '--help'\n",
                                          false}),
    [](const ::testing::TestParamInfo<first_argument_case>& info) {
      return std::string(info.param.name);
    });

INSTANTIATE_TEST_SUITE_P(
    Scan, FirstArgument,
    ::testing::Values(
        first_argument_case{"help", tool::scan, {"--help"}, outcome::help, ""},
        first_argument_case{"h", tool::scan, {"-h"}, outcome::help, ""},
        first_argument_case{
            "help_ignores_the_rest", tool::scan, {"-h", "--bogus", "a", "b"}, outcome::help, ""},
        first_argument_case{"version", tool::scan, {"--version"}, outcome::version, ""},
        first_argument_case{"V", tool::scan, {"-V", "missing.kst"}, outcome::version, ""},
        first_argument_case{"bogus",
                            tool::scan,
                            {"--bogus"},
                            outcome::as_before,
                            scan_fatal + "unrecognized option '--bogus'\n"},
        first_argument_case{"grouped_letters",
                            tool::scan,
                            {"-hV"},
                            outcome::as_before,
                            scan_fatal + "invalid option -- 'h'\n"},
        first_argument_case{"help_second",
                            tool::scan,
                            {"--json", "--help"},
                            outcome::as_before,
                            scan_fatal + "unrecognized option '--help'\n"},
        first_argument_case{"h_second",
                            tool::scan,
                            {"--json", "-h"},
                            outcome::as_before,
                            scan_fatal + "invalid option -- 'h'\n"},
        first_argument_case{"version_after_the_operand",
                            tool::scan,
                            {"missing.kst", "--version"},
                            outcome::as_before,
                            scan_fatal + "unrecognized option '--version'\n"},
        first_argument_case{"help_after_double_dash_is_a_file",
                            tool::scan,
                            {"--", "--help"},
                            outcome::as_before,
                            scan_fatal + "can't open '--help'\n",
                            false}),
    [](const ::testing::TestParamInfo<first_argument_case>& info) {
      return std::string(info.param.name);
    });

// The help and the version are checked writes too: a closed standard output fails the run.
TEST(FirstArgument, WriteErrorOnClosedOutput) {
  const struct {
    tool program;
    const char* arg;
  } cases[] = {{tool::kestrune, "--help"},
               {tool::kestrune, "--version"},
               {tool::scan, "--help"},
               {tool::scan, "-V"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(name_of(c.program) + " " + c.arg);
    run_options how;
    how.close_stdout = true;
    const run_result r = run_tool(c.program, {c.arg}, how);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, name_of(c.program) + ": write error\n");
  }
}

// ---- kestrune-scan's operands.

// A stream of several chunks, damaged so that one chunk is lost and another repairable: the
// report, the exit status and the salvage all depend on every part of the command line.
struct damaged_stream {
  temp_dir dir;
  std::string data_path = dir.file("data");
  std::string stream_path = dir.file("stream.kst");
  std::string data;
  std::string stream;

  damaged_stream() {
    data = pattern_bytes(9000, 7);
    write_file(data_path, data);
    run_options how;
    how.stdout_file = stream_path;
    const run_result r = run_program({"-b", "512", "-n", "6", "-k", "4", data_path}, how);
    if (r.status != 0) throw std::runtime_error("encoding failed: " + r.err);
    stream = read_file(stream_path);
    // Chunk 1 loses three of its six blocks (lost), chunk 2 one (repairable).
    stream.replace(3072 + 512, 3 * 512, 3 * 512, '\0');
    stream.replace(2 * 3072 + 100, 10, 10, '\0');
    write_file(stream_path, stream);
  }
};

enum class feed { none, file, pipe };

struct scan_line {
  std::vector<std::string> args;  // "@" stands for the stream's path
  feed input = feed::none;
};

std::ostream& operator<<(std::ostream& os, const scan_line& l) {
  for (const std::string& a : l.args) os << a << ' ';
  return os << (l.input == feed::file ? "< file" : l.input == feed::pipe ? "< pipe" : "");
}

run_result run_scan(const damaged_stream& s, const scan_line& line, run_options how = {}) {
  std::vector<std::string> args;
  for (const std::string& a : line.args) args.push_back(a == "@" ? s.stream_path : a);
  if (line.input == feed::file) how.stdin_file = s.stream_path;
  if (line.input == feed::pipe) how.stdin_bytes = s.stream;
  how.program = KESTRUNE_SCAN_BINARY;
  return run_program(args, how);
}

// A command line that must do exactly what another one does.
struct same_as_case {
  const char* name;
  scan_line line;
  scan_line reference;
  bool posixly_correct = false;  // run both with POSIXLY_CORRECT set
};

void PrintTo(const same_as_case& c, std::ostream* os) { *os << c.name; }

class ScanOperands : public ::testing::TestWithParam<same_as_case> {};

TEST_P(ScanOperands, DoWhatTheReferenceLineDoes) {
  const same_as_case& c = GetParam();
  const damaged_stream s;
  if (c.posixly_correct) setenv("POSIXLY_CORRECT", "1", 1);
  const run_result got = run_scan(s, c.line);
  const run_result want = run_scan(s, c.reference);
  unsetenv("POSIXLY_CORRECT");
  SCOPED_TRACE(::testing::PrintToString(c.line) + "  vs  " + ::testing::PrintToString(c.reference));
  // The reference itself scans the stream: one chunk lost, so status 3 and a report.
  ASSERT_EQ(want.status, 3) << want.err;
  ASSERT_NE(want.out, "");
  EXPECT_EQ(got.status, want.status);
  EXPECT_EQ(got.out, want.out);
  EXPECT_EQ(got.err, want.err);
}

INSTANTIATE_TEST_SUITE_P(
    Scan, ScanOperands,
    ::testing::Values(
        same_as_case{"dash_is_standard_input_file", {{"-"}, feed::file}, {{}, feed::file}},
        same_as_case{"dash_is_standard_input_pipe", {{"-"}, feed::pipe}, {{}, feed::pipe}},
        same_as_case{"dash_after_double_dash", {{"--", "-"}, feed::pipe}, {{}, feed::pipe}},
        same_as_case{"json_after_dash", {{"-", "--json"}, feed::pipe}, {{"--json"}, feed::pipe}},
        same_as_case{"json_after_the_file", {{"@", "--json"}}, {{"--json", "@"}}},
        same_as_case{"parameters_after_the_file",
                     {{"@", "-b", "512", "-n", "6", "-k", "4"}},
                     {{"-b", "512", "-n", "6", "-k", "4", "@"}}},
        same_as_case{"parameters_around_the_file",
                     {{"-n", "6", "@", "-k", "4", "--json"}},
                     {{"-n", "6", "-k", "4", "--json", "@"}}},
        same_as_case{
            "min_spare_after_the_file", {{"@", "--min-spare", "3"}}, {{"--min-spare", "3", "@"}}},
        same_as_case{"after_the_file_with_posixly_correct",
                     {{"@", "--json", "-n", "6"}},
                     {{"--json", "-n", "6", "@"}},
                     true}),
    [](const ::testing::TestParamInfo<same_as_case>& info) {
      return std::string(info.param.name);
    });

struct scan_rejection {
  const char* name;
  std::vector<std::string> args;
  std::string err;  // before the usage line
};

TEST(ScanOperands, TwoOperandsOrABadOptionAfterTheFileAreUsageErrors) {
  const damaged_stream s;
  const std::string usage = usage_line(tool::scan, KESTRUNE_SCAN_BINARY);
  const std::string fatal = std::string(KESTRUNE_SCAN_BINARY) + ": ";
  const scan_rejection cases[] = {
      {"two_dashes", {"-", "-"}, ""},
      {"double_dash_makes_json_a_file", {"@", "--", "--json"}, ""},
      {"all_operands_after_double_dash", {"--", "@", "--json"}, ""},
      {"unknown_letter_after_the_file", {"@", "-x"}, fatal + "invalid option -- 'x'\n"},
      {"salvage_without_its_file",
       {"@", "--salvage"},
       fatal + "option '--salvage' requires an argument\n"},
  };
  for (const scan_rejection& c : cases) {
    SCOPED_TRACE(c.name);
    const run_result r = run_scan(s, {c.args, feed::pipe});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err + usage);
  }
}

// --salvage - writes the salvage to standard output and the report to standard error: the same
// bytes and the same report (naming "-") as a salvage to a file.
struct salvage_case {
  const char* name;
  std::vector<std::string> options;
  feed input;
};

void PrintTo(const salvage_case& c, std::ostream* os) { *os << c.name; }

class SalvageToStandardOutput : public ::testing::TestWithParam<salvage_case> {};

TEST_P(SalvageToStandardOutput, MatchesASalvageToAFile) {
  const salvage_case& c = GetParam();
  const damaged_stream s;
  const std::string operand = c.input == feed::none ? "@" : "-";
  const std::string salvage_path = s.dir.file("salvage.out");

  scan_line to_file{c.options, c.input};
  to_file.args.insert(to_file.args.end(), {"--salvage", salvage_path, operand});
  const run_result want = run_scan(s, to_file);
  ASSERT_EQ(want.status, 3) << want.err;
  ASSERT_EQ(want.err, "");
  const std::string salvaged = read_file(salvage_path);
  // As long as the data (the lost chunk's header survives), and chunk 0 is the user's data.
  ASSERT_EQ(salvaged.size(), s.data.size());
  EXPECT_EQ(salvaged.substr(0, 1000), s.data.substr(0, 1000));

  scan_line to_stdout{c.options, c.input};
  to_stdout.args.insert(to_stdout.args.end(), {"--salvage", "-", operand});
  const run_result got = run_scan(s, to_stdout);
  EXPECT_EQ(got.status, want.status);
  EXPECT_TRUE(got.out == salvaged) << "standard output is not the salvage";
  std::string report = want.out;
  for (size_t at = report.find(salvage_path); at != std::string::npos;
       at = report.find(salvage_path, at + 1)) {
    report.replace(at, salvage_path.size(), "-");
  }
  EXPECT_EQ(got.err, report);
}

INSTANTIATE_TEST_SUITE_P(Scan, SalvageToStandardOutput,
                         ::testing::Values(salvage_case{"text_from_a_file", {}, feed::none},
                                           salvage_case{"json_from_a_file", {"--json"}, feed::none},
                                           salvage_case{"text_from_a_pipe", {}, feed::pipe},
                                           salvage_case{
                                               "json_from_a_pipe", {"--json"}, feed::pipe}),
                         [](const ::testing::TestParamInfo<salvage_case>& info) {
                           return std::string(info.param.name);
                         });

TEST(SalvageToStandardOutput, ClosedStandardOutputCannotBeWritten) {
  const damaged_stream s;
  run_options how;
  how.close_stdout = true;
  const run_result r = run_scan(s, {{"--salvage", "-", "@"}}, how);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, std::string(KESTRUNE_SCAN_BINARY) + ": can't write '-'\n");
}

}  // namespace
}  // namespace kestrune::test::conventions
