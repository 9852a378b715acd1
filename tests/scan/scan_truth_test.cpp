// SPDX-License-Identifier: MIT
// scan_truth_test.cpp - kestrune-scan's verdict is a promise: whenever it exits 0 or 2, the restore
// command it prints gives back exactly the original bytes; otherwise it exits 1 or 3. Checked for
// every kind of damage, with the parameters found by the probe.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/unreadable.h"

namespace kestrune::test {
namespace {

const std::string scan_binary = KESTRUNE_SCAN_BINARY;

struct params {
  int blocksize = 1024;
  int n = 18;
  int k = 14;
};

std::vector<std::string> args_of(const params& p) {
  return {"-b", std::to_string(p.blocksize), "-n", std::to_string(p.n), "-k", std::to_string(p.k)};
}

std::string encode(const std::string& data, const params& p) {
  run_options o;
  o.stdin_bytes = data;
  const run_result r = run_program(args_of(p), o);
  if (r.status != 0) throw std::runtime_error("encoding failed: " + r.err);
  return r.out;
}

size_t block_at(const params& p, size_t chunk, int position) {
  return (chunk * size_t(p.n) + size_t(position)) * size_t(p.blocksize);
}

void copy_block(std::string& to, const std::string& from, const params& p, size_t chunk,
                int position) {
  const size_t at = block_at(p, chunk, position);
  to.replace(at, size_t(p.blocksize), from, at, size_t(p.blocksize));
}

// The data, an older version of it (a few bytes changed in every packet) and the stream of each.
struct material {
  params p;
  std::string data;
  std::string stream;
  std::string old_stream;
};

material make(const params& p, size_t size, uint64_t seed) {
  material m;
  m.p = p;
  m.data = pattern_bytes(size, seed);
  std::string old = m.data;
  for (size_t at = 3; at < old.size(); at += 300) old[at] = static_cast<char>(~old[at]);
  m.stream = encode(m.data, p);
  m.old_stream = encode(old, p);
  return m;
}

struct truth_case {
  const char* name;
  // Builds the damaged stream from the material.
  std::function<std::string(const material&)> damage;
  int expected_status;
};

void PrintTo(const truth_case& c, std::ostream* os) { *os << c.name; }

class ScanTruth : public ::testing::TestWithParam<truth_case> {};

TEST_P(ScanTruth, ZeroOrTwoOnlyWhenTheRestoreGivesTheDataBack) {
  const truth_case& c = GetParam();
  const material m = make(params{}, 100000, 20261210);
  const temp_dir dir;
  const std::string path = dir.file("archive.kst");
  write_file(path, c.damage(m));

  run_options scan_options;
  scan_options.program = scan_binary;
  const run_result scan = run_program({path}, scan_options);
  EXPECT_EQ(scan.status, c.expected_status) << scan.out << scan.err;

  // The restore command as printed: "restore with: kestrune -d -b B -n N -k K FILE".
  const std::string tag = "restore with: kestrune ";
  const size_t at = scan.out.find(tag);
  if (scan.status == 0 || scan.status == 2) {
    ASSERT_NE(at, std::string::npos) << scan.out;
    std::vector<std::string> args;
    std::string line = scan.out.substr(at + tag.size());
    line = line.substr(0, line.find('\n'));
    for (size_t from = 0; from < line.size();) {
      const size_t end = std::min(line.find(' ', from), line.size());
      args.push_back(line.substr(from, end - from));
      from = end + 1;
    }
    const run_result restore = run_program(args);
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_TRUE(restore.out == m.data) << "the restore gave other bytes";
  } else {
    EXPECT_TRUE(scan.status == 1 || scan.status == 3) << scan.status;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ScanTruth,
    ::testing::Values(
        truth_case{"intact", [](const material& m) { return m.stream; }, 0},
        truth_case{"flipped bytes in three blocks",
                   [](const material& m) {
                     std::string s = m.stream;
                     for (const int position : {0, 5, 16}) s[block_at(m.p, 2, position) + 9] ^= 1;
                     return s;
                   },
                   2},
        truth_case{"five blocks of a chunk zeroed",
                   [](const material& m) {
                     std::string s = m.stream;
                     for (int position = 0; position < 5; position++) {
                       s.replace(block_at(m.p, 1, position), size_t(m.p.blocksize),
                                 size_t(m.p.blocksize), '\0');
                     }
                     return s;
                   },
                   3},
        truth_case{"a block written with another k where the decoder reads",
                   [](const material& m) {
                     std::string s = m.stream;
                     const std::string other = encode(m.data, params{1024, 18, 13});
                     copy_block(s, other, m.p, 1, 3);
                     return s;
                   },
                   3},
        truth_case{"truncated inside a chunk",
                   [](const material& m) { return m.stream.substr(0, block_at(m.p, 3, 6)); }, 3},
        truth_case{"a stale data block",
                   [](const material& m) {
                     std::string s = m.stream;
                     copy_block(s, m.old_stream, m.p, 2, 4);
                     return s;
                   },
                   2},
        truth_case{"a stale parity block and a lost data block",
                   [](const material& m) {
                     std::string s = m.stream;
                     copy_block(s, m.old_stream, m.p, 0, 14);
                     s.replace(block_at(m.p, 0, 1), size_t(m.p.blocksize), size_t(m.p.blocksize),
                               '\0');
                     return s;
                   },
                   2},
        truth_case{"a stale block where only k + 1 blocks are acceptable",
                   [](const material& m) {
                     std::string s = m.stream;
                     copy_block(s, m.old_stream, m.p, 3, 5);
                     for (const int position : {0, 1, 2}) {
                       s.replace(block_at(m.p, 3, position), size_t(m.p.blocksize),
                                 size_t(m.p.blocksize), '\0');
                     }
                     return s;
                   },
                   3},
        truth_case{"two stale blocks in one chunk",
                   [](const material& m) {
                     std::string s = m.stream;
                     copy_block(s, m.old_stream, m.p, 4, 2);
                     copy_block(s, m.old_stream, m.p, 4, 9);
                     return s;
                   },
                   2},
        // Blocks 3 and 14 of an older version in which only data packet 3 of the chunk differs:
        // they agree with each other and with the data blocks, and are outvoted by the other
        // three parity blocks.
        truth_case{"two stale blocks that agree with each other",
                   [](const material& m) {
                     std::string old = m.data;
                     const size_t packet3 = 14076 + 3 * 1006 - 8;
                     for (size_t at = packet3; at < packet3 + 1006; at += 100) old[at] ^= 0x21;
                     const std::string old_stream = encode(old, m.p);
                     std::string s = m.stream;
                     copy_block(s, old_stream, m.p, 1, 3);
                     copy_block(s, old_stream, m.p, 1, 14);
                     return s;
                   },
                   2},
        truth_case{"three stale blocks in a chunk of 18 acceptable",
                   [](const material& m) {
                     std::string s = m.stream;
                     for (const int position : {0, 7, 14})
                       copy_block(s, m.old_stream, m.p, 2, position);
                     return s;
                   },
                   3},
        truth_case{"chunks 0 and 1 exchanged",
                   [](const material& m) {
                     std::string s = m.stream;
                     const size_t chunk = size_t(m.p.n) * size_t(m.p.blocksize);
                     const std::string first = s.substr(0, chunk);
                     s.replace(0, chunk, s, chunk, chunk);
                     s.replace(chunk, chunk, first);
                     return s;
                   },
                   3},
        truth_case{"the last chunk moved to the middle",
                   [](const material& m) {
                     std::string s = m.stream;
                     const size_t chunk = size_t(m.p.n) * size_t(m.p.blocksize);
                     const std::string last = s.substr(s.size() - chunk);
                     s.erase(s.size() - chunk);
                     s.insert(2 * chunk, last);
                     return s;
                   },
                   3},
        truth_case{"garbage appended",
                   [](const material& m) { return m.stream + pattern_bytes(5000, 7); }, 0},
        truth_case{"a stray block of another stream",
                   [](const material& m) {
                     std::string s = m.stream;
                     const std::string other = encode(m.data, params{1024, 256, 14});
                     s.replace(block_at(m.p, 1, 7), 1024, other, 200 * 1024, 1024);
                     return s;
                   },
                   2},
        truth_case{"written over an older, longer archive with another n",
                   [](const material& m) {
                     std::string s = encode(pattern_bytes(400000, 3), params{1024, 20, 14});
                     s.replace(0, m.stream.size(), m.stream);
                     return s;
                   },
                   3},
        truth_case{"the first 20 KiB zeroed",
                   [](const material& m) {
                     std::string s = m.stream;
                     s.replace(0, 20 * 1024, 20 * 1024, '\0');
                     return s;
                   },
                   3}));

// User data that holds a small-block stream of its own, at a block boundary of the outer one: the
// probe takes the parameters that explain the input, not the inner stream's.
TEST(ScanTruth, AStreamInsideTheDataIsNotTheStream) {
  const temp_dir dir;
  const std::string inner = encode(pattern_bytes(3000, 1), params{64, 6, 4});
  const std::string data = std::string(56, '\0') + inner + pattern_bytes(300000, 2);
  const std::string path = dir.file("outer.kst");
  write_file(path, encode(data, params{}));
  run_options scan_options;
  scan_options.program = scan_binary;
  const run_result scan = run_program({path}, scan_options);
  EXPECT_EQ(scan.status, 0) << scan.out;
  EXPECT_NE(scan.out.find("restore with: kestrune -d -b 1024 -n 18 -k 14 "), std::string::npos)
      << scan.out;
}

// A new archive written over an older, longer one with another n: the probe takes the n of the
// stream that starts the input, and, with most of the input after its last chunk, promises nothing.
TEST(ScanTruth, AnOlderArchiveBehindTheStreamDoesNotSetN) {
  const temp_dir dir;
  std::string s = encode(pattern_bytes(400000, 3), params{1024, 20, 14});
  const std::string stream = encode(pattern_bytes(60000, 4), params{});
  s.replace(0, stream.size(), stream);
  const std::string path = dir.file("over.kst");
  write_file(path, s);
  run_options scan_options;
  scan_options.program = scan_binary;
  const run_result scan = run_program({path}, scan_options);
  EXPECT_EQ(scan.status, 3) << scan.out;
  EXPECT_NE(scan.out.find("restore with: kestrune -d -b 1024 -n 18 -k 14 "), std::string::npos)
      << scan.out;
}

// An unreadable stretch at the start of the input: the probe reads around it (as zeros) and
// finds the parameters from the blocks behind it.
TEST(ScanTruth, AnUnreadableStretchDoesNotEndTheProbe) {
  const material m = make(params{}, 100000, 5);
  const temp_dir dir;
  const std::string path = dir.file("archive.kst");
  write_file(path, m.stream);
  for (const read_failure how : {read_failure::whole_read, read_failure::after_a_short}) {
    SCOPED_TRACE(name_of(how));
    run_options scan_options;
    scan_options.program = scan_binary;
    scan_options.env = unreadable_bytes(3000, 1000, how);
    const run_result scan = run_program({path}, scan_options);
    EXPECT_EQ(scan.status, 2) << scan.out << scan.err;
    EXPECT_NE(scan.out.find("restore with: kestrune -d -b 1024 -n 18 -k 14 "), std::string::npos)
        << scan.out;
  }
}

// A pipe that never ends after the last chunk: the scan stops reading after a bounded amount and
// says "at least".
TEST(ScanTruth, ANeverEndingPipeAfterTheLastChunk) {
  const material m = make(params{}, 30000, 6);
  const temp_dir dir;
  const std::string path = dir.file("archive.kst");
  write_file(path, m.stream);
  run_options shell;
  shell.program = "/bin/sh";
  const run_result scan = run_program(
      {"-c", "cat \"$1\" /dev/zero | \"$2\" -b 1024 -n 18 -k 14", "sh", path, scan_binary}, shell);
  EXPECT_EQ(scan.status, 0) << scan.out << scan.err;
  // 64 MiB beyond the last chunk, counted from where the scan's last read ended.
  const std::string tag = "trailing: at least ";
  const size_t at = scan.out.find(tag);
  ASSERT_NE(at, std::string::npos) << scan.out;
  const long long counted = std::stoll(scan.out.substr(at + tag.size()));
  EXPECT_GE(counted, 64LL << 20);
  EXPECT_LT(counted, 65LL << 20);
}

}  // namespace
}  // namespace kestrune::test
