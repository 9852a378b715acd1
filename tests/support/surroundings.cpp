// SPDX-License-Identifier: MIT
// surroundings.cpp - the table of input and output surroundings and running a binary in them.
#include "tests/support/surroundings.h"

#include <stdexcept>

namespace kestrune::test {

namespace {

// What one run is given: its arguments and options, the input bytes and where their file goes.
struct run_setup {
  std::vector<std::string>& args;
  run_options& options;
  const std::string& input;
  const std::string& dir;
  const std::string& file;
};

struct input_surrounding {
  input_from from;
  const char* name;
  void (*arrange)(const run_setup& run);
};

const input_surrounding inputs[] = {
    {input_from::pipe, "pipe", [](const run_setup& run) { run.options.stdin_bytes = run.input; }},
    {input_from::stdin_file, "stdin_file",
     [](const run_setup& run) {
       write_file(run.file, run.input);
       run.options.stdin_file = run.file;
     }},
    {input_from::file_operand, "file_operand",
     [](const run_setup& run) {
       write_file(run.file, run.input);
       run.args.push_back(run.file);
     }},
    {input_from::stdin_directory, "stdin_directory",
     [](const run_setup& run) { run.options.stdin_file = run.dir; }},
    {input_from::directory_operand, "directory_operand",
     [](const run_setup& run) { run.args.push_back(run.dir); }},
    {input_from::stdin_closed, "stdin_closed",
     [](const run_setup& run) { run.options.close_stdin = true; }},
};

struct output_surrounding {
  output_to to;
  const char* name;
  void (*arrange)(run_options& options);
};

const output_surrounding outputs[] = {
    {output_to::captured, "captured", [](run_options&) {}},
    {output_to::dev_full, "dev_full",
     [](run_options& options) { options.stdout_file = "/dev/full"; }},
    {output_to::closed, "closed", [](run_options& options) { options.close_stdout = true; }},
};

const input_surrounding& input_entry(input_from from) {
  for (const input_surrounding& e : inputs) {
    if (e.from == from) return e;
  }
  throw std::invalid_argument("no such input surrounding");
}

const output_surrounding& output_entry(output_to to) {
  for (const output_surrounding& e : outputs) {
    if (e.to == to) return e;
  }
  throw std::invalid_argument("no such output surrounding");
}

}  // namespace

const char* name_of(input_from from) { return input_entry(from).name; }
const char* name_of(output_to to) { return output_entry(to).name; }

run_result run_in(const std::vector<std::string>& args, input_from from, const std::string& input,
                  output_to to, run_options options, const std::string& file_name) {
  const temp_dir dir;
  std::vector<std::string> all = args;
  input_entry(from).arrange({all, options, input, dir.path(), dir.file(file_name)});
  output_entry(to).arrange(options);
  return run_program(all, options);
}

}  // namespace kestrune::test
