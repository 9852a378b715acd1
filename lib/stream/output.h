// SPDX-License-Identifier: MIT
// output.h - a context's output and reports: bytes queued where they lie and written through the
// caller's write callback in as few calls as it allows, and report lines through its report
// callback.
#pragma once

#include <cstddef>
#include <cstdint>

#include "stream/context.h"

// Queues a piece, which must stay as it is until output_flush() has written every queued piece in
// order. A full queue is written at once.
void output_bytes(stream_context& ctx, const uint8_t* bytes, size_t count);

// Writes the queued pieces; fails with "write error" when the callback does.
void output_flush(stream_context& ctx);

// Writes what is queued as far as it can, quietly: before a failure is handed back, so that the
// output before it goes out.
void output_write_queued(stream_context& ctx);

// Formats one report line for the report callback; nothing when there is none.
void report(const stream_context& ctx, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
