// SPDX-License-Identifier: MIT
// io.h - the program's side of the library's input and output: standard output as the write
// callback, and the readers that take the input from a FILE or its descriptor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kestrune.h"

// The write callback: the pieces to standard output in order, with as few writev() calls as the
// system allows, after what stdio holds; through fwrite() when standard output has no descriptor
// (a memory stream). Nonzero when a write fails.
int write_stdout(void* user, const kestrune_piece* pieces, int count);

// The encoder's input (kestrune_read_pieces, user: a piece_reader): readv() straight into the
// pieces from the descriptor; or fread() piece by piece through the FILE's buffer, for a FILE
// without a descriptor and for pieces so small that a vector element per piece would cost more
// than the copy (fd < 0).
struct piece_reader {
  FILE* file = nullptr;
  int fd = -1;
};
int64_t read_pieces(void* user, kestrune_piece* pieces, int count, int* failed);

// Pieces at least this long are read from the descriptor directly.
inline constexpr int direct_piece_min = 128;

// The decoder's input from a file (kestrune_read_at, user: a pointer to the descriptor):
// positioned reads that go on until the bytes asked for are in, the end of the file or the first
// failure. An interrupted read is resumed.
size_t read_file_at(void* user, void* dest, size_t size, int64_t offset);

// The decoder's input from a pipe (kestrune_read, user: the FILE).
size_t read_stream(void* user, void* dest, size_t size);
