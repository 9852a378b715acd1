// SPDX-License-Identifier: MIT
// sectors.cpp - reads that remember the sectors a device failed to give.
#include "programs/common/sectors.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Reads are cut at the multiples of this many bytes: a failed read narrows that much at most to
// single sectors.
constexpr int64_t piece_bytes = int64_t{1} << 20;

int64_t sector_of(int64_t offset) { return offset / read_sector_bytes; }

// The first known unreadable sector at or after sector s, or -1.
int64_t next_unreadable(const unreadable_sectors& known, int64_t s) {
  const auto at = std::lower_bound(known.numbers.begin(), known.numbers.end(), s);
  return at == known.numbers.end() ? -1 : *at;
}

void remember(unreadable_sectors& known, int64_t s) {
  const auto at = std::lower_bound(known.numbers.begin(), known.numbers.end(), s);
  if (at == known.numbers.end() || *at != s) known.numbers.insert(at, s);
}

}  // namespace

size_t pread_sectors(int fd, uint8_t* dest, size_t count, int64_t offset,
                     unreadable_sectors& known) {
  const int64_t end = offset + static_cast<int64_t>(count);
  int64_t at = offset;
  int64_t narrow_until = offset;  // below this, one sector a read
  while (at < end) {
    const int64_t sector_end = (sector_of(at) + 1) * read_sector_bytes;
    const int64_t next_bad = next_unreadable(known, sector_of(at));
    if (next_bad == sector_of(at)) {
      // Known to fail: zeros, and the device is left alone.
      const int64_t zeros = std::min(end, sector_end) - at;
      memset(dest + (at - offset), 0, static_cast<size_t>(zeros));
      at += zeros;
      continue;
    }
    int64_t stop = std::min(end, (at / piece_bytes + 1) * piece_bytes);
    if (next_bad >= 0) stop = std::min(stop, next_bad * read_sector_bytes);
    if (at < narrow_until) stop = std::min(stop, sector_end);
    const int64_t wanted = stop - at;
    const ssize_t got = pread(fd, dest + (at - offset), static_cast<size_t>(wanted), at);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) break;  // the end of the input
    if (got > 0) {
      at += got;
      // A short read ends at the end of the input or before a sector that fails: the rest of the
      // piece is read a sector at a time.
      if (got < wanted && narrow_until <= at) narrow_until = (at / piece_bytes + 1) * piece_bytes;
      continue;
    }
    if (at >= narrow_until) {
      // Somewhere in the piece a sector fails: each is read alone.
      narrow_until = (at / piece_bytes + 1) * piece_bytes;
      continue;
    }
    remember(known, sector_of(at));
    const int64_t zeros = std::min(end, sector_end) - at;
    memset(dest + (at - offset), 0, static_cast<size_t>(zeros));
    at += zeros;
  }
  return static_cast<size_t>(at - offset);
}

bool sectors_readable(const unreadable_sectors& known, int64_t offset, int64_t count) {
  if (count <= 0) return true;
  const int64_t s = next_unreadable(known, sector_of(offset));
  return s < 0 || s > sector_of(offset + count - 1);
}
