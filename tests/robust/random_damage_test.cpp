// SPDX-License-Identifier: MIT
// random_damage_test.cpp - seeded random inputs, parameters and damage through the binary: the
// encoder writes the whole encoding of what it reads, and the decoder, from a file and through a
// pipe, restores everything with status 0 exactly when every chunk keeps k intact blocks, and
// otherwise stops with status 1 and one message after the chunks before the first lost one.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

stream_geometry random_geometry(seeded_random& rng) {
  stream_geometry g;
  if (rng.below(5) == 0) return g;  // the defaults, without options
  g.n = rng.between(2, 40);
  g.k = rng.between(1, g.n);
  g.blocksize = rng.between(26, 1600);
  // A chunk must have room for a byte beside its 8-byte header.
  while (static_cast<size_t>(g.k) * g.payload_len() <= 8) g.blocksize++;
  return g;
}

size_t random_size(seeded_random& rng, size_t capacity) {
  switch (rng.below(6)) {
    case 0:
      return rng.below(size_t{3});
    case 1:
      return capacity * rng.between(size_t{1}, size_t{3});  // chunks filled exactly
    case 2:
      return capacity * rng.between(size_t{1}, size_t{3}) + 1;
    default:
      return rng.between(size_t{1}, 4 * capacity);
  }
}

// The blocks of a stream and whether each is still intact and whole.
class damage_plan {
 public:
  damage_plan(const stream_geometry& g, uint64_t chunks)
      : g_(g), chunks_(chunks), intact_(chunks * g.n, true) {}

  // Erases `count` random blocks of the chunk: zeroed, or one byte of packet or trailer changed.
  void erase(std::string& stream, uint64_t chunk, int count, seeded_random& rng) {
    std::vector<int> positions(g_.n);
    std::iota(positions.begin(), positions.end(), 0);
    rng.shuffle(positions);
    for (int i = 0; i < count; i++) {
      const block_ref where{chunk, positions[i]};
      if (rng.chance(0.5)) {
        zero_block(stream, g_, where);
      } else {
        flip_bytes(stream, g_, where, rng.below(size_t(g_.blocksize)));
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
  seeded_random rng;
  for (int round = 0; round < 30; round++) {
    const stream_geometry g = random_geometry(rng);
    const size_t capacity = g.capacity();
    const std::string data = pattern_bytes(random_size(rng, capacity), rng.next());
    const bool encode_from_pipe = rng.chance(0.5);
    std::ostringstream title;
    title << "round " << round << ": -b" << g.blocksize << " -n" << g.n << " -k" << g.k << ", "
          << data.size() << " bytes encoded from a " << (encode_from_pipe ? "pipe" : "file");
    SCOPED_TRACE(title.str());

    // Encoding: status 0 and the whole encoding of the input, nothing less.
    const run_result encoded = run_in(
        geometry_args(g), encode_from_pipe ? input_from::pipe : input_from::file_operand, data);
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    EXPECT_EQ(encoded.err, "");
    ASSERT_TRUE(cli::is_encoding_of(encoded.out, g, data));

    // Damage: none, at most n - k blocks in every chunk, or more in one chunk; and sometimes a cut.
    std::string stream = encoded.out;
    damage_plan plan(g, chunk_count(g, data.size()));
    const int parity = g.n - g.k;
    const int kind = rng.below(3);
    const uint64_t beyond = plan.chunks() == 0 ? 0 : rng.below(plan.chunks());
    for (uint64_t c = 0; c < plan.chunks() && kind != 0; c++) {
      const int count =
          kind == 2 && c == beyond ? rng.between(parity + 1, g.n) : rng.between(0, parity);
      plan.erase(stream, c, count, rng);
    }
    // A cut anywhere, at a block boundary, or at a chunk boundary (a stream that lacks its end).
    const uint64_t blocks = plan.chunks() * g.n;
    switch (blocks == 0 ? 0 : rng.below(6)) {
      case 1:
        plan.cut(stream, rng.below(uint64_t{stream.size()} + 1));
        break;
      case 2:
        plan.cut(stream, rng.below(blocks) * g.blocksize);
        break;
      case 3:
        plan.cut(stream, g.chunk_offset(rng.below(plan.chunks())));
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
