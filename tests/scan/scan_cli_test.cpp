// SPDX-License-Identifier: MIT
// scan_cli_test.cpp - kestrune-scan's command line: kestrune's checks and messages for -b, -n and
// -k, its own options, usage errors, unreadable inputs and unwritable salvage files; and the
// restore command it prints, run as printed.
#include <gtest/gtest.h>

#include "tests/scan/scan_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g{.blocksize = 128, .n = 6, .k = 4};

std::string usage_line() {
  return "usage: " + scan_path() +
         " [-b<blocksize>] [-n<n>] [-k<k>] [--json] [--all] [--tar] [--min-spare N] [--salvage "
         "FILE]"
         " [--repair OUT] [file...]\n";
}

TEST(ScanCommandLine, BadArgumentsEndWithStatusOneAndNoReport) {
  const temp_dir dir;
  const std::string stream_path = dir.file("stream.kst");
  write_file(stream_path, encode(pattern_bytes(1000, test_seed()), g));
  struct bad {
    std::vector<std::string> args;
    std::string err_start;  // the start of standard error
    bool then_usage;        // and the usage text last
  };
  const std::string fatal = scan_path() + ": ";
  const bad cases[] = {
      {{"-n", "1", stream_path}, fatal + "invalid (k, n)\n", false},
      {{"-n", "257", "-k", "3", stream_path}, fatal + "invalid (k, n)\n", false},
      {{"-k", "0", stream_path}, fatal + "invalid (k, n)\n", false},
      {{"-k", "300", stream_path}, fatal + "invalid (k, n)\n", false},
      {{"-n", "4", "-k", "5", stream_path}, fatal + "invalid (k, n)\n", false},
      {{"-b", "25", stream_path}, fatal + "invalid blocksize\n", false},
      {{"-b", "8192K", "-n", "256", stream_path}, fatal + "invalid blocksize\n", false},
      {{"-b", "26", "-k", "1", stream_path}, fatal + "invalid blocksize\n", false},
      {{"--min-spare", "x", stream_path}, fatal + "invalid --min-spare\n", false},
      {{"--min-spare", "-1", stream_path}, fatal + "invalid --min-spare\n", false},
      {{"--min-spare", "257", stream_path}, fatal + "invalid --min-spare\n", false},
      {{stream_path, stream_path}, "", true},
      {{"-x", stream_path}, fatal + "invalid option -- 'x'\n", true},
      {{"--salvage"}, fatal + "option '--salvage' requires an argument\n", true},
      {{dir.file("missing.kst")}, fatal + "can't open '" + dir.file("missing.kst") + "'\n", false},
      {{dir.path()}, fatal + "read error\n", false},
      {{"--salvage", dir.file("no/such/dir"), stream_path},
       fatal + "can't write '" + dir.file("no/such/dir") + "'\n",
       false},
  };
  for (const bad& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    run_options options;
    options.program = scan_path();
    const run_result r = run_program(c.args, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err_start + (c.then_usage ? usage_line() : ""));
  }
}

// The printed command restores the stream when a shell runs it, whatever the file is called.
TEST(ScanCommandLine, RestoreCommandRunsAsPrinted) {
  const std::string data = pattern_bytes(3000, test_seed());
  const temp_dir dir;
  const std::string path = dir.file("it's a -b 99 stream.kst");
  write_file(path, encode(data, g));
  run_options options;
  options.program = scan_path();
  const run_result r = run_program({"--json", "--", path}, options);
  ASSERT_EQ(r.status, 0) << r.err;
  const json_value s = read_json_report(r.out).summary;
  EXPECT_EQ(s["input"].string(), path);
  const std::string restore = s["restore"].string();
  ASSERT_EQ(restore.rfind("kestrune ", 0), 0u) << restore;

  run_options shell;
  shell.program = "/bin/sh";
  const run_result restored =
      run_program({"-c", "\"$0\" " + restore.substr(9), kestrune_path()}, shell);
  EXPECT_EQ(restored.status, 0) << restored.err;
  EXPECT_TRUE(same_bytes(restored.out, data));
}

}  // namespace
}  // namespace kestrune::test
