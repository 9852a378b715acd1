// SPDX-License-Identifier: MIT
// buffers.h - making the run's codec and chunk area, for run_config as the driver or kestrune-scan
// has set it.
#pragma once

#include <cstdint>

#include "frontend/program.h"

// Creates the codec and allocates the chunk area, pkt_table, block_buffer and index_list for the
// current run_config (k, n and blocksize valid), and sets payload_len and batch_chunks. The chunk
// area starts on a page, so every block in it is as aligned as its blocksize allows.
void setup_buffers();

// Releases what setup_buffers() allocated, for in-process callers that run several configurations.
void release_buffers();

// Block `index` of chunk `chunk` (0 .. batch_chunks-1) of the batch in the chunk area.
inline uint8_t* batch_block(int chunk, int index) {
  const int64_t block = int64_t{chunk} * run_config.n + index;
  return chunk_buffer + block * run_config.blocksize;
}

// Work block `index` (0 .. n-1), after the batch.
inline uint8_t* work_block(int index) { return batch_block(batch_chunks, index); }
