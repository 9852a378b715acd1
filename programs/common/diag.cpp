// SPDX-License-Identifier: MIT
// diag.cpp - fatal messages, reports, and the allocation and open helpers.
#include "programs/common/diag.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

const char* program_name;

namespace {

// The width of the status line on standard error; 0 when none is shown.
int status_width;

}  // namespace

void die(const char* format, ...) {
  status_clear();
  if (program_name != nullptr) fprintf(stderr, "%s: ", program_name);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  exit(1);
}

void note(const char* format, ...) {
  status_clear();
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
}

void status_show(const char* line) {
  // A shorter line than the one shown is padded with blanks over the rest of it.
  const int width = static_cast<int>(strlen(line));
  fprintf(stderr, "\r%s%*s", line, status_width > width ? status_width - width : 0, "");
  status_width = width;
}

void status_clear() {
  if (status_width == 0) return;
  fprintf(stderr, "\r%*s\r", status_width, "");
  status_width = 0;
}

void* alloc_or_die(uint64_t nbytes) {
  void* block = malloc(nbytes);
  if (block == nullptr) die("can't malloc(%d)", static_cast<int>(nbytes));
  return block;
}

void* alloc_aligned_or_die(uint64_t nbytes, size_t alignment) {
  void* block = nullptr;
  if (posix_memalign(&block, alignment, nbytes > 0 ? nbytes : 1) != 0) {
    die("can't malloc(%d)", static_cast<int>(nbytes));
  }
  return block;
}

FILE* open_or_die(const char* path, const char* mode) {
  FILE* file = fopen(path, mode);
  if (file == nullptr) die("can't %s '%s'", mode[0] == 'r' ? "open" : "write", path);
  return file;
}
