// SPDX-License-Identifier: MIT
// scan_salvage_test.cpp - --salvage under random damage: every readable byte of the user data in
// its place, zeros exactly where the report says data is lost, and the report's verdicts the ones
// the damage implies.
#include <gtest/gtest.h>

#include "tests/scan/scan_support.h"

namespace kestrune::test {
namespace {

struct range {
  int64_t start;
  int64_t length;
};

void add(std::vector<range>& ranges, int64_t start, int64_t length) {
  if (length == 0) return;  // block 0 of a 26-byte block holds no user byte
  if (!ranges.empty() && ranges.back().start + ranges.back().length == start) {
    ranges.back().length += length;
  } else {
    ranges.push_back({start, length});
  }
}

std::string ranges_json(const std::vector<range>& ranges) {
  std::string text = "[";
  for (const range& r : ranges) {
    if (text.size() > 1) text += ",";
    text +=
        R"({"start":)" + std::to_string(r.start) + R"(,"length":)" + std::to_string(r.length) + "}";
  }
  return text + "]";
}

// What the scan must report for a stream whose damaged blocks are known: every damaged block is
// rejected, every other one accepted.
struct expectation {
  std::string statuses;  // I, R or L per chunk
  std::vector<range> lost;
  bool last_lost_headless = false;
};

expectation expect(const stream_geometry& g, size_t data_size,
                   const std::vector<std::vector<bool>>& damaged) {
  expectation e;
  const int64_t capacity = static_cast<int64_t>(g.capacity());
  const int64_t packet = static_cast<int64_t>(g.payload_len());
  int64_t offset = 0;
  for (size_t m = 0; m < damaged.size(); m++) {
    const int bad = static_cast<int>(std::count(damaged[m].begin(), damaged[m].end(), true));
    const bool last = m + 1 == damaged.size();
    int64_t length = last ? static_cast<int64_t>(data_size) - offset : capacity;
    if (bad == 0) {
      e.statuses += 'I';
    } else if (bad <= g.n - g.k) {
      e.statuses += 'R';
    } else {
      e.statuses += 'L';
      // Without its block 0 a lost chunk's length is not known: taken as full.
      if (damaged[m][0]) length = capacity;
      e.last_lost_headless = last && damaged[m][0];
      for (int i = 0; i < g.k; i++) {
        const int64_t start = i == 0 ? 0 : i * packet - 8;
        const int64_t span = i == 0 ? packet - 8 : packet;
        if (start < length && damaged[m][i]) {
          add(e.lost, offset + start, std::min(span, length - start));
        }
      }
    }
    offset += length;
  }
  return e;
}

TEST(ScanSalvage, RandomDamageKeepsEveryReadableByteInItsPlace) {
  seeded_random random;
  const stream_geometry geometries[] = {
      {.blocksize = 128, .n = 6, .k = 4},
      {.blocksize = 26, .n = 3, .k = 2},
      {.blocksize = 1024, .n = 18, .k = 14},
      {.blocksize = 100, .n = 10, .k = 7},
  };
  const double rates[] = {0.04, 0.15, 0.35};
  for (const stream_geometry& g : geometries) {
    for (const double rate : rates) {
      const size_t size = random.between(size_t{1}, g.capacity() * 6);
      SCOPED_TRACE("blocksize " + std::to_string(g.blocksize) + ", rate " + std::to_string(rate) +
                   ", " + std::to_string(size) + " bytes");
      const std::string data = pattern_bytes(size, random.next());
      std::string stream = encode(data, g);
      const size_t chunks = stream.size() / g.chunk_bytes();
      std::vector<std::vector<bool>> damaged(chunks, std::vector<bool>(g.n, false));
      for (size_t m = 0; m < chunks; m++) {
        for (int i = 0; i < g.n; i++) {
          if (!random.chance(rate)) continue;
          damaged[m][i] = true;
          // A wiped block, or one changed byte anywhere in it, trailer included.
          if (random.chance(0.5)) {
            zero_block(stream, g, {m, i});
          } else {
            flip_bytes(stream, g, {m, i}, random.below(size_t(g.blocksize)));
          }
        }
      }
      const expectation e = expect(g, size, damaged);

      const temp_dir dir;
      std::vector<std::string> args = all_geometry_args(g);
      args.insert(args.end(), {"--json", "--salvage", dir.file("from-file")});
      const run_result r = scan(stream, feed::file, args);
      const bool lost = e.statuses.find('L') != std::string::npos;
      const bool damaged_at_all = e.statuses.find('R') != std::string::npos;
      ASSERT_EQ(r.status, lost ? 3 : damaged_at_all ? 2 : 0) << r.err;
      const json_report report = read_json_report(r.out);

      std::string statuses;
      for (const json_value& chunk : report.chunks) {
        statuses += static_cast<char>(toupper(chunk["status"].string()[0]));
      }
      EXPECT_EQ(statuses, e.statuses);
      EXPECT_EQ(report.summary["lost_data"].text(), ranges_json(e.lost));
      EXPECT_EQ(report.summary["end"].string(),
                e.last_lost_headless ? "after lost chunk" : "last chunk");

      const std::string salvaged = read_file(dir.file("from-file"));
      EXPECT_TRUE(salvage_matches(salvaged, data, report));
      if (!lost) {
        EXPECT_TRUE(same_bytes(salvaged, data));
      }

      // Salvaging from a pipe writes the same bytes.
      args[args.size() - 1] = dir.file("from-pipe");
      const run_result piped = scan(stream, feed::pipe, args);
      EXPECT_EQ(piped.status, r.status);
      EXPECT_TRUE(same_bytes(read_file(dir.file("from-pipe")), salvaged));
    }
  }
}

// Bytes deleted from or inserted into the middle of a stream: the salvage from a pipe is realigned
// as the one from a file is (the pipe is spooled), to a file or to standard output, with the same
// bytes, the same report but for its input line, and the same exit status; an undamaged stream's
// salvage is its data either way.
TEST(ScanSalvage, APipeIsRealignedAsAFileIs) {
  struct shift {
    const char* name;
    size_t deleted;
    size_t inserted;
    int status;
  };
  const shift shifts[] = {
      {"1000 bytes deleted", 1000, 0, 3},
      {"1000 bytes inserted", 0, 1000, 3},
      {"no damage", 0, 0, 0},
  };
  const stream_geometry g;
  const std::string data = pattern_bytes(12 * g.capacity() + 5000, 17);
  const std::string clean = encode(data, g);
  const temp_dir dir;
  for (const shift& sh : shifts) {
    for (const std::string& salvage : {dir.file("salvage"), std::string("-")}) {
      SCOPED_TRACE(std::string(sh.name) + ", salvage to " + salvage);
      std::string stream = clean;
      const size_t middle = stream.size() / 2 + 100;
      stream.erase(middle, sh.deleted);
      stream.insert(middle, pattern_bytes(sh.inserted, 18));
      run_options options;
      options.program = scan_path();
      std::string reports[2];
      std::string salvaged[2];
      const input_from froms[] = {input_from::stdin_file, input_from::pipe};
      for (int i = 0; i < 2; i++) {
        const run_result r = run_in({"--salvage", salvage}, froms[i], stream, output_to::captured,
                                    options, "stream.kst");
        EXPECT_EQ(r.status, sh.status) << name_of(froms[i]) << "\n" << r.out << r.err;
        // The report without its first line, "input: standard input (file)" or "(read in order)".
        reports[i] = salvage == "-" ? r.err : r.out;
        reports[i].erase(0, reports[i].find('\n') + 1);
        salvaged[i] = salvage == "-" ? r.out : read_file(salvage);
      }
      EXPECT_EQ(reports[1], reports[0]);
      EXPECT_TRUE(same_bytes(salvaged[1], salvaged[0]));
      // Realigned, the salvage loses nothing: no chunk lost more than its spare blocks.
      EXPECT_TRUE(same_bytes(salvaged[1], data));
      EXPECT_EQ(reports[1].find("\nsalvage: realigned") != std::string::npos, sh.status != 0)
          << reports[1];
    }
  }
}

}  // namespace
}  // namespace kestrune::test
