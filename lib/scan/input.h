// SPDX-License-Identifier: MIT
// input.h - the scanned stream, read through the caller's source: a file or block device with
// positioned reads, or anything else (a pipe, a tape) once, in order, with its first bytes kept for
// the parameter probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kestrune.h"
#include "stream/probe.h"

// How much of a block the input gave.
enum class block_read : uint8_t {
  whole,    // every byte
  partial,  // some bytes, or none because a read failed: the input ends inside it, or it is
            // unreadable
  missing,  // none: the input ends before it
};

class scan_input {
 public:
  // Reads through the source's callbacks (kept: they must stay usable while the input is).
  explicit scan_input(const kestrune_source& source);
  scan_input(const scan_input&) = delete;
  scan_input& operator=(const scan_input&) = delete;

  // Whether the input is read with positioned reads (a regular file or a block device).
  bool seekable() const { return seekable_; }
  // The input's length in bytes when known: always for a seekable input, for the others once
  // their end has been read; -1 until then.
  int64_t size() const { return size_; }

  // The first min(limit, length) bytes; a later call with a larger limit reads more. A sequential
  // input keeps them for read_blocks(); call this before any read_blocks().
  const std::vector<uint8_t>& head(size_t limit);

  // Reads count blocks of blocksize bytes from offset on into dest and tells for each how much
  // arrived. Of a seekable input, a block that touches a byte the source could not read is
  // partial. A sequential input never goes back: offset may not lie before the end of the
  // previous call. Fails with "read error" when a sequential input fails.
  void read_blocks(int64_t offset, int32_t blocksize, int count, uint8_t* dest, block_read* got);

  // The number of bytes from offset to the end of the input. A sequential input is read for it,
  // but no further than TRAILING_READ_LIMIT bytes beyond offset (a pipe may never end): *at_least
  // then tells that the count is a lower bound.
  int64_t bytes_after(int64_t offset, bool* at_least);
  static constexpr int64_t TRAILING_READ_LIMIT = int64_t{64} << 20;

 private:
  // Sequential input: up to count bytes at offset into dest; fewer only at the end.
  size_t read_sequential(int64_t offset, uint8_t* dest, size_t count);
  size_t read_source(uint8_t* dest, size_t count);

  kestrune_source source_;
  bool seekable_ = false;
  int64_t size_ = -1;
  std::vector<uint8_t> head_;
  int64_t position_ = 0;  // sequential input: bytes taken from the source so far
  bool at_end_ = false;
};

// The input as the parameter probe reads it: its head and its length.
probe_input probe_source(scan_input& input);
