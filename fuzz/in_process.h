// SPDX-License-Identifier: MIT
// in_process.h - what the fuzz targets that run the program's code in-process share: fatal
// failures turned into exceptions, standard output and error captured, a memory file as the
// seekable input, and the encoder run on a buffer.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "frontend/diag.h"
#include "fuzz/input_reader.h"
#include "stream/context.h"
#include "stream/rules.h"
#include "stream/stream.h"

namespace fuzz_harness {

struct fatal_exit {};

inline const char* target_name = "fuzz";
// The one run of the target at a time: its settings, codec and buffers.
inline stream_context context;
inline int memory_file = -1;  // the seekable input

[[noreturn]] inline void fail(const char* what) {
  fprintf(stderr, "%s: %s (k %d, n %d, blocksize %d)\n", target_name, what, context.config.k,
          context.config.n, context.config.blocksize);
  abort();
}

// Once per process: die() throws fatal_exit, and the memory file is made.
inline void init_once(const char* name) {
  if (memory_file >= 0) return;
  target_name = name;
  memory_file = memfd_create(name, 0);
  if (memory_file < 0) {
    perror(name);
    abort();
  }
  set_fatal_handler([] { throw fatal_exit{}; });
}

// Takes n, k and the block size from the input (one byte each, mapped into small ranges) and sets
// the context's settings to them, everything else at its default; false when kestrune would refuse
// them.
inline bool configure_from(reader& in) {
  const int n = 2 + in.byte() % 23;
  const int k = 1 + in.byte() % n;
  const int blocksize = MIN_BLOCKSIZE + in.byte();
  if (params_error({blocksize, n, k}) != nullptr) return false;
  context.config = run_settings{};
  context.config.n = n;
  context.config.k = k;
  context.config.blocksize = blocksize;
  return true;
}

struct outcome {
  bool completed;      // no fatal failure
  std::string output;  // standard output
  std::string errors;  // standard error
};

// Runs the routine with standard output and standard error captured in memory; a fatal failure
// (die()) ends it early.
template <typename Routine>
outcome run_captured(Routine routine) {
  char* out_bytes = nullptr;
  size_t out_length = 0;
  char* err_bytes = nullptr;
  size_t err_length = 0;
  FILE* out = open_memstream(&out_bytes, &out_length);
  FILE* err = open_memstream(&err_bytes, &err_length);
  if (out == nullptr || err == nullptr) fail("open_memstream failed");
  FILE* const saved_out = stdout;
  FILE* const saved_err = stderr;
  stdout = out;
  stderr = err;
  bool completed = true;
  try {
    routine();
  } catch (const fatal_exit&) {
    completed = false;
  }
  stdout = saved_out;
  stderr = saved_err;
  fclose(out);
  fclose(err);
  outcome result{completed, std::string(out_bytes, out_length), std::string(err_bytes, err_length)};
  free(out_bytes);
  free(err_bytes);
  return result;
}

// Puts the bytes in the memory file, from its start.
inline void store(const std::string& bytes) {
  if (ftruncate(memory_file, 0) != 0 ||
      (!bytes.empty() &&
       pwrite(memory_file, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))) {
    fail("can't write the memory file");
  }
}

// The decoder on the stream in the memory file, read through a FILE with positioned reads, with
// the program-wide buffers as they stand.
inline outcome decode_memory_file(const std::string& stream) {
  store(stream);
  FILE* input = fdopen(dup(memory_file), "rb");
  if (input == nullptr) fail("fdopen failed");
  context.config.input_is_pipe = 0;
  outcome result = run_captured([input] { decode_stream(context, input); });
  fclose(input);
  return result;
}

// The stream the encoder writes for the data, read through a FILE on a descriptor (so that packets
// large enough are read with readv, the others through the FILE's buffer).
inline std::string encode_in_process(const std::string& data) {
  static const int encoder_input = memfd_create("encoder input", 0);
  if (encoder_input < 0 || ftruncate(encoder_input, 0) != 0 ||
      (!data.empty() &&
       pwrite(encoder_input, data.data(), data.size(), 0) != static_cast<ssize_t>(data.size()))) {
    fail("can't write the encoder's input");
  }
  const int fd = dup(encoder_input);
  FILE* input = fd >= 0 && lseek(fd, 0, SEEK_SET) == 0 ? fdopen(fd, "rb") : nullptr;
  if (input == nullptr) fail("can't open the encoder's input");
  const outcome encoded = run_captured([input] { encode_stream(context, input); });
  fclose(input);
  if (!encoded.completed) fail("the encoder failed on an in-memory input");
  return encoded.output;
}

}  // namespace fuzz_harness
