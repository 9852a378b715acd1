// SPDX-License-Identifier: MIT
// source.h - kestrune-scan's inputs: a file or block device read with positioned reads, an
// unreadable sector asked for once, or anything else (a pipe, a tape) read once, in order, and
// spooled to a file on request; each handed to the library as a source.
#pragma once

#include <cstdint>

#include "kestrune.h"
#include "programs/common/sectors.h"

class scan_file {
 public:
  // Opens path, or takes standard input when path is null; dies with "can't open '<path>'".
  explicit scan_file(const char* path);
  // Reads the open descriptor fd; closes it at the end when own is set.
  scan_file(int fd, bool own);
  ~scan_file();
  scan_file(const scan_file&) = delete;
  scan_file& operator=(const scan_file&) = delete;

  int fd() const { return fd_; }
  bool seekable() const { return seekable_; }
  // The source the library reads; this object must outlive every scanner made of it.
  kestrune_source source();

  // A sequential input: every byte taken from the descriptor from now on is also written to
  // spool_fd (not owned), so that the spool file holds the input as far as it has been read; call
  // it before anything is read. When a write fails the spooling stops, and spool_failed() tells;
  // once the spool is required, the failure fails the read instead, and spool_broke() tells, so
  // that the program ends with "write error on the spool file in '<where>'" (then, or at once when
  // it has failed already).
  void spool_to(int spool_fd, const char* where);
  void spool_required(bool required);
  bool spool_failed() const { return spool_failed_; }
  bool spool_broke() const { return spool_failed_ && spool_required_; }
  [[noreturn]] void die_for_spool() const;

 private:
  void take(int fd, bool own, const char* name);
  static size_t read_at(void* user, void* dest, size_t size, int64_t offset);
  static int readable(void* user, int64_t offset, int64_t count);
  static int64_t read(void* user, void* dest, size_t size);

  int fd_ = -1;
  bool own_fd_ = false;
  bool seekable_ = false;
  int64_t size_ = -1;
  unreadable_sectors unreadable_;  // seekable input
  int spool_fd_ = -1;              // sequential input: where the bytes read are written too
  const char* spool_where_ = nullptr;
  bool spool_required_ = false;
  bool spool_failed_ = false;
};
