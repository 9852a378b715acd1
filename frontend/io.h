// SPDX-License-Identifier: MIT
// io.h - positioned reads that go on until the bytes asked for are in, and output written straight
// from where its bytes lie.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

// Reads count bytes at offset into dest, stopping at the end of the input or at the first
// failure; returns how many arrived. An interrupted read is resumed.
size_t pread_full(int fd, uint8_t* dest, size_t count, int64_t offset);

// After a readv() or writev() that moved `done` bytes of pieces[t ..]: the pieces it filled or
// wrote whole are passed, the one it ended inside keeps its rest. Returns the first piece left.
int skip_pieces(iovec* pieces, int t, size_t done);

// Standard output, written without a copy into its stdio buffer: output_bytes() queues a piece,
// which must stay as it is until output_flush() has written every queued piece in order with as
// few writev() calls as the system allows. A full queue is written at once. When standard output
// has no descriptor (a memory stream), each piece goes through fwrite() at once instead. Both die
// with "write error" when a write fails.
void output_bytes(const uint8_t* bytes, size_t count);
void output_flush();

// Writes what is queued as far as it can, quietly: die() and the exit call it, so that a fatal
// failure keeps the output before it, as a stdio buffer flushed at exit would.
void output_write_queued();
