// SPDX-License-Identifier: MIT
// buffers.cpp - a context's codec and its one chunk area.
#include "stream/buffers.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>

#include "stream/failure.h"
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

// A huge page on x86-64 and most other 64-bit systems.
constexpr size_t huge_page_bytes = size_t{2} << 20;

// The alignment for a buffer of nbytes: a huge page for buffers of two huge pages or more, a page
// for other large ones, a cache line for the others. The kernel copies into and out of such buffers
// fastest.
size_t io_alignment(uint64_t nbytes) {
  if (nbytes >= 2 * huge_page_bytes) return huge_page_bytes;
  return nbytes >= 16384 ? 4096 : 64;
}

// nbytes at an address that io_alignment() gives, or a failure; free() releases it.
void* alloc_aligned(uint64_t nbytes) {
  const size_t alignment = io_alignment(nbytes);
  void* block = nullptr;
  if (posix_memalign(&block, alignment, nbytes > 0 ? nbytes : 1) != 0) {
    fail(KESTRUNE_ERROR_MEMORY, "can't malloc(%d)", static_cast<int>(nbytes));
  }
#ifdef MADV_HUGEPAGE
  // Whole huge pages: the codec reads every packet of a chunk a stripe at a time, a page of each
  // at once, which with small pages costs a TLB miss per packet; and the first touch faults once
  // per huge page. Only a hint: where the kernel declines, small pages serve as before.
  if (alignment >= huge_page_bytes) madvise(block, nbytes, MADV_HUGEPAGE);
#endif
  return block;
}

void* alloc(uint64_t nbytes) {
  void* block = malloc(nbytes);
  if (block == nullptr) fail(KESTRUNE_ERROR_MEMORY, "can't malloc(%d)", static_cast<int>(nbytes));
  return block;
}

void set_up(stream_context& ctx) {
  const int k = ctx.config.k;
  const int n = ctx.config.n;
  const int blocksize = ctx.config.blocksize;
  // The codec's messages go to the report callback.
  ctx.codec_reporter = {[](void* user, const char* message) {
                          const kestrune_callbacks& c =
                              *static_cast<const kestrune_callbacks*>(user);
                          if (c.report != nullptr) c.report(c.user, message);
                        },
                        &ctx.callbacks};
  // (k, n) are valid here, so the codec's own check passes; it fails only when memory is short,
  // and has then reported which allocation failed.
  ctx.codec = fec_create(k, n, &ctx.codec_reporter);
  if (ctx.codec == nullptr) fail(KESTRUNE_ERROR_MEMORY, "can't malloc");

  const int64_t chunk_bytes = int64_t{n} * blocksize;
  ctx.batch_chunks = static_cast<int32_t>(
      std::clamp<int64_t>(batch_target_bytes / chunk_bytes, 1, max_batch_chunks));
  // The batch and the work blocks: a slot holds a whole block, trailer included, since the
  // decoder reads blocks straight into the slots.
  const uint64_t area =
      static_cast<uint64_t>(ctx.batch_chunks + 1) * static_cast<uint64_t>(chunk_bytes);
  ctx.chunk_buffer = static_cast<uint8_t*>(alloc_aligned(area));
  ctx.pkt_table = static_cast<uint8_t**>(alloc(sizeof(uint8_t*) * k));
  for (int i = 0; i < k; i++) ctx.pkt_table[i] = work_block(ctx, i);
  ctx.block_buffer = static_cast<uint8_t*>(alloc_aligned(blocksize));
  ctx.payload_len = blocksize - TRAILER_LEN;
  ctx.index_list = static_cast<int32_t*>(alloc(sizeof(int32_t) * k));
}

}  // namespace

void setup_buffers(stream_context& ctx) {
  try {
    set_up(ctx);
  } catch (const stream_failure&) {
    release_buffers(ctx);
    throw;
  }
}

void release_buffers(stream_context& ctx) {
  if (ctx.codec != nullptr) fec_free(ctx.codec, nullptr);
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
