// diag.cpp - fatal messages, reports, and the allocation, open and number-reading helpers.
#include "frontend/diag.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

const char* program_name;

namespace {

fatal_handler on_fatal;

}  // namespace

void set_fatal_handler(fatal_handler handler) { on_fatal = handler; }

void die(const char* format, ...) {
  if (program_name != nullptr) fprintf(stderr, "%s: ", program_name);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  if (on_fatal != nullptr) on_fatal();
  exit(1);
}

void note(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void* alloc_or_die(uint64_t nbytes) {
  void* block = malloc(nbytes);
  if (block == nullptr) die("can't malloc(%d)", static_cast<int>(nbytes));
  return block;
}

FILE* open_or_die(const char* path, const char* mode) {
  FILE* file = fopen(path, mode);
  if (file == nullptr) die("can't %s '%s'", mode[0] == 'r' ? "open" : "write", path);
  return file;
}

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
