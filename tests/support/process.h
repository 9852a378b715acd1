// SPDX-License-Identifier: MIT
// process.h - running the kestrune binary from tests: arguments, environment, standard input from a
// file or a pipe, and the captured standard output, standard error and exit status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct run_options {
  std::string program;                     // the binary; empty = the kestrune built with the tests
  std::optional<std::string> argv0;        // the invocation name; default = program
  bool no_argv = false;                    // start with an empty argument vector
  std::optional<std::string> stdin_file;   // standard input opened from this file (seekable)
  std::optional<std::string> stdin_bytes;  // or these bytes through a pipe
  bool close_stdin = false;                // standard input closed
  std::optional<std::string> stdout_file;  // standard output to this file instead of captured
  bool close_stdout = false;               // standard output closed
  std::vector<std::string> env;            // "NAME=value" settings added to the test's environment
};

struct run_result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // standard output (empty when it went to a file)
  std::string err;  // standard error
};

// The path of the kestrune binary the tests were built with.
std::string kestrune_path();

// Runs the program with the arguments (argv[1] on) and waits for it.
run_result run_program(const std::vector<std::string>& args, const run_options& options = {});

// A fresh directory, removed with everything in it when the object goes.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// Bytes that depend on the seed and the position, for inputs that tests can tell apart.
std::string pattern_bytes(size_t size, uint64_t seed);
