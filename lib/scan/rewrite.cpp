// SPDX-License-Identifier: MIT
// rewrite.cpp - restored user data cut into chunks, encoded and sealed as kestrune encodes them.
#include "scan/rewrite.h"

#include <algorithm>
#include <cstring>

#include "stream/failure.h"
#include "stream/format.h"
#include "stream/rules.h"
#include "stream/stream.h"

stream_rewriter::stream_rewriter(const stream_context& ctx, const stream_sink* out)
    : ctx_(ctx), out_(out), capacity_(chunk_capacity(ctx.config.blocksize, ctx.config.k)) {}

void stream_rewriter::add(const uint8_t* data, int64_t length, std::vector<uint8_t>&& blocks,
                          int32_t chunk_id) {
  if (out_ == nullptr || length <= 0) return;
  // The original blocks stand for the held bytes only when they are the whole of them.
  const bool whole = held_.empty() && !blocks.empty() && length <= capacity_;
  while (length > 0) {
    // A full chunk with more bytes behind it is not the last.
    if (static_cast<int64_t>(held_.size()) == capacity_) {
      write_held(static_cast<int32_t>(next_id_));
      next_id_++;
    }
    const int64_t take = std::min(length, capacity_ - static_cast<int64_t>(held_.size()));
    original_.clear();
    held_.insert(held_.end(), data, data + take);
    data += take;
    length -= take;
  }
  if (whole) {
    original_ = std::move(blocks);
    original_id_ = chunk_id;
  }
}

void stream_rewriter::finish() {
  if (out_ == nullptr || held_.empty()) return;
  write_held(-1);
}

void stream_rewriter::put(const uint8_t* bytes, size_t count) {
  if (!(*out_)(bytes, count)) fail(KESTRUNE_ERROR_WRITE, "write error on the repaired stream");
  written_ += static_cast<int64_t>(count);
}

void stream_rewriter::write_held(int32_t chunk_id) {
  if (!original_.empty() && original_id_ == chunk_id) {
    put(original_.data(), original_.size());
  } else {
    encode_held(chunk_id);
  }
  held_.clear();
  original_.clear();
}

void stream_rewriter::encode_held(int32_t chunk_id) {
  const int n = ctx_.config.n;
  const int k = ctx_.config.k;
  const int64_t b = ctx_.config.blocksize;
  const size_t packet = static_cast<size_t>(ctx_.payload_len);
  chunk_.resize(static_cast<size_t>(n * b));
  uint8_t* data_packets[256];
  for (int i = 0; i < k; i++) {
    data_packets[i] = chunk_.data() + i * b;
    memset(data_packets[i], 0, packet);
  }
  // The user bytes follow the header in packet 0 and fill the data packets in turn; the rest stays
  // zero, as the encoder leaves a short chunk.
  put_chunk_header(data_packets[0], static_cast<uint32_t>(held_.size()), chunk_id);
  size_t done = 0;
  for (int i = 0; i < k && done < held_.size(); i++) {
    const size_t skip = i == 0 ? HEADER_LEN : 0;
    const size_t piece = std::min(packet - skip, held_.size() - done);
    memcpy(data_packets[i] + skip, held_.data() + done, piece);
    done += piece;
  }
  complete_chunk(ctx_, chunk_.data(), data_packets);
  seal_consecutive_blocks(chunk_.data(), n, ctx_.config.blocksize);
  put(chunk_.data(), chunk_.size());
}
