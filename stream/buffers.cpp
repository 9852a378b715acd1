// SPDX-License-Identifier: MIT
// buffers.cpp - a context's codec and its one chunk area.
#include "stream/buffers.h"

#include <algorithm>
#include <cstdlib>

#include "frontend/diag.h"
#include "stream/format.h"

namespace {

// A batch aims at about this many bytes: large enough for few system calls and full multi-lane
// digest passes, small enough to stay in the second-level cache. 288 KiB is sixteen chunks of the
// default geometry, whose first rounds (15 blocks each) fill ten passes of 24 lanes exactly.
// bench/sweep rebuilds with other values to measure them.
#ifndef KESTRUNE_SWEEP_BATCH_BYTES
#define KESTRUNE_SWEEP_BATCH_BYTES (288 * 1024)
#endif
constexpr int64_t batch_target_bytes = KESTRUNE_SWEEP_BATCH_BYTES;
constexpr int max_batch_chunks = 16;

}  // namespace

void setup_buffers(stream_context& ctx) {
  const int k = ctx.config.k;
  const int n = ctx.config.n;
  const int blocksize = ctx.config.blocksize;
  // (k, n) are valid here, so the codec's own check passes; its allocation failures end the
  // process.
  ctx.codec = fec_create(k, n);

  const int64_t chunk_bytes = int64_t{n} * blocksize;
  ctx.batch_chunks = static_cast<int32_t>(
      std::clamp<int64_t>(batch_target_bytes / chunk_bytes, 1, max_batch_chunks));
  // The batch and the work blocks: a slot holds a whole block, trailer included, since the
  // decoder reads blocks straight into the slots.
  const uint64_t area =
      static_cast<uint64_t>(ctx.batch_chunks + 1) * static_cast<uint64_t>(chunk_bytes);
  ctx.chunk_buffer = static_cast<uint8_t*>(alloc_aligned_or_die(area, io_alignment(area)));
  ctx.pkt_table = static_cast<uint8_t**>(alloc_or_die(sizeof(uint8_t*) * k));
  for (int i = 0; i < k; i++) ctx.pkt_table[i] = work_block(ctx, i);
  ctx.block_buffer =
      static_cast<uint8_t*>(alloc_aligned_or_die(blocksize, io_alignment(blocksize)));
  ctx.payload_len = blocksize - TRAILER_LEN;
  ctx.index_list = static_cast<int32_t*>(alloc_or_die(sizeof(int32_t) * k));
}

void release_buffers(stream_context& ctx) {
  fec_free(ctx.codec);
  free(ctx.chunk_buffer);
  free(ctx.pkt_table);
  free(ctx.block_buffer);
  free(ctx.index_list);
  ctx.codec = nullptr;
  ctx.chunk_buffer = nullptr;
  ctx.batch_chunks = 0;
  ctx.pkt_table = nullptr;
  ctx.block_buffer = nullptr;
  ctx.index_list = nullptr;
}
