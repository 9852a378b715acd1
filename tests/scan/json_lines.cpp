// SPDX-License-Identifier: MIT
// json_lines.cpp - the recursive-descent reader behind parse_json().
#include "tests/scan/json_lines.h"

#include <stdexcept>

namespace kestrune::test {

namespace {

[[noreturn]] void wrong_kind(const char* wanted, const json_value& v) {
  throw std::runtime_error(std::string("JSON value is not ") + wanted + ": " + v.text());
}

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

bool json_value::boolean() const {
  if (kind_ != kind::boolean) wrong_kind("a boolean", *this);
  return boolean_;
}

int64_t json_value::number() const {
  if (kind_ != kind::number) wrong_kind("a number", *this);
  return number_;
}

const std::string& json_value::string() const {
  if (kind_ != kind::string) wrong_kind("a string", *this);
  return string_;
}

const std::vector<json_value>& json_value::array() const {
  if (kind_ != kind::array) wrong_kind("an array", *this);
  return items_;
}

const std::vector<std::pair<std::string, json_value>>& json_value::fields() const {
  if (kind_ != kind::object) wrong_kind("an object", *this);
  return fields_;
}

bool json_value::has(const std::string& name) const {
  for (const auto& [key, value] : fields()) {
    if (key == name) return true;
  }
  return false;
}

const json_value& json_value::operator[](const std::string& name) const {
  for (const auto& [key, value] : fields()) {
    if (key == name) return value;
  }
  throw std::runtime_error("JSON object has no field \"" + name + "\": " + text());
}

std::string json_value::text() const {
  switch (kind_) {
    case kind::null:
      return "null";
    case kind::boolean:
      return boolean_ ? "true" : "false";
    case kind::number:
      return std::to_string(number_);
    case kind::string:
      return quote(string_);
    case kind::array: {
      std::string out = "[";
      for (size_t i = 0; i < items_.size(); i++) {
        if (i > 0) out += ',';
        out += items_[i].text();
      }
      return out + "]";
    }
    case kind::object: {
      std::string out = "{";
      for (size_t i = 0; i < fields_.size(); i++) {
        if (i > 0) out += ',';
        out += quote(fields_[i].first);
        out += ':';
        out += fields_[i].second.text();
      }
      return out + "}";
    }
  }
  return "";
}

class json_parser {
 public:
  explicit json_parser(const std::string& text) : text_(text) {}

  json_value whole() {
    json_value v = value();
    skip_blanks();
    if (at_ != text_.size()) fail("text after the value");
    return v;
  }

 private:
  [[noreturn]] void fail(const std::string& what) const {
    throw std::runtime_error("bad JSON (" + what + ") at byte " + std::to_string(at_) +
                             " of: " + text_);
  }
  void skip_blanks() {
    while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t')) at_++;
  }
  char peek() {
    skip_blanks();
    if (at_ == text_.size()) fail("unexpected end");
    return text_[at_];
  }
  void expect(char c) {
    if (peek() != c) fail(std::string("expected '") + c + "'");
    at_++;
  }
  bool word(const char* w) {
    const std::string s(w);
    if (text_.compare(at_, s.size(), s) != 0) return false;
    at_ += s.size();
    return true;
  }

  json_value value() {
    json_value v;
    const char c = peek();
    if (c == '{') {
      v.kind_ = json_value::kind::object;
      at_++;
      if (peek() == '}') {
        at_++;
        return v;
      }
      for (;;) {
        std::string key = string();
        expect(':');
        v.fields_.emplace_back(std::move(key), value());
        if (peek() == '}') break;
        expect(',');
      }
      at_++;
    } else if (c == '[') {
      v.kind_ = json_value::kind::array;
      at_++;
      if (peek() == ']') {
        at_++;
        return v;
      }
      for (;;) {
        v.items_.push_back(value());
        if (peek() == ']') break;
        expect(',');
      }
      at_++;
    } else if (c == '"') {
      v.kind_ = json_value::kind::string;
      v.string_ = string();
    } else if (c == '-' || (c >= '0' && c <= '9')) {
      v.kind_ = json_value::kind::number;
      v.number_ = number();
    } else if (word("true")) {
      v.kind_ = json_value::kind::boolean;
      v.boolean_ = true;
    } else if (word("false")) {
      v.kind_ = json_value::kind::boolean;
    } else if (word("null")) {
      v.kind_ = json_value::kind::null;
    } else {
      fail("no value");
    }
    return v;
  }

  std::string string() {
    expect('"');
    std::string out;
    for (;;) {
      if (at_ == text_.size()) fail("unterminated string");
      const char c = text_[at_++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ == text_.size()) fail("unterminated escape");
      const char e = text_[at_++];
      if (e == '"' || e == '\\' || e == '/') {
        out += e;
      } else if (e == 'n') {
        out += '\n';
      } else if (e == 't') {
        out += '\t';
      } else if (e == 'u' && at_ + 4 <= text_.size()) {
        const int code = std::stoi(text_.substr(at_, 4), nullptr, 16);
        if (code > 0x7f) fail("escape beyond ASCII");
        out += static_cast<char>(code);
        at_ += 4;
      } else {
        fail("unknown escape");
      }
    }
  }

  int64_t number() {
    const size_t start = at_;
    if (text_[at_] == '-') at_++;
    const size_t digits = at_;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') at_++;
    if (at_ == digits) fail("a number without digits");
    if (at_ < text_.size() && (text_[at_] == '.' || text_[at_] == 'e' || text_[at_] == 'E')) {
      fail("a number that is not an integer");
    }
    return std::stoll(text_.substr(start, at_ - start));
  }

  const std::string& text_;
  size_t at_ = 0;
};

json_value parse_json(const std::string& text) { return json_parser(text).whole(); }

std::vector<json_value> parse_json_lines(const std::string& text) {
  std::vector<json_value> values;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    if (end == std::string::npos) throw std::runtime_error("JSON line without a newline");
    values.push_back(parse_json(text.substr(start, end - start)));
    start = end + 1;
  }
  return values;
}

}  // namespace kestrune::test
