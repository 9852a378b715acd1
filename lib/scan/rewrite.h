// SPDX-License-Identifier: MIT
// rewrite.h - writing restored user data as the protected stream that kestrune writes for it.
//
// The bytes handed in are cut into chunks exactly as the encoder cuts its input: full chunks of
// the capacity, numbered from 0, and the last one numbered -1, which the encoder knows only when
// its input ends; so a full chunk goes out once a byte after it has arrived, or at the end as the
// last. A chunk is laid out, its parity computed and its blocks sealed as stream/encode.cpp does;
// or, when the caller hands in a chunk's original blocks and they are what the encoder writes for
// the same bytes and number, those blocks go out as they are, which costs no parity and no digest.
//
// Works in the stream context it is given: its settings, and the codec setup_buffers() made.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "stream/context.h"

// Receives the repaired stream, in order; false when it failed.
using stream_sink = std::function<bool(const uint8_t* data, size_t count)>;

class stream_rewriter {
 public:
  // Writes to out (not owned); with null, nothing is written and nothing is computed.
  stream_rewriter(const stream_context& ctx, const stream_sink* out);
  stream_rewriter(const stream_rewriter&) = delete;
  stream_rewriter& operator=(const stream_rewriter&) = delete;

  // Appends the user bytes of one restored chunk (length at most the capacity). `blocks`, when
  // not empty, are the n blocks that the encoder writes for exactly these bytes under chunk_id
  // (header, zeros after the data, parity, trailers: the caller has checked them all); they are
  // taken over and written instead of a new encoding when the chunk keeps that number here.
  void add(const uint8_t* data, int64_t length, std::vector<uint8_t>&& blocks, int32_t chunk_id);

  // Writes what is held as the last chunk. A write that fails fails with "write error on the
  // repaired stream".
  void finish();

  int64_t written() const { return written_; }

 private:
  void write_held(int32_t chunk_id);
  void encode_held(int32_t chunk_id);
  void put(const uint8_t* bytes, size_t count);

  const stream_context& ctx_;
  const stream_sink* out_;
  int64_t capacity_;
  std::vector<uint8_t> held_;      // user bytes not yet written, at most the capacity
  std::vector<uint8_t> original_;  // the original blocks of held_, when it is one whole chunk
  int32_t original_id_ = 0;
  uint32_t next_id_ = 0;
  std::vector<uint8_t> chunk_;  // the chunk being laid out: n blocks
  int64_t written_ = 0;
};
