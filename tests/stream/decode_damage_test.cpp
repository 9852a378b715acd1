// SPDX-License-Identifier: MIT
// decode_damage_test.cpp - damaged blocks: up to n - k of them in every chunk are restored exactly,
// one more ends the decoding after the earlier chunks, and the -vv report names every dropped
// block the decoder looked at.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

enum class harm { payload_byte, index_byte, k_byte, digest_byte, zeroed, misplaced };

struct block_harm {
  int position;
  harm kind;
  size_t offset;  // the byte changed, for the byte kinds
  int source;     // the position whose intact block replaces this one, for misplaced
};

// The damaged blocks of one chunk, in position order.
using chunk_plan = std::vector<block_harm>;

block_harm harm_at(const stream_geometry& g, int position, harm kind, seeded_random& rng) {
  block_harm h{position, kind, 0, -1};
  switch (kind) {
    case harm::payload_byte:
      h.offset = rng.below(g.payload_len());
      break;
    case harm::index_byte:
      h.offset = g.index_byte();
      break;
    case harm::k_byte:
      h.offset = g.k_byte();
      break;
    case harm::digest_byte:
      h.offset = rng.between(g.digest(), size_t(g.blocksize) - 1);
      break;
    case harm::zeroed:
      break;
    case harm::misplaced:
      // Any other position of the chunk, damaged or not: its intact block is copied.
      h.source = rng.below(g.n - 1);
      if (h.source >= position) h.source++;
      break;
  }
  return h;
}

// count distinct positions, each with a random kind of damage.
chunk_plan random_plan(const stream_geometry& g, int count, seeded_random& rng) {
  std::vector<int> positions(g.n);
  for (int i = 0; i < g.n; i++) positions[i] = i;
  rng.shuffle(positions);
  positions.resize(count);
  std::sort(positions.begin(), positions.end());
  chunk_plan plan;
  for (const int p : positions) {
    const auto kind = static_cast<harm>(rng.below(6));
    plan.push_back(harm_at(g, p, kind, rng));
  }
  return plan;
}

// Every listed position gets a changed payload byte.
chunk_plan payload_plan(const stream_geometry& g, std::initializer_list<int> positions) {
  chunk_plan plan;
  for (const int p : positions) plan.push_back({p, harm::payload_byte, g.payload_len() / 2, -1});
  return plan;
}

void apply(std::string& stream, const std::string& intact, const stream_geometry& g, uint64_t chunk,
           const chunk_plan& plan) {
  for (const block_harm& h : plan) {
    const block_ref where{chunk, h.position};
    switch (h.kind) {
      case harm::zeroed:
        zero_block(stream, g, where);
        break;
      case harm::misplaced:
        splice_block(stream, g, where, intact, {chunk, h.source});
        break;
      default:
        flip_bytes(stream, g, where, h.offset);
    }
  }
}

// The -vv lines of the chunk's dropped blocks: those before its k-th intact one, or all of them
// when it has fewer than k. `recovered` tells which.
std::string dropped_lines(const stream_geometry& g, uint64_t chunk, const chunk_plan& plan,
                          bool* recovered = nullptr) {
  std::string lines;
  int accepted = 0;
  auto next = plan.begin();
  for (int i = 0; i < g.n && accepted < g.k; i++) {
    if (next != plan.end() && next->position == i) {
      lines += bad_block(g, {chunk, i}, next->kind == harm::misplaced ? next->source : -3);
      ++next;
    } else {
      accepted++;
    }
  }
  if (recovered != nullptr) *recovered = accepted == g.k;
  return lines;
}

std::string describe(const std::vector<chunk_plan>& plans) {
  static const char* const names[] = {"payload", "index", "k", "digest", "zeroed", "misplaced"};
  std::string text = "damage:";
  for (size_t m = 0; m < plans.size(); m++) {
    text += "\n  chunk " + std::to_string(m) + ":";
    for (const block_harm& h : plans[m]) {
      text += ' ';
      text += std::to_string(h.position);
      text += '/';
      text += names[static_cast<int>(h.kind)];
    }
  }
  return text;
}

// A stream of the data with the plans applied to its chunks, decoded at -vv from both feeds:
// the output is the data of the chunks before the first unrecoverable one (all the data when there
// is none), the report lists the dropped blocks the decoder read.
void expect_decoding(const std::string& data, const stream_geometry& g,
                     const std::vector<chunk_plan>& plans) {
  SCOPED_TRACE(describe(plans));
  const std::string intact = encode(data, g);
  ASSERT_EQ(plans.size(), chunk_count(g, data.size()));
  std::string stream = intact;
  for (size_t m = 0; m < plans.size(); m++) apply(stream, intact, g, m, plans[m]);

  std::string messages;
  uint64_t restored = 0;
  bool recovered = true;
  for (; restored < plans.size(); restored++) {
    messages += dropped_lines(g, restored, plans[restored], &recovered);
    if (!recovered) break;
    messages += read_blocks(g, static_cast<uint32_t>(chunks_of(data, g, restored, 1).size()));
  }
  if (!recovered) messages += fatal(too_many_bad_blocks);

  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    const run_result r = decode(stream, g, how, {"-vv"});
    EXPECT_EQ(r.status, recovered ? 0 : 1);
    EXPECT_EQ(r.err, report(g, how, 2) + messages);
    EXPECT_TRUE(same_bytes(r.out, chunks_of(data, g, 0, restored)));
    if (!recovered) {
      const run_result quiet = decode(stream, g, how);
      EXPECT_EQ(quiet.status, 1);
      EXPECT_EQ(quiet.err, fatal(too_many_bad_blocks));
      EXPECT_TRUE(same_bytes(quiet.out, r.out));
    }
  }
}

struct damage_shape {
  const char* name;
  stream_geometry g;
  uint64_t chunks;
};

// Test parameters print as their names.
void PrintTo(const damage_shape& param, std::ostream* os) { *os << param.name; }

class StreamDecodeDamage : public ::testing::TestWithParam<damage_shape> {
 protected:
  // chunks - 1 full chunks and a last one about half full.
  std::string data() const {
    const stream_geometry& g = GetParam().g;
    const size_t size = (GetParam().chunks - 1) * g.capacity() + g.capacity() / 2 + 1;
    return pattern_bytes(size, test_seed());
  }
};

TEST_P(StreamDecodeDamage, RestoresUpToParityCountInEveryChunk) {
  const stream_geometry& g = GetParam().g;
  seeded_random rng;
  std::vector<chunk_plan> plans;
  for (uint64_t m = 0; m < GetParam().chunks; m++) {
    // Mostly the most a chunk survives, sometimes less.
    const int count = m % 3 == 1 ? rng.between(0, g.n - g.k) : g.n - g.k;
    plans.push_back(random_plan(g, count, rng));
  }
  expect_decoding(data(), g, plans);
}

TEST_P(StreamDecodeDamage, OneBlockTooManyEndsAfterTheEarlierChunks) {
  const stream_geometry& g = GetParam().g;
  const uint64_t chunks = GetParam().chunks;
  seeded_random rng;
  const uint64_t middle = rng.between(uint64_t{1}, chunks - 2);
  for (const uint64_t failing : {uint64_t{0}, middle, chunks - 1}) {
    SCOPED_TRACE("chunk " + std::to_string(failing) + " unrecoverable");
    std::vector<chunk_plan> plans;
    for (uint64_t m = 0; m < chunks; m++) {
      plans.push_back(random_plan(g, g.n - g.k + (m == failing ? 1 : 0), rng));
    }
    expect_decoding(data(), g, plans);
  }
}

const damage_shape damage_shapes[] = {
    {"defaults", {}, 6},
    {"k2_n3_b26", {.blocksize = 26, .n = 3, .k = 2}, 5},
    {"k1_n3_b27", {.blocksize = 27, .n = 3, .k = 1}, 5},
    {"k10_n16_b100", {.blocksize = 100, .n = 16, .k = 10}, 5},
    {"k200_n255_b64", {.blocksize = 64, .n = 255, .k = 200}, 3},
};

INSTANTIATE_TEST_SUITE_P(Shapes, StreamDecodeDamage, ::testing::ValuesIn(damage_shapes),
                         [](const ::testing::TestParamInfo<damage_shape>& info) {
                           return std::string(info.param.name);
                         });

// The helpers the damaged streams are built with agree with the stream the encoder writes and
// change exactly what they name.
TEST(StreamDecodeDamageHelpers, AgreeWithTheEncodersStream) {
  const stream_geometry g{.blocksize = 100, .n = 6, .k = 4};
  const std::string intact = encode(pattern_bytes(2 * g.capacity() + 10, test_seed()), g);
  ASSERT_EQ(intact.size(), 3 * g.chunk_bytes());

  // Resealing intact blocks and rewriting the chunk headers they hold change nothing; exchanges
  // undo themselves.
  std::string stream = intact;
  for (int i = 0; i < g.n; i++) reseal_block(stream, g, {1, i});
  set_chunk_header(stream, g, 0, static_cast<uint32_t>(g.capacity()), 0);
  set_chunk_header(stream, g, 2, 10, -1);
  swap_blocks(stream, g, {0, 1}, {2, 5});
  swap_blocks(stream, g, {2, 5}, {0, 1});
  swap_chunks(stream, g, 0, 2);
  swap_chunks(stream, g, 2, 0);
  EXPECT_TRUE(same_bytes(stream, intact));

  const uint64_t at = block_offset(g, {1, 3});
  EXPECT_EQ(at, 9 * uint64_t(g.blocksize));
  flip_bytes(stream, g, {1, 3}, g.digest(), 2);
  for (uint64_t i = 0; i < stream.size(); i++) {
    const bool named = i == at + g.digest() || i == at + g.digest() + 1;
    EXPECT_EQ(stream[i], named ? static_cast<char>(~intact[i]) : intact[i]) << "byte " << i;
  }

  stream = intact;
  drop_block(stream, g, {1, 3});
  EXPECT_TRUE(same_bytes(stream, intact.substr(0, at) + intact.substr(at + g.blocksize)));

  EXPECT_THROW(flip_bytes(stream, g, {3, 0}, 0), std::out_of_range);
  EXPECT_THROW(flip_bytes(stream, g, {0, g.n}, 0), std::out_of_range);
  EXPECT_THROW(flip_bytes(stream, g, {0, 0}, g.blocksize - 1, 2), std::out_of_range);
}

// Chunk after chunk loses other blocks, data and parity, with intact chunks between: each chunk
// is rebuilt from its own blocks whatever order the previous rebuild left the slots in.
TEST(StreamDecodeDamageSequence, ConsecutiveChunksLoseDifferentBlocks) {
  const stream_geometry g;
  const std::vector<chunk_plan> plans = {
      payload_plan(g, {0, 1, 2, 3}),
      payload_plan(g, {10, 11, 12, 13}),
      payload_plan(g, {}),
      payload_plan(g, {0, 13, 14, 17}),
      payload_plan(g, {4, 5, 6, 7}),
      payload_plan(g, {1, 3, 5, 7}),
      payload_plan(g, {8, 9, 16, 17}),
      payload_plan(g, {2, 9, 12, 15}),
      payload_plan(g, {13}),
      payload_plan(g, {0, 6, 7, 11}),
  };
  const std::string data = pattern_bytes(9 * g.capacity() + 3000, test_seed());
  expect_decoding(data, g, plans);
}

// A seekable input's parity blocks are read only for a chunk with damaged data blocks, a pipe's are
// read and passed over: destroying every parity block of an intact stream goes unnoticed.
TEST(StreamDecodeDamageSequence, DestroyedParityOfAnIntactStreamIsNeverChecked) {
  for (const stream_geometry& g :
       {stream_geometry{}, stream_geometry{.blocksize = 64, .n = 255, .k = 200}}) {
    SCOPED_TRACE("k " + std::to_string(g.k) + " n " + std::to_string(g.n));
    const std::string data = pattern_bytes(3 * g.capacity() + 17, test_seed());
    std::string stream = encode(data, g);
    const uint64_t chunks = chunk_count(g, data.size());
    std::string messages;
    for (uint64_t m = 0; m < chunks; m++) {
      for (int i = g.k; i < g.n; i++) zero_block(stream, g, {m, i});
      messages += read_blocks(g, static_cast<uint32_t>(chunks_of(data, g, m, 1).size()));
    }
    for (const feed how : all_feeds) {
      SCOPED_TRACE(feed_name(how));
      const run_result r = decode(stream, g, how, {"-vv"});
      EXPECT_EQ(r.status, 0);
      EXPECT_EQ(r.err, report(g, how, 2) + messages);
      EXPECT_TRUE(same_bytes(r.out, data));
    }
  }
}

// With k = n = 256 the k byte of every block is 0, which is k modulo 256: the stream decodes; and
// with no parity a single damaged block ends the decoding.
TEST(StreamDecodeK256, DecodesAndStopsAtTheFirstDamage) {
  const stream_geometry g{.blocksize = 64, .n = 256, .k = 256};
  const std::string data = pattern_bytes(3 * g.capacity() + 1000, test_seed());
  const std::string intact = encode(data, g);
  ASSERT_EQ(intact.size(), 4 * g.chunk_bytes());
  for (const int position : {0, 100, 255}) {
    ASSERT_EQ(block_bytes(intact, g, {1, position})[g.k_byte()], '\0');
  }

  struct k256_case {
    const char* name;
    void (*damage)(std::string& stream, const stream_geometry& g);
    uint64_t chunks_written;
    std::string messages;
  };
  const std::string reads = read_blocks(g, static_cast<uint32_t>(g.capacity()));
  const k256_case cases[] = {
      {"intact", nullptr, 4, reads + reads + reads + read_blocks(g, 1000)},
      {"payload byte of block 100 of chunk 2",
       [](std::string& s, const stream_geometry& g) {
         flip_bytes(s, g, {2, 100}, 7);
       },
       2, reads + reads + bad_block(g, {2, 100}, -3) + fatal(too_many_bad_blocks)},
      {"block 255 of chunk 1 sealed with k byte 1",
       [](std::string& s, const stream_geometry& g) {
         overwrite_bytes(s, g, {1, 255}, g.k_byte(), "\x01");
         reseal_block(s, g, {1, 255});
       },
       1, reads + fatal("incorrect K value")},
  };
  for (const k256_case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string stream = intact;
    if (c.damage != nullptr) c.damage(stream, g);
    for (const feed how : all_feeds) {
      SCOPED_TRACE(feed_name(how));
      const run_result r = decode(stream, g, how, {"-vv"});
      EXPECT_EQ(r.status, c.chunks_written == 4 ? 0 : 1);
      EXPECT_EQ(r.err, report(g, how, 2) + c.messages);
      EXPECT_TRUE(same_bytes(r.out, chunks_of(data, g, 0, c.chunks_written)));
    }
  }
}

}  // namespace
}  // namespace kestrune::test
