// SPDX-License-Identifier: MIT
// format.cpp - chunk headers and block trailers: writing, reading and checking them.
#include "stream/format.h"

#include <algorithm>
#include <cstring>

namespace {

// Blocks are digested in groups of this many, with the digests on the stack: full passes of every
// multi-lane digest (24 or 32 messages), no allocation, and room for a whole batch's first round,
// so that only the batch's last pass is partly filled.
constexpr int digest_group = 288;

}  // namespace

void verify_blocks(const uint8_t* const* blocks, int count, int32_t blocksize, bool* ok) {
  const size_t length = static_cast<size_t>(blocksize) - TRAILER_LEN + 2;
  uint8_t digests[digest_group][DIGEST_LEN];
  for (int first = 0; first < count; first += digest_group) {
    const int group = std::min(digest_group, count - first);
    digest_many(blocks + first, length, group, digests);
    for (int i = 0; i < group; i++) {
      ok[first + i] = memcmp(digests[i], blocks[first + i] + length, DIGEST_LEN) == 0;
    }
  }
}

uint8_t get_block_index(const uint8_t* block, int32_t blocksize) {
  return block[blocksize - TRAILER_LEN];
}

uint8_t get_k_byte(const uint8_t* block, int32_t blocksize) {
  return block[blocksize - TRAILER_LEN + 1];
}

void seal_blocks(uint8_t* const* blocks, int count, int32_t blocksize) {
  const size_t length = static_cast<size_t>(blocksize) - TRAILER_LEN + 2;
  uint8_t digests[digest_group][DIGEST_LEN];
  for (int first = 0; first < count; first += digest_group) {
    const int group = std::min(digest_group, count - first);
    digest_many(blocks + first, length, group, digests);
    for (int i = 0; i < group; i++) memcpy(blocks[first + i] + length, digests[i], DIGEST_LEN);
  }
}

void seal_consecutive_blocks(uint8_t* first, int count, int32_t blocksize) {
  uint8_t* blocks[digest_group];
  for (int done = 0; done < count; done += digest_group) {
    const int group = std::min(digest_group, count - done);
    for (int b = 0; b < group; b++) blocks[b] = first + int64_t{done + b} * blocksize;
    seal_blocks(blocks, group, blocksize);
  }
}

void put_chunk_header(uint8_t* packet0, uint32_t clen, int32_t chunk_id) {
  const uint32_t id = static_cast<uint32_t>(chunk_id);
  for (int i = 0; i < 4; i++) {
    packet0[i] = static_cast<uint8_t>(clen >> (24 - 8 * i));
    packet0[4 + i] = static_cast<uint8_t>(id >> (24 - 8 * i));
  }
}

namespace {

uint32_t get_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

uint32_t get_clen(const uint8_t* packet0) { return get_be32(packet0); }

int32_t get_chunk_id(const uint8_t* packet0) { return static_cast<int32_t>(get_be32(packet0 + 4)); }
