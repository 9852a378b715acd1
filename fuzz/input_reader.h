// SPDX-License-Identifier: MIT
// input_reader.h - the fuzz targets' way of taking parameters and choices from the front of an
// input.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads bytes from the front of the input; zero once it is used up.
struct reader {
  const uint8_t* data;
  size_t size;
  uint8_t byte() {
    if (size == 0) return 0;
    size--;
    return *data++;
  }
};
