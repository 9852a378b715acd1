// SPDX-License-Identifier: MIT
// profiles.cpp - the named parameter sets of -p/--profile, chosen with bench/survival.
#include "programs/kestrune/profiles.h"

#include <cstring>

#include "kestrune.h"

namespace {

// bench/survival measured each one (README.md, "Choosing parameters"): random loss of 512-byte,
// 2 KiB and 4 KiB sectors, single bursts, and the loss of tape records.
constexpr profile profiles[] = {
    {"disk", 4096, 141, 109, "4 KiB-sector disks and flash",
     "10% of its 4 KiB sectors lost at random; any burst of 124 KiB", nullptr},
    {"optical", 2048, 134, 104, "optical discs, scratches",
     "10% of its 2 KiB sectors lost at random; any burst of 58 KiB", nullptr},
    {"tape", 256 * 1024, 80, 62, "tape, long bursts",
     "any burst of 4 MiB; 10% of its 256 KiB records lost at random",
     "about 24 MiB of memory, 56 MiB with --detect from a pipe"},
    {"network", 4096, 128, 116, "rare scattered damage",
     "2% of its 4 KiB sectors lost at random; any burst of 44 KiB", nullptr},
};

}  // namespace

const profile* find_profile(const char* name) {
  for (const profile& p : profiles) {
    if (strcmp(p.name, name) == 0) return &p;
  }
  return nullptr;
}

std::string profile_names() {
  std::string names;
  for (const profile& p : profiles) names += (names.empty() ? "" : ", ") + std::string(p.name);
  return names;
}

double overhead(int32_t blocksize, int32_t n, int32_t k) {
  const double user =
      static_cast<double>(k) * (blocksize - KESTRUNE_TRAILER_BYTES) - KESTRUNE_HEADER_BYTES;
  return static_cast<double>(n) * blocksize / user - 1;
}

void print_profiles(FILE* out) {
  for (const profile& p : profiles) {
    const int32_t b = p.blocksize;
    fprintf(out, "  %-8s -b %dK -n %d -k %d, overhead %.1f%%: %s\n", p.name, b / 1024, p.n, p.k,
            100 * overhead(b, p.n, p.k), p.medium);
    fprintf(out, "           survives %s\n", p.survives);
    if (p.memory != nullptr) fprintf(out, "           needs %s\n", p.memory);
  }
}
