// SPDX-License-Identifier: MIT
// damage.h - damaging a protected stream the way media and transports do: changed bytes, lost,
// exchanged and foreign blocks, exchanged chunks, cut or extended ends; and resealing a block
// after a deliberate edit so that it passes as intact.
//
// Blocks are named by chunk and position; offsets inside a block run over the packet (0 ..
// payload_len() - 1) and then the trailer (index_byte(), k_byte(), digest() .. blocksize - 1).
// Every function throws std::out_of_range when the block or range does not lie in the stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "tests/support/geometry.h"

namespace kestrune::test {

struct block_ref {
  uint64_t chunk = 0;
  int position = 0;
};

uint64_t block_offset(const stream_geometry& g, block_ref where);

// The bytes of one block.
std::string_view block_bytes(const std::string& stream, const stream_geometry& g, block_ref where);

// Inverts count bytes of the block from offset on.
void flip_bytes(std::string& stream, const stream_geometry& g, block_ref where, size_t offset,
                size_t count = 1);
// Puts bytes into the block at offset.
void overwrite_bytes(std::string& stream, const stream_geometry& g, block_ref where, size_t offset,
                     std::string_view bytes);
void zero_block(std::string& stream, const stream_geometry& g, block_ref where);
// Deletes the block: everything behind it moves forward by one block.
void drop_block(std::string& stream, const stream_geometry& g, block_ref where);
void swap_blocks(std::string& stream, const stream_geometry& g, block_ref a, block_ref b);
void swap_chunks(std::string& stream, const stream_geometry& g, uint64_t a, uint64_t b);
void truncate_at(std::string& stream, uint64_t offset);
void append_bytes(std::string& stream, std::string_view bytes);
// Replaces the block with block `from` of `other`, a stream of the same blocksize.
void splice_block(std::string& stream, const stream_geometry& g, block_ref at,
                  const std::string& other, block_ref from);

// Recomputes the block's digest over its packet, index byte and k byte.
void reseal_block(std::string& stream, const stream_geometry& g, block_ref where);
// Writes the chunk header (clen, chunk_id) into data packet 0 of the chunk, reseals block 0 and
// computes the chunk's parity blocks anew: the chunk that an encoder writing that header gives.
void set_chunk_header(std::string& stream, const stream_geometry& g, uint64_t chunk, uint32_t clen,
                      int32_t chunk_id);

// The same damage on a stream stored in a file, which is changed in place.
void flip_bytes_in_file(const std::string& path, const stream_geometry& g, block_ref where,
                        size_t offset, size_t count = 1);
void zero_block_in_file(const std::string& path, const stream_geometry& g, block_ref where);

}  // namespace kestrune::test
