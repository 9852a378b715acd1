// encode.cpp - the stream encoder: input cut into chunks, each written as n sealed blocks.
//
// Chunks are laid out in place in the batch of the chunk area, block after block exactly as they go
// out: the input is read straight into the data blocks, the parity packets are computed into the
// blocks that follow them, all the batch's blocks are digested together (a multi-lane digest wants
// many messages at once) and the batch leaves in one write. Nothing is copied on the way.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fec/fec.h"
#include "frontend/diag.h"
#include "frontend/program.h"
#include "stream/buffers.h"
#include "stream/format.h"
#include "stream/stream.h"

namespace {

int pending_chunks;  // chunks of the current batch laid out, not yet written

// Seals and writes the laid-out chunks of the batch.
void write_pending() {
  const int blocks = pending_chunks * run_config.n;
  pending_chunks = 0;
  if (blocks == 0) return;
  seal_consecutive_blocks(batch_block(0, 0), blocks);
  const size_t size = static_cast<size_t>(blocks) * run_config.blocksize;
  if (fwrite(batch_block(0, 0), 1, size, stdout) != size) die("write error");
  bytes_written += static_cast<int64_t>(size);
}

// Fatal failures while reading keep the chunks already complete, as a block-by-block writer would.
[[noreturn]] void die_after_pending(const char* message) {
  write_pending();
  die("%s", message);
}

}  // namespace

int32_t read_chunk(int32_t* chunk_id, FILE* input) {
  const int k = run_config.k;
  const size_t packet = static_cast<size_t>(payload_len);

  // fread returns short only at the end of the input or on a failure, whatever a pipe delivers.
  // A short chunk's data area is zero after its last byte.
  int32_t count = 0;
  uint8_t* dest = pkt_table[0] + HEADER_LEN;
  size_t want = packet - HEADER_LEN;
  for (int slot = 0;;) {
    const size_t got = fread(dest, 1, want, input);
    count += static_cast<int32_t>(got);
    bytes_read += static_cast<int64_t>(got);
    if (got < want) {
      memset(dest + got, 0, want - got);
      for (int rest = slot + 1; rest < k; rest++) memset(pkt_table[rest], 0, packet);
      break;
    }
    if (++slot == k) break;
    dest = pkt_table[slot];
    want = packet;
  }
  if (ferror(input)) die_after_pending("read error");

  // Looking one character ahead marks a chunk that ends exactly at the end of the input as the
  // last.
  const int c = getc(input);
  if (c == EOF) {
    if (ferror(input)) die_after_pending("read error");
    *chunk_id = -1;
  } else {
    // Arriving here with -1 means the counter has used up every id but the last chunk's.
    if (*chunk_id == -1) die_after_pending("too many chunks");
    ungetc(c, input);
  }

  put_chunk_header(pkt_table[0], static_cast<uint32_t>(count), *chunk_id);
  if (run_config.verbose >= 2) note("read a chunk of size %d\n", count);
  return count;
}

void complete_chunk(uint8_t* first_block, uint8_t* const* data_packets) {
  const int n = run_config.n;
  for (int index = 0; index < n; index++) {
    uint8_t* block = first_block + int64_t{index} * run_config.blocksize;
    if (index >= run_config.k) fec_encode_pkt(codec, data_packets, block, index, payload_len);
    block[payload_len] = static_cast<uint8_t>(index);
    block[payload_len + 1] = static_cast<uint8_t>(run_config.k);
  }
}

void encode_chunks(FILE* input, int32_t first_id) {
  const int k = run_config.k;
  int32_t chunk_id = first_id;
  for (;;) {
    // The data packets are read straight into the chunk's data blocks.
    const int chunk = pending_chunks;
    for (int i = 0; i < k; i++) pkt_table[i] = batch_block(chunk, i);
    if (read_chunk(&chunk_id, input) == 0) break;

    complete_chunk(batch_block(chunk, 0), pkt_table);
    pending_chunks++;

    if (chunk_id == -1) break;
    chunk_id = static_cast<int32_t>(static_cast<uint32_t>(chunk_id) + 1);
    if (pending_chunks == batch_chunks) write_pending();
  }
  write_pending();
}

void encode_stream(FILE* input) { encode_chunks(input, 0); }
