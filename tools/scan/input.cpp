// SPDX-License-Identifier: MIT
// input.cpp - reading the scanned stream from a file, a device or a pipe.
#include "tools/scan/input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "frontend/diag.h"
#include "frontend/sectors.h"

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

scan_input::scan_input(const char* path) {
  int fd = 0;
  if (path != nullptr) {
    fd = open(path, O_RDONLY);
    if (fd < 0) die("can't open '%s'", path);
  }
  take(fd, path != nullptr, path != nullptr ? path : "standard input");
}

scan_input::scan_input(int fd, bool own) { take(fd, own, "the input"); }

void scan_input::take(int fd, bool own, const char* name) {
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

scan_input::~scan_input() {
  if (own_fd_) close(fd_);
}

size_t scan_input::read_fd(uint8_t* dest, size_t count) {
  size_t done = 0;
  while (done < count && !at_end_) {
    const ssize_t got = read(fd_, dest + done, count - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) die("read error");
    if (got == 0) {
      at_end_ = true;
      size_ = position_ + static_cast<int64_t>(done);
      break;
    }
    done += static_cast<size_t>(got);
  }
  if (spool_fd_ >= 0 && done > 0 && !write_full(spool_fd_, dest, done)) {
    spool_fd_ = -1;
    spool_failed_ = true;
    if (spool_required_) die("write error on the spool file in '%s'", spool_where_);
  }
  position_ += static_cast<int64_t>(done);
  return done;
}

void scan_input::spool_to(int spool_fd, const char* where) {
  spool_fd_ = spool_fd;
  spool_where_ = where;
}

void scan_input::spool_required(bool required) {
  spool_required_ = required;
  if (required && spool_failed_) die("write error on the spool file in '%s'", spool_where_);
}

const std::vector<uint8_t>& scan_input::head(size_t limit) {
  const size_t have = head_.size();
  if (limit <= have || (seekable_ ? static_cast<int64_t>(have) >= size_ : at_end_)) return head_;
  if (seekable_) limit = static_cast<size_t>(std::min<int64_t>(size_, static_cast<int64_t>(limit)));
  head_.resize(limit);
  if (!seekable_) {
    head_.resize(have + read_fd(head_.data() + have, limit - have));
    return head_;
  }
  // An unreadable sector costs that sector alone, as the decoder's reads cost the block: it is read
  // as zeros (which no digest accepts), once, and the window goes on behind it.
  const size_t got = pread_sectors(fd_, head_.data() + have, limit - have,
                                   static_cast<int64_t>(have), unreadable_);
  memset(head_.data() + have + got, 0, limit - have - got);
  return head_;
}

size_t scan_input::read_sequential(int64_t offset, uint8_t* dest, size_t count) {
  size_t done = 0;
  // The kept head first, then the descriptor; a head left behind is released.
  const int64_t kept = static_cast<int64_t>(head_.size());
  if (offset < kept) {
    done = static_cast<size_t>(std::min<int64_t>(kept - offset, static_cast<int64_t>(count)));
    memcpy(dest, head_.data() + offset, done);
  }
  if (offset + static_cast<int64_t>(count) >= kept && !head_.empty()) {
    std::vector<uint8_t>().swap(head_);
  }
  // Bytes between what was taken and offset are skipped.
  uint8_t skipped[4096];
  while (position_ < offset && !at_end_) {
    read_fd(skipped, static_cast<size_t>(std::min<int64_t>(offset - position_, sizeof skipped)));
  }
  if (done < count && position_ == offset + static_cast<int64_t>(done)) {
    done += read_fd(dest + done, count - done);
  }
  return done;
}

void scan_input::read_blocks(int64_t offset, int32_t blocksize, int count, uint8_t* dest,
                             block_read* got) {
  const size_t total = static_cast<size_t>(blocksize) * static_cast<size_t>(count);
  size_t arrived = 0;
  // Bytes the input holds from offset on, as far as is known.
  int64_t present = static_cast<int64_t>(total);
  if (seekable_) {
    present = std::clamp<int64_t>(size_ - offset, 0, static_cast<int64_t>(total));
    arrived = pread_sectors(fd_, dest, static_cast<size_t>(present), offset, unreadable_);
  } else {
    arrived = read_sequential(offset, dest, total);
    present = static_cast<int64_t>(arrived);
  }
  for (int b = 0; b < count; b++) {
    const int64_t start = int64_t{blocksize} * b;
    const int64_t end = start + blocksize;
    if (start >= present) {
      got[b] = block_read::missing;
    } else if (end <= static_cast<int64_t>(arrived) &&
               (!seekable_ || sectors_readable(unreadable_, offset + start, blocksize))) {
      got[b] = block_read::whole;
    } else {
      got[b] = block_read::partial;
    }
  }
}

int64_t scan_input::bytes_after(int64_t offset, bool* at_least) {
  *at_least = false;
  if (!seekable_) {
    uint8_t sink[65536];
    while (!at_end_) {
      if (position_ - offset >= TRAILING_READ_LIMIT) {
        *at_least = true;
        return position_ - offset;
      }
      read_fd(sink, sizeof sink);
    }
  }
  return std::max<int64_t>(size_ - offset, 0);
}

probe_input probe_source(scan_input& input) {
  return {[&input](size_t limit) -> const std::vector<uint8_t>& { return input.head(limit); },
          [&input] { return input.size(); }};
}
