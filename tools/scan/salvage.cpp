// SPDX-License-Identifier: MIT
// salvage.cpp - lost-byte ranges and the salvage file.
#include "tools/scan/salvage.h"

#include <algorithm>

#include "frontend/diag.h"

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
  if (tap_ != nullptr) (*tap_)(data, count, false);
  if (file_ == nullptr) return;
  if (fwrite(data, 1, static_cast<size_t>(count), file_) != static_cast<size_t>(count)) {
    die("write error on the salvage file");
  }
}

void salvage_writer::zeros(int64_t count) {
  if (count <= 0) return;
  if (tap_ != nullptr) (*tap_)(nullptr, count, true);
  written_ += count;
  if (file_ == nullptr) return;
  static const uint8_t zero[65536] = {};
  while (count > 0) {
    const size_t part = static_cast<size_t>(std::min<int64_t>(count, sizeof zero));
    if (fwrite(zero, 1, part, file_) != part) die("write error on the salvage file");
    count -= static_cast<int64_t>(part);
  }
}
