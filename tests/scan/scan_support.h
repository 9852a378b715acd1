// SPDX-License-Identifier: MIT
// scan_support.h - what the kestrune-scan tests share: running the scanner on a stream from a
// file or a pipe, reading its JSON report, and the expected places of user bytes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/scan/json_lines.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {

// The kestrune-scan binary the tests were built with.
std::string scan_path();

// The -b, -n and -k options for the geometry, all three spelled out.
std::vector<std::string> all_geometry_args(const stream_geometry& g);

// Runs kestrune-scan with args on the stream: stored in a file named stream.kst that ends the
// command line, or through a pipe; `options` adds to the run. Extra files the run writes (salvage)
// are named by the caller.
run_result scan(const std::string& stream, feed how, const std::vector<std::string>& args = {},
                run_options options = {});

// The report of a --json run: one object per chunk, then the summary. Throws when the output is
// not that.
struct json_report {
  std::vector<json_value> chunks;
  json_value summary;
};
json_report read_json_report(const std::string& out);

// A summary field without what depends on how the stream was given (file name, seekable, the
// restore command's operand), for comparing runs on a file and on a pipe.
std::string comparable(const json_value& summary);

// The lines of a text, without their newlines.
std::vector<std::string> lines_of(const std::string& text);
bool has_line(const std::string& text, const std::string& line);

// A stream's user bytes that a salvage keeps: every byte outside the salvage's lost ranges is the
// original one (zero past the data's end, where a lost chunk of unknown length is written whole),
// every byte inside is zero, and the file is as long as the sum of the chunks' data lengths (for a
// realigned salvage, as long as the summary says).
::testing::AssertionResult salvage_matches(const std::string& salvaged, const std::string& data,
                                           const json_report& report);

}  // namespace kestrune::test
