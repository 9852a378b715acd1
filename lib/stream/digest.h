// SPDX-License-Identifier: MIT
// digest.h - MD5 digests of many equal-length messages at once, as wide as the CPU allows.
//
// The variant is chosen once, from cpu_level_in_use(): sixteen messages to a vector with AVX-512,
// eight with AVX2, four with SSSE3, else one at a time with libmd. Every variant gives the same
// digests.
#pragma once

#include <cstddef>
#include <cstdint>

// The length of an MD5 digest.
constexpr int DIGEST_LEN = 16;

// out[i] = MD5 of the len bytes at msgs[i], for i in 0 .. count-1. All messages have the same
// length. Any count >= 0, any len >= 0; msgs need no alignment; out may not overlap the messages.
void digest_many(const uint8_t* const* msgs, size_t len, int count, uint8_t (*out)[DIGEST_LEN]);

// How many messages one vector holds with the variant in use (16, 8, 4 or 1): callers batch by
// multiples of it. A pass interleaves two vectors when there are enough messages, so batches of
// twice as many digest faster still.
int digest_lanes();

// The name of the variant in use ("avx512", "avx2", "ssse3" or "libmd").
const char* digest_variant();
