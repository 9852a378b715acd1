// SPDX-License-Identifier: MIT
// output.cpp - a context's output queue and report lines, and the failure the stream code throws.
#include "stream/output.h"

#include <cstdarg>
#include <cstdio>

#include "stream/failure.h"

void fail(kestrune_result code, const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw stream_failure{code, text};
}

namespace {

// Writes the queued pieces; false when the callback fails.
bool write_queue(stream_context& ctx) {
  // Emptied first: after a failure nothing is written twice.
  const int count = ctx.out.count;
  ctx.out.count = 0;
  if (count == 0) return true;
  static_assert(sizeof(kestrune_piece) == sizeof(iovec));
  return ctx.callbacks.write(ctx.callbacks.user,
                             reinterpret_cast<const kestrune_piece*>(ctx.out.pieces), count) == 0;
}

}  // namespace

void output_write_queued(stream_context& ctx) { (void)write_queue(ctx); }

void output_flush(stream_context& ctx) {
  if (!write_queue(ctx)) fail(KESTRUNE_ERROR_WRITE, "write error");
}

void output_bytes(stream_context& ctx, const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (ctx.out.count == output_queue::capacity) output_flush(ctx);
  ctx.out.pieces[ctx.out.count++] = {const_cast<uint8_t*>(bytes), count};
}

void report(const stream_context& ctx, const char* format, ...) {
  if (ctx.callbacks.report == nullptr) return;
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof line, format, args);
  va_end(args);
  ctx.callbacks.report(ctx.callbacks.user, line);
}
