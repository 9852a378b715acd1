// SPDX-License-Identifier: MIT
// salvage.cpp - lost-byte ranges and the salvage file.
#include "scan/salvage.h"

#include <algorithm>

#include "stream/failure.h"

void add_range(std::vector<byte_range>& ranges, int64_t start, int64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().length >= 0 &&
      ranges.back().start + ranges.back().length == start) {
    ranges.back().length = length < 0 ? -1 : ranges.back().length + length;
    return;
  }
  ranges.push_back({start, length});
}

int64_t bytes_saved(int64_t written, const std::vector<byte_range>& lost) {
  int64_t saved = written;
  for (const byte_range& r : lost) {
    const int64_t start = std::min(r.start, written);
    const int64_t end = r.length < 0 ? written : std::min(r.start + r.length, written);
    saved -= std::max<int64_t>(0, end - start);
  }
  return saved;
}

void salvage_writer::bytes(const uint8_t* data, int64_t count) {
  if (count <= 0) return;
  written_ += count;
  if (sink_ != nullptr && !(*sink_)(data, count)) {
    fail(KESTRUNE_ERROR_WRITE, "write error on the salvage file");
  }
}

void salvage_writer::zeros(int64_t count) {
  if (count <= 0) return;
  written_ += count;
  if (sink_ != nullptr && !(*sink_)(nullptr, count)) {
    fail(KESTRUNE_ERROR_WRITE, "write error on the salvage file");
  }
}
