// SPDX-License-Identifier: MIT
// encode.cpp - the stream encoder: input cut into chunks, each written as n sealed blocks.
//
// Chunks are laid out in place in the batch of the chunk area, block after block exactly as they go
// out: the input is read (or copied, when it is pushed) straight into the data blocks, the parity
// packets are computed into the blocks that follow them, all the batch's blocks are digested
// together (a multi-lane digest wants many messages at once) and the batch leaves in one write.
#include <algorithm>
#include <cstring>

#include "fec/fec.h"
#include "fec/gf.h"
#include "stream/buffers.h"
#include "stream/failure.h"
#include "stream/format.h"
#include "stream/output.h"
#include "stream/stream.h"

void complete_chunk(const stream_context& ctx, uint8_t* first_block, uint8_t* const* data_packets) {
  const int n = ctx.config.n;
  const int k = ctx.config.k;
  uint8_t* parity[GF_DOT_MAX_ROWS];
  for (int index = k; index < n; index++) {
    parity[index - k] = first_block + int64_t{index} * ctx.config.blocksize;
  }
  fec_encode_parity(ctx.codec, data_packets, parity, k, n - k, ctx.payload_len);
  for (int index = 0; index < n; index++) {
    uint8_t* block = first_block + int64_t{index} * ctx.config.blocksize;
    block[ctx.payload_len] = static_cast<uint8_t>(index);
    block[ctx.payload_len + 1] = static_cast<uint8_t>(ctx.config.k);
  }
}

stream_encoder::stream_encoder(stream_context& ctx, int32_t first_id)
    : ctx_(ctx),
      capacity_(int64_t{ctx.config.k} * ctx.payload_len - HEADER_LEN),
      pieces_(static_cast<size_t>(ctx.batch_chunks) * ctx.config.k + 1),
      chunk_id_(first_id) {
  lay_out();
}

void stream_encoder::lay_out() {
  const int k = ctx_.config.k;
  const size_t packet = static_cast<size_t>(ctx_.payload_len);
  size_t t = 0;
  for (int c = 0; c < ctx_.batch_chunks; c++) {
    for (int i = 0; i < k; i++) {
      uint8_t* data = batch_block(ctx_, c, i) + (i == 0 ? HEADER_LEN : 0);
      pieces_[t++] = {data, i == 0 ? packet - HEADER_LEN : packet};
    }
  }
  pieces_[t++] = {&peek_, 1};
  next_ = 0;
  total_ = 0;
  if (peeked_) {
    // The previous batch's byte beyond comes first; block 0 of the smallest blocks holds no data
    // after the header.
    iovec& first = pieces_[pieces_[0].iov_len > 0 ? 0 : 1];
    *static_cast<uint8_t*>(first.iov_base) = peek_;
    first.iov_base = static_cast<uint8_t*>(first.iov_base) + 1;
    first.iov_len--;
    total_ = 1;
    peeked_ = false;
  }
}

void stream_encoder::write_pending() {
  const int blocks = pending_ * ctx_.config.n;
  pending_ = 0;
  if (blocks == 0) return;
  seal_consecutive_blocks(batch_block(ctx_, 0, 0), blocks, ctx_.config.blocksize);
  const size_t size = static_cast<size_t>(blocks) * ctx_.config.blocksize;
  output_bytes(ctx_, batch_block(ctx_, 0, 0), size);
  output_flush(ctx_);
  ctx_.bytes_written += static_cast<int64_t>(size);
}

// Fatal failures while reading keep the chunks already complete, as a block-by-block writer would.
void stream_encoder::fail_after_pending(kestrune_result code, const char* message) {
  write_pending();
  fail(code, "%s", message);
}

bool stream_encoder::finish_batch(bool input_failed) {
  const int k = ctx_.config.k;
  const int64_t batch_data = capacity_ * ctx_.batch_chunks;
  if (total_ > batch_data) {
    peeked_ = true;
    total_ = batch_data;
  }
  // The chunks as a reader of one chunk at a time would have found them: a chunk is complete once a
  // byte beyond it is read or the input ends cleanly after it.
  for (int c = 0; c < ctx_.batch_chunks; c++) {
    const int64_t start = capacity_ * c;
    const int64_t count = std::clamp<int64_t>(total_ - start, 0, capacity_);
    const bool more = total_ > start + capacity_ || (peeked_ && c == ctx_.batch_chunks - 1);
    ctx_.bytes_read += count;
    if (!more && input_failed) fail_after_pending(KESTRUNE_ERROR_READ, "read error");
    if (count == 0) {
      // Only an empty input: the chunk before, had there been one, ended with a byte beyond it.
      if (ctx_.config.verbose >= 2) report(ctx_, "read a chunk of size 0\n");
      write_pending();
      return true;
    }
    // A short chunk's data area is zero after its last byte.
    if (count < capacity_) {
      for (int i = 0; i < k; i++) {
        const int64_t packet_start = i == 0 ? 0 : int64_t{i} * ctx_.payload_len - HEADER_LEN;
        const int64_t packet_end = int64_t{i + 1} * ctx_.payload_len - HEADER_LEN;
        if (packet_end <= count) continue;
        uint8_t* base = batch_block(ctx_, c, i) + (i == 0 ? HEADER_LEN : 0);
        const int64_t keep = std::max<int64_t>(0, count - packet_start);
        memset(base + keep, 0, static_cast<size_t>(packet_end - packet_start - keep));
      }
    }
    if (!more) {
      chunk_id_ = -1;
    } else if (chunk_id_ == -1) {
      // Arriving here with -1 means the counter has used up every id but the last chunk's.
      fail_after_pending(KESTRUNE_ERROR_TOO_MANY_CHUNKS, "too many chunks");
    }
    put_chunk_header(batch_block(ctx_, c, 0), static_cast<uint32_t>(count), chunk_id_);
    if (ctx_.config.verbose >= 2)
      report(ctx_, "read a chunk of size %d\n", static_cast<int>(count));
    for (int i = 0; i < k; i++) ctx_.pkt_table[i] = batch_block(ctx_, c, i);
    complete_chunk(ctx_, batch_block(ctx_, c, 0), ctx_.pkt_table);
    pending_++;
    if (chunk_id_ == -1) {
      write_pending();
      return true;
    }
    chunk_id_ = static_cast<int32_t>(static_cast<uint32_t>(chunk_id_) + 1);
  }
  write_pending();
  if (ctx_.callbacks.progress != nullptr)
    ctx_.callbacks.progress(ctx_.callbacks.user, ctx_.bytes_read);
  return false;
}

void stream_encoder::pull(kestrune_read_pieces read, void* user) {
  bool at_end = false;
  bool failed = false;
  for (;;) {
    if (!at_end && !failed) {
      size_t wanted = 0;
      for (const iovec& piece : pieces_) wanted += piece.iov_len;
      int read_failed = 0;
      static_assert(sizeof(kestrune_piece) == sizeof(iovec));
      const int64_t got = read(user, reinterpret_cast<kestrune_piece*>(pieces_.data()),
                               static_cast<int>(pieces_.size()), &read_failed);
      total_ += std::max<int64_t>(got, 0);
      failed = read_failed != 0;
      at_end = !failed && got < static_cast<int64_t>(wanted);
    }
    if (finish_batch(failed)) return;
    lay_out();
  }
}

void stream_encoder::push(const uint8_t* data, size_t size) {
  while (size > 0) {
    iovec& piece = pieces_[next_];
    const size_t take = std::min(size, piece.iov_len);
    memcpy(piece.iov_base, data, take);
    piece.iov_base = static_cast<uint8_t*>(piece.iov_base) + take;
    piece.iov_len -= take;
    total_ += static_cast<int64_t>(take);
    data += take;
    size -= take;
    if (piece.iov_len == 0) next_++;
    if (next_ == pieces_.size()) {
      // The byte beyond the batch has come: none of its chunks is the last.
      finish_batch(false);
      lay_out();
    }
  }
}

void stream_encoder::end() { finish_batch(false); }
