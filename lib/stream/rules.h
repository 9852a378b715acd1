// SPDX-License-Identifier: MIT
// rules.h - the stream's rules that the encoder, the decoder and kestrune-scan all apply: which
// parameters make a stream, which block a chunk accepts, and the decoder's fatal messages.
#pragma once

#include <cstdint>
#include <string>

#include "stream/format.h"

// The smallest block: a packet as long as the chunk header, and the trailer. Block 0 then holds
// nothing but the header, and a chunk of two or more data packets has room for user bytes.
constexpr int32_t MIN_BLOCKSIZE = HEADER_LEN + TRAILER_LEN;

// A stream's parameters.
struct stream_params {
  int32_t blocksize = 0;
  int32_t n = 0;
  int32_t k = 0;
};

// Which of them are known yet (kestrune-scan checks what it was given before it probes the rest).
struct known_params {
  bool blocksize = true;
  bool n = true;
  bool k = true;
};

// Checks every rule that the known parameters take part in: n within 2 .. 256, k within 1 .. 256
// and not above n; a blocksize of at least MIN_BLOCKSIZE whose chunk stays below 2^31 bytes and has
// room for at least one user byte beside its header. Returns null when they hold, else the
// message kestrune stops with ("invalid (k, n)" or "invalid blocksize").
const char* params_error(const stream_params& p, known_params known = {});

// The user bytes a chunk holds: k packets of blocksize - TRAILER_LEN bytes, less the header.
int64_t chunk_capacity(int32_t blocksize, int32_t k);

// How a block that was read whole fares in a chunk, checked in this order. A block with another
// k byte stops the decoder ("incorrect K value") wherever it stands among the blocks it needs.
enum class block_fit : uint8_t {
  accepted,     // intact, of this stream's k, and its index is its position
  digest,       // its digest is wrong
  other_k,      // intact, but written with another k
  other_index,  // intact, but another position's block
};
block_fit judge_block(const uint8_t* block, bool digest_ok, int position, int32_t blocksize,
                      int32_t k);

// The decoder's fatal messages, as kestrune prints them after "<program>: ". kestrune-scan
// predicts them with the same texts.
inline constexpr const char* MSG_INCORRECT_K = "incorrect K value";
inline constexpr const char* MSG_TOO_MANY_BAD = "unrecoverable error -- too many bad blocks";
inline constexpr const char* MSG_INCONSISTENT = "unrecoverable error -- inconsistent blocks";
// "chunk out of order at <chunk_base> id <chunk_id> expecting <expected_id>", the two ids as the
// unsigned values of their 32 bits.
std::string msg_out_of_order(int64_t chunk_base, uint32_t chunk_id, uint32_t expected_id);
