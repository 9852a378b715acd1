// SPDX-License-Identifier: MIT
// probe.h - finding a stream's blocksize, n and k from its first bytes, when the command line
// does not give them: kestrune-scan's probe, and kestrune's --detect.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The probe looks at the input's first MiB, and when that does not tell, at its first 32 MiB
// (all of it when shorter).
inline constexpr size_t probe_first_window = size_t{1} << 20;
inline constexpr size_t probe_window = size_t{32} << 20;

// How n was told.
enum class n_basis : uint8_t {
  given,
  period,         // intact blocks of later chunks: the block indexes restart every n blocks
  chunk_numbers,  // the chunk numbers in intact chunk headers and their places
  stream_length,  // the stream's length: a whole number of chunks, or ending with the last chunk
  bound,          // 256, the most there can be (k is 256, or block index 255 was seen)
};

struct probe_result {
  int32_t blocksize = 0;
  int32_t n = 0;
  int32_t k = 0;
  bool blocksize_given = false;
  bool k_given = false;
  n_basis n_from = n_basis::given;

  // The evidence, when something was found: the blocks examined at the blocksize (at block
  // offsets within the probe window) and how many of them are intact,
  int64_t examined = 0;
  int64_t intact = 0;
  // how many intact blocks carry the k byte of k, and how many another one,
  int64_t k_agree = 0;
  int64_t k_other = 0;
  // how many intact blocks of later chunks stand where n puts them, and how many do not fit n,
  int64_t n_agree = 0;
  int64_t n_disagree = 0;
  // and whether every intact block seen lies in the first chunk.
  bool one_chunk = false;
};

// What the command line gave (0 = find it).
struct probe_request {
  int32_t blocksize = 0;
  int32_t n = 0;
  int32_t k = 0;
};

// The input the probe reads.
struct probe_input {
  // The first min(limit, length) bytes of the input; a later call with a larger limit reads more.
  std::function<const std::vector<uint8_t>&(size_t limit)> head;
  // The input's length in bytes, -1 while it is not known (asked after head()).
  std::function<int64_t()> size;
};

// Finds what the request leaves at 0. When the probe cannot decide it fails with
// KESTRUNE_ERROR_NOT_FOUND and the message "parameters not found: <why>; give ..."; it never picks
// one of several answers that fit.
probe_result probe_parameters(const probe_input& input, const probe_request& given);
