// SPDX-License-Identifier: MIT
// realign.cpp - the walk of one copy: blocks verified in batches at the current alignment, and a
// search for the next alignment when they stop verifying.
#include "scan/realign.h"

#include <algorithm>
#include <cassert>
#include <climits>
#include <cstring>

#include "stream/format.h"
#include "stream/rules.h"

namespace {

// Blocks digested together while the alignment holds: several full passes of the widest
// multi-lane digest, as the scan's batches give.
constexpr int batch_blocks = 256;
// The input is read in pieces of about this many bytes, shared among the copies walked together.
constexpr int64_t piece_bytes = int64_t{1} << 20;
// The search window: a few chunks, and no more than 64 MiB unless one chunk is larger.
constexpr int window_chunks = 4;
constexpr int64_t window_limit = int64_t{64} << 20;

}  // namespace

copy_walker::copy_walker(const stream_context& ctx, scan_input& input, int copy, int copies)
    : input_(input),
      copy_(copy),
      blocksize_(ctx.config.blocksize),
      n_(ctx.config.n),
      k_(ctx.config.k),
      k_byte_(static_cast<uint8_t>(ctx.config.k)) {
  const int64_t chunk_bytes = int64_t{n_} * blocksize_;
  window_bytes_ = std::min(window_chunks * chunk_bytes, std::max(chunk_bytes, window_limit));
  // Many copies walked together take smaller batches, a few passes of the digest each.
  batch_ = std::clamp(batch_blocks / std::max(1, copies), 32, batch_blocks);
  read_blocks_ = static_cast<int>(
      std::max<int64_t>(1, piece_bytes / std::max(1, copies) / std::max(1, blocksize_)));
}

int64_t copy_walker::progress() const {
  if (done_) return INT64_MAX;
  return last_block_ < 0 ? 0 : last_block_ / n_;
}

// Makes bytes [offset, offset + length) of the input lie in the buffer, or as many of them as the
// input holds, and returns how many do. Bytes before keep_from (or offset) may be let go; the
// caller never asks for them again.
int64_t copy_walker::ensure(int64_t offset, int64_t length, int64_t keep_from) {
  assert(offset >= start_);
  keep_from = std::min(keep_from, offset);
  if (offset + length > end_ && !at_end_) {
    if (keep_from > start_) {
      memmove(buffer_.data(), buffer_.data() + (keep_from - start_),
              static_cast<size_t>(end_ - keep_from));
      start_ = keep_from;
    }
    const int32_t b = blocksize_;
    const int count = read_blocks_;
    std::vector<block_read> got(static_cast<size_t>(count));
    while (end_ < offset + length && !at_end_) {
      const size_t needed = static_cast<size_t>(end_ - start_ + int64_t{count} * b);
      if (buffer_.size() < needed) buffer_.resize(needed);
      uint8_t* dest = buffer_.data() + (end_ - start_);
      input_.read_blocks(end_, b, count, dest, got.data());
      int64_t arrived = 0;
      for (int t = 0; t < count && !at_end_; t++) {
        const int64_t block_end = end_ + int64_t{t + 1} * b;
        if (got[t] == block_read::whole) {
          arrived += b;
        } else if (got[t] == block_read::partial && input_.seekable() &&
                   input_.size() >= block_end) {
          // Unreadable: its bytes are not known, and zeros fail every check.
          memset(dest + int64_t{t} * b, 0, static_cast<size_t>(b));
          arrived += b;
        } else {
          // The input ends before this block or inside it.
          at_end_ = true;
          arrived = std::max<int64_t>(input_.size() - end_, int64_t{t} * b);
        }
      }
      end_ += arrived;
    }
  }
  return std::clamp<int64_t>(end_ - offset, 0, length);
}

bool copy_walker::accepts(const uint8_t* block, bool digest_ok, int64_t number) const {
  return judge_block(block, digest_ok, static_cast<int>(number % n_), blocksize_, k_) ==
         block_fit::accepted;
}

void copy_walker::accept(int64_t offset, int64_t number, const uint8_t* block) {
  const int64_t slot = number / n_;
  const int position = static_cast<int>(number % n_);
  chunk_instance& chunk = open_[slot];
  if (chunk.blocks.empty()) {
    chunk.copy = copy_;
    chunk.slot = slot;
    chunk.blocks.resize(static_cast<size_t>(n_) * static_cast<size_t>(blocksize_));
    chunk.offsets.assign(static_cast<size_t>(n_), -1);
  }
  memcpy(chunk.blocks.data() + int64_t{position} * blocksize_, block,
         static_cast<size_t>(blocksize_));
  if (chunk.offsets[position] < 0) chunk.present++;
  chunk.offsets[position] = offset;
  stats_.missing += std::max<int64_t>(0, number - last_block_ - 1);
  last_block_ = number;
  last_end_ = offset + blocksize_;
  memcpy(last_trailer_, block + blocksize_ - TRAILER_LEN, TRAILER_LEN);
  stats_.accepted++;
}

// Takes the alignment of the block with this index at offset: on the current alignment when it
// stands where that puts a block with its index, else as the first block with that index after
// the last accepted one (bytes were deleted or inserted, none of the blocks between survived).
void copy_walker::adopt(int64_t offset, int index) {
  const int64_t b = blocksize_;
  const int64_t on_grid = offset - delta_;
  int64_t number = 0;
  if (on_grid % b == 0 && on_grid / b > last_block_ && (on_grid / b) % n_ == index) {
    number = on_grid / b;
  } else if (last_block_ >= 0 && offset == last_end_ && index == last_block_ % n_) {
    // Right behind the last accepted block, another block of its position: the position written
    // again (one block inserted), not the next chunk's with the rest of this one deleted. The later
    // writing replaces the earlier.
    number = last_block_;
  } else {
    const int64_t low = last_block_ + 1;
    number = low + ((index - low % n_) % n_ + n_) % n_;
  }
  const int64_t delta = offset - number * b;
  if (delta != delta_) {
    has_before_ = true;
    last_before_ = last_block_;
    stats_.shifts.push_back({last_end_, offset, delta - delta_, number / n_});
  }
  delta_ = delta;
  position_ = offset;
  searching_ = false;
}

// Takes the alignment before the last shift again at the block at offset, which stands where that
// alignment puts a block with its index: the shift was no shift, but blocks of another place in a
// stretch of as many bytes. Blocks accepted meanwhile keep the numbers they were given; the
// numbering goes back to where the old alignment resumes, a chunk at the most; the chunks they are
// in are handed over first, so that no chunk holds blocks of both places.
void copy_walker::resume_before(int64_t offset, const std::function<void(chunk_instance&&)>& take) {
  hand_over(INT64_MAX, take);
  delta_ = delta_before();
  last_block_ = std::min(last_block_, (offset - delta_) / blocksize_ - 1);
  stats_.shifts.pop_back();
  has_before_ = false;
  position_ = offset;
  searching_ = false;
}

void copy_walker::hand_over(int64_t below, const std::function<void(chunk_instance&&)>& take) {
  while (!open_.empty() && open_.begin()->first < below) {
    chunk_instance chunk = std::move(open_.begin()->second);
    open_.erase(open_.begin());
    take(std::move(chunk));
  }
}

void copy_walker::finish(const std::function<void(chunk_instance&&)>& take) {
  done_ = true;
  stats_.end_of_blocks = last_end_;
  hand_over(INT64_MAX, take);
}

void copy_walker::walk_blocks(const std::function<void(chunk_instance&&)>& take) {
  const int64_t b = blocksize_;
  const int64_t available = ensure(position_, batch_ * b, std::min(position_, last_end_));
  const int count = static_cast<int>(available / b);
  if (count == 0) {
    finish(take);
    return;
  }
  const uint8_t* blocks[batch_blocks];
  bool ok[batch_blocks];
  for (int t = 0; t < count; t++) blocks[t] = buffer_.data() + (position_ - start_) + t * b;
  verify_blocks(blocks, count, blocksize_, ok);

  int64_t number = (position_ - delta_) / b;
  for (int t = 0; t < count; t++, number++) {
    const int64_t offset = position_ + t * b;
    if (accepts(blocks[t], ok[t], number)) {
      accept(offset, number, blocks[t]);
      continue;
    }
    // One block that fails between blocks that verify is damage in place; two in a row may be the
    // start of a shift, and the search tells.
    if (t + 1 < count) {
      if (accepts(blocks[t + 1], ok[t + 1], number + 1)) continue;
      // Blocks that fail in place and are followed, within what a chunk can lose, by one that the
      // alignment expects are damage in place too: misdirected writes (another position's blocks
      // written there) must not read as bytes deleted.
      bool resumes = false;
      for (int j = 2; j <= n_ - k_ && t + j < count && !resumes; j++) {
        resumes = accepts(blocks[t + j], ok[t + j], number + j);
      }
      if (resumes) continue;
      searching_ = true;
      search_from_ = last_end_;
      hand_over(progress(), take);
      return;
    }
    if (at_end_ && offset + 2 * b > end_) continue;  // the input's last whole block
    position_ = offset;                              // judged again with the blocks that follow it
    hand_over(progress(), take);
    return;
  }
  position_ += count * b;
  hand_over(progress(), take);
}

void copy_walker::search(const std::function<void(chunk_instance&&)>& take) {
  const int64_t b = blocksize_;
  const int64_t from = search_from_;
  const int64_t available = ensure(from, window_bytes_ + 2 * b, from);
  if (available < b) {
    stats_.searched += available;
    finish(take);
    return;
  }
  // Offsets from..last hold a whole block; a pair needs the next one too.
  const int64_t last = from + std::min(window_bytes_ - 1, available - b);
  const uint8_t* base = buffer_.data() + (from - start_);
  const int64_t k_byte_at = b - TRAILER_LEN + 1;
  // Pairs digested in one window: no more than a scan of the window would digest.
  int64_t budget = window_bytes_ / b + 8;
  // Blocks that stand again where the current alignment expects them, anywhere in the window, come
  // first: bytes replaced by as many others (regions exchanged, a stretch overwritten) leave the
  // alignment as it was, and intact blocks of another place found before them must not read as a
  // shift. So do blocks where the alignment before the last shift puts them again: that shift
  // followed a stretch of another place's blocks, longer than a window, which has now ended. At
  // most one digest per block of the window for each, apart from the budget of the search after.
  const auto in_place = [&](int64_t delta, int64_t above, int64_t before) -> int64_t {
    for (int64_t q = from + ((delta - from) % b + b) % b; q <= last && q < before; q += b) {
      const int64_t number = (q - delta) / b;
      if (number <= above) continue;
      const uint8_t* block = base + (q - from);
      if (get_k_byte(block, blocksize_) != k_byte_ ||
          get_block_index(block, blocksize_) != static_cast<int>(number % n_)) {
        continue;
      }
      bool ok = false;
      verify_blocks(&block, 1, blocksize_, &ok);
      if (ok) return q;
    }
    return -1;
  };
  const int64_t here = in_place(delta_, last_block_, INT64_MAX);
  // The blocks of the other place may have run on by up to a chunk less one block beyond the
  // number the old alignment resumes with.
  const int64_t back = has_before_
                           ? in_place(delta_before(), std::max(last_before_, last_block_ - n_),
                                      here < 0 ? INT64_MAX : here)
                           : -1;
  if (back >= 0) {
    stats_.searched += back - from;
    resume_before(back, take);
    return;
  }
  if (here >= 0) {
    stats_.searched += here - from;
    adopt(here, static_cast<int>(((here - delta_) / b) % n_));
    return;
  }
  for (int64_t p = from; p <= last && budget > 0; p++) {
    // The k byte first, found as fast as the library can look for one byte.
    const void* hit =
        memchr(base + (p - from) + k_byte_at, k_byte_, static_cast<size_t>(last - p + 1));
    if (hit == nullptr) break;
    p = from + (static_cast<const uint8_t*>(hit) - base) - k_byte_at;
    const uint8_t* block = base + (p - from);
    const int index = get_block_index(block, blocksize_);
    if (index >= n_) continue;
    // The last block accepted, again (a block written twice): it tells nothing of where the
    // blocks after it stand, and taken as a later block with its index it would skip almost a
    // chunk.
    if (last_block_ >= 0 && memcmp(block + b - TRAILER_LEN, last_trailer_, TRAILER_LEN) == 0) {
      continue;
    }
    // Where the current alignment puts a block with its index: judged above.
    const int64_t on_grid = p - delta_;
    if (on_grid >= 0 && on_grid % b == 0 && on_grid / b > last_block_ &&
        (on_grid / b) % n_ == index) {
      continue;
    }
    // The input's last block, which has no successor to confirm it: its digest alone decides.
    const bool has_successor = p + 2 * b <= from + available;
    if (!has_successor && at_end_ && p + b == end_) {
      bool ok = false;
      verify_blocks(&block, 1, blocksize_, &ok);
      budget--;
      if (ok) {
        stats_.searched += p - from;
        adopt(p, index);
        return;
      }
      continue;
    }
    if (!has_successor) continue;
    const uint8_t* next = block + b;
    if (get_k_byte(next, blocksize_) != k_byte_ ||
        get_block_index(next, blocksize_) != (index + 1) % n_) {
      continue;
    }
    const uint8_t* pair[2] = {block, next};
    bool ok[2];
    verify_blocks(pair, 2, blocksize_, ok);
    budget--;
    if (ok[0] && ok[1]) {
      stats_.searched += p - from;
      adopt(p, index);
      return;
    }
  }
  stats_.searched += last + 1 - from;
  if (at_end_ && last + b >= end_) {
    finish(take);
    return;
  }
  search_from_ = from + window_bytes_;
}

bool copy_walker::step(const std::function<void(chunk_instance&&)>& take) {
  if (done_) return false;
  if (searching_) {
    search(take);
  } else {
    walk_blocks(take);
  }
  return !done_;
}
