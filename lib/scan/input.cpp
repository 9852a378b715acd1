// SPDX-License-Identifier: MIT
// input.cpp - reading the scanned stream through its source.
#include "scan/input.h"

#include <algorithm>
#include <cstring>

#include "stream/failure.h"

scan_input::scan_input(const kestrune_source& source)
    : source_(source), seekable_(source.size >= 0 && source.read_at != nullptr) {
  if (seekable_) size_ = source.size;
}

size_t scan_input::read_source(uint8_t* dest, size_t count) {
  size_t done = 0;
  while (done < count && !at_end_) {
    const int64_t got =
        source_.read != nullptr ? source_.read(source_.user, dest + done, count - done) : 0;
    if (got < 0) fail(KESTRUNE_ERROR_READ, "read error");
    if (got == 0) {
      at_end_ = true;
      size_ = position_ + static_cast<int64_t>(done);
      break;
    }
    done += static_cast<size_t>(got);
  }
  position_ += static_cast<int64_t>(done);
  return done;
}

const std::vector<uint8_t>& scan_input::head(size_t limit) {
  const size_t have = head_.size();
  if (limit <= have || (seekable_ ? static_cast<int64_t>(have) >= size_ : at_end_)) return head_;
  if (seekable_) limit = static_cast<size_t>(std::min<int64_t>(size_, static_cast<int64_t>(limit)));
  head_.resize(limit);
  if (!seekable_) {
    head_.resize(have + read_source(head_.data() + have, limit - have));
    return head_;
  }
  // What cannot be read comes as zeros, which no digest accepts.
  const size_t got = std::min(
      limit - have,
      source_.read_at(source_.user, head_.data() + have, limit - have, static_cast<int64_t>(have)));
  memset(head_.data() + have + got, 0, limit - have - got);
  return head_;
}

size_t scan_input::read_sequential(int64_t offset, uint8_t* dest, size_t count) {
  size_t done = 0;
  // The kept head first, then the source; a head left behind is released.
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
    read_source(skipped,
                static_cast<size_t>(std::min<int64_t>(offset - position_, sizeof skipped)));
  }
  if (done < count && position_ == offset + static_cast<int64_t>(done)) {
    done += read_source(dest + done, count - done);
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
    arrived = source_.read_at(source_.user, dest, static_cast<size_t>(present), offset);
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
               (!seekable_ || source_.readable == nullptr ||
                source_.readable(source_.user, offset + start, blocksize) != 0)) {
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
      read_source(sink, sizeof sink);
    }
  }
  return std::max<int64_t>(size_ - offset, 0);
}

probe_input probe_source(scan_input& input) {
  return {[&input](size_t limit) -> const std::vector<uint8_t>& { return input.head(limit); },
          [&input] { return input.size(); }};
}
