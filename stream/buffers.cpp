// SPDX-License-Identifier: MIT
// buffers.cpp - the run's codec and its one chunk area.
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

void setup_buffers() {
  const int k = run_config.k;
  const int n = run_config.n;
  const int blocksize = run_config.blocksize;
  // (k, n) are valid here, so the codec's own check passes; when its allocations fail, it has said
  // so on standard error and the process ends.
  const fec_reporter reporter = stderr_reporter();
  codec = fec_create(k, n, &reporter);
  if (codec == nullptr) exit(1);

  const int64_t chunk_bytes = int64_t{n} * blocksize;
  batch_chunks = static_cast<int32_t>(
      std::clamp<int64_t>(batch_target_bytes / chunk_bytes, 1, max_batch_chunks));
  // The batch and the work blocks: a slot holds a whole block, trailer included, since the
  // decoder reads blocks straight into the slots.
  const uint64_t area =
      static_cast<uint64_t>(batch_chunks + 1) * static_cast<uint64_t>(chunk_bytes);
  chunk_buffer = static_cast<uint8_t*>(alloc_aligned_or_die(area, io_alignment(area)));
  pkt_table = static_cast<uint8_t**>(alloc_or_die(sizeof(uint8_t*) * k));
  for (int i = 0; i < k; i++) pkt_table[i] = work_block(i);
  block_buffer = static_cast<uint8_t*>(alloc_aligned_or_die(blocksize, io_alignment(blocksize)));
  payload_len = blocksize - TRAILER_LEN;
  index_list = static_cast<int32_t*>(alloc_or_die(sizeof(int32_t) * k));
}

void release_buffers() {
  const fec_reporter reporter = stderr_reporter();
  fec_free(codec, &reporter);
  free(chunk_buffer);
  free(pkt_table);
  free(block_buffer);
  free(index_list);
  codec = nullptr;
  chunk_buffer = nullptr;
  batch_chunks = 0;
  pkt_table = nullptr;
  block_buffer = nullptr;
  index_list = nullptr;
}
