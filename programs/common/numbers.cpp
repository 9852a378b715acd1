// SPDX-License-Identifier: MIT
// numbers.cpp - decimal numbers and sizes from the command line, saturated instead of overflowing.
#include "programs/common/numbers.h"

#include <cstring>

namespace {

int32_t saturate(int64_t value) {
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t parse_int(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  // Beyond 2^32 the value is out of range whatever follows; stop growing it there.
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    if (value <= (int64_t{1} << 32)) value = value * 10 + (*p - '0');
  }
  return saturate(negative ? -value : value);
}

int32_t parse_size(const char* text) {
  int64_t value = parse_int(text);
  const size_t length = strlen(text);
  if (length > 0 && (text[length - 1] == 'K' || text[length - 1] == 'k')) value *= 1024;
  return saturate(value);
}
