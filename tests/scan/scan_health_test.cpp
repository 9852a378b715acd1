// SPDX-License-Identifier: MIT
// scan_health_test.cpp - kestrune-scan's verdict on every chunk and on the whole stream, in JSON
// and as text, for intact, damaged, lost, truncated and rearranged streams; the same from a pipe as
// from a file; and what it predicts of kestrune -d, checked against kestrune -d itself.
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "tests/scan/scan_support.h"

namespace kestrune::test {
namespace {

// Small chunks: 6 blocks of 128 bytes, 4 of them data; 432 user bytes a chunk. The data fills
// five chunks and 100 bytes of a sixth.
const stream_geometry g{.blocksize = 128, .n = 6, .k = 4};
constexpr size_t data_size = 432 * 5 + 100;

std::string the_data() { return pattern_bytes(data_size, test_seed()); }

struct rejection {
  int position;
  const char* reason;
};

std::string rejected_json(const std::vector<rejection>& list) {
  std::string text = "[";
  for (const rejection& r : list) {
    if (text.size() > 1) text += ",";
    text += R"({"position":)" + std::to_string(r.position) + R"(,"reason":")" + r.reason + "\"}";
  }
  return text + "]";
}

char letter(const std::string& status) {
  if (status == "intact") return 'I';
  if (status == "repairable") return 'R';
  if (status == "lost") return 'L';
  if (status == "misplaced") return 'M';
  return '?';
}

struct scenario {
  const char* name;
  std::function<void(std::string&)> damage;
  std::vector<std::string> args;  // beyond --json and --salvage
  std::string statuses;           // a letter per chunk: Intact, Repairable, Lost, Misplaced
  std::map<int, std::vector<rejection>> rejected;  // of the damaged chunks
  int exit;
  const char* end;
  const char* lost_data;  // the summary's ranges, as JSON
  int64_t decoder_fails_at;
  const char* decoder_failure;
  int64_t trailing_bytes = 0;
  bool realigned = false;  // the salvage is made as the repair makes it
};

// A block of chunk 1 of a stream written with k = 3: intact, and carrying another k.
std::string foreign_block(int position) {
  stream_geometry other = g;
  other.k = 3;
  const std::string stream = encode(the_data(), other);
  return std::string(block_bytes(stream, other, {1, position}));
}

std::vector<scenario> scenarios() {
  std::map<int, std::vector<rejection>> every_block_k;
  for (int m = 0; m < 6; m++)
    every_block_k[m] = {{0, "k"}, {1, "k"}, {2, "k"}, {3, "k"}, {4, "k"}, {5, "k"}};
  const auto flip = [](std::vector<block_ref> blocks) {
    return [blocks](std::string& s) {
      for (const block_ref& b : blocks) flip_bytes(s, g, b, 7);
    };
  };
  return {
      {"intact", [](std::string&) {}, {}, "IIIIII", {}, 0, "last chunk", "[]", -1, nullptr},
      {"repairable",
       [](std::string& s) {
         flip_bytes(s, g, {1, 0}, 40);
         zero_block(s, g, {1, 5});
         swap_blocks(s, g, {3, 2}, {3, 3});
       },
       {},
       "IRIRII",
       {{1, {{0, "digest"}, {5, "digest"}}}, {3, {{2, "index"}, {3, "index"}}}},
       2,
       "last chunk",
       "[]",
       -1,
       nullptr},
      // Packets 0 to 2 of chunk 2: its bytes 0 to 321, at 2 * 432 in the output.
      {"lost with its header",
       flip({{2, 0}, {2, 1}, {2, 2}}),
       {},
       "IILIII",
       {{2, {{0, "digest"}, {1, "digest"}, {2, "digest"}}}},
       3,
       "last chunk",
       R"([{"start":864,"length":322}])",
       2,
       "unrecoverable error -- too many bad blocks"},
      {"lost, header kept",
       flip({{2, 1}, {2, 2}, {2, 3}}),
       {},
       "IILIII",
       {{2, {{1, "digest"}, {2, "digest"}, {3, "digest"}}}},
       3,
       "last chunk",
       R"([{"start":966,"length":330}])",
       2,
       "unrecoverable error -- too many bad blocks"},
      // Whether the lost last chunk was the last cannot be seen; its length is taken as full.
      {"last chunk lost with its header",
       flip({{5, 0}, {5, 1}, {5, 2}}),
       {},
       "IIIIIL",
       {{5, {{0, "digest"}, {1, "digest"}, {2, "digest"}}}},
       3,
       "after lost chunk",
       R"([{"start":2160,"length":322}])",
       5,
       "unrecoverable error -- too many bad blocks"},
      {"truncated after a chunk",
       [](std::string& s) { truncate_at(s, g.chunk_offset(4)); },
       {},
       "IIII",
       {},
       3,
       "truncated",
       R"([{"start":1728,"length":null}])",
       4,
       "unrecoverable error -- too many bad blocks"},
      {"truncated inside the last chunk's parity",
       [](std::string& s) {
         truncate_at(s, block_offset(g, {5, 4}) + 60);
       },
       {},
       "IIIIIR",
       {{5, {{4, "short"}, {5, "missing"}}}},
       2,
       "last chunk",
       "[]",
       -1,
       nullptr},
      {"chunks exchanged",
       [](std::string& s) { swap_chunks(s, g, 1, 2); },
       {},
       "IMMIII",
       {},
       3,
       "last chunk",
       R"([{"start":432,"length":864}])",
       1,
       "chunk out of order at 768 id 2 expecting 1",
       0,
       true},
      // Every chunk can be rebuilt, but the decoder stops: no promise of a restore (exit 3).
      {"a block written with another k",
       [](std::string& s) {
         overwrite_bytes(s, g, {1, 1}, 0, foreign_block(1));
       },
       {},
       "IRIIII",
       {{1, {{1, "k"}}}},
       3,
       "last chunk",
       "[]",
       1,
       "incorrect K value"},
      // The decoder reads chunk 2 up to block 3 only, and never sees block 5.
      {"a block with another k where the decoder does not read",
       [](std::string& s) {
         overwrite_bytes(s, g, {2, 5}, 0, foreign_block(5));
       },
       {},
       "IIRIII",
       {{2, {{5, "k"}}}},
       2,
       "last chunk",
       "[]",
       -1,
       nullptr},
      {"bytes after the last chunk",
       [](std::string& s) { append_bytes(s, pattern_bytes(100, 7)); },
       {},
       "IIIIII",
       {},
       0,
       "last chunk",
       "[]",
       -1,
       nullptr,
       100},
      {"scanned with the wrong k",
       [](std::string&) {},
       {"-b", "128", "-n", "6", "-k", "3"},
       "LLLLLL",
       every_block_k,
       3,
       "after lost chunk",
       R"([{"start":0,"length":1932}])",
       0,
       "incorrect K value"},
  };
}

TEST(ScanHealth, EveryChunkAndTheStreamAreJudgedAsTheDecoderWould) {
  const std::string data = the_data();
  const std::string clean = encode(data, g);
  for (const scenario& c : scenarios()) {
    SCOPED_TRACE(c.name);
    std::string stream = clean;
    c.damage(stream);

    const temp_dir dir;
    const std::string salvage = dir.file("salvage");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--json", "--salvage", salvage});
    const run_result r = scan(stream, feed::file, args);
    ASSERT_EQ(r.status, c.exit) << r.err << r.out;
    EXPECT_EQ(r.err, "");
    const json_report report = read_json_report(r.out);

    std::string statuses;
    for (const json_value& chunk : report.chunks) statuses += letter(chunk["status"].string());
    EXPECT_EQ(statuses, c.statuses);
    int64_t bad = 0;
    int64_t worst = g.n;
    for (size_t m = 0; m < report.chunks.size(); m++) {
      const json_value& chunk = report.chunks[m];
      SCOPED_TRACE("chunk " + std::to_string(m));
      const auto expected = c.rejected.find(static_cast<int>(m));
      EXPECT_EQ(chunk["rejected"].text(),
                rejected_json(expected == c.rejected.end() ? std::vector<rejection>{}
                                                           : expected->second));
      const int64_t rejected = static_cast<int64_t>(chunk["rejected"].array().size());
      bad += rejected;
      EXPECT_EQ(chunk["chunk"].number(), static_cast<int64_t>(m));
      EXPECT_EQ(chunk["offset"].number(), static_cast<int64_t>(g.chunk_offset(m)));
      EXPECT_EQ(chunk["accepted"].number(), chunk["blocks"].number() - rejected);
      EXPECT_EQ(chunk["spare"].number(), chunk["accepted"].number() - chunk["k"].number());
      worst = std::min(worst, chunk["spare"].number());
      // A chunk that can be rebuilt shows its header: full but the last one.
      if (chunk["status"].string() == "intact" || chunk["status"].string() == "repairable") {
        const bool last = m == 5;
        EXPECT_EQ(chunk["chunk_id"].number(), last ? -1 : static_cast<int64_t>(m));
        EXPECT_EQ(chunk["clen"].number(), last ? 100 : 432);
        EXPECT_EQ(chunk["lost"].text(), "[]");
      }
    }

    const json_value& s = report.summary;
    EXPECT_EQ(s["chunks"].number(), static_cast<int64_t>(c.statuses.size()));
    EXPECT_EQ(s["blocks"].number(), static_cast<int64_t>(c.statuses.size()) * g.n);
    EXPECT_EQ(s["bad_blocks"].number(), bad);
    for (const auto& [field, l] :
         {std::pair{"intact", 'I'}, {"repairable", 'R'}, {"lost", 'L'}, {"misplaced", 'M'}}) {
      EXPECT_EQ(s[field].number(), std::count(c.statuses.begin(), c.statuses.end(), l)) << field;
    }
    EXPECT_EQ(s["worst_spare"].number(), worst);
    EXPECT_EQ(s["end"].string(), c.end);
    EXPECT_EQ(s["trailing_bytes"].number(), c.trailing_bytes);
    EXPECT_EQ(s["lost_data"].text(), c.lost_data);
    if (c.decoder_failure == nullptr) {
      EXPECT_TRUE(s["decoder_fails_at"].is_null());
      EXPECT_TRUE(s["decoder_failure"].is_null());
    } else {
      EXPECT_EQ(s["decoder_fails_at"].number(), c.decoder_fails_at);
      EXPECT_EQ(s["decoder_failure"].string(), c.decoder_failure);
    }
    EXPECT_EQ(s["exit"].number(), c.exit);
    EXPECT_EQ(s["size"].number(), static_cast<int64_t>(stream.size()));

    // The salvage holds every byte but the lost ones, in place; realigned, it loses nothing here.
    const std::string salvaged = read_file(salvage);
    EXPECT_EQ(s["salvage_bytes"].number(), static_cast<int64_t>(salvaged.size()));
    EXPECT_TRUE(salvage_matches(salvaged, data, report));
    EXPECT_EQ(s["salvage_realigned"].boolean(), c.realigned);
    if (c.realigned) {
      EXPECT_TRUE(same_bytes(salvaged, data));
    }

    // A pipe gives the same findings and the same salvage, realigned from its spool file.
    const run_result piped = scan(stream, feed::pipe, args);
    EXPECT_EQ(piped.status, r.status);
    const json_report from_pipe = read_json_report(piped.out);
    EXPECT_EQ(comparable(from_pipe.summary), comparable(s));
    EXPECT_TRUE(same_bytes(read_file(salvage), salvaged));
    ASSERT_EQ(from_pipe.chunks.size(), report.chunks.size());
    for (size_t m = 0; m < report.chunks.size(); m++) {
      EXPECT_EQ(from_pipe.chunks[m].text(), report.chunks[m].text());
    }

    // kestrune -d with the parameters the scan used fails where the scan said, with its message,
    // after writing the chunks before.
    const stream_geometry used{.blocksize = static_cast<int>(s["blocksize"].number()),
                               .n = static_cast<int>(s["n"].number()),
                               .k = static_cast<int>(s["k"].number())};
    const run_result d = decode(stream, used, feed::file);
    if (c.decoder_failure == nullptr) {
      EXPECT_EQ(d.status, 0) << d.err;
      EXPECT_TRUE(same_bytes(d.out, data));
    } else {
      EXPECT_EQ(d.status, 1);
      EXPECT_EQ(d.err, fatal(c.decoder_failure));
      EXPECT_TRUE(same_bytes(
          d.out, data.substr(0, std::min<size_t>(data.size(), c.decoder_fails_at * 432))));
    }
  }
}

TEST(ScanHealth, TextReportNamesTheDamageAndTheRestore) {
  const std::string data = the_data();
  std::string stream = encode(data, g);
  flip_bytes(stream, g, {2, 0}, 7);
  flip_bytes(stream, g, {2, 1}, 7);
  flip_bytes(stream, g, {2, 2}, 7);
  zero_block(stream, g, {3, 5});
  const run_result r = scan(stream, feed::pipe, {"--all"});
  ASSERT_EQ(r.status, 3) << r.err;
  const char* const expected[] = {
      "input: standard input (read in order)",
      "blocksize 128 (found: 32 of 36 blocks at its multiples at the start are intact)",
      "n 6 (found: the block indexes restart every 6 blocks; 26 intact blocks of later chunks "
      "agree)",
      "k 4 (found: the k byte of 32 intact blocks)",
      "restore with: kestrune -d -b 128 -n 6 -k 4",
      "chunk 0 at 0: intact, 6 of 6 blocks (k 4, spare 2), clen 432, id 0",
      "chunk 2 at 1536: lost, 3 of 6 blocks (k 4, spare -1), header lost",
      "  rejected: 0-2 digest",
      "  lost user data: 322 bytes at 864",
      "chunk 3 at 2304: repairable, 5 of 6 blocks (k 4, spare 1), clen 432, id 3",
      "  rejected: 5 digest",
      "chunk 5 at 3840: intact, 6 of 6 blocks (k 4, spare 2), clen 100, id -1",
      "summary: 6 chunks, 36 blocks, 4 bad; 4 intact, 1 repairable, 1 lost, 0 misplaced; worst "
      "spare -1 (chunk 2)",
      "end: chunk 5 is the last (id -1)",
      "lost user data: 322 bytes at 864 (322 bytes)",
      "kestrune -d: stops at chunk 2: unrecoverable error -- too many bad blocks",
      "result: data lost (exit 3)",
  };
  for (const char* line : expected) EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
  // The parameters, a line per chunk, the damaged chunks' details, the summary.
  EXPECT_EQ(lines_of(r.out).size(), 5 + 6 + 3 + 5u);

  // Without --all: the same report but the intact chunks' lines.
  const run_result brief = scan(stream, feed::pipe);
  std::string without_intact;
  for (const std::string& line : lines_of(r.out)) {
    if (line.find(": intact, ") == std::string::npos) without_intact += line + "\n";
  }
  EXPECT_EQ(brief.out, without_intact);
  EXPECT_EQ(brief.status, 3);
}

// A plain scan that loses data the realigning walk would save (bytes deleted from the stream)
// points at --repair; a loss that no realignment saves, and an intact stream, do not.
TEST(ScanHealth, ShiftedBytesPointAtTheRepair) {
  const std::string data = the_data();
  const std::string intact = encode(data, g);
  std::string shifted = intact;
  shifted.erase(2 * g.chunk_bytes() + 300, 50);
  std::string zeroed = intact;
  for (int position = 0; position < 3; position++) zero_block(zeroed, g, {2, position});
  const struct {
    const char* name;
    const std::string& stream;
    bool suggested;
  } cases[] = {{"shifted", shifted, true}, {"zeroed", zeroed, false}, {"intact", intact, false}};
  for (const auto& c : cases) {
    const run_result r = scan(c.stream, feed::file);
    const bool suggested = r.out.find("\ntry: kestrune-scan --repair OUT ") != std::string::npos;
    EXPECT_EQ(suggested, c.suggested) << c.name << "\n" << r.out;
  }
}

TEST(ScanHealth, MinSpareCatchesDecayBeforeDataIsLost) {
  const std::string data = the_data();
  const std::string intact = encode(data, g);
  std::string worn = intact;
  zero_block(worn, g, {4, 2});
  std::string broken = intact;
  for (const int position : {0, 1, 2}) zero_block(broken, g, {1, position});
  const stream_geometry no_parity{.blocksize = 128, .n = 4, .k = 4};
  const std::string no_spare = encode(data, no_parity);

  struct minimum {
    const char* name;
    const std::string& stream;
    std::vector<std::string> args;
    int exit;
    const char* result;
    bool below;
    int64_t worst;
    const char* min_spare;  // as the summary shows it
  };
  const minimum cases[] = {
      {"intact, spare 2 asked for", intact, {"--min-spare", "2"}, 0, "intact", false, 2, "2"},
      {"intact, spare 3 asked for", intact, {"--min-spare=3"}, 2, "low spare", true, 2, "3"},
      {"one bad block, spare 1 asked for", worn, {"--min-spare", "1"}, 2, "damaged", false, 1, "1"},
      {"one bad block, spare 2 asked for", worn, {"--min-spare", "2"}, 2, "damaged", true, 1, "2"},
      {"a lost chunk", broken, {"--min-spare", "0"}, 3, "lost", true, -1, "0"},
      {"k = n, nothing asked", no_spare, {}, 0, "intact", false, 0, "null"},
      {"k = n, spare 1 asked for", no_spare, {"--min-spare", "1"}, 2, "low spare", true, 0, "1"},
  };
  for (const minimum& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = c.args;
    args.push_back("--json");
    const run_result r = scan(c.stream, feed::file, args);
    ASSERT_EQ(r.status, c.exit) << r.err;
    const json_value s = read_json_report(r.out).summary;
    EXPECT_EQ(s["result"].string(), c.result);
    EXPECT_EQ(s["spare_below_minimum"].boolean(), c.below);
    EXPECT_EQ(s["worst_spare"].number(), c.worst);
    EXPECT_EQ(s["min_spare"].text(), c.min_spare);
  }

  const run_result text = scan(intact, feed::file, {"--min-spare", "3"});
  EXPECT_EQ(text.status, 2);
  EXPECT_TRUE(has_line(text.out, "spare: 2 in chunk 0, below the minimum of 3")) << text.out;
  EXPECT_TRUE(has_line(text.out, "result: spare below the minimum (exit 2)")) << text.out;
}

// An empty input, its parameters given, has no chunk: like a truncated stream it counts as lost
// data, as the decoder fails on it.
TEST(ScanHealth, EmptyStreamHasNoLastChunk) {
  for (const feed how : all_feeds) {
    SCOPED_TRACE(feed_name(how));
    std::vector<std::string> args = all_geometry_args(g);
    args.push_back("--json");
    const run_result r = scan("", how, args);
    ASSERT_EQ(r.status, 3) << r.err;
    const json_report report = read_json_report(r.out);
    EXPECT_TRUE(report.chunks.empty());
    EXPECT_EQ(report.summary["end"].string(), "empty");
    EXPECT_EQ(report.summary["chunks"].number(), 0);
    EXPECT_TRUE(report.summary["worst_spare"].is_null());
    EXPECT_EQ(report.summary["decoder_fails_at"].number(), 0);
  }
}

}  // namespace
}  // namespace kestrune::test
