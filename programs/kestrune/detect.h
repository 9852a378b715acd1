// SPDX-License-Identifier: MIT
// detect.h - kestrune -d --detect: the stream's blocksize, n and k found from its intact blocks by
// the probe kestrune-scan uses, from a file or from a pipe.
#pragma once

#include <cstdint>
#include <cstdio>
#include <vector>

#include "kestrune.h"
#include "programs/common/sectors.h"

// The input the detection reads. A pipe's head stays here, 32 MiB at most, until the decoder has
// taken it.
struct detect_input {
  int fd = -1;
  bool pipe = false;
  int64_t size = -1;  // known for a file, and for a pipe whose end the probe reached
  bool at_end = false;
  std::vector<uint8_t> head;
  unreadable_sectors unreadable;  // file: the sectors of the head that failed
  size_t served = 0;              // pipe: the head's bytes the decoder has read
};

// Finds the parameters that `given` (KESTRUNE_GIVEN_* flags) leaves open from the input's first
// bytes, or dies with "parameters not found: <why>; <advice>". The input must not have been
// read through the FILE yet. Returns the FILE to decode from: the input itself for a file; for a
// pipe, one that gives the held head and then the rest of the pipe (it reads through `held`, which
// must outlive it).
FILE* detect_parameters(FILE* input, bool pipe, kestrune_params& params, unsigned given,
                        detect_input& held);
