// SPDX-License-Identifier: MIT
// rules.cpp - the parameter rules, the block acceptance rule and the decoder's messages.
#include "stream/rules.h"

#include <cstdio>

const char* params_error(const stream_params& p, known_params known) {
  const bool n_known = known.n;
  const bool k_known = known.k;
  const bool b_known = known.blocksize;
  if ((n_known && (p.n < 2 || p.n > 256)) || (k_known && (p.k < 1 || p.k > 256)) ||
      (n_known && k_known && p.k > p.n)) {
    return "invalid (k, n)";
  }
  // Every size of a run is a signed 32-bit value, so a chunk must stay below 2^31 bytes.
  if (b_known && (p.blocksize < MIN_BLOCKSIZE ||
                  (n_known && int64_t{p.n} * p.blocksize >= (int64_t{1} << 31)) ||
                  (k_known && chunk_capacity(p.blocksize, p.k) <= 0))) {
    return "invalid blocksize";
  }
  return nullptr;
}

int64_t chunk_capacity(int32_t blocksize, int32_t k) {
  return int64_t{k} * (int64_t{blocksize} - TRAILER_LEN) - HEADER_LEN;
}

block_fit judge_block(const uint8_t* block, bool digest_ok, int position, int32_t blocksize,
                      int32_t k) {
  if (!digest_ok) return block_fit::digest;
  if (get_k_byte(block, blocksize) != static_cast<uint8_t>(k)) return block_fit::other_k;
  if (get_block_index(block, blocksize) != position) return block_fit::other_index;
  return block_fit::accepted;
}

std::string msg_out_of_order(int64_t chunk_base, uint32_t chunk_id, uint32_t expected_id) {
  char text[96];
  snprintf(text, sizeof text, "chunk out of order at %ld id %ld expecting %ld",
           static_cast<long>(chunk_base), static_cast<long>(chunk_id),
           static_cast<long>(expected_id));
  return text;
}
