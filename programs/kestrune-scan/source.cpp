// SPDX-License-Identifier: MIT
// source.cpp - reading kestrune-scan's inputs for the library.
#include "programs/kestrune-scan/source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "programs/common/diag.h"

namespace {

// Writes count bytes to fd; false when a write fails.
bool write_full(int fd, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t wrote = write(fd, bytes, count);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes += wrote;
    count -= static_cast<size_t>(wrote);
  }
  return true;
}

}  // namespace

scan_file::scan_file(const char* path) {
  int fd = 0;
  if (path != nullptr) {
    fd = open(path, O_RDONLY);
    if (fd < 0) die("can't open '%s'", path);
  }
  take(fd, path != nullptr, path != nullptr ? path : "standard input");
}

scan_file::scan_file(int fd, bool own) { take(fd, own, "the input"); }

void scan_file::take(int fd, bool own, const char* name) {
  fd_ = fd;
  own_fd_ = own;
  struct stat st {};
  if (fstat(fd_, &st) != 0) die("can't open '%s'", name);
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
    const off_t end = lseek(fd_, 0, SEEK_END);
    if (end >= 0) {
      seekable_ = true;
      size_ = end;
      (void)posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
  }
}

scan_file::~scan_file() {
  if (own_fd_) close(fd_);
}

kestrune_source scan_file::source() {
  kestrune_source s{};
  s.user = this;
  s.size = seekable_ ? size_ : -1;
  if (seekable_) {
    s.read_at = read_at;
    s.readable = readable;
  } else {
    s.read = read;
  }
  return s;
}

// An unreadable sector costs that sector alone, as the decoder's reads cost the block: it is read
// as zeros (which no digest accepts), once.
size_t scan_file::read_at(void* user, void* dest, size_t size, int64_t offset) {
  auto* f = static_cast<scan_file*>(user);
  return pread_sectors(f->fd_, static_cast<uint8_t*>(dest), size, offset, f->unreadable_);
}

int scan_file::readable(void* user, int64_t offset, int64_t count) {
  return sectors_readable(static_cast<scan_file*>(user)->unreadable_, offset, count) ? 1 : 0;
}

int64_t scan_file::read(void* user, void* dest, size_t size) {
  auto* f = static_cast<scan_file*>(user);
  ssize_t got = 0;
  do {
    got = ::read(f->fd_, dest, size);
  } while (got < 0 && errno == EINTR);
  if (got < 0) return -1;
  if (f->spool_fd_ >= 0 && got > 0 &&
      !write_full(f->spool_fd_, static_cast<const uint8_t*>(dest), static_cast<size_t>(got))) {
    f->spool_fd_ = -1;
    f->spool_failed_ = true;
    if (f->spool_required_) return -1;
  }
  return got;
}

void scan_file::spool_to(int spool_fd, const char* where) {
  spool_fd_ = spool_fd;
  spool_where_ = where;
}

void scan_file::spool_required(bool required) {
  spool_required_ = required;
  if (spool_broke()) die_for_spool();
}

void scan_file::die_for_spool() const {
  die("write error on the spool file in '%s'", spool_where_);
}
