// format.cpp - chunk headers and block trailers: writing, reading and checking them.
#include "stream/format.h"

#include <md5.h>

#include <cstring>

#include "frontend/program.h"

bool verify_block(const uint8_t* block) {
  MD5_CTX context;
  uint8_t digest[DIGEST_LEN];
  MD5Init(&context);
  MD5Update(&context, block, payload_len + 2);
  MD5Final(digest, &context);
  return memcmp(digest, block + payload_len + 2, DIGEST_LEN) == 0;
}

void seal_block_trailer(const uint8_t* payload, int index, uint8_t* trailer) {
  trailer[0] = static_cast<uint8_t>(index);
  trailer[1] = static_cast<uint8_t>(run_config.k);
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, payload, payload_len);
  MD5Update(&context, trailer, 2);
  MD5Final(trailer + 2, &context);
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
