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

void salvage_writer::bytes(const uint8_t* data, int64_t count) {
  if (file_ == nullptr || count <= 0) return;
  if (fwrite(data, 1, static_cast<size_t>(count), file_) != static_cast<size_t>(count)) {
    die("write error on the salvage file");
  }
  written_ += count;
}

void salvage_writer::zeros(int64_t count) {
  static const uint8_t zero[65536] = {};
  while (count > 0) {
    const int64_t part = std::min<int64_t>(count, sizeof zero);
    bytes(zero, part);
    count -= part;
  }
}
