// program.cpp - the program-wide settings, codec and buffers.
#include "frontend/program.h"

#include <cstdlib>

#include "frontend/diag.h"
#include "stream/format.h"
#include "stream/stream.h"

run_settings run_config;

fec_code* codec;
uint8_t* chunk_buffer;
uint8_t** pkt_table;
uint8_t* block_buffer;
int32_t payload_len;
int32_t* index_list;
int64_t bytes_read;
int64_t bytes_written;

void setup_buffers() {
  const int k = run_config.k;
  const int blocksize = run_config.blocksize;
  // (k, n) are valid here, so the codec's own check passes; its allocation failures end the
  // process.
  codec = fec_create(k, run_config.n);

  // A slot holds a whole block, trailer included: the decoder reads blocks straight into the slots.
  chunk_buffer =
      static_cast<uint8_t*>(alloc_or_die(uint64_t{static_cast<uint32_t>(k)} * blocksize));
  pkt_table = static_cast<uint8_t**>(alloc_or_die(sizeof(uint8_t*) * k));
  for (int i = 0; i < k; i++) pkt_table[i] = chunk_buffer + static_cast<size_t>(i) * blocksize;
  block_buffer = static_cast<uint8_t*>(alloc_or_die(blocksize));
  payload_len = blocksize - TRAILER_LEN;
  index_list = static_cast<int32_t*>(alloc_or_die(sizeof(int32_t) * k));
}

void release_buffers() {
  release_encode_buffers();
  fec_free(codec);
  free(chunk_buffer);
  free(pkt_table);
  free(block_buffer);
  free(index_list);
  codec = nullptr;
  chunk_buffer = nullptr;
  pkt_table = nullptr;
  block_buffer = nullptr;
  index_list = nullptr;
}
