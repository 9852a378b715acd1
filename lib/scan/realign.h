// SPDX-License-Identifier: MIT
// realign.h - walking one copy of a protected stream block by block, following its alignment across
// bytes deleted or inserted, and handing over the blocks of each chunk as the walk leaves it.
//
// The walk takes blocksize, n and k from the stream context it is given. Blocks are
// accepted by the decoder's rule (read whole, digest right, the run's k, the index the alignment
// expects). While blocks verify at the offsets the current alignment gives, the walk reads them in
// batches and digests them together, as the scan does. When two expected blocks in a row fail, it
// searches a window from the end of the last accepted block on. A block that stands again where
// the current alignment expects its index, anywhere in the window, is taken first: bytes replaced
// by as many others keep the alignment. So is one where the alignment before the last shift puts
// it: the walk followed a longer stretch of another place's blocks, and the shift is withdrawn.
// Else the window is searched offset by offset for a block
// followed by the next block of the index sequence (the k byte and the index are checked before
// any digest), and the alignment of the first such pair is taken from there on.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "scan/input.h"
#include "stream/context.h"
#include "stream/format.h"

// The accepted blocks of one chunk as one copy holds them.
struct chunk_instance {
  int copy = 0;
  // The chunk's place in the copy as realigned: its first block's number in the original stream,
  // over n. A chunk split by a shift keeps one place; chunks deleted whole are not counted.
  int64_t slot = 0;
  std::vector<uint8_t> blocks;   // n blocks of blocksize bytes, by position
  std::vector<int64_t> offsets;  // per position: the block's offset in the copy, -1 when absent
  int present = 0;               // positions with a block
};

// The alignment changed: blocks stopped verifying after offset `from` of the copy and verify again
// from `to` on, `bytes` bytes later than before (bytes inserted) or, when negative, earlier (bytes
// deleted); the walk resumed in the chunk at `slot`.
struct alignment_shift {
  int64_t from = 0;
  int64_t to = 0;
  int64_t bytes = 0;
  int64_t slot = 0;
};

struct walk_stats {
  int64_t accepted = 0;       // blocks accepted
  int64_t missing = 0;        // blocks between accepted ones that were not accepted
  int64_t searched = 0;       // bytes searched for a new alignment
  int64_t end_of_blocks = 0;  // the offset just past the last accepted block
  std::vector<alignment_shift> shifts;
};

class copy_walker {
 public:
  // Walks `input` (not owned; it must outlive the walker) as copy number `copy` of `copies`
  // walked together, which share the memory of one walk's reads.
  copy_walker(const stream_context& ctx, scan_input& input, int copy, int copies = 1);
  copy_walker(const copy_walker&) = delete;
  copy_walker& operator=(const copy_walker&) = delete;

  // Reads on by one batch of blocks or one search window and hands every chunk the walk has left
  // behind to `take`, which receives ownership of it. Returns false once the input is at its end
  // and every chunk has been handed over.
  bool step(const std::function<void(chunk_instance&&)>& take);

  // Every chunk of a slot below this has been handed over; INT64_MAX at the end.
  int64_t progress() const;
  bool done() const { return done_; }
  const walk_stats& stats() const { return stats_; }
  // The input's length (known at the end for a pipe; -1 until then).
  int64_t size() const { return input_.size(); }

 private:
  int64_t ensure(int64_t offset, int64_t length, int64_t keep_from);
  void walk_blocks(const std::function<void(chunk_instance&&)>& take);
  void search(const std::function<void(chunk_instance&&)>& take);
  bool accepts(const uint8_t* block, bool digest_ok, int64_t number) const;
  void accept(int64_t offset, int64_t number, const uint8_t* block);
  void adopt(int64_t offset, int index);
  void resume_before(int64_t offset, const std::function<void(chunk_instance&&)>& take);
  void hand_over(int64_t below, const std::function<void(chunk_instance&&)>& take);
  void finish(const std::function<void(chunk_instance&&)>& take);

  scan_input& input_;
  int copy_;
  int32_t blocksize_;
  int n_;
  int k_;
  uint8_t k_byte_;
  int64_t window_bytes_;  // bytes searched before the digest budget is renewed
  int read_blocks_;       // blocks read at a time
  int batch_;             // blocks digested together while the alignment holds

  // Bytes [start_, end_) of the input, at buffer_[0 ..]; at_end_ once end_ is the input's end.
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;
  int64_t end_ = 0;
  bool at_end_ = false;

  int64_t delta_ = 0;        // a block of original number B stands at offset B * blocksize + delta_
  int64_t position_ = 0;     // the next expected block's offset (while not searching)
  int64_t last_block_ = -1;  // original number of the last accepted block
  int64_t last_end_ = 0;     // the offset just past it
  uint8_t last_trailer_[TRAILER_LEN] = {};  // its trailer (index, k byte and digest)
  // Whether the alignment before the last shift (the last one recorded, which no other has
  // followed) may still come back, and the last block accepted on it.
  bool has_before_ = false;
  int64_t last_before_ = -1;
  int64_t delta_before() const { return delta_ - stats_.shifts.back().bytes; }
  bool searching_ = false;
  int64_t search_from_ = 0;
  bool done_ = false;

  std::map<int64_t, chunk_instance> open_;  // by slot: chunks the walk may still add to
  walk_stats stats_;
};
