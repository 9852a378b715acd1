// SPDX-License-Identifier: MIT
// burst_test.cpp - the parameter table of README.md and docs/kestrune.1 ("Choosing parameters"),
// row by row through the binary: each row's chunk capacity, the burst it survives wherever it
// falls, the larger one it survives only at a block boundary, and that one failing elsewhere.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace kestrune::test::bursts {
namespace {

// One row of the table, as documented.
struct table_row {
  const char* name;
  bool defaults;  // the row is kestrune's defaults: encoded and decoded without options
  int blocksize;
  int n;
  int k;
  int64_t any_burst;      // consecutive bad bytes survived wherever they fall
  int64_t aligned_burst;  // survived when they start at a block boundary
};

void PrintTo(const table_row& row, std::ostream* os) { *os << row.name; }

constexpr int trailer = 18;  // index, k byte and MD5 digest
constexpr int header = 8;    // clen and chunk number, in data packet 0

int64_t capacity(const table_row& r) { return int64_t{r.k} * (r.blocksize - trailer) - header; }
int64_t chunk_bytes(const table_row& r) { return int64_t{r.n} * r.blocksize; }

std::vector<std::string> options(const table_row& r) {
  if (r.defaults) return {};
  const std::string b = r.blocksize % 1024 == 0 ? std::to_string(r.blocksize / 1024) + "K"
                                                : std::to_string(r.blocksize);
  return {"-b", b, "-n", std::to_string(r.n), "-k", std::to_string(r.k)};
}

std::string encode(const table_row& r, const std::string& data, const temp_dir& dir) {
  write_file(dir.file("data"), data);
  std::vector<std::string> args = options(r);
  args.push_back(dir.file("data"));
  run_options how;
  how.stdout_file = dir.file("stream.kst");
  const run_result e = run_program(args, how);
  if (e.status != 0) ADD_FAILURE() << "encoding failed: " << e.err;
  return read_file(dir.file("stream.kst"));
}

enum class feed { file, pipe };

run_result decode(const table_row& r, const std::string& stream, feed how, const temp_dir& dir) {
  std::vector<std::string> args = options(r);
  args.insert(args.begin(), "-d");
  run_options run;
  if (how == feed::file) {
    write_file(dir.file("damaged.kst"), stream);
    args.push_back(dir.file("damaged.kst"));
  } else {
    run.stdin_bytes = stream;
  }
  return run_program(args, run);
}

class BurstTable : public ::testing::TestWithParam<table_row> {};

// The documented bursts follow from the format: B bytes touch at most ceil((B - 1) / b) + 1
// blocks (B / b from a block boundary), and a chunk survives n - k bad blocks.
TEST_P(BurstTable, RowAgreesWithTheBlockCount) {
  const table_row& r = GetParam();
  const int64_t b = r.blocksize;
  const int spare = r.n - r.k;
  EXPECT_LE((r.any_burst - 1 + b - 1) / b + 1, spare);
  EXPECT_EQ(r.aligned_burst, spare * b);
}

// A chunk holds k * (b - 18) - 8 user bytes in n * b stream bytes: one byte more takes a second
// chunk.
TEST_P(BurstTable, ChunkCapacity) {
  const table_row& r = GetParam();
  const temp_dir dir;
  const std::string full = pattern_bytes(static_cast<size_t>(capacity(r)) + 1, 3);
  EXPECT_EQ(encode(r, full.substr(0, full.size() - 1), dir).size(),
            static_cast<size_t>(chunk_bytes(r)));
  EXPECT_EQ(encode(r, full, dir).size(), static_cast<size_t>(2 * chunk_bytes(r)));
}

struct burst {
  const char* where;
  int64_t offset;
  int64_t length;
  bool survives;
};

TEST_P(BurstTable, BurstsOfTheDocumentedSizes) {
  const table_row& r = GetParam();
  const temp_dir dir;
  // Three and a half chunks of user data: four chunks.
  const std::string data = pattern_bytes(static_cast<size_t>(capacity(r) * 7 / 2), 11);
  const std::string stream = encode(r, data, dir);
  const int64_t chunk = chunk_bytes(r);
  ASSERT_EQ(static_cast<int64_t>(stream.size()), 4 * chunk);
  const int64_t b = r.blocksize;
  const int64_t any = r.any_burst;
  const int64_t aligned = r.aligned_burst;
  const int64_t size = static_cast<int64_t>(stream.size());

  const burst bursts[] = {
      // From the last byte of a block: the most blocks a burst of its length can touch.
      {"any, from the last byte of block 0 of chunk 1", chunk + b - 1, any, true},
      {"any, across the boundary of chunks 1 and 2", 2 * chunk - any / 2 - 1, any, true},
      {"any, over chunk 0's header", 1, any, true},
      {"any, in the last chunk's parity", size - any - b / 2, any, true},
      {"aligned, from block 1 of chunk 1", chunk + b, aligned, true},
      {"aligned, all the parity of chunk 2", 3 * chunk - aligned, aligned, true},
      {"aligned, across the boundary of chunks 1 and 2", 2 * chunk - (aligned / b / 2) * b, aligned,
       true},
      // One byte before a block boundary, the same length touches n - k + 1 blocks of chunk 1.
      {"aligned length, from the last byte of block 0 of chunk 1", chunk + b - 1, aligned, false},
  };
  for (const burst& damage : bursts) {
    for (const feed how : {feed::file, feed::pipe}) {
      SCOPED_TRACE(std::string(damage.where) + (how == feed::file ? ", from a file" : ", piped") +
                   ": " + std::to_string(damage.length) + " bytes at " +
                   std::to_string(damage.offset));
      ASSERT_GE(damage.offset, 0);
      ASSERT_LE(damage.offset + damage.length, size);
      std::string damaged = stream;
      damaged.replace(static_cast<size_t>(damage.offset), static_cast<size_t>(damage.length),
                      static_cast<size_t>(damage.length), '\0');
      ASSERT_NE(damaged, stream);
      const run_result d = decode(r, damaged, how, dir);
      if (damage.survives) {
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_TRUE(d.out == data) << "restored " << d.out.size() << " bytes, not the data";
      } else {
        // Chunk 0 is written, then the decoder stops at chunk 1.
        EXPECT_EQ(d.status, 1);
        EXPECT_NE(d.err.find("unrecoverable error -- too many bad blocks"), std::string::npos)
            << d.err;
        EXPECT_TRUE(d.out == data.substr(0, static_cast<size_t>(capacity(r))))
            << "wrote " << d.out.size() << " bytes, not chunk 0's data";
      }
    }
  }
}

// The table, as README.md and docs/kestrune.1 print it.
INSTANTIATE_TEST_SUITE_P(
    Documented, BurstTable,
    ::testing::Values(table_row{"b1K_n18_k16", false, 1024, 18, 16, 1024, 2048},
                      table_row{"defaults_b1K_n18_k14", true, 1024, 18, 14, 3072, 4096},
                      table_row{"b2K_n32_k24", false, 2048, 32, 24, 14336, 16384},
                      table_row{"b4K_n24_k16", false, 4096, 24, 16, 28672, 32768},
                      table_row{"b64K_n20_k16", false, 65536, 20, 16, 196608, 262144}),
    [](const ::testing::TestParamInfo<table_row>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::test::bursts
