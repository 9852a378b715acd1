// scan.cpp - the chunk-by-chunk scan: every block read and judged, several chunks digested at once.
//
// Whole chunks are read a batch at a time and every block of the batch is digested in one call, so
// that the multi-lane digest always has full passes. A chunk is judged by the decoder's rule; its
// header comes from its block 0 when that is accepted, else from the chunk rebuilt out of its
// first k accepted blocks, as the decoder would rebuild it.
#include "tools/scan/scan.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "fec/fec.h"
#include "frontend/diag.h"
#include "frontend/program.h"
#include "stream/format.h"

namespace {

// A batch aims at about this many bytes: many blocks per digest call, few reads.
constexpr int64_t batch_target_bytes = 4 << 20;
constexpr int max_batch_chunks = 256;

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

void add_range(std::vector<byte_range>& ranges, int64_t start, int64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().length >= 0 &&
      ranges.back().start + ranges.back().length == start) {
    ranges.back().length = length < 0 ? -1 : ranges.back().length + length;
    return;
  }
  ranges.push_back({start, length});
}

class salvage_writer {
 public:
  explicit salvage_writer(FILE* file) : file_(file) {}

  void bytes(const uint8_t* data, int64_t count) {
    if (file_ == nullptr || count <= 0) return;
    if (fwrite(data, 1, static_cast<size_t>(count), file_) != static_cast<size_t>(count)) {
      die("write error on the salvage file");
    }
    written_ += count;
  }
  void zeros(int64_t count) {
    static const uint8_t zero[65536] = {};
    while (count > 0) {
      const int64_t part = std::min<int64_t>(count, sizeof zero);
      bytes(zero, part);
      count -= part;
    }
  }
  int64_t written() const { return written_; }

 private:
  FILE* file_;
  int64_t written_ = 0;
};

// Rebuilds the chunk's data packets into pkt_table from its first k accepted blocks, in position
// order, as the decoder does. Returns false if the codec refuses them.
bool rebuild(const geometry& g, uint8_t* const* blocks, const std::vector<int>& accepted) {
  for (int j = 0; j < g.k; j++) {
    memcpy(pkt_table[j], blocks[accepted[j]], static_cast<size_t>(g.packet));
    index_list[j] = accepted[j];
  }
  return fec_decode_pkts(codec, pkt_table, index_list, g.packet) == 0;
}

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
  scanner(scan_input& input, FILE* salvage, const std::function<void(const chunk_result&)>& report)
      : input_(input), out_(salvage), report_(report), salvage_(salvage != nullptr) {
    g_.n = run_config.n;
    g_.k = run_config.k;
    g_.blocksize = run_config.blocksize;
    g_.packet = payload_len;
    g_.chunk_bytes = int64_t{g_.n} * g_.blocksize;
    g_.capacity = int64_t{g_.k} * g_.packet - HEADER_LEN;
    batch_chunks_ = static_cast<int>(
        std::clamp<int64_t>(batch_target_bytes / g_.chunk_bytes, 1, max_batch_chunks));
    const int blocks = batch_chunks_ * g_.n;
    area_ = static_cast<uint8_t*>(alloc_or_die(uint64_t(batch_chunks_) * g_.chunk_bytes));
    blocks_.resize(static_cast<size_t>(blocks));
    for (int b = 0; b < blocks; b++) blocks_[b] = area_ + int64_t{b} * g_.blocksize;
    got_.reset(new block_read[static_cast<size_t>(blocks)]);
    ok_.reset(new bool[static_cast<size_t>(blocks)]);
    intact_.reset(new bool[static_cast<size_t>(blocks)]);
    whole_.resize(static_cast<size_t>(blocks));
  }
  ~scanner() { free(area_); }
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
        const chunk_result r =
            judge(number, blocks_.data() + c * g_.n, got_.get() + c * g_.n, ok_.get() + c * g_.n);
        account(r);
        report_(r);
        if (r.header_known && r.chunk_id == -1) {
          summary_.end = stream_end::last_chunk;
          summary_.trailing_bytes = input_.bytes_after((number + 1) * g_.chunk_bytes);
          summary_.salvage_bytes = out_.written();
          return summary_;
        }
      }
    }
  }

 private:
  void read_batch(int64_t offset) {
    const int blocks = batch_chunks_ * g_.n;
    input_.read_blocks(offset, g_.blocksize, blocks, area_, got_.get());
    int wholes = 0;
    for (int b = 0; b < blocks; b++) {
      if (got_[b] == block_read::whole) whole_[wholes++] = blocks_[b];
    }
    verify_blocks(whole_.data(), wholes, intact_.get());
    for (int b = 0, w = 0; b < blocks; b++) ok_[b] = got_[b] == block_read::whole && intact_[w++];
  }

  chunk_result judge(int64_t number, uint8_t* const* blocks, const block_read* got,
                     const bool* ok) {
    const int n = g_.n;
    const int k = g_.k;
    const uint8_t k_byte = static_cast<uint8_t>(k);
    chunk_result r;
    r.number = number;
    r.offset = number * g_.chunk_bytes;
    r.data_offset = data_offset_;

    std::vector<int> accepted;
    bool present[256] = {};
    int decoder_reads = n;  // positions the decoder reads: up to the k-th accepted block
    bool k_value_read = false;
    for (int i = 0; i < n; i++) {
      verdict v = verdict::accepted;
      if (got[i] == block_read::missing) {
        v = verdict::missing;
      } else if (got[i] == block_read::partial) {
        v = verdict::partial;
      } else if (!ok[i]) {
        v = verdict::digest;
      } else if (blocks[i][g_.packet + 1] != k_byte) {
        v = verdict::k;
      } else if (blocks[i][g_.packet] != i) {
        v = verdict::index;
      }
      if (v == verdict::accepted) {
        accepted.push_back(i);
        if (i < k) present[i] = true;
        if (static_cast<int>(accepted.size()) == k) decoder_reads = i + 1;
      } else {
        r.rejected.emplace_back(i, v);
        if (v == verdict::k && i < decoder_reads) k_value_read = true;
      }
    }
    r.accepted = static_cast<int>(accepted.size());
    r.status = r.accepted == n   ? chunk_status::intact
               : r.accepted >= k ? chunk_status::repairable
                                 : chunk_status::lost;

    // The header, and the data packets when some are not there as blocks.
    const uint8_t* const* packets = blocks;
    const bool all_data = std::all_of(present, present + k, [](bool p) { return p; });
    if (r.status != chunk_status::lost && (!present[0] || (salvage_ && !all_data))) {
      if (rebuild(g_, blocks, accepted)) {
        packets = pkt_table;
        std::fill(present, present + k, true);
      } else {
        r.status = chunk_status::lost;  // cannot happen with distinct positions below n
      }
    }
    if (present[0]) {
      r.header_known = true;
      r.clen = get_clen(packets[0]);
      r.chunk_id = get_chunk_id(packets[0]);
    }

    const bool in_order = !r.header_known || r.chunk_id == -1 ||
                          static_cast<uint32_t>(r.chunk_id) == static_cast<uint32_t>(number);
    if (!in_order) r.status = chunk_status::misplaced;

    // The decoder's own checks, in its order.
    if (k_value_read) {
      r.decoder_failure = "incorrect K value";
    } else if (r.accepted < k) {
      r.decoder_failure = "unrecoverable error -- too many bad blocks";
    } else if (!in_order) {
      r.decoder_failure = "chunk out of order at " + std::to_string(r.offset) + " id " +
                          std::to_string(static_cast<uint32_t>(r.chunk_id)) + " expecting " +
                          std::to_string(static_cast<uint32_t>(number));
    }

    // The user bytes: the header's length (the decoder writes no more than the capacity), or the
    // capacity when the header is lost or belongs to another chunk.
    r.data_length =
        r.header_known && in_order ? std::min<int64_t>(r.clen, g_.capacity) : g_.capacity;
    if (r.status == chunk_status::misplaced) {
      add_range(r.lost, r.data_offset, r.data_length);
      out_.zeros(r.data_length);
    } else {
      if (r.status == chunk_status::lost) {
        for (int i = 0; i < k; i++) {
          const int64_t start = packet_start(g_, i);
          if (start >= r.data_length) break;
          if (!present[i]) {
            add_range(r.lost, r.data_offset + start,
                      std::min(packet_span(g_, i), r.data_length - start));
          }
        }
      }
      if (salvage_) write_data(out_, g_, packets, present, r.data_length);
    }
    data_offset_ += r.data_length;
    return r;
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

  // The input ended at a chunk boundary before the chunk numbered -1.
  void finish_at_end() {
    if (summary_.chunks == 0) {
      summary_.end = stream_end::empty;
    } else if (last_header_known_) {
      summary_.end = stream_end::truncated;
      add_range(summary_.lost_data, data_offset_, -1);
    } else {
      summary_.end = stream_end::after_lost;
    }
    if (summary_.decoder_fails_at < 0) {
      summary_.decoder_fails_at = summary_.chunks;
      summary_.decoder_failure = "unrecoverable error -- too many bad blocks";
    }
    summary_.salvage_bytes = out_.written();
  }

  scan_input& input_;
  salvage_writer out_;
  const std::function<void(const chunk_result&)>& report_;
  bool salvage_;
  geometry g_{};
  int batch_chunks_ = 1;
  uint8_t* area_ = nullptr;
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

const char* verdict_name(verdict v) {
  switch (v) {
    case verdict::accepted:
      return "accepted";
    case verdict::digest:
      return "digest";
    case verdict::index:
      return "index";
    case verdict::partial:
      return "short";
    case verdict::missing:
      return "missing";
    case verdict::k:
      return "k";
  }
  return "";
}

const char* status_name(chunk_status s) {
  switch (s) {
    case chunk_status::intact:
      return "intact";
    case chunk_status::repairable:
      return "repairable";
    case chunk_status::lost:
      return "lost";
    case chunk_status::misplaced:
      return "misplaced";
  }
  return "";
}

const char* end_name(stream_end e) {
  switch (e) {
    case stream_end::last_chunk:
      return "last chunk";
    case stream_end::truncated:
      return "truncated";
    case stream_end::after_lost:
      return "after lost chunk";
    case stream_end::empty:
      return "empty";
  }
  return "";
}

scan_summary scan_stream(scan_input& input, FILE* salvage,
                         const std::function<void(const chunk_result&)>& on_chunk) {
  scanner s(input, salvage, on_chunk);
  return s.run();
}
