// SPDX-License-Identifier: MIT
// encode.cpp - the stream encoder: input cut into chunks, each written as n sealed blocks.
//
// Chunks are laid out in place in the batch of the chunk area, block after block exactly as they go
// out: the input is read straight into the data blocks, the parity packets are computed into the
// blocks that follow them, all the batch's blocks are digested together (a multi-lane digest wants
// many messages at once) and the batch leaves in one write. Nothing is copied on the way.
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fec/fec.h"
#include "fec/gf.h"
#include "frontend/diag.h"
#include "frontend/io.h"
#include "frontend/progress.h"
#include "stream/buffers.h"
#include "stream/format.h"
#include "stream/stream.h"

namespace {

// Seals and writes the `pending` chunks laid out in the batch and not yet written.
void write_pending(stream_context& ctx, int& pending) {
  const int blocks = pending * ctx.config.n;
  pending = 0;
  if (blocks == 0) return;
  seal_consecutive_blocks(batch_block(ctx, 0, 0), blocks, ctx.config.blocksize);
  const size_t size = static_cast<size_t>(blocks) * ctx.config.blocksize;
  output_bytes(batch_block(ctx, 0, 0), size);
  output_flush();
  ctx.bytes_written += static_cast<int64_t>(size);
}

// Fatal failures while reading keep the chunks already complete, as a block-by-block writer would.
[[noreturn]] void die_after_pending(stream_context& ctx, int& pending, const char* message) {
  write_pending(ctx, pending);
  die("%s", message);
}

}  // namespace

namespace {

// The input, read straight into the data packets of the batch: one readv() for many packets from a
// descriptor, so that the kernel copies every byte to its place in the block; or fread() packet by
// packet through the FILE's buffer, for a FILE without a descriptor and for packets so small that
// a vector element per packet would cost more than the copy.
struct batch_reader {
  FILE* file = nullptr;
  int fd = -1;  // read directly when >= 0; the FILE is then never read
  bool failed = false;
  bool at_end = false;
  bool peeked = false;  // one byte read beyond the previous batch, the next chunk's first
  uint8_t peek = 0;
};

// Packets at least this long are read from the descriptor directly.
constexpr int direct_packet_min = 128;

// Reads into the pieces in order until all are full, the input ends or a read fails; returns the
// bytes read. Fewer only at the end or on a failure, whatever a pipe delivers at a time.
size_t fill(batch_reader& in, iovec* pieces, int count) {
  size_t total = 0;
  if (in.fd < 0) {
    for (int t = 0; t < count; t++) {
      const size_t got = fread(pieces[t].iov_base, 1, pieces[t].iov_len, in.file);
      total += got;
      if (got < pieces[t].iov_len) {
        in.failed = ferror(in.file) != 0;
        in.at_end = !in.failed;
        break;
      }
    }
    return total;
  }
  int t = 0;
  while (t < count) {
    const ssize_t got = readv(in.fd, pieces + t, std::min(count - t, IOV_MAX));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      in.failed = got < 0;
      in.at_end = got == 0;
      break;
    }
    total += static_cast<size_t>(got);
    t = skip_pieces(pieces, t, static_cast<size_t>(got));
  }
  return total;
}

}  // namespace

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

void encode_chunks(stream_context& ctx, FILE* input, int32_t first_id) {
  int pending = 0;  // chunks of the current batch laid out, not yet written
  const int k = ctx.config.k;
  const size_t packet = static_cast<size_t>(ctx.payload_len);
  const int64_t capacity = int64_t{k} * ctx.payload_len - HEADER_LEN;
  batch_reader in;
  in.file = input;
  if (ctx.payload_len >= direct_packet_min) in.fd = fileno(input);
  // Every data packet of the batch, then one byte beyond: whether the input goes on after a chunk
  // that fills the batch tells whether that chunk is the last.
  std::vector<iovec> pieces(static_cast<size_t>(ctx.batch_chunks) * k + 1);
  int32_t chunk_id = first_id;
  progress_meter meter;
  if (ctx.config.progress) {
    progress_start(meter, program_name, "kestrune", regular_file_size(fileno(input)),
                   capacity * ctx.batch_chunks);
  }
  for (;;) {
    // The previous batch's byte beyond comes first.
    size_t t = 0;
    for (int c = 0; c < ctx.batch_chunks; c++) {
      for (int i = 0; i < k; i++) {
        uint8_t* data = batch_block(ctx, c, i) + (i == 0 ? HEADER_LEN : 0);
        pieces[t++] = {data, i == 0 ? packet - HEADER_LEN : packet};
      }
    }
    pieces[t++] = {&in.peek, 1};
    int64_t total = 0;
    if (in.peeked) {
      // Block 0 of the smallest blocks holds no data after the header.
      iovec& first = pieces[pieces[0].iov_len > 0 ? 0 : 1];
      *static_cast<uint8_t*>(first.iov_base) = in.peek;
      first.iov_base = static_cast<uint8_t*>(first.iov_base) + 1;
      first.iov_len--;
      total = 1;
      in.peeked = false;
    }
    if (!in.at_end && !in.failed)
      total += static_cast<int64_t>(fill(in, pieces.data(), static_cast<int>(t)));
    const int64_t batch_data = capacity * ctx.batch_chunks;
    if (total > batch_data) {
      in.peeked = true;
      total = batch_data;
    }

    // The chunks as a reader of one chunk at a time would have found them: a chunk is complete
    // once a byte beyond it is read or the input ends cleanly after it.
    for (int c = 0; c < ctx.batch_chunks; c++) {
      const int64_t start = capacity * c;
      const int64_t count = std::clamp<int64_t>(total - start, 0, capacity);
      const bool more = total > start + capacity || (in.peeked && c == ctx.batch_chunks - 1);
      ctx.bytes_read += count;
      if (!more && in.failed) die_after_pending(ctx, pending, "read error");
      if (count == 0) {
        // Only an empty input: the chunk before, had there been one, ended with a byte beyond it.
        if (ctx.config.verbose >= 2) note("read a chunk of size 0\n");
        write_pending(ctx, pending);
        progress_end(meter);
        return;
      }
      // A short chunk's data area is zero after its last byte.
      if (count < capacity) {
        for (int i = 0; i < k; i++) {
          const int64_t packet_start = i == 0 ? 0 : int64_t{i} * ctx.payload_len - HEADER_LEN;
          const int64_t packet_end = int64_t{i + 1} * ctx.payload_len - HEADER_LEN;
          if (packet_end <= count) continue;
          uint8_t* base = batch_block(ctx, c, i) + (i == 0 ? HEADER_LEN : 0);
          const int64_t keep = std::max<int64_t>(0, count - packet_start);
          memset(base + keep, 0, static_cast<size_t>(packet_end - packet_start - keep));
        }
      }
      if (!more) {
        chunk_id = -1;
      } else if (chunk_id == -1) {
        // Arriving here with -1 means the counter has used up every id but the last chunk's.
        die_after_pending(ctx, pending, "too many chunks");
      }
      put_chunk_header(batch_block(ctx, c, 0), static_cast<uint32_t>(count), chunk_id);
      if (ctx.config.verbose >= 2) note("read a chunk of size %d\n", static_cast<int>(count));
      for (int i = 0; i < k; i++) ctx.pkt_table[i] = batch_block(ctx, c, i);
      complete_chunk(ctx, batch_block(ctx, c, 0), ctx.pkt_table);
      pending++;
      if (chunk_id == -1) {
        write_pending(ctx, pending);
        progress_end(meter);
        return;
      }
      chunk_id = static_cast<int32_t>(static_cast<uint32_t>(chunk_id) + 1);
    }
    write_pending(ctx, pending);
    progress_tick(meter, ctx.bytes_read);
  }
}

void encode_stream(stream_context& ctx, FILE* input) { encode_chunks(ctx, input, 0); }
