// SPDX-License-Identifier: MIT
// progress.h - the progress line: bytes done, rate, and for an input of known size the percentage
// and the time left, drawn on standard error as the status line a few times a second at most.
#pragma once

#include <cstdint>
#include <cstdio>

// One run's meter, owned by the loop that ticks it. Ticks are cheap: the clock is read only once
// about a megabyte more is done, and the line drawn again only when a redraw interval has passed
// since the last.
struct progress_meter {
  bool on = false;
  const char* label = "";       // the line's prefix, the program's name
  int64_t total = -1;           // the input's size, -1 when not known
  FILE* flush_first = nullptr;  // a stream sharing the terminal, flushed before each drawing
  int64_t started_ns = 0;
  int64_t drawn_ns = -1;   // -1: never drawn
  int64_t next_check = 0;  // the clock is read once done reaches this
};

// The size of the regular file open on fd, or -1 for anything else (a pipe, a tape, a terminal).
int64_t regular_file_size(int fd);

// Starts the meter for an input of total bytes (-1: unknown); label prefixes the line (null:
// fallback).
void progress_start(progress_meter& meter, const char* label, const char* fallback, int64_t total);

// Reads the clock and draws the line when it is due; progress_tick() calls it once about a
// megabyte more is done.
void progress_check(progress_meter& meter, int64_t done);

// A tick, with `done` bytes of the input behind; nothing at all when the meter is off.
inline void progress_tick(progress_meter& meter, int64_t done) {
  if (meter.on && done >= meter.next_check) progress_check(meter, done);
}

// Clears the line, if the meter drew one.
void progress_end(progress_meter& meter);

// The line for done bytes after elapsed seconds of an input of total bytes (-1: unknown), without
// the prefix, e.g. "1.23 GB, 301 MB/s, 45.2% of 2.72 GB, 0:00:05 left".
void progress_text(char* out, size_t size, int64_t done, double elapsed, int64_t total);
