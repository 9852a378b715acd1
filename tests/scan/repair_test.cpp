// SPDX-License-Identifier: MIT
// repair_test.cpp - kestrune-scan --repair and its --salvage on streams with bytes deleted or
// inserted, chunks exchanged or moved, stale blocks, and copies lost in different places: the
// repaired stream is byte for byte what kestrune writes for the original data, the salvage is the
// original data, and the exit status and the report say what was done.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>

#include "tests/scan/scan_support.h"

namespace kestrune::test {
namespace {

const stream_geometry geometries[] = {
    {.blocksize = 1024, .n = 18, .k = 14},
    {.blocksize = 512, .n = 10, .k = 7},
    {.blocksize = 4096, .n = 16, .k = 12},
};

// The copies a damage kind leaves, and what the report must say of them.
struct damaged {
  std::vector<std::string> copies = {};
  std::vector<int64_t> shifts = {};  // the byte counts of copy 1's alignment shifts, in order
  int64_t out_of_place = 0;
  int64_t inconsistent = 0;
  int64_t merged = 0;
  bool older = false;  // blocks of an older version stand in it
};

struct kind {
  std::string name;
  std::function<damaged(const std::string& stream, const std::string& data,
                        const stream_geometry& g, seeded_random& random)>
      make;
};

uint64_t chunks_in(const std::string& stream, const stream_geometry& g) {
  return stream.size() / g.chunk_bytes();
}

// A place from the third chunk to the start of the last one: the first chunks stay intact for
// the parameter probe, which reads them when -b, -n and -k are not given.
size_t somewhere(const std::string& stream, const stream_geometry& g, seeded_random& random,
                 bool block_aligned) {
  const size_t at = random.between(size_t{2 * g.chunk_bytes()}, stream.size() - g.chunk_bytes());
  return block_aligned ? at - at % static_cast<size_t>(g.blocksize) : at;
}

std::string random_bytes(size_t count, seeded_random& random) {
  std::string bytes(count, '\0');
  for (char& c : bytes) c = static_cast<char>(random.byte());
  return bytes;
}

// Deletes `amount` bytes (negative) or inserts that many random ones (positive).
kind shift(int64_t amount, bool block_aligned) {
  const std::string what = std::string(amount < 0 ? "deleted" : "inserted") +
                           (block_aligned ? " at a block boundary" : "");
  return {std::to_string(amount < 0 ? -amount : amount) + " bytes " + what,
          [amount, block_aligned](const std::string& stream, const std::string&,
                                  const stream_geometry& g, seeded_random& random) {
            std::string s = stream;
            const size_t at = somewhere(s, g, random, block_aligned);
            if (amount < 0) {
              s.erase(at, static_cast<size_t>(-amount));
            } else {
              s.insert(at, random_bytes(static_cast<size_t>(amount), random));
            }
            return damaged{.copies = {s}, .shifts = {amount}};
          }};
}

std::vector<kind> kinds(const stream_geometry& g) {
  std::vector<kind> list;
  for (const int64_t amount :
       {int64_t{1}, int64_t{17}, int64_t{512}, int64_t{1000}, int64_t{g.blocksize}}) {
    for (const bool aligned : {false, true}) {
      list.push_back(shift(-amount, aligned));
      list.push_back(shift(amount, aligned));
    }
  }
  list.push_back({"700 bytes deleted, and 300 inserted two chunks later",
                  [](const std::string& stream, const std::string&, const stream_geometry& g,
                     seeded_random& random) {
                    std::string s = stream;
                    const size_t cut =
                        random.between(size_t{2 * g.chunk_bytes()}, size_t{4 * g.chunk_bytes()});
                    s.erase(cut, 700);
                    const size_t put = random.between(cut + 2 * g.chunk_bytes(), s.size() - 1);
                    s.insert(put, random_bytes(300, random));
                    return damaged{.copies = {s}, .shifts = {-700, 300}};
                  }});
  list.push_back(
      {"blocks damaged in pairs around lone intact ones, no shift",
       [](const std::string& stream, const std::string&, const stream_geometry& g, seeded_random&) {
         // Positions 1, 2, 4, 5, ...: as many as the chunk can lose, so that block 3
         // and the others between pairs are needed.
         std::string s = stream;
         for (uint64_t m = 2; m < chunks_in(s, g); m++) {
           int damaged_blocks = 0;
           for (int i = 1; i < g.n && damaged_blocks < g.n - g.k; i++) {
             if (i % 3 == 0) continue;
             zero_block(s, g, {m, i});
             damaged_blocks++;
           }
         }
         return damaged{.copies = {s}};
       }});
  list.push_back({"two chunks exchanged", [](const std::string& stream, const std::string&,
                                             const stream_geometry& g, seeded_random& random) {
                    std::string s = stream;
                    const uint64_t a = random.between(uint64_t{0}, chunks_in(s, g) - 3);
                    swap_chunks(s, g, a, a + 1);
                    return damaged{.copies = {s}, .out_of_place = 2};
                  }});
  list.push_back({"two stretches exchanged, neither at a block boundary",
                  [](const std::string& stream, const std::string&, const stream_geometry& g,
                     seeded_random& random) {
                    // Each across the boundary of two chunks, as many blocks of each as it can
                    // lose: more in a row than damage in place, yet the length is kept and nothing
                    // is lost, so no shift either.
                    std::string s = stream;
                    const int64_t spare = g.n - g.k;
                    const size_t length = static_cast<size_t>((2 * spare - 1) * g.blocksize - 37);
                    // Not the same distance from a block boundary either, which would put the
                    // blocks of each where the other's stood.
                    const size_t into_a = 100 + random.below(static_cast<size_t>(g.blocksize) / 2);
                    const size_t into_b =
                        into_a + 1 + random.below(static_cast<size_t>(g.blocksize) / 2 - 200);
                    const size_t before = static_cast<size_t>(spare * g.blocksize);
                    const size_t a = g.chunk_offset(3) - before + into_a;
                    const size_t b = g.chunk_offset(7) - before + into_b;
                    const std::string first = s.substr(a, length);
                    s.replace(a, length, s.substr(b, length));
                    s.replace(b, length, first);
                    return damaged{.copies = {s}};
                  }});
  list.push_back(
      {"the last chunk moved to the middle", [](const std::string& stream, const std::string&,
                                                const stream_geometry& g, seeded_random& random) {
         const uint64_t chunks = chunks_in(stream, g);
         const uint64_t to = random.between(uint64_t{1}, chunks - 2);
         const size_t last = (chunks - 1) * g.chunk_bytes();
         std::string s = stream.substr(0, last);
         s.insert(to * g.chunk_bytes(), stream.substr(last));
         // The last chunk and every chunk behind it stand one place off.
         return damaged{.copies = {s}, .out_of_place = static_cast<int64_t>(chunks - to)};
       }});
  list.push_back(
      {"a block of an older version in every chunk",
       [](const std::string& stream, const std::string& data, const stream_geometry& g,
          seeded_random& random) {
         std::string older_data = data;
         for (size_t i = 0; i < older_data.size(); i += 97) older_data[i] ^= 0x5a;
         const std::string older = encode(older_data, g);
         // Each stale block stands at its own position: alone, it passes. Where the
         // versions do not differ (the zeros after the last chunk's data) it is the
         // same block.
         std::string s = stream;
         int64_t stale = 0;
         for (uint64_t m = 0; m < chunks_in(s, g); m++) {
           const int position = random.below(g.n);
           splice_block(s, g, {m, position}, older, {m, position});
           stale += block_bytes(s, g, {m, position}) != block_bytes(stream, g, {m, position});
         }
         return damaged{.copies = {s}, .inconsistent = stale, .older = true};
       }});
  // Two blocks of an older version in which one data packet of chunk 1 differs: the changed data
  // block and the first parity block after the k, which agree with each other and with every
  // other data block. Found where the radius reaches two blocks.
  if (g.n - g.k >= 4) {
    list.push_back({"two stale blocks of a chunk that agree with each other",
                    [](const std::string& stream, const std::string& data, const stream_geometry& g,
                       seeded_random&) {
                      std::string older_data = data;
                      const size_t packet3 = g.capacity() + 3 * g.payload_len() - 8;
                      for (size_t i = packet3; i < packet3 + g.payload_len(); i += 61) {
                        older_data[i] ^= 0x5a;
                      }
                      const std::string older = encode(older_data, g);
                      std::string s = stream;
                      for (const int position : {3, g.k}) {
                        splice_block(s, g, {1, position}, older, {1, position});
                      }
                      return damaged{.copies = {s}, .inconsistent = 2, .older = true};
                    }});
  }
  list.push_back({"a block written again right behind itself, first as an older version's",
                  [](const std::string& stream, const std::string& data, const stream_geometry& g,
                     seeded_random& random) {
                    // A drive that rewrites a block after a failed write: one block inserted, and
                    // the later writing holds the data.
                    std::string older_data = data;
                    for (size_t i = 0; i < older_data.size(); i += 97) older_data[i] ^= 0x5a;
                    const std::string older = encode(older_data, g);
                    const uint64_t m = random.between(uint64_t{2}, chunks_in(stream, g) - 2);
                    const int position = random.below(g.n);
                    std::string s = stream;
                    splice_block(s, g, {m, position}, older, {m, position});
                    s.insert(g.chunk_offset(m) + static_cast<size_t>(position + 1) * g.blocksize,
                             block_bytes(stream, g, {m, position}));
                    return damaged{.copies = {s}, .shifts = {g.blocksize}, .older = true};
                  }});
  list.push_back({"misdirected writes: blocks 0 and 1 of a chunk written over its blocks 3 and 4",
                  [](const std::string& stream, const std::string&, const stream_geometry& g,
                     seeded_random& random) {
                    std::string s = stream;
                    const uint64_t m = random.between(uint64_t{2}, chunks_in(s, g) - 2);
                    splice_block(s, g, {m, 3}, stream, {m, 0});
                    splice_block(s, g, {m, 4}, stream, {m, 1});
                    return damaged{.copies = {s}};
                  }});
  list.push_back({"the last chunk written twice", [](const std::string& stream, const std::string&,
                                                     const stream_geometry& g, seeded_random&) {
                    const size_t chunk = static_cast<size_t>(g.chunk_bytes());
                    return damaged{.copies = {stream + stream.substr(stream.size() - chunk)},
                                   .out_of_place = 1};
                  }});
  list.push_back({"the end cut and an older version's last chunk behind it",
                  [](const std::string& stream, const std::string& data, const stream_geometry& g,
                     seeded_random&) {
                    // A medium rewritten with a newer version: a stream has one last chunk, and the
                    // decoder stops at the first, which the cut leaves with enough blocks.
                    std::string older_data = data;
                    for (size_t i = 0; i < older_data.size(); i += 97) older_data[i] ^= 0x5a;
                    const std::string older = encode(older_data, g);
                    const size_t chunk = static_cast<size_t>(g.chunk_bytes());
                    const size_t cut = static_cast<size_t>(g.blocksize) * (g.n - g.k) - 100;
                    return damaged{.copies = {stream.substr(0, stream.size() - cut) +
                                              older.substr(older.size() - chunk)},
                                   .shifts = {-static_cast<int64_t>(cut)},
                                   .older = true};
                  }});
  list.push_back({"two copies, each with another chunk lost",
                  [](const std::string& stream, const std::string&, const stream_geometry& g,
                     seeded_random& random) {
                    const uint64_t chunks = chunks_in(stream, g);
                    const uint64_t a = random.below(chunks);
                    const uint64_t b = (a + 1 + random.below(chunks - 1)) % chunks;
                    std::string first = stream;
                    std::string second = stream;
                    for (int i = 0; i <= g.n - g.k; i++) {
                      zero_block(first, g, {a, i});
                      zero_block(second, g, {b, g.n - 1 - i});
                    }
                    return damaged{.copies = {first, second}};
                  }});
  list.push_back({"two copies of one chunk, each with too few blocks of it",
                  [](const std::string& stream, const std::string&, const stream_geometry& g,
                     seeded_random& random) {
                    const uint64_t m = random.below(chunks_in(stream, g));
                    std::string first = stream;
                    std::string second = stream;
                    // Copy 1 keeps the first half of the chunk, copy 2 the second.
                    for (int i = 0; i < g.n; i++)
                      zero_block(i < g.n / 2 ? second : first, g, {m, i});
                    return damaged{.copies = {first, second}, .merged = 1};
                  }});
  list.push_back({"two copies of a chunk with too few blocks, one behind a chunk cut out whole",
                  [](const std::string& stream, const std::string&, const stream_geometry& g,
                     seeded_random& random) {
                    const uint64_t m = random.between(uint64_t{2}, chunks_in(stream, g) - 2);
                    std::string first = stream;
                    std::string second = stream;
                    // Copy 1 keeps the last k - 1 blocks; copy 2 the others, block 0 with the
                    // header among them, one place early: the chunk before it is cut out.
                    for (int i = 0; i < g.n; i++)
                      zero_block(i <= g.n - g.k ? first : second, g, {m, i});
                    second.erase(g.chunk_offset(m - 1), static_cast<size_t>(g.chunk_bytes()));
                    // Copy 2's chunks stand a place early from there on.
                    return damaged{.copies = {first, second},
                                   .out_of_place = static_cast<int64_t>(chunks_in(stream, g) - m),
                                   .merged = 1};
                  }});
  return list;
}

// What a run leaves: its status, report and files.
struct outcome {
  run_result run;
  json_value summary;
  std::vector<json_value> copies;
  bool repaired_exists = false;
  std::string repaired;
  std::string salvaged;
};

outcome repair(const std::vector<std::string>& copies, const std::vector<std::string>& options) {
  const temp_dir dir;
  std::vector<std::string> args = options;
  args.insert(args.end(),
              {"--json", "--repair", dir.file("repaired.kst"), "--salvage", dir.file("salvaged")});
  for (size_t c = 0; c < copies.size(); c++) {
    args.push_back(dir.file("copy" + std::to_string(c) + ".kst"));
    write_file(args.back(), copies[c]);
  }
  outcome o;
  run_options run;
  run.program = scan_path();
  o.run = run_program(args, run);
  const std::vector<json_value> lines = parse_json_lines(o.run.out);
  if (!lines.empty()) o.summary = lines.back();
  for (const json_value& line : lines) {
    if (line["type"].string() == "copy") o.copies.push_back(line);
  }
  o.repaired_exists = access(dir.file("repaired.kst").c_str(), F_OK) == 0;
  if (o.repaired_exists) o.repaired = read_file(dir.file("repaired.kst"));
  o.salvaged = read_file(dir.file("salvaged"));
  return o;
}

// A scan of one copy with --salvage alone, to a file or to standard output: the salvage and the
// summary.
std::pair<std::string, json_value> salvage_alone(const std::string& copy,
                                                 const std::vector<std::string>& options,
                                                 bool to_stdout) {
  const temp_dir dir;
  std::vector<std::string> args = options;
  args.insert(args.end(), {"--json", "--salvage", to_stdout ? "-" : dir.file("salvaged"),
                           dir.file("copy.kst")});
  write_file(dir.file("copy.kst"), copy);
  run_options run;
  run.program = scan_path();
  if (to_stdout) run.stdout_file = dir.file("salvaged");
  const run_result r = run_program(args, run);
  const std::vector<json_value> lines = parse_json_lines(to_stdout ? r.err : r.out);
  EXPECT_FALSE(lines.empty()) << r.err;
  return {read_file(dir.file("salvaged")), lines.empty() ? json_value{} : lines.back()};
}

TEST(ScanRepair, EveryDamageKindGivesThePristineStreamAndTheData) {
  seeded_random random;
  for (const stream_geometry& g : geometries) {
    // Ten to eleven chunks, the last one short.
    const std::string data =
        pattern_bytes(g.capacity() * 10 + random.below(g.capacity()), random.next());
    const std::string stream = encode(data, g);
    for (const kind& k : kinds(g)) {
      const damaged d = k.make(stream, data, g, random);
      for (const bool given : {true, false}) {
        SCOPED_TRACE(k.name + ", blocksize " + std::to_string(g.blocksize) +
                     (given ? ", parameters given" : ", parameters found"));
        const outcome o =
            repair(d.copies, given ? all_geometry_args(g) : std::vector<std::string>{});
        ASSERT_EQ(o.run.status, 2) << o.run.err << o.run.out;
        EXPECT_EQ(o.run.err, "");
        ASSERT_TRUE(o.repaired_exists);
        EXPECT_TRUE(same_bytes(o.repaired, stream));
        EXPECT_TRUE(same_bytes(o.salvaged, data));

        const json_value& s = o.summary;
        EXPECT_EQ(s["result"].string(), "repaired");
        EXPECT_EQ(s["lost"].number(), 0);
        EXPECT_EQ(s["lost_data"].text(), "[]");
        EXPECT_EQ(s["chunks"].number(), static_cast<int64_t>(chunks_in(stream, g)));
        EXPECT_EQ(s["out_of_place"].number(), d.out_of_place);
        EXPECT_EQ(s["inconsistent"].number(), d.inconsistent);
        EXPECT_EQ(s["merged"].number(), d.merged);
        EXPECT_EQ(s["repair_bytes"].number(), static_cast<int64_t>(stream.size()));
        ASSERT_EQ(o.copies.size(), d.copies.size());
        std::vector<int64_t> shifts;
        for (const json_value& shift : o.copies[0]["shifts"].array()) {
          shifts.push_back(shift["bytes"].number());
          EXPECT_EQ(shift["change"].string(), shift["bytes"].number() > 0 ? "inserted" : "deleted");
        }
        EXPECT_EQ(shifts, d.shifts);

        // One copy scanned with --salvage alone saves the same data, realigned where the scan
        // alone would lose some.
        if (d.copies.size() == 1) {
          const auto [salvaged, summary] = salvage_alone(
              d.copies[0], given ? all_geometry_args(g) : std::vector<std::string>{}, !given);
          EXPECT_TRUE(same_bytes(salvaged, data));
          EXPECT_EQ(summary["salvage_lost_data"].text(), "[]");
          EXPECT_EQ(summary["salvage_realigned"].boolean(),
                    summary["lost_bytes"].number() > 0 || summary["misplaced"].number() > 0);
        }
      }
    }
  }
}

// Kinds of damage laid one over another at random, most beyond repair: whatever the repair
// says, it never claims more than it has. An exit of 0 or 2 gives a stream that the decoder
// restores to the data and a salvage of the data; an exit of 3 leaves no repaired stream; and
// when the decoder restores a copy by itself, the repair restores the data too. Blocks of an older
// version stay out: beside damage they can leave a chunk with exactly its k blocks, one of them
// stale, which nothing can check.
TEST(ScanRepair, DamageLaidOverDamageKeepsThePromises) {
  seeded_random random(0x1a1d);
  int restored = 0;
  int lost = 0;
  for (const stream_geometry& g : geometries) {
    const std::string data =
        pattern_bytes(g.capacity() * 9 + random.below(g.capacity()), random.next());
    const std::string stream = encode(data, g);
    const std::vector<kind> list = kinds(g);
    for (int trial = 0; trial < 16; trial++) {
      std::vector<std::string> copies = {stream};
      std::string names;
      for (int layers = random.between(2, 3); layers > 0;) {
        const kind& k = list[random.below(list.size())];
        // Each layer damages the first copy; a kind that makes two copies adds its second. A kind
        // that needs more of the stream than the layers before left is drawn again.
        damaged d;
        try {
          d = k.make(copies[0], data, g, random);
        } catch (const std::exception&) {
          continue;
        }
        if (d.older) continue;
        names += k.name + "; ";
        copies[0] = d.copies[0];
        if (d.copies.size() > 1 && copies.size() < 3) copies.push_back(d.copies[1]);
        layers--;
      }
      SCOPED_TRACE(names + "blocksize " + std::to_string(g.blocksize));
      const outcome o = repair(copies, all_geometry_args(g));
      ASSERT_TRUE(o.run.status == 0 || o.run.status == 2 || o.run.status == 3) << o.run.err;
      bool decoder_restores = false;
      for (const std::string& copy : copies) {
        const run_result r = decode(copy, g, feed::file);
        decoder_restores = decoder_restores || (r.status == 0 && r.out == data);
      }
      if (o.run.status == 3) {
        lost++;
        EXPECT_FALSE(o.repaired_exists);
        EXPECT_FALSE(decoder_restores) << "the decoder restores what the repair lost";
        continue;
      }
      restored++;
      ASSERT_TRUE(o.repaired_exists);
      const run_result r = decode(o.repaired, g, feed::file);
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_TRUE(same_bytes(r.out, data));
      EXPECT_TRUE(same_bytes(o.salvaged, data));
    }
  }
  // Both sides of the promises were reached.
  EXPECT_GT(restored, 0);
  EXPECT_GT(lost, 0);
}

// Two stretches of six chunks exchanged, longer than the walk's search window (four chunks): the
// walk follows the other place's blocks and comes back to the old alignment behind them. No shift
// is reported, the chunks found at the other place are put at their own, and the salvage is the
// data, zeros only in the lost ranges (the chunks cut at the stretches' ends).
TEST(ScanRepair, LongStretchesExchangedAreNoShift) {
  const stream_geometry& g = geometries[1];
  const std::string data = pattern_bytes(g.capacity() * 30 + 11, test_seed());
  const std::string stream = encode(data, g);
  std::string s = stream;
  const size_t length = static_cast<size_t>(6 * g.chunk_bytes() + 3);
  const size_t a = g.chunk_offset(3) + 700;
  const size_t b = g.chunk_offset(15) + 1300;
  const std::string first = s.substr(a, length);
  s.replace(a, length, s.substr(b, length));
  s.replace(b, length, first);
  const outcome o = repair({s}, all_geometry_args(g));
  ASSERT_EQ(o.copies.size(), 1u) << o.run.err;
  EXPECT_EQ(o.copies[0]["shifts"].text(), "[]");
  ASSERT_EQ(o.salvaged.size(), data.size());
  std::string expected = data;
  int64_t lost = 0;
  for (const json_value& r : o.summary["lost_data"].array()) {
    ASSERT_GE(r["length"].number(), 0);
    expected.replace(static_cast<size_t>(r["start"].number()),
                     static_cast<size_t>(r["length"].number()),
                     std::string(static_cast<size_t>(r["length"].number()), '\0'));
    lost += r["length"].number();
  }
  EXPECT_TRUE(same_bytes(o.salvaged, expected));
  // Four chunks at the most are cut, at the stretches' ends.
  EXPECT_LE(lost, 4 * static_cast<int64_t>(g.capacity()));
  EXPECT_EQ(o.run.status, lost == 0 ? 2 : 3);
}

// The undamaged stream: exit 0, and the stream again.
TEST(ScanRepair, AnIntactStreamComesBackAsItIs) {
  for (const stream_geometry& g : geometries) {
    const std::string data = pattern_bytes(g.capacity() * 3 + 5, test_seed());
    const std::string stream = encode(data, g);
    const outcome o = repair({stream, stream}, {});
    EXPECT_EQ(o.run.status, 0) << o.run.err;
    EXPECT_EQ(o.summary["result"].string(), "intact");
    EXPECT_EQ(o.summary["intact"].number(), 4);
    EXPECT_TRUE(same_bytes(o.repaired, stream));
    EXPECT_TRUE(same_bytes(o.salvaged, data));
  }
}

// A chunk that no copy can rebuild: exit 3, no repaired stream, the lost range named, and the
// salvage keeps every other byte in its place.
TEST(ScanRepair, ATrulyLostChunkLeavesNoRepairedStream) {
  for (const stream_geometry& g : geometries) {
    const std::string data = pattern_bytes(g.capacity() * 6 + 77, test_seed());
    std::string stream = encode(data, g);
    // Data packets 1 to n - k + 1 of chunk 3, with a shift behind them for good measure.
    for (int i = 1; i <= g.n - g.k + 1; i++) zero_block(stream, g, {3, i});
    stream.erase(g.chunk_offset(5) + 100, 17);
    const outcome o = repair({stream}, all_geometry_args(g));
    EXPECT_EQ(o.run.status, 3) << o.run.err;
    EXPECT_FALSE(o.repaired_exists);
    const int64_t packet = static_cast<int64_t>(g.payload_len());
    const int64_t start = 3 * static_cast<int64_t>(g.capacity()) + packet - 8;
    const int64_t length = (g.n - g.k + 1) * packet;
    EXPECT_EQ(o.summary["lost_data"].text(), R"([{"start":)" + std::to_string(start) +
                                                 R"(,"length":)" + std::to_string(length) + "}]");
    EXPECT_EQ(o.summary["repair_written"].boolean(), false);
    EXPECT_EQ(o.summary["exit"].number(), 3);
    std::string expected = data;
    expected.replace(static_cast<size_t>(start), static_cast<size_t>(length),
                     std::string(static_cast<size_t>(length), '\0'));
    EXPECT_TRUE(same_bytes(o.salvaged, expected));

    // The text report names it too.
    const temp_dir dir;
    write_file(dir.file("lost.kst"), stream);
    run_options run;
    run.program = scan_path();
    std::vector<std::string> args = all_geometry_args(g);
    args.insert(args.end(), {"--repair", dir.file("out.kst"), dir.file("lost.kst")});
    const run_result text = run_program(args, run);
    EXPECT_EQ(text.status, 3);
    EXPECT_TRUE(has_line(text.out, "lost user data: " + std::to_string(length) + " bytes at " +
                                       std::to_string(start) + " (" + std::to_string(length) +
                                       " bytes)"))
        << text.out;
    EXPECT_TRUE(has_line(text.out, "result: data lost (exit 3)")) << text.out;
  }
}

// Standard input and --repair -: the same stream as from a file, the report on standard error.
TEST(ScanRepair, ThroughPipes) {
  const stream_geometry& g = geometries[0];
  const std::string data = pattern_bytes(g.capacity() * 5 + 9, test_seed());
  const std::string stream = encode(data, g);
  std::string shifted = stream;
  shifted.erase(g.chunk_offset(2) + 333, 1000);
  run_options run;
  run.program = scan_path();
  run.stdin_bytes = shifted;
  const run_result r = run_program({"--repair", "-", "-"}, run);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(same_bytes(r.out, stream));
  EXPECT_TRUE(has_line(r.err, "result: repaired, every chunk restored (exit 2)")) << r.err;

  // Nothing goes out when data is lost.
  std::string lost = shifted;
  for (int i = 0; i <= g.n - g.k; i++) zero_block(lost, g, {0, i});
  run.stdin_bytes = lost;
  const run_result l = run_program({"--repair", "-", "-"}, run);
  EXPECT_EQ(l.status, 3) << l.err;
  EXPECT_EQ(l.out, "");
}

// Several files with --salvage alone: the salvage comes from the same repair, and nothing else is
// written.
TEST(ScanRepair, SeveralFilesSalvageAlone) {
  const stream_geometry& g = geometries[2];
  const std::string data = pattern_bytes(g.capacity() * 4 + 1, test_seed());
  const std::string stream = encode(data, g);
  std::string first = stream;
  std::string second = stream;
  for (int i = 0; i <= g.n - g.k; i++) zero_block(first, g, {1, i});
  second.erase(g.chunk_offset(3) + 5, 4096);
  const temp_dir dir;
  write_file(dir.file("first.kst"), first);
  write_file(dir.file("second.kst"), second);
  run_options run;
  run.program = scan_path();
  const run_result r = run_program(
      {"--salvage", dir.file("data"), dir.file("first.kst"), dir.file("second.kst")}, run);
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(same_bytes(read_file(dir.file("data")), data));
  EXPECT_TRUE(has_line(r.out, "result: repaired, every chunk restored (exit 2)")) << r.out;
  EXPECT_TRUE(has_line(r.out, "copy 2: 4096 bytes deleted between " +
                                  std::to_string(g.chunk_offset(3)) + " and " +
                                  std::to_string(g.chunk_offset(3) + 4096) + "; realigned from " +
                                  std::to_string(g.chunk_offset(3) + 4096) + " on (place 3)"))
      << r.out;
}

TEST(ScanRepair, RefusedCommandLines) {
  const stream_geometry& g = geometries[1];
  const temp_dir dir;
  const std::string path = dir.file("copy.kst");
  const std::string stream = encode(pattern_bytes(3000, test_seed()), g);
  write_file(path, stream);
  const std::string fatal = scan_path() + ": ";
  const struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--repair", path, path}, fatal + "the repair file '" + path + "' is an input\n"},
      {{"--repair", "-", "--salvage", "-", path},
       fatal + "--repair - and --salvage - both take standard output\n"},
      {{"--repair", dir.file("out"), "--min-spare", "1", path},
       fatal + "--min-spare does not go with --repair or several files\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    run_options run;
    run.program = scan_path();
    const run_result r = run_program(c.args, run);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
  }
  EXPECT_EQ(read_file(path), stream);
  EXPECT_NE(access(dir.file("out").c_str(), F_OK), 0);
}

// Two consistent versions of the chunks: no count of blocks chooses between them. Copy A is the
// stream with one block of chunk 1 damaged, copy B an older version of it (or another stream of
// the same length and parameters), intact: every chunk is lost as "versions", in either order,
// nothing is written, and the second copy is named as not a copy of the first's stream.
TEST(ScanRepair, TwoVersionsAreAConflictThatNoCountDecides) {
  const stream_geometry g = geometries[0];
  const std::string data = pattern_bytes(g.capacity() * 3 + 700, 0xc0f);
  std::string older_data = data;
  for (size_t i = 0; i < older_data.size(); i += 97) older_data[i] ^= 0x5a;
  std::string a = encode(data, g);
  zero_block(a, g, {1, 2});
  const struct {
    const char* name;
    std::string b;
  } others[] = {{"an older version", encode(older_data, g)},
                {"another stream", encode(pattern_bytes(data.size(), 0xbeef), g)}};
  for (const auto& other : others) {
    for (const bool a_first : {true, false}) {
      SCOPED_TRACE(std::string(other.name) + (a_first ? ", damaged copy first" : ", second"));
      const outcome o = repair(
          a_first ? std::vector<std::string>{a, other.b} : std::vector<std::string>{other.b, a},
          all_geometry_args(g));
      EXPECT_EQ(o.run.status, 3) << o.run.err;
      EXPECT_FALSE(o.repaired_exists);
      const std::vector<json_value> lines = parse_json_lines(o.run.out);
      int versions = 0;
      for (const json_value& line : lines) {
        if (line["type"].string() != "chunk") continue;
        EXPECT_EQ(line["why"].string(), "versions") << line.text();
        versions++;
        // Each version in the copy that holds it whole, or all but the damaged block.
        const json_value& list = line["versions"];
        ASSERT_EQ(list.array().size(), 2u);
      }
      EXPECT_EQ(versions, 4);
      ASSERT_EQ(o.copies.size(), 2u);
      EXPECT_FALSE(o.copies[0]["not_a_copy"].boolean());
      EXPECT_TRUE(o.copies[1]["not_a_copy"].boolean());
      EXPECT_EQ(o.summary["lost"].number(), 4);
      // No version's bytes pass for the data: the salvage holds zeros where the chunks were.
      EXPECT_EQ(o.salvaged.find_first_not_of('\0'), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace kestrune::test
