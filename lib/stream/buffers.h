// SPDX-License-Identifier: MIT
// buffers.h - making a context's codec and chunk area, for its settings.
#pragma once

#include <cstdint>

#include "stream/context.h"

// Creates the codec and allocates the chunk area, pkt_table, block_buffer and index_list for the
// context's settings (k, n and blocksize valid), and sets payload_len and batch_chunks. The chunk
// area starts on a page, so every block in it is as aligned as its blocksize allows. Fails with
// "can't malloc(<bytes>)", with nothing left allocated.
void setup_buffers(stream_context& ctx);

// Releases what setup_buffers() allocated; the context may be set up again.
void release_buffers(stream_context& ctx);

// Block `index` of chunk `chunk` (0 .. batch_chunks-1) of the batch in the chunk area.
inline uint8_t* batch_block(const stream_context& ctx, int chunk, int index) {
  const int64_t block = int64_t{chunk} * ctx.config.n + index;
  return ctx.chunk_buffer + block * ctx.config.blocksize;
}

// Work block `index` (0 .. n-1), after the batch.
inline uint8_t* work_block(const stream_context& ctx, int index) {
  return batch_block(ctx, ctx.batch_chunks, index);
}
