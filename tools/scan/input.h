// SPDX-License-Identifier: MIT
// input.h - the scanned stream: a file or block device read with positioned reads, or anything else
// (a pipe, a tape) read once, in order, with its first bytes kept for the parameter probe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "frontend/sectors.h"
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
  // Opens path, or takes standard input when path is null; dies with "can't open '<path>'".
  explicit scan_input(const char* path);
  // Reads the open descriptor fd; closes it at the end when own is set.
  scan_input(int fd, bool own);
  ~scan_input();
  scan_input(const scan_input&) = delete;
  scan_input& operator=(const scan_input&) = delete;

  // The descriptor read.
  int fd() const { return fd_; }
  // Whether the input is read with positioned reads (a regular file or a block device).
  bool seekable() const { return seekable_; }
  // The input's length in bytes when known: always for a seekable input, for the others once
  // their end has been read; -1 until then.
  int64_t size() const { return size_; }

  // The first min(limit, length) bytes; a later call with a larger limit reads more. A sequential
  // input keeps them for read_blocks(); call this before any read_blocks().
  const std::vector<uint8_t>& head(size_t limit);

  // Reads count blocks of blocksize bytes from offset on into dest and tells for each how much
  // arrived. A seekable input is read a sector at a time after a failed read, so that an
  // unreadable sector costs the blocks it touches alone; a sector found unreadable (here or by
  // head()) is never read again, and every block that touches it is partial. A sequential input
  // never goes back: offset may not lie before the end of the previous call. Dies with "read error"
  // when a sequential input fails.
  void read_blocks(int64_t offset, int32_t blocksize, int count, uint8_t* dest, block_read* got);

  // A sequential input: every byte taken from the descriptor from now on is also written to
  // spool_fd (not owned), so that the spool file holds the input as far as it has been read; call
  // it before anything is read. When a write fails the spooling stops, and spool_failed() tells;
  // once the spool is required, the failure dies with "write error on the spool file in
  // '<where>'" instead (then or at once, when it has failed already).
  void spool_to(int spool_fd, const char* where);
  void spool_required(bool required);
  bool spool_failed() const { return spool_failed_; }

  // The number of bytes from offset to the end of the input. A sequential input is read for it,
  // but no further than TRAILING_READ_LIMIT bytes beyond offset (a pipe may never end): *at_least
  // then tells that the count is a lower bound.
  int64_t bytes_after(int64_t offset, bool* at_least);
  static constexpr int64_t TRAILING_READ_LIMIT = int64_t{64} << 20;

 private:
  void take(int fd, bool own, const char* name);
  // Sequential input: up to count bytes at offset into dest; fewer only at the end.
  size_t read_sequential(int64_t offset, uint8_t* dest, size_t count);
  size_t read_fd(uint8_t* dest, size_t count);

  int fd_ = -1;
  bool own_fd_ = false;
  bool seekable_ = false;
  int64_t size_ = -1;
  std::vector<uint8_t> head_;
  unreadable_sectors unreadable_;  // seekable input
  int64_t position_ = 0;           // sequential input: bytes taken from the descriptor so far
  bool at_end_ = false;
  int spool_fd_ = -1;  // sequential input: where the bytes read are written too, or -1
  const char* spool_where_ = nullptr;
  bool spool_required_ = false;
  bool spool_failed_ = false;
};

// The input as the parameter probe reads it: its head and its length.
probe_input probe_source(scan_input& input);
