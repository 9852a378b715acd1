// SPDX-License-Identifier: MIT
// profiles.h - the named parameter sets of -p/--profile: -b, -n and -k chosen for a kind of medium.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

struct profile {
  const char* name;
  int32_t blocksize;
  int32_t n;
  int32_t k;
  const char* medium;    // what it is for
  const char* survives;  // what bench/survival measured it to survive
  const char* memory;    // the memory it needs, when more than a few MiB; else null
};

// The profile of that name, or null.
const profile* find_profile(const char* name);

// The names, in the order --help lists them, separated by ", ".
std::string profile_names();

// The stream bytes per user byte, less one: n blocks of blocksize bytes for the k * (blocksize -
// 18) - 8 user bytes of a full chunk (its trailers and its header counted).
double overhead(int32_t blocksize, int32_t n, int32_t k);

// The profile lines of --help.
void print_profiles(FILE* out);
