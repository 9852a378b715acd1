// random_damage_test.cpp - seeded random inputs, parameters and damage through the binary: the
// encoder writes the whole encoding of what it reads, and the decoder, from a file and through a
// pipe, restores everything with status 0 exactly when every chunk keeps k intact blocks, and
// otherwise stops with status 1 and one message after the chunks before the first lost one.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

int uniform(std::mt19937& rng, int low, int high) {
  return std::uniform_int_distribution<int>(low, high)(rng);
}

stream_geometry random_geometry(std::mt19937& rng) {
  stream_geometry g;
  if (uniform(rng, 0, 4) == 0) return g;  // the defaults, without options
  g.n = uniform(rng, 2, 40);
  g.k = uniform(rng, 1, g.n);
  g.blocksize = uniform(rng, 26, 1600);
  // A chunk must have room for a byte beside its 8-byte header.
  while (static_cast<size_t>(g.k) * g.payload_len() <= 8) g.blocksize++;
  return g;
}

size_t random_size(std::mt19937& rng, size_t capacity) {
  switch (uniform(rng, 0, 5)) {
    case 0:
      return static_cast<size_t>(uniform(rng, 0, 2));
    case 1:
      return capacity * static_cast<size_t>(uniform(rng, 1, 3));  // chunks filled exactly
    case 2:
      return capacity * static_cast<size_t>(uniform(rng, 1, 3)) + 1;
    default:
      return std::uniform_int_distribution<size_t>(1, 4 * capacity)(rng);
  }
}

// The blocks of a stream and whether each is still intact and whole.
class damage_plan {
 public:
  damage_plan(const stream_geometry& g, uint64_t chunks)
      : g_(g), chunks_(chunks), intact_(chunks * g.n, true) {}

  // Erases `count` random blocks of the chunk: zeroed, or one byte of packet or trailer changed.
  void erase(std::string& stream, uint64_t chunk, int count, std::mt19937& rng) {
    std::vector<int> positions(g_.n);
    std::iota(positions.begin(), positions.end(), 0);
    std::shuffle(positions.begin(), positions.end(), rng);
    for (int i = 0; i < count; i++) {
      const block_ref where{chunk, positions[i]};
      if (uniform(rng, 0, 1) == 0) {
        zero_block(stream, g_, where);
      } else {
        flip_bytes(stream, g_, where, static_cast<size_t>(uniform(rng, 0, g_.blocksize - 1)));
      }
      intact_[chunk * g_.n + positions[i]] = false;
    }
    description_ << " chunk " << chunk << ": " << count << " erased;";
  }

  // Cuts the stream short: the blocks that no longer end inside it are lost.
  void cut(std::string& stream, uint64_t size) {
    truncate_at(stream, size);
    for (uint64_t b = 0; b < intact_.size(); b++) {
      if ((b + 1) * static_cast<uint64_t>(g_.blocksize) > size) intact_[b] = false;
    }
    description_ << " cut at " << size << ";";
  }

  // The chunk that cannot be rebuilt first: fewer than k intact blocks; chunks() when every chunk
  // can. An empty stream lacks its chunk 0.
  uint64_t first_lost_chunk() const {
    if (chunks_ == 0) return 0;
    for (uint64_t c = 0; c < chunks_; c++) {
      const auto begin = intact_.begin() + static_cast<std::ptrdiff_t>(c * g_.n);
      if (std::count(begin, begin + g_.n, true) < g_.k) return c;
    }
    return chunks_;
  }

  uint64_t chunks() const { return chunks_; }
  std::string description() const { return description_.str(); }

 private:
  const stream_geometry g_;
  const uint64_t chunks_;
  std::vector<bool> intact_;
  std::ostringstream description_;
};

TEST(RobustRandomDamage, EverythingOrTheChunksBeforeTheFirstLostOne) {
  SCOPED_TRACE(seed_trace());
  std::mt19937 rng(test_seed());
  const temp_dir dir;
  for (int round = 0; round < 30; round++) {
    const stream_geometry g = random_geometry(rng);
    const size_t capacity = g.capacity();
    const std::string data = pattern_bytes(random_size(rng, capacity), rng());
    const bool encode_from_pipe = uniform(rng, 0, 1) == 0;
    std::ostringstream title;
    title << "round " << round << ": -b" << g.blocksize << " -n" << g.n << " -k" << g.k << ", "
          << data.size() << " bytes encoded from a " << (encode_from_pipe ? "pipe" : "file");
    SCOPED_TRACE(title.str());

    // Encoding: status 0 and the whole encoding of the input, nothing less.
    run_options options;
    std::vector<std::string> args = geometry_args(g);
    if (encode_from_pipe) {
      options.stdin_bytes = data;
    } else {
      write_file(dir.file("input"), data);
      args.push_back(dir.file("input"));
    }
    const run_result encoded = run_program(args, options);
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(encoded.err, "");
    ASSERT_TRUE(cli::is_encoding_of(encoded.out, {g.k, g.n, g.blocksize}, data));

    // Damage: none, at most n - k blocks in every chunk, or more in one chunk; and sometimes a cut.
    std::string stream = encoded.out;
    damage_plan plan(g, chunk_count(g, data.size()));
    const int parity = g.n - g.k;
    const int kind = uniform(rng, 0, 2);
    const uint64_t beyond = plan.chunks() == 0 ? 0 : rng() % plan.chunks();
    for (uint64_t c = 0; c < plan.chunks() && kind != 0; c++) {
      const int count =
          kind == 2 && c == beyond ? uniform(rng, parity + 1, g.n) : uniform(rng, 0, parity);
      plan.erase(stream, c, count, rng);
    }
    // A cut anywhere, at a block boundary, or at a chunk boundary (a stream that lacks its end).
    const uint64_t blocks = plan.chunks() * g.n;
    switch (blocks == 0 ? 0 : uniform(rng, 0, 5)) {
      case 1:
        plan.cut(stream, std::uniform_int_distribution<uint64_t>(0, stream.size())(rng));
        break;
      case 2:
        plan.cut(stream, (rng() % blocks) * g.blocksize);
        break;
      case 3:
        plan.cut(stream, g.chunk_offset(rng() % plan.chunks()));
        break;
      default:
        break;
    }
    SCOPED_TRACE("damage:" + plan.description());

    const uint64_t lost = plan.first_lost_chunk();
    const bool restores = lost == plan.chunks() && plan.chunks() != 0;
    for (const feed how : all_feeds) {
      SCOPED_TRACE(feed_name(how));
      const run_result r = decode(stream, g, how);
      EXPECT_EQ(r.status, restores ? 0 : 1);
      EXPECT_EQ(r.err, restores ? "" : fatal(too_many_bad_blocks));
      EXPECT_TRUE(same_bytes(r.out, restores ? data : chunks_of(data, g, 0, lost)));
      EXPECT_TRUE(whole_or_clean_failure(r, data, capacity));
    }
  }
}

}  // namespace
}  // namespace kestrune::test
