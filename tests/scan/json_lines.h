// SPDX-License-Identifier: MIT
// json_lines.h - a small reader for the scanner's JSON lines: objects, arrays, strings, integers,
// true, false and null. Enough to check every field; anything else is an error.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::test {

class json_value {
 public:
  enum class kind { null, boolean, number, string, array, object };

  kind type() const { return kind_; }
  bool is_null() const { return kind_ == kind::null; }
  // Each accessor throws std::runtime_error when the value has another kind.
  bool boolean() const;
  int64_t number() const;
  const std::string& string() const;
  const std::vector<json_value>& array() const;
  // The field of an object; throws when it is missing.
  const json_value& operator[](const std::string& name) const;
  bool has(const std::string& name) const;
  const std::vector<std::pair<std::string, json_value>>& fields() const;

  // The value as JSON text again (fields in their order), for messages and comparisons.
  std::string text() const;

  friend class json_parser;

 private:
  kind kind_ = kind::null;
  bool boolean_ = false;
  int64_t number_ = 0;
  std::string string_;
  std::vector<json_value> items_;
  std::vector<std::pair<std::string, json_value>> fields_;
};

// Parses one JSON value that fills the whole text; throws std::runtime_error on anything else.
json_value parse_json(const std::string& text);

// Parses every line of the text as one value (a last line without a newline is an error).
std::vector<json_value> parse_json_lines(const std::string& text);

}  // namespace kestrune::test
