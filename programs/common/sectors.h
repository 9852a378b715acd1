// SPDX-License-Identifier: MIT
// sectors.h - positioned reads of a file or a block device that ask the device for an unreadable
// sector once: a read that fails is taken again a sector at a time, a sector that fails is read as
// zeros and remembered, and every later read gives it as zeros without touching the device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The unit a device fails in, at the finest.
inline constexpr int64_t read_sector_bytes = 512;

// The sectors of one input found unreadable.
struct unreadable_sectors {
  std::vector<int64_t> numbers;  // offset / read_sector_bytes, ascending
};

// Reads count bytes at offset of fd into dest, stopping at the end of the input; bytes of an
// unreadable sector (known before, or found now) are zeros. Returns how many bytes lie before the
// end of the input, zeros included. A read that fails or comes back short is followed, up to the
// next MiB boundary, by reads of one sector each, so that the device is asked for a failing sector
// once more at most after the read that met it; the sectors that fail are added to known.
size_t pread_sectors(int fd, uint8_t* dest, size_t count, int64_t offset,
                     unreadable_sectors& known);

// Whether bytes [offset, offset + count) hold no sector known to be unreadable.
bool sectors_readable(const unreadable_sectors& known, int64_t offset, int64_t count);
