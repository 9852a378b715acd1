// SPDX-License-Identifier: MIT
// survival_damage.cpp - the damage bench/survival puts on a protected stream: it copies standard
// input to standard output with units lost at random (sectors of a disk or an optical disc, records
// of a tape: each unit zeroed with the given probability), or with one burst of consecutive bytes
// zeroed from the last byte of a block on, where a burst of its length touches the most blocks.
//
// usage: survival_damage units SIZE RATE SEED
//        survival_damage burst LENGTH BLOCKSIZE SEED
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// SplitMix64: the same numbers everywhere from the same seed.
struct random_state {
  uint64_t state;
};

uint64_t next(random_state& r) {
  uint64_t z = (r.state += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// A uniform number in [0, 1).
double uniform(random_state& r) { return static_cast<double>(next(r) >> 11) * 0x1.0p-53; }

std::vector<uint8_t> read_all() {
  std::vector<uint8_t> bytes;
  size_t have = 0;
  for (;;) {
    if (bytes.size() - have < (size_t{1} << 20)) bytes.resize(bytes.size() + (size_t{16} << 20));
    const ssize_t got = read(STDIN_FILENO, bytes.data() + have, bytes.size() - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      perror("survival_damage: read");
      exit(1);
    }
    if (got == 0) break;
    have += static_cast<size_t>(got);
  }
  bytes.resize(have);
  return bytes;
}

void write_all(const std::vector<uint8_t>& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t wrote = write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) {
      perror("survival_damage: write");
      exit(1);
    }
    done += static_cast<size_t>(wrote);
  }
}

[[noreturn]] void usage() {
  fputs(
      "usage: survival_damage units SIZE RATE SEED\n"
      "       survival_damage burst LENGTH BLOCKSIZE SEED\n",
      stderr);
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) usage();
  const bool units = strcmp(argv[1], "units") == 0;
  if (!units && strcmp(argv[1], "burst") != 0) usage();
  const int64_t size = strtoll(argv[2], nullptr, 10);
  random_state r{strtoull(argv[4], nullptr, 10)};
  if (size <= 0) usage();
  std::vector<uint8_t> bytes = read_all();
  const int64_t total = static_cast<int64_t>(bytes.size());
  if (units) {
    const double rate = strtod(argv[3], nullptr);
    for (int64_t at = 0; at < total; at += size) {
      if (uniform(r) < rate)
        memset(bytes.data() + at, 0, static_cast<size_t>(std::min(size, total - at)));
    }
  } else {
    const int64_t blocksize = strtoll(argv[3], nullptr, 10);
    if (blocksize <= 0) usage();
    // From the last byte of a block, so that the burst ends inside the stream.
    const int64_t last_start = std::max<int64_t>(0, total - size);
    const int64_t blocks = std::max<int64_t>(1, (last_start + 1) / blocksize);
    const int64_t start = std::min(
        last_start,
        static_cast<int64_t>(next(r) % static_cast<uint64_t>(blocks)) * blocksize + blocksize - 1);
    memset(bytes.data() + start, 0, static_cast<size_t>(std::min(size, total - start)));
  }
  write_all(bytes);
  return 0;
}
