// SPDX-License-Identifier: MIT
// scan_params_test.cpp - kestrune-scan finds blocksize, n and k from the stream itself, says how,
// and refuses to guess when the stream does not tell.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "tests/scan/scan_support.h"
#include "tests/support/unreadable.h"

namespace kestrune::test {
namespace {

std::string shape_name(const stream_geometry& g) {
  return "(k " + std::to_string(g.k) + ", n " + std::to_string(g.n) + ", blocksize " +
         std::to_string(g.blocksize) + ")";
}

std::string restore_prefix(const stream_geometry& g) {
  return "kestrune -d -b " + std::to_string(g.blocksize) + " -n " + std::to_string(g.n) + " -k " +
         std::to_string(g.k);
}

const stream_geometry shapes[] = {
    {.blocksize = 1024, .n = 18, .k = 14}, {.blocksize = 26, .n = 3, .k = 2},
    {.blocksize = 4096, .n = 16, .k = 10}, {.blocksize = 100, .n = 255, .k = 200},
    {.blocksize = 64, .n = 256, .k = 256},
};

// Several chunks, the last one partly filled. The damage hits the blocks a probe looks at first,
// hides the last index of every chunk, or puts intact blocks where the period does not fit them.
TEST(ScanParameters, FoundForEveryShapeAlsoWithDamage) {
  struct damage {
    const char* name;
    // The blocks made unreadable by a flipped packet byte, for a stream of so many chunks.
    std::function<std::vector<block_ref>(const stream_geometry&, uint64_t chunks)> flipped;
    bool exchange = false;  // the last two blocks of chunk 1 exchanged
  };
  const damage damages[] = {
      {"intact", [](const stream_geometry&, uint64_t) { return std::vector<block_ref>{}; }},
      {"block 0",
       [](const stream_geometry&, uint64_t) {
         return std::vector<block_ref>{{0, 0}};
       }},
      {"blocks 0 and 1",
       [](const stream_geometry&, uint64_t) {
         return std::vector<block_ref>{{0, 0}, {0, 1}};
       }},
      {"the last block of every chunk",
       [](const stream_geometry& g, uint64_t chunks) {
         std::vector<block_ref> blocks;
         for (uint64_t m = 0; m < chunks; m++) blocks.push_back({m, g.n - 1});
         return blocks;
       }},
      {"two blocks exchanged",
       [](const stream_geometry&, uint64_t) { return std::vector<block_ref>{}; }, true},
  };
  for (const stream_geometry& g : shapes) {
    const std::string data = pattern_bytes(g.capacity() * 7 / 2, test_seed());
    const std::string clean = encode(data, g);
    const int64_t blocks = static_cast<int64_t>(clean.size() / g.blocksize);
    const uint64_t chunks = clean.size() / g.chunk_bytes();
    for (const damage& d : damages) {
      std::string stream = clean;
      const std::vector<block_ref> flipped = d.flipped(g, chunks);
      std::vector<int> bad(chunks, 0);
      int64_t bad_later = 0;
      for (const block_ref& b : flipped) {
        flip_bytes(stream, g, b, 3);
        bad[b.chunk]++;
        if (b.chunk > 0) bad_later++;
      }
      if (d.exchange) {
        swap_blocks(stream, g, {1, g.n - 2}, {1, g.n - 1});
        bad[1] += 2;
      }
      int exit = 0;
      for (const int count : bad)
        exit = std::max(exit, count == 0 ? 0 : count <= g.n - g.k ? 2 : 3);

      for (const feed how : all_feeds) {
        SCOPED_TRACE(shape_name(g) + ", " + d.name + ", " + feed_name(how));
        const run_result r = scan(stream, how, {"--json"});
        ASSERT_EQ(r.status, exit) << r.err;
        const json_value s = read_json_report(r.out).summary;
        EXPECT_EQ(s["blocksize"].number(), g.blocksize);
        EXPECT_EQ(s["n"].number(), g.n);
        EXPECT_EQ(s["k"].number(), g.k);
        EXPECT_EQ(s["blocksize_from"].string(), "probe");
        EXPECT_EQ(s["n_from"].string(), "period");
        EXPECT_EQ(s["k_from"].string(), "k byte");
        // The whole stream fits the first window: every block was judged. Exchanged blocks are
        // intact, but stand where n does not put them.
        const int64_t intact = blocks - static_cast<int64_t>(flipped.size());
        const int64_t misplaced = d.exchange ? 2 : 0;
        EXPECT_EQ(s["probe_examined"].number(), blocks);
        EXPECT_EQ(s["probe_intact"].number(), intact);
        EXPECT_EQ(s["k_agree"].number(), intact);
        EXPECT_EQ(s["n_agree"].number(), blocks - g.n - bad_later - misplaced);
        EXPECT_EQ(s["n_disagree"].number(), misplaced);
        const std::string restore = s["restore"].string();
        if (how == feed::file) {
          EXPECT_EQ(restore.substr(0, restore.rfind(' ')), restore_prefix(g));
          EXPECT_EQ(restore.substr(restore.size() - 11), "/stream.kst");
        } else {
          EXPECT_EQ(restore, restore_prefix(g));
        }
      }
    }
  }
}

// Without two intact neighbours anywhere, block 0 alone gives the size when its header fits, or,
// without it, any intact block at a size a user picks; other sizes are not found then.
TEST(ScanParameters, FoundWhenNoTwoNeighboursAreIntact) {
  struct sparse {
    stream_geometry g;
    bool first_wiped;
    bool found;
  };
  const sparse cases[] = {
      {{.blocksize = 1000, .n = 18, .k = 14}, false, true},
      {{.blocksize = 1024, .n = 18, .k = 14}, true, true},
      {{.blocksize = 1000, .n = 18, .k = 14}, true, false},
  };
  for (const sparse& c : cases) {
    const stream_geometry& g = c.g;
    SCOPED_TRACE(shape_name(g) + (c.first_wiped ? ", block 0 wiped too" : ""));
    std::string stream = encode(pattern_bytes(g.capacity() * 3, test_seed()), g);
    for (uint64_t m = 0; m < 3; m++) {
      for (int i = 1; i < g.n; i += 2) zero_block(stream, g, {m, i});
    }
    if (c.first_wiped) zero_block(stream, g, {0, 0});
    const run_result r = scan(stream, feed::file, {"--json"});
    if (!c.found) {
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, scan_path() +
                           ": parameters not found: no block of any size from 26 to 54000 bytes "
                           "with a correct digest lies at the start of the input (52 KiB "
                           "examined); give -b, -n and -k\n");
      continue;
    }
    ASSERT_EQ(r.status, 3) << r.err;
    const json_value s = read_json_report(r.out).summary;
    EXPECT_EQ(s["blocksize"].number(), g.blocksize);
    EXPECT_EQ(s["n"].number(), g.n);
    EXPECT_EQ(s["k"].number(), g.k);
    EXPECT_EQ(s["probe_intact"].number(), c.first_wiped ? 26 : 27);
  }
}

// One chunk shows no period: n comes from the stream's length, and the report says that lost
// trailing parity would not show; 256 needs no evidence.
TEST(ScanParameters, SingleChunkStreamsTakeNFromTheLength) {
  struct single {
    stream_geometry g;
    const char* n_from;
    const char* text;
  };
  const single cases[] = {
      {{.blocksize = 1024, .n = 18, .k = 14},
       "stream length",
       "n 18 (found: from the stream length, one chunk of 18 blocks (trailing parity blocks lost "
       "from it would not show))"},
      {{.blocksize = 64, .n = 3, .k = 3},
       "stream length",
       "n 3 (found: from the stream length, one chunk of 3 blocks (trailing parity blocks lost "
       "from it would not show))"},
      {{.blocksize = 64, .n = 256, .k = 256}, "bound", "n 256 (found: the most there can be)"},
  };
  for (const single& c : cases) {
    SCOPED_TRACE(shape_name(c.g));
    const std::string stream = encode(pattern_bytes(c.g.capacity() / 2, test_seed()), c.g);
    for (const feed how : all_feeds) {
      const run_result json = scan(stream, how, {"--json"});
      ASSERT_EQ(json.status, 0) << json.err;
      const json_value s = read_json_report(json.out).summary;
      EXPECT_EQ(s["n"].number(), c.g.n);
      EXPECT_EQ(s["k"].number(), c.g.k);
      EXPECT_EQ(s["n_from"].string(), c.n_from);
      const run_result text = scan(stream, how);
      EXPECT_TRUE(has_line(text.out, c.text)) << text.out;
    }
  }
}

TEST(ScanParameters, GivenOnesAreTakenAndTheOthersFound) {
  const stream_geometry g{.blocksize = 1024, .n = 18, .k = 14};
  const std::string stream = encode(pattern_bytes(g.capacity() * 3, test_seed()), g);
  struct partial {
    std::vector<std::string> args;
    const char* blocksize_from;
    const char* n_from;
    const char* k_from;
  };
  const partial cases[] = {
      {{"-b1K"}, "given", "period", "k byte"},
      {{"-n", "18"}, "probe", "given", "k byte"},
      {{"-k14", "-b", "1024"}, "given", "period", "given"},
      {{"-b", "1k", "-n18", "-k", "14"}, "given", "given", "given"},
  };
  for (const partial& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const run_result r = scan(stream, feed::file, args);
    ASSERT_EQ(r.status, 0) << r.err;
    const json_value s = read_json_report(r.out).summary;
    EXPECT_EQ(s["blocksize"].number(), g.blocksize);
    EXPECT_EQ(s["n"].number(), g.n);
    EXPECT_EQ(s["k"].number(), g.k);
    EXPECT_EQ(s["blocksize_from"].string(), c.blocksize_from);
    EXPECT_EQ(s["n_from"].string(), c.n_from);
    EXPECT_EQ(s["k_from"].string(), c.k_from);
    // With all three given nothing is probed.
    EXPECT_EQ(s["probe_examined"].number() == 0, c.args.size() == 5);
  }
}

// A probe that cannot decide names what is missing, exits with status 1 and writes no report.
TEST(ScanParameters, UndecidedProbesSaySoInsteadOfGuessing) {
  const stream_geometry g{.blocksize = 1024, .n = 18, .k = 14};
  const std::string two_chunks = encode(pattern_bytes(g.capacity() * 2, test_seed()), g);
  const std::string one_chunk = encode(pattern_bytes(g.capacity() / 3, test_seed()), g);

  std::string cut_in_a_block = one_chunk;
  truncate_at(cut_in_a_block, one_chunk.size() - g.blocksize / 2);
  // Chunk 1 wiped out and block 0 gone: the blocks seen fit n = 18 and n = 36.
  std::string first_chunk_only = two_chunks;
  for (int position = 0; position < g.n; position++) zero_block(first_chunk_only, g, {1, position});
  flip_bytes(first_chunk_only, g, {0, 0}, 0);

  struct undecided {
    const char* name;
    std::string stream;
    std::vector<std::string> args;
    std::string why;
  };
  const undecided cases[] = {
      {"empty input", "", {}, "the input is empty; give -b, -n and -k"},
      {"not a stream",
       pattern_bytes(100000, test_seed()),
       {},
       "no block of any size from 26 to 100000 bytes with a correct digest lies at the start of "
       "the input (97 KiB examined); give -b, -n and -k"},
      {"wrong blocksize given",
       two_chunks,
       {"-b", "1000"},
       "no block of 1000 bytes at the start of the input (36 examined) is intact; check -b, or "
       "give -b, -n and -k"},
      {"one chunk cut inside a block",
       cut_in_a_block,
       {},
       "n could be any of 17 to 256 (every intact block seen lies in the first chunk, and the "
       "stream ends inside a block); give -n"},
      {"only the first chunk readable",
       first_chunk_only,
       {},
       "n could be 18 or 36 (every intact block seen lies in the first chunk, and the stream's "
       "length is a whole number of chunks for each); give -n"},
      {"k given that no block carries",
       two_chunks,
       {"-k", "12"},
       "no intact block at the start of the input carries k = 12; check -k"},
  };
  for (const undecided& c : cases) {
    for (const feed how : all_feeds) {
      SCOPED_TRACE(std::string(c.name) + ", " + feed_name(how));
      const run_result r = scan(c.stream, how, c.args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, scan_path() + ": parameters not found: " + c.why + "\n");
    }
  }

  // Given what was missing, the scan goes on and reports the damage.
  const run_result r = scan(cut_in_a_block, feed::file, {"-n", "18", "--json"});
  ASSERT_EQ(r.status, 2) << r.err;
  const json_report report = read_json_report(r.out);
  ASSERT_EQ(report.chunks.size(), 1u);
  EXPECT_EQ(report.chunks[0]["rejected"].text(), R"([{"position":17,"reason":"short"}])");
}

// The summary without the file's name and without what tells where the parameters came from and
// the probe's evidence.
std::string without_provenance(const json_value& summary) {
  const std::set<std::string> provenance = {
      "input",        "restore", "blocksize_from", "n_from",  "k_from",    "probe_examined",
      "probe_intact", "k_agree", "k_other",        "n_agree", "n_disagree"};
  std::string text;
  for (const auto& [name, value] : summary.fields()) {
    if (provenance.count(name) == 0) text += name + "=" + value.text() + "\n";
  }
  return text;
}

// An unreadable stretch in the first MiB, or bytes deleted early in the stream: the parameters are
// still found, and the report is the one the scan gives with them. An unreadable sector is asked
// for once more at most after the read that met it, by the probe and the scan together, and the
// scan says what kestrune -d restores, with the parameters or with --detect.
TEST(ScanParameters, FoundPastAnUnreadableSectorOrADeletion) {
  const stream_geometry defaults;
  const stream_geometry large{.blocksize = 4096, .n = 141, .k = 109};
  struct fault {
    const char* name;
    stream_geometry g;
    size_t data_size;
    uint64_t offset;
    uint64_t length;
    bool deleted;  // cut out of the stream; else unreadable
  };
  const size_t longer = 3 * large.capacity() + (1 << 20);  // a stream longer than 1 MiB
  const fault faults[] = {
      // The stream fits the first MiB; nearly all of it lies before the unreadable bytes.
      {"4 KiB unreadable at 1000 KiB", defaults, 780000, 1000 << 10, 4096, false},
      {"4 KiB unreadable across two blocks", large, longer, 702 << 10, 4096, false},
      {"5 blocks of chunk 30 unreadable", defaults, longer, block_offset(defaults, {30, 2}),
       5 * 1024, false},
      {"1000 bytes deleted at 20000", defaults, longer, 20000, 1000, true},
      {"1000 bytes deleted at 20000 of large blocks", large, longer, 20000, 1000, true},
  };
  const temp_dir dir;
  int runs = 0;
  for (const fault& f : faults) {
    const stream_geometry& g = f.g;
    const std::string data = pattern_bytes(f.data_size, test_seed());
    std::string stream = encode(data, g);
    ASSERT_GT(stream.size(), f.offset + f.length);
    if (f.deleted) stream.erase(f.offset, f.length);
    for (const read_failure how : {read_failure::whole_read, read_failure::after_a_short}) {
      if (f.deleted && how == read_failure::after_a_short) continue;
      SCOPED_TRACE(std::string(f.name) + " " + shape_name(g) +
                   (f.deleted ? "" : std::string(", ") + name_of(how)));
      const std::string log = dir.file("failed-reads-" + std::to_string(runs++));
      run_options logged;
      run_options failing;
      if (!f.deleted) {
        logged.env = unreadable_bytes(f.offset, f.length, how, log);
        failing.env = unreadable_bytes(f.offset, f.length, how);
      }
      const run_result probed = scan(stream, feed::file, {"--json"}, logged);
      std::vector<std::string> args = all_geometry_args(g);
      args.push_back("--json");
      const run_result given = scan(stream, feed::file, args, failing);
      ASSERT_EQ(probed.status, given.status) << probed.err;
      const json_report report = read_json_report(probed.out);
      const json_report expected = read_json_report(given.out);
      const json_value& s = report.summary;
      EXPECT_EQ(s["blocksize"].number(), g.blocksize);
      EXPECT_EQ(s["n"].number(), g.n);
      EXPECT_EQ(s["k"].number(), g.k);
      EXPECT_EQ(s["blocksize_from"].string(), "probe");
      ASSERT_EQ(report.chunks.size(), expected.chunks.size());
      for (size_t m = 0; m < report.chunks.size(); m++) {
        EXPECT_EQ(report.chunks[m].text(), expected.chunks[m].text());
      }
      EXPECT_EQ(without_provenance(s), without_provenance(expected.summary));
      if (f.deleted) {
        EXPECT_EQ(probed.status, 3);
        continue;
      }

      // Exactly the blocks the unreadable bytes touch are bad.
      const uint64_t first_block = f.offset / g.blocksize;
      const uint64_t end_block = (f.offset + f.length + g.blocksize - 1) / g.blocksize;
      EXPECT_EQ(s["bad_blocks"].number(), static_cast<int64_t>(end_block - first_block));
      // Each unreadable sector failed once alone, after one failed read of the whole piece at
      // most.
      const std::vector<failed_read> failed = failed_reads(log);
      const uint64_t sectors = (f.offset + f.length + 511) / 512 - f.offset / 512;
      EXPECT_LE(failed.size(), sectors + 1);
      EXPECT_EQ(std::set<failed_read>(failed.begin(), failed.end()).size(), failed.size());

      // kestrune -d with the parameters, and with --detect, restores every chunk before the one
      // the scan says it fails at, and all of them when the scan says no byte is lost.
      const std::vector<std::string> explicit_args =
          geometry_args(g).empty() ? all_geometry_args(g) : std::vector<std::string>{};
      const run_result decoded = decode(stream, g, feed::file, explicit_args, failing);
      const run_result detected = decode(stream, defaults, feed::file, {"--detect"}, failing);
      const bool fails = !s["decoder_fails_at"].is_null();
      EXPECT_EQ(s["lost_bytes"].number() > 0, fails);
      EXPECT_EQ(decoded.status, fails ? 1 : 0) << decoded.err;
      const uint64_t restored =
          fails ? static_cast<uint64_t>(s["decoder_fails_at"].number()) : UINT64_MAX;
      EXPECT_TRUE(same_bytes(decoded.out, chunks_of(data, g, 0, restored)));
      EXPECT_EQ(detected.status, decoded.status) << detected.err;
      EXPECT_TRUE(same_bytes(detected.out, decoded.out));
    }
  }
}

}  // namespace
}  // namespace kestrune::test
