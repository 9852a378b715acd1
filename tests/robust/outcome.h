// SPDX-License-Identifier: MIT
// outcome.h - the one promise every run keeps, whatever its input and surroundings: it ends with
// status 0 after writing everything, or with status 1 after writing a prefix of it (whole chunks
// only) and exactly one fatal message. It never ends with status 0 after writing less.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "tests/support/process.h"

namespace kestrune::test {

// Status 0: standard output is exactly `whole` (everything a complete run writes: the encoding, or
// what the stream holds) and standard error is empty. Status 1: standard output is a prefix of
// `whole` made of whole units of `unit` bytes (any prefix for 0), and standard error is one line
// "<program>: <message>". Any other status fails. Standard output is not looked at when it was not
// captured.
::testing::AssertionResult whole_or_clean_failure(int status, const std::string& out,
                                                  const std::string& err, const std::string& whole,
                                                  size_t unit, const std::string& program,
                                                  bool out_captured = true);

// The same for a run of the binary, whose messages begin with its path.
inline ::testing::AssertionResult whole_or_clean_failure(const run_result& r,
                                                         const std::string& whole, size_t unit,
                                                         bool out_captured = true) {
  return whole_or_clean_failure(r.status, r.out, r.err, whole, unit, kestrune_path(), out_captured);
}

}  // namespace kestrune::test
