// SPDX-License-Identifier: MIT
// salvage.h - what the scan and the repair share to account for user data: ranges of lost bytes
// and the salvage file that receives what is saved.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "scan/scan.h"

// Appends [start, start + length) to the ranges, merged with the last one when they touch; a
// length of -1 runs to an end that is not known.
void add_range(std::vector<byte_range>& ranges, int64_t start, int64_t length);

// The bytes of a salvage of `written` bytes that lie outside the lost ranges (a range of unknown
// length runs to the end).
int64_t bytes_saved(int64_t written, const std::vector<byte_range>& lost);

// The salvage (or none): bytes and lost ones handed to the sink in order, and counted (without a
// sink, what would have been handed over is counted); fails with "write error on the salvage
// file" when the sink does.
class salvage_writer {
 public:
  explicit salvage_writer(const salvage_sink* sink) : sink_(sink) {}
  void bytes(const uint8_t* data, int64_t count);
  void zeros(int64_t count);
  int64_t written() const { return written_; }

 private:
  const salvage_sink* sink_;
  int64_t written_ = 0;
};
