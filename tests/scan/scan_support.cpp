// SPDX-License-Identifier: MIT
// scan_support.cpp - running kestrune-scan for the tests and checking its report and salvage.
#include "tests/scan/scan_support.h"

#include <stdexcept>

namespace kestrune::test {

std::string scan_path() { return KESTRUNE_SCAN_BINARY; }

std::vector<std::string> all_geometry_args(const stream_geometry& g) {
  return {"-b", std::to_string(g.blocksize), "-n", std::to_string(g.n), "-k", std::to_string(g.k)};
}

run_result scan(const std::string& stream, feed how, const std::vector<std::string>& args,
                run_options options) {
  options.program = scan_path();
  return run_in(args, input_of(how), stream, output_to::captured, options, "stream.kst");
}

json_report read_json_report(const std::string& out) {
  std::vector<json_value> lines = parse_json_lines(out);
  if (lines.empty()) throw std::runtime_error("no JSON lines in: " + out);
  json_report report;
  report.summary = lines.back();
  lines.pop_back();
  if (report.summary["type"].string() != "summary") {
    throw std::runtime_error("the last line is not the summary: " + report.summary.text());
  }
  for (json_value& line : lines) {
    if (line["type"].string() != "chunk") {
      throw std::runtime_error("a line before the summary is not a chunk: " + line.text());
    }
    report.chunks.push_back(std::move(line));
  }
  return report;
}

std::string comparable(const json_value& summary) {
  std::string text;
  for (const auto& [name, value] : summary.fields()) {
    if (name == "input" || name == "seekable" || name == "restore") continue;
    text += name + "=" + value.text() + "\n";
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool has_line(const std::string& text, const std::string& line) {
  for (const std::string& l : lines_of(text)) {
    if (l == line) return true;
  }
  return false;
}

::testing::AssertionResult salvage_matches(const std::string& salvaged, const std::string& data,
                                           const json_report& report) {
  const bool realigned = report.summary["salvage_realigned"].boolean();
  uint64_t length = 0;
  for (const json_value& chunk : report.chunks) {
    if (static_cast<uint64_t>(chunk["data_offset"].number()) != length) {
      return ::testing::AssertionFailure()
             << "chunk " << chunk["chunk"].number() << " starts at "
             << chunk["data_offset"].number() << ", after " << length << " bytes";
    }
    length += static_cast<uint64_t>(chunk["data_length"].number());
  }
  // A realigned salvage holds the chunks as placed by their numbers, not as the scan found them.
  if (realigned) length = static_cast<uint64_t>(report.summary["salvage_bytes"].number());
  if (salvaged.size() != length) {
    return ::testing::AssertionFailure()
           << "salvaged " << salvaged.size() << " bytes, the chunks hold " << length;
  }
  std::vector<bool> lost(salvaged.size(), false);
  for (const json_value& range : report.summary["salvage_lost_data"].array()) {
    const uint64_t start = static_cast<uint64_t>(range["start"].number());
    const uint64_t end = range["length"].is_null()
                             ? length
                             : start + static_cast<uint64_t>(range["length"].number());
    for (uint64_t i = start; i < end && i < lost.size(); i++) lost[i] = true;
  }
  for (size_t i = 0; i < salvaged.size(); i++) {
    if (lost[i] && salvaged[i] != '\0') {
      return ::testing::AssertionFailure() << "byte " << i << " lies in a lost range, not zero";
    }
    // Past the end of the data, a chunk read at its full capacity holds the encoder's zeros.
    const char original = i < data.size() ? data[i] : '\0';
    if (!lost[i] && salvaged[i] != original) {
      return ::testing::AssertionFailure()
             << "byte " << i << " lies outside the lost ranges and differs from the original ("
             << data.size() << " bytes)";
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace kestrune::test
