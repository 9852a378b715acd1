// encode.cpp - the stream encoder: input cut into chunks, each written as n sealed blocks.
#include <cstring>

#include "fec/fec.h"
#include "frontend/diag.h"
#include "frontend/program.h"
#include "stream/format.h"
#include "stream/stream.h"

int32_t read_chunk(int32_t* chunk_id, FILE* input) {
  const int k = run_config.k;
  memset(chunk_buffer, 0, static_cast<size_t>(k) * run_config.blocksize);

  // fread returns short only at the end of the input or on a failure, whatever a pipe delivers.
  const size_t first = static_cast<size_t>(payload_len - HEADER_LEN);
  size_t got = fread(pkt_table[0] + HEADER_LEN, 1, first, input);
  int32_t count = static_cast<int32_t>(got);
  bytes_read += static_cast<int64_t>(got);
  if (got == first) {
    for (int i = 1; i < k; i++) {
      got = fread(pkt_table[i], 1, static_cast<size_t>(payload_len), input);
      count += static_cast<int32_t>(got);
      bytes_read += static_cast<int64_t>(got);
      if (got < static_cast<size_t>(payload_len)) break;
    }
  }
  if (ferror(input)) die("read error");

  // Looking one character ahead marks a chunk that ends exactly at the end of the input as the
  // last.
  const int c = getc(input);
  if (c == EOF) {
    if (ferror(input)) die("read error");
    *chunk_id = -1;
  } else {
    // Arriving here with -1 means the counter has used up every id but the last chunk's.
    if (*chunk_id == -1) die("too many chunks");
    ungetc(c, input);
  }

  put_chunk_header(pkt_table[0], static_cast<uint32_t>(count), *chunk_id);
  if (run_config.verbose >= 2) note("read a chunk of size %d\n", count);
  return count;
}

void write_block(int index, const uint8_t* packet) {
  if (fwrite(packet, 1, payload_len, stdout) != static_cast<size_t>(payload_len))
    die("write error");
  uint8_t trailer[TRAILER_LEN];
  seal_block_trailer(packet, index, trailer);
  if (fwrite(trailer, 1, TRAILER_LEN, stdout) != TRAILER_LEN) die("write error");
  bytes_written += payload_len + TRAILER_LEN;
}

void encode_chunks(FILE* input, int32_t first_id) {
  int32_t chunk_id = first_id;
  for (;;) {
    if (read_chunk(&chunk_id, input) == 0) return;
    for (int index = 0; index < run_config.n; index++) {
      fec_encode_pkt(codec, pkt_table, block_buffer, index, payload_len);
      write_block(index, block_buffer);
    }
    if (chunk_id == -1) return;
    chunk_id = static_cast<int32_t>(static_cast<uint32_t>(chunk_id) + 1);
  }
}

void encode_stream(FILE* input) { encode_chunks(input, 0); }
