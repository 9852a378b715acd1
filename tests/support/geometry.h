// SPDX-License-Identifier: MIT
// geometry.h - the parameters of a protected stream as every test names them, and the sizes and
// offsets that follow from them. Always written with designated initialisers, so that the three
// numbers cannot be taken for one another: {.blocksize = 1024, .n = 18, .k = 14}; the defaults are
// the program's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrune::test {

struct stream_geometry {
  int blocksize = 1024;  // bytes per block: packet and trailer
  int n = 18;            // blocks per chunk
  int k = 14;            // data blocks per chunk

  // A block is its packet, then the trailer: index byte, k byte, 16-byte digest.
  size_t payload_len() const { return static_cast<size_t>(blocksize) - 18; }
  size_t index_byte() const { return payload_len(); }
  size_t k_byte() const { return payload_len() + 1; }
  size_t digest() const { return payload_len() + 2; }
  uint64_t chunk_bytes() const { return uint64_t(n) * static_cast<uint64_t>(blocksize); }
  // User bytes a chunk carries: its data packets less the 8-byte chunk header.
  size_t capacity() const { return static_cast<size_t>(k) * payload_len() - 8; }
  uint64_t chunk_offset(uint64_t chunk) const { return chunk * chunk_bytes(); }
};

}  // namespace kestrune::test
