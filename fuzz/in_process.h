// SPDX-License-Identifier: MIT
// in_process.h - what the fuzz targets that run the library in-process share: the settings of the
// input being run, a memory file as the scan's seekable input, and the library's encoder and
// decoder run on buffers.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz/input_reader.h"
#include "kestrune.h"
#include "stream/context.h"
#include "stream/rules.h"

namespace fuzz_harness {

inline const char* target_name = "fuzz";
// The settings of the input being run: its parameters and report level.
inline run_settings config;
inline int memory_file = -1;  // the seekable input

[[noreturn]] inline void fail(const char* what) {
  fprintf(stderr, "%s: %s (k %d, n %d, blocksize %d)\n", target_name, what, config.k, config.n,
          config.blocksize);
  abort();
}

// Once per process: the memory file is made.
inline void init_once(const char* name) {
  if (memory_file >= 0) return;
  target_name = name;
  memory_file = memfd_create(name, 0);
  if (memory_file < 0) {
    perror(name);
    abort();
  }
}

// Takes n, k and the block size from the input (one byte each, mapped into small ranges) and sets
// the settings to them, everything else at its default; false when kestrune would refuse them.
inline bool configure_from(reader& in) {
  const int n = 2 + in.byte() % 23;
  const int k = 1 + in.byte() % n;
  const int blocksize = MIN_BLOCKSIZE + in.byte();
  if (params_error({blocksize, n, k}) != nullptr) return false;
  config = run_settings{};
  config.n = n;
  config.k = k;
  config.blocksize = blocksize;
  return true;
}

// A run of the library's decoder: whether it completed, the bytes it wrote, and its reports
// followed by the failure's message, as the program prints them on standard error.
struct outcome {
  bool completed;
  std::string output;
  std::string errors;
};

// Puts the bytes in the memory file, from its start.
inline void store(const std::string& bytes) {
  if (ftruncate(memory_file, 0) != 0 ||
      (!bytes.empty() &&
       pwrite(memory_file, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))) {
    fail("can't write the memory file");
  }
}

// What the library's callbacks receive, collected.
struct collected {
  std::string output;
  std::string reports;
};

inline kestrune_callbacks collecting(collected& into) {
  kestrune_callbacks callbacks{};
  callbacks.user = &into;
  callbacks.write = [](void* user, const kestrune_piece* pieces, int count) {
    for (int t = 0; t < count; t++) {
      static_cast<collected*>(user)->output.append(static_cast<const char*>(pieces[t].data),
                                                   pieces[t].size);
    }
    return 0;
  };
  callbacks.report = [](void* user, const char* line) {
    static_cast<collected*>(user)->reports += line;
  };
  return callbacks;
}

inline kestrune_params settings_params() { return {config.blocksize, config.n, config.k}; }

// How the decoder takes the stream.
enum class decode_way { file, pipe, pushed };

// The library's decoder on the stream, with the settings' parameters and report level; errors
// hold the reports, then the failure's message and a newline, as the program prints them without
// its name.
inline outcome decode_through_library(const std::string& stream, decode_way way) {
  collected got;
  const kestrune_callbacks callbacks = collecting(got);
  const kestrune_params params = settings_params();
  const kestrune_settings settings{config.verbose, 0, nullptr};
  kestrune_decoder* decoder = kestrune_decoder_create(&params, &callbacks, &settings);
  if (decoder == nullptr) fail("can't create a decoder");
  struct cursor {
    const std::string& bytes;
    size_t at = 0;
  } in{stream};
  kestrune_result result = KESTRUNE_OK;
  switch (way) {
    case decode_way::file:
      result = kestrune_decode_file(
          decoder,
          [](void* user, void* dest, size_t size, int64_t offset) -> size_t {
            const std::string& bytes = static_cast<cursor*>(user)->bytes;
            if (offset < 0 || static_cast<size_t>(offset) >= bytes.size()) return 0;
            const size_t n = std::min(size, bytes.size() - static_cast<size_t>(offset));
            memcpy(dest, bytes.data() + offset, n);
            return n;
          },
          &in);
      break;
    case decode_way::pipe:
      result = kestrune_decode_pipe(
          decoder,
          [](void* user, void* dest, size_t size) -> size_t {
            cursor& c = *static_cast<cursor*>(user);
            const size_t n = std::min(size, c.bytes.size() - c.at);
            memcpy(dest, c.bytes.data() + c.at, n);
            c.at += n;
            return n;
          },
          &in);
      break;
    case decode_way::pushed:
      // Pieces of uneven sizes, so that blocks and chunks arrive cut anywhere.
      for (size_t at = 0, piece = 1; at < stream.size() && result == KESTRUNE_OK;
           at += piece, piece = piece * 7 % 4099 + 1) {
        result =
            kestrune_decoder_push(decoder, stream.data() + at, std::min(piece, stream.size() - at));
      }
      if (result == KESTRUNE_OK) result = kestrune_decoder_end(decoder);
      break;
  }
  outcome o{result == KESTRUNE_OK, std::move(got.output), std::move(got.reports)};
  if (result != KESTRUNE_OK) o.errors += std::string(kestrune_decoder_message(decoder)) + "\n";
  kestrune_decoder_free(decoder);
  return o;
}

inline outcome decode_memory_file(const std::string& stream) {
  return decode_through_library(stream, decode_way::file);
}

// The stream the library's encoder writes for the data, pushed in pieces of uneven sizes.
inline std::string encode_in_process(const std::string& data) {
  collected got;
  const kestrune_callbacks callbacks = collecting(got);
  const kestrune_params params = settings_params();
  const kestrune_settings settings{config.verbose, 0, nullptr};
  kestrune_encoder* encoder = kestrune_encoder_create(&params, &callbacks, &settings);
  if (encoder == nullptr) fail("can't create an encoder");
  kestrune_result result = KESTRUNE_OK;
  for (size_t at = 0, piece = 1; at < data.size() && result == KESTRUNE_OK;
       at += piece, piece = piece * 5 % 8191 + 1) {
    result = kestrune_encoder_push(encoder, data.data() + at, std::min(piece, data.size() - at));
  }
  if (result == KESTRUNE_OK) result = kestrune_encoder_end(encoder);
  kestrune_encoder_free(encoder);
  if (result != KESTRUNE_OK) fail("the encoder failed on an in-memory input");
  return got.output;
}

}  // namespace fuzz_harness
