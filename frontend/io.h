// io.h - positioned reads that go on until the bytes asked for are in.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads count bytes at offset into dest, stopping at the end of the input or at the first
// failure; returns how many arrived. An interrupted read is resumed.
size_t pread_full(int fd, uint8_t* dest, size_t count, int64_t offset);
