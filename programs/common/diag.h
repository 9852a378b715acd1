// SPDX-License-Identifier: MIT
// diag.h - fatal messages, reports, and the allocation and open helpers of every program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// The invocation name, prefix of every fatal message; null until the driver sets it.
extern const char* program_name;

// Writes "<program_name>: ", the message and a newline to standard error, then exits with status 1.
[[noreturn]] void die(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes the message to standard error exactly as formatted (no prefix, no added newline).
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The status line: one line on standard error that is drawn again and again in place (after a
// carriage return) and never ends in a newline. note() and die() clear it before their message, so
// that it never shares a line with one. status_clear() writes nothing when no line is shown.
void status_show(const char* line);
void status_clear();

// malloc(nbytes), or die with "can't malloc(%d)". The block is not cleared.
void* alloc_or_die(uint64_t nbytes);

// As alloc_or_die(), at an address that is a multiple of alignment (a power of two, at least the
// size of a pointer); free() releases it.
void* alloc_aligned_or_die(uint64_t nbytes, size_t alignment);

// The alignment of the programs' large stdio buffers: a page, which the kernel copies into and out
// of fastest.
inline constexpr size_t page_alignment = 4096;

// fopen(path, mode), or die with "can't open '<path>'" ("write" for a mode not starting with r).
FILE* open_or_die(const char* path, const char* mode);
