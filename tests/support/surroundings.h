// SPDX-License-Identifier: MIT
// surroundings.h - where a run of a binary gets its standard input and where its standard output
// goes, the working ways and the failing ones, all set up from one table.
#pragma once

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace kestrune::test {

enum class input_from {
  pipe,               // the input bytes through a pipe
  stdin_file,         // the input bytes in a file that is the standard input (seekable)
  file_operand,       // the input bytes in a file named as the last argument
  stdin_directory,    // a directory as the standard input: it opens, and every read of it fails
  directory_operand,  // a directory named as the last argument
  stdin_closed,       // no standard input at all
};

enum class output_to {
  captured,  // a file the test reads back (run_result::out)
  dev_full,  // /dev/full, where every write fails
  closed,    // no standard output at all
};

const char* name_of(input_from from);
const char* name_of(output_to to);

// Runs the binary of `options` (kestrune when it names none) with the arguments, the input given
// as `from` says and the output going where `to` says; the rest of `options` is kept. The files it
// needs lie in a temporary directory that goes afterwards; the input file is called file_name.
run_result run_in(const std::vector<std::string>& args, input_from from, const std::string& input,
                  output_to to = output_to::captured, run_options options = {},
                  const std::string& file_name = "input");

}  // namespace kestrune::test
