// SPDX-License-Identifier: MIT
// scan.cpp - the chunk-by-chunk scan: every block read and judged, several chunks digested at once.
//
// Whole chunks are read a batch at a time into the batch of the chunk area and every block of the
// batch is digested in one call, so that the multi-lane digest always has full passes. A chunk is
// judged by the decoder's rule and settled on its accepted blocks as the decoder settles it: a
// block that the decoding finds wrong does not belong (an older version of the archive, another
// stream) and is reported as inconsistent.
#include "scan/scan.h"
#include "scan/salvage.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "fec/fec.h"
#include "stream/agreement.h"
#include "stream/buffers.h"
#include "stream/format.h"
#include "stream/rules.h"

namespace {

struct geometry {
  int n;
  int k;
  int32_t blocksize;
  int32_t packet;  // payload_len
  int64_t chunk_bytes;
  int64_t capacity;  // user bytes a chunk holds
};

// The user bytes of data packet i lie at [start(i), start(i) + span(i)) of the chunk's data.
int64_t packet_start(const geometry& g, int i) { return i == 0 ? 0 : int64_t{i} * g.packet - 8; }
int64_t packet_span(const geometry& g, int i) { return i == 0 ? g.packet - 8 : g.packet; }

// Writes data_length user bytes from the data packets; a packet that is not there becomes zeros.
void write_data(salvage_writer& out, const geometry& g, const uint8_t* const* packets,
                const bool* present, int64_t data_length) {
  for (int i = 0; i < g.k; i++) {
    const int64_t start = packet_start(g, i);
    if (start >= data_length) break;
    const int64_t count = std::min(packet_span(g, i), data_length - start);
    if (present[i]) {
      out.bytes(packets[i] + (i == 0 ? HEADER_LEN : 0), count);
    } else {
      out.zeros(count);
    }
  }
}

class scanner {
 public:
  scanner(stream_context& ctx, scan_input& input, const salvage_sink* salvage,
          const std::function<void(const chunk_result&)>& report)
      : ctx_(ctx), input_(input), out_(salvage), report_(report) {
    g_.n = ctx_.config.n;
    g_.k = ctx_.config.k;
    g_.blocksize = ctx_.config.blocksize;
    g_.packet = ctx_.payload_len;
    g_.chunk_bytes = int64_t{g_.n} * g_.blocksize;
    g_.capacity = int64_t{g_.k} * g_.packet - HEADER_LEN;
    batch_chunks_ = ctx_.batch_chunks;
    const int blocks = batch_chunks_ * g_.n;
    blocks_.resize(static_cast<size_t>(blocks));
    for (int b = 0; b < blocks; b++) blocks_[b] = batch_block(ctx_, 0, b);
    got_.reset(new block_read[static_cast<size_t>(blocks)]);
    ok_.reset(new bool[static_cast<size_t>(blocks)]);
    intact_.reset(new bool[static_cast<size_t>(blocks)]);
    whole_.resize(static_cast<size_t>(blocks));
  }
  scanner(const scanner&) = delete;
  scanner& operator=(const scanner&) = delete;

  scan_summary run() {
    for (int64_t first = 0;; first += batch_chunks_) {
      read_batch(first * g_.chunk_bytes);
      for (int c = 0; c < batch_chunks_; c++) {
        const int64_t number = first + c;
        if (got_[c * g_.n] == block_read::missing) {
          finish_at_end();
          return summary_;
        }
        chunk_result r =
            judge(number, blocks_.data() + c * g_.n, got_.get() + c * g_.n, ok_.get() + c * g_.n);
        const bool last = r.header_known && r.chunk_id == -1;
        // A last chunk followed by the chunk that its place would have had: the last chunk was
        // moved, and the decoder, which stops after it, leaves out the chunks behind it.
        if (last && next_continues(first, c, number)) {
          r.status = chunk_status::misplaced;
          add_range(r.lost, data_offset_, -1);
        }
        account(r);
        report_(r);
        if (last) {
          summary_.end = stream_end::last_chunk;
          summary_.trailing_bytes =
              input_.bytes_after((number + 1) * g_.chunk_bytes, &summary_.trailing_at_least);
          summary_.salvage_bytes = out_.written();
          return summary_;
        }
      }
    }
  }

 private:
  void read_batch(int64_t offset) {
    const int blocks = batch_chunks_ * g_.n;
    input_.read_blocks(offset, g_.blocksize, blocks, batch_block(ctx_, 0, 0), got_.get());
    int wholes = 0;
    for (int b = 0; b < blocks; b++) {
      if (got_[b] == block_read::whole) whole_[wholes++] = blocks_[b];
    }
    verify_blocks(whole_.data(), wholes, g_.blocksize, intact_.get());
    for (int b = 0, w = 0; b < blocks; b++) ok_[b] = got_[b] == block_read::whole && intact_[w++];
  }

  chunk_result judge(int64_t number, uint8_t* const* blocks, const block_read* got,
                     const bool* ok) {
    chunk_result r;
    r.number = number;
    r.offset = number * g_.chunk_bytes;
    r.data_offset = data_offset_;
    positions p = classify(r, blocks, got, ok);
    const uint8_t* const* packets = settle(r, p, blocks);
    predict(r, p);
    account_data(r, p, packets);
    data_offset_ += r.data_length;
    return r;
  }

  // Which positions a chunk accepted, by the decoder's rule.
  struct positions {
    std::vector<int> accepted;
    bool present[256] = {};     // data packet i is there as an accepted block, or rebuilt
    bool k_value_read = false;  // a block with another k lies where the decoder reads
    bool disagree = false;      // the blocks disagree and no unique set of them is to blame
  };

  // Judges every position of the chunk; sets r.accepted, r.rejected and r.status.
  positions classify(chunk_result& r, uint8_t* const* blocks, const block_read* got,
                     const bool* ok) const {
    positions p;
    int decoder_reads = g_.n;  // positions the decoder reads: up to the k-th accepted block
    for (int i = 0; i < g_.n; i++) {
      verdict v = verdict::accepted;
      if (got[i] == block_read::missing) {
        v = verdict::missing;
      } else if (got[i] == block_read::partial) {
        v = verdict::partial;
      } else {
        switch (judge_block(blocks[i], ok[i], i, g_.blocksize, g_.k)) {
          case block_fit::accepted:
            break;
          case block_fit::digest:
            v = verdict::digest;
            break;
          case block_fit::other_k:
            v = verdict::k;
            break;
          case block_fit::other_index:
            v = verdict::index;
            break;
        }
      }
      if (v == verdict::accepted) {
        p.accepted.push_back(i);
        if (i < g_.k) p.present[i] = true;
        if (static_cast<int>(p.accepted.size()) == g_.k) decoder_reads = i + 1;
      } else {
        r.rejected.emplace_back(i, v);
        if (v == verdict::k && i < decoder_reads) p.k_value_read = true;
      }
    }
    r.accepted = static_cast<int>(p.accepted.size());
    r.status = r.accepted == g_.n   ? chunk_status::intact
               : r.accepted >= g_.k ? chunk_status::repairable
                                    : chunk_status::lost;
    return p;
  }

  // Settles a chunk that has k accepted blocks as the decoder does (settle_packets()) and reads
  // the header; returns where the data packets are. The blocks that the decoding finds wrong are
  // inconsistent; when no codeword lies near enough the chunk is lost. Marks a chunk whose header
  // names another chunk as misplaced.
  const uint8_t* const* settle(chunk_result& r, positions& p, uint8_t* const* blocks) {
    const uint8_t* const* packets = blocks;
    if (r.status != chunk_status::lost) {
      const int count = r.accepted;
      const uint8_t* accepted_blocks[256];
      for (int m = 0; m < count; m++) accepted_blocks[m] = blocks[p.accepted[m]];
      bool excluded[256] = {};
      p.disagree = settle_packets(ctx_, accepted_blocks, p.accepted.data(), count, excluded) ==
                   settlement::inconsistent;
      if (p.disagree) {
        r.status = chunk_status::lost;
        std::fill(p.present, p.present + g_.k, false);
      } else {
        exclude(r, p, excluded);
        packets = ctx_.pkt_table;
        std::fill(p.present, p.present + g_.k, true);
      }
    }
    if (p.present[0]) {
      r.header_known = true;
      r.clen = get_clen(packets[0]);
      r.chunk_id = get_chunk_id(packets[0]);
    }
    if (!in_order(r)) r.status = chunk_status::misplaced;
    return packets;
  }

  // Moves the accepted blocks marked excluded to the rejected ones, as inconsistent.
  void exclude(chunk_result& r, positions& p, const bool* excluded) const {
    std::vector<int> kept;
    bool any = false;
    for (size_t m = 0; m < p.accepted.size(); m++) {
      if (excluded[m]) {
        r.rejected.emplace_back(p.accepted[m], verdict::inconsistent);
        any = true;
      } else {
        kept.push_back(p.accepted[m]);
      }
    }
    if (!any) return;
    std::sort(r.rejected.begin(), r.rejected.end());
    p.accepted = kept;
    r.accepted = static_cast<int>(kept.size());
    r.status = r.accepted == g_.n ? chunk_status::intact : chunk_status::repairable;
  }

  // The user bytes that the data packets of the chunk at offset can hold within the input: all of
  // them unless the input ends inside the chunk. A salvage promises no more.
  int64_t user_bytes_held(int64_t offset) const {
    const int64_t size = input_.size();
    if (size < 0) return g_.capacity;
    const int64_t in_chunk = size - offset;
    int64_t held = 0;
    for (int i = 0; i < g_.k; i++) {
      const int64_t first_byte = int64_t{i} * g_.blocksize + (i == 0 ? HEADER_LEN : 0);
      if (in_chunk <= first_byte) break;
      held = packet_start(g_, i) + std::min(packet_span(g_, i), in_chunk - first_byte);
    }
    return held;
  }

  static bool in_order(const chunk_result& r) {
    return !r.header_known || r.chunk_id == -1 ||
           static_cast<uint32_t>(r.chunk_id) == static_cast<uint32_t>(r.number);
  }

  // What the decoder would stop with at this chunk, by its checks in its order.
  void predict(chunk_result& r, const positions& p) const {
    if (p.k_value_read) {
      r.decoder_failure = MSG_INCORRECT_K;
    } else if (r.accepted < g_.k) {
      r.decoder_failure = MSG_TOO_MANY_BAD;
    } else if (p.disagree) {
      r.decoder_failure = MSG_INCONSISTENT;
    } else if (!in_order(r)) {
      r.decoder_failure = msg_out_of_order(r.offset, static_cast<uint32_t>(r.chunk_id),
                                           static_cast<uint32_t>(r.number));
    }
  }

  // The chunk's user bytes: the header's length (the decoder writes no more than the capacity),
  // or the capacity when the header is lost or belongs to another chunk. Records what is lost and
  // writes the salvage.
  void account_data(chunk_result& r, const positions& p, const uint8_t* const* packets) {
    r.data_length =
        r.header_known && in_order(r) ? std::min<int64_t>(r.clen, g_.capacity) : g_.capacity;
    if (r.status == chunk_status::misplaced) {
      add_range(r.lost, r.data_offset, r.data_length);
      out_.zeros(r.data_length);
      return;
    }
    if (r.status == chunk_status::lost) {
      // The header's length, when it is known, says what was lost; without it, no more than the
      // input can have held is promised.
      if (!r.header_known) r.data_length = std::min(r.data_length, user_bytes_held(r.offset));
      for (int i = 0; i < g_.k; i++) {
        const int64_t start = packet_start(g_, i);
        if (start >= r.data_length) break;
        if (!p.present[i]) {
          add_range(r.lost, r.data_offset + start,
                    std::min(packet_span(g_, i), r.data_length - start));
        }
      }
    }
    write_data(out_, g_, packets, p.present, r.data_length);
  }

  void account(const chunk_result& r) {
    summary_.chunks++;
    summary_.blocks += g_.n;
    summary_.bad_blocks += static_cast<int64_t>(r.rejected.size());
    switch (r.status) {
      case chunk_status::intact:
        summary_.intact++;
        break;
      case chunk_status::repairable:
        summary_.repairable++;
        break;
      case chunk_status::lost:
        summary_.lost++;
        break;
      case chunk_status::misplaced:
        summary_.misplaced++;
        break;
    }
    const int spare = r.accepted - g_.k;
    if (summary_.worst_spare_chunk < 0 || spare < summary_.worst_spare) {
      summary_.worst_spare = spare;
      summary_.worst_spare_chunk = r.number;
    }
    for (const byte_range& lost : r.lost) {
      add_range(summary_.lost_data, lost.start, lost.length);
      summary_.lost_bytes += lost.length;
    }
    if (summary_.decoder_fails_at < 0 && !r.decoder_failure.empty()) {
      summary_.decoder_fails_at = r.number;
      summary_.decoder_failure = r.decoder_failure;
    }
    last_header_known_ = r.header_known;
  }

  // Whether the chunk after chunk `number` (chunk c of the batch read from chunk `first` on) has
  // k accepted blocks whose rebuilt header carries `number`. Reads the next batch when it lies
  // beyond this one; judges silently.
  bool next_continues(int64_t first, int c, int64_t number) {
    int next = c + 1;
    if (next == batch_chunks_) {
      read_batch((first + batch_chunks_) * g_.chunk_bytes);
      next = 0;
    }
    uint8_t* const* blocks = blocks_.data() + next * g_.n;
    const block_read* got = got_.get() + next * g_.n;
    const bool* ok = ok_.get() + next * g_.n;
    chunk_result probe;
    const positions p = classify(probe, blocks, got, ok);
    if (probe.accepted < g_.k) return false;
    const uint8_t* accepted_blocks[256];
    for (int m = 0; m < g_.k; m++) accepted_blocks[m] = blocks[p.accepted[m]];
    rebuild_from(ctx_, accepted_blocks, p.accepted.data());
    return static_cast<uint32_t>(get_chunk_id(ctx_.pkt_table[0])) == static_cast<uint32_t>(number);
  }

  // The input ended at a chunk boundary before the chunk numbered -1: everything from there on is
  // lost (from the start, for an input without a chunk). When the last chunk read has lost its
  // header, it may have been the last: its own lost bytes are the account.
  void finish_at_end() {
    if (summary_.chunks == 0) {
      summary_.end = stream_end::empty;
    } else if (last_header_known_) {
      summary_.end = stream_end::truncated;
    } else {
      summary_.end = stream_end::after_lost;
    }
    if (summary_.end != stream_end::after_lost) add_range(summary_.lost_data, data_offset_, -1);
    if (summary_.decoder_fails_at < 0) {
      summary_.decoder_fails_at = summary_.chunks;
      summary_.decoder_failure = MSG_TOO_MANY_BAD;
    }
    summary_.salvage_bytes = out_.written();
  }

  stream_context& ctx_;
  scan_input& input_;
  salvage_writer out_;
  const std::function<void(const chunk_result&)>& report_;
  geometry g_{};
  int batch_chunks_ = 1;
  std::vector<uint8_t*> blocks_;
  std::vector<const uint8_t*> whole_;
  std::unique_ptr<block_read[]> got_;
  std::unique_ptr<bool[]> ok_;      // per block: read whole and intact
  std::unique_ptr<bool[]> intact_;  // per block read whole: its digest is right
  int64_t data_offset_ = 0;
  bool last_header_known_ = false;
  scan_summary summary_;
};

}  // namespace

scan_summary scan_stream(stream_context& ctx, scan_input& input, const salvage_sink* salvage,
                         const std::function<void(const chunk_result&)>& on_chunk) {
  scanner s(ctx, input, salvage, on_chunk);
  return s.run();
}
