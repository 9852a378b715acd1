// SPDX-License-Identifier: MIT
// format.h - the protected stream's chunk header and block trailer.
//
// A chunk is n blocks of blocksize bytes. Block i holds packet i of the chunk (payload_len bytes)
// followed by an 18-byte trailer: block_index (i), k_byte (k mod 256) and the MD5 digest of the
// payload and those two bytes. Data packet 0 opens with the 8-byte chunk header: clen (user bytes
// in the chunk, big-endian unsigned) and chunk_id (big-endian signed; -1 marks the last chunk).
#pragma once

#include <cstdint>

#include "stream/digest.h"

constexpr int TRAILER_LEN = 2 + DIGEST_LEN;
constexpr int HEADER_LEN = 8;

// ok[i] = whether the digest in the trailer of blocks[i] (blocksize bytes) matches its first
// blocksize - TRAILER_LEN + 2 bytes, for i in 0 .. count-1, the blocks digested together.
void verify_blocks(const uint8_t* const* blocks, int count, int32_t blocksize, bool* ok);

// The trailer's block_index and k_byte of a block of blocksize bytes.
uint8_t get_block_index(const uint8_t* block, int32_t blocksize);
uint8_t get_k_byte(const uint8_t* block, int32_t blocksize);

// Stores the digest of each of the count blocks, whose payload, block_index and k_byte are in
// place.
void seal_blocks(uint8_t* const* blocks, int count, int32_t blocksize);

// As seal_blocks(), for count blocks that lie one after the other from first on.
void seal_consecutive_blocks(uint8_t* first, int count, int32_t blocksize);

// The chunk header at the start of data packet 0.
void put_chunk_header(uint8_t* packet0, uint32_t clen, int32_t chunk_id);
uint32_t get_clen(const uint8_t* packet0);
int32_t get_chunk_id(const uint8_t* packet0);
