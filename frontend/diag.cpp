// SPDX-License-Identifier: MIT
// diag.cpp - fatal messages, reports, and the allocation and open helpers.
#include "frontend/diag.h"

#include "frontend/io.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include <sys/mman.h>

const char* program_name;

namespace {

fatal_handler on_fatal;

// The width of the status line on standard error; 0 when none is shown.
int status_width;

}  // namespace

void set_fatal_handler(fatal_handler handler) { on_fatal = handler; }

void die(const char* format, ...) {
  status_clear();
  if (program_name != nullptr) fprintf(stderr, "%s: ", program_name);
  va_list args;
  va_start(args, format);
  vfprintf(stderr, format, args);
  va_end(args);
  fputc('\n', stderr);
  // The output before the failure goes out, as exit() would flush a stdio buffer.
  output_write_queued();
  if (on_fatal != nullptr) on_fatal();
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
#ifdef MADV_HUGEPAGE
  // Whole huge pages: the codec reads every packet of a chunk a stripe at a time, a page of each
  // at once, which with small pages costs a TLB miss per packet; and the first touch faults once
  // per huge page. Only a hint: where the kernel declines, small pages serve as before.
  if (alignment >= huge_page_bytes) madvise(block, nbytes, MADV_HUGEPAGE);
#endif
  return block;
}

size_t io_alignment(uint64_t nbytes) {
  if (nbytes >= 2 * huge_page_bytes) return huge_page_bytes;
  return nbytes >= 16384 ? 4096 : 64;
}

fec_reporter stderr_reporter() {
  return {[](void*, const char* message) { fputs(message, stderr); }, nullptr};
}

FILE* open_or_die(const char* path, const char* mode) {
  FILE* file = fopen(path, mode);
  if (file == nullptr) die("can't %s '%s'", mode[0] == 'r' ? "open" : "write", path);
  return file;
}
