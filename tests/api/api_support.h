// SPDX-License-Identifier: MIT
// api_support.h - driving the library from the tests through its public header alone: an encoder
// or decoder fed pushed or pulled bytes from memory, its output and reports collected.
#pragma once

#include <cstdint>
#include <string>

#include "kestrune.h"

namespace kestrune::test::api {

// The output, the report lines and the result of one run, with the failure's message.
struct run_result {
  kestrune_result result = KESTRUNE_OK;
  std::string message;
  std::string output;
  std::string reports;
};

// Callbacks that collect the output and the report lines into `into`.
kestrune_callbacks collecting(run_result& into);

enum class feed { pushed, pulled };
enum class source { pushed, file, pipe };

// Encodes the data; pushed in pieces of uneven sizes (`piece` is the first), or pulled through the
// pieces callback.
run_result encode(const kestrune_params& params, const std::string& data, feed how,
                  size_t piece = 1);

// Decodes the stream from memory, the one way.
run_result decode(const kestrune_params& params, const std::string& stream, source how,
                  int verbose = 0);

// A stream in memory as a scanner's source, read with positioned reads or in order; a read in
// order fails once `fail_at` bytes have been given.
struct memory_input {
  std::string bytes;
  bool seekable = true;
  size_t position = 0;
  size_t fail_at = SIZE_MAX;

  kestrune_source source();
};

// Bytes that tell their place: byte i of the data made with `salt`.
std::string patterned(size_t size, uint64_t salt);

}  // namespace kestrune::test::api
