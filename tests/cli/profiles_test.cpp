// SPDX-License-Identifier: MIT
// profiles_test.cpp - -p/--profile and -d --detect through the binary: each profile writes the
// stream of its -b, -n and -k and restores it from a file and a pipe, also after the damage it is
// documented to survive; --detect finds the parameters of the defaults and of every profile behind
// a damaged head, refuses input that is no stream, and yields to the options given beside it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/cli/stream_check.h"
#include "tests/support/geometry.h"
#include "tests/support/process.h"

namespace kestrune::test::cli {
namespace {

const std::string usage_text = "usage: kestrune [-v] [-d] [-b<blocksize>] [-n<n>] [-k<k>] [file]\n";

// A profile as --help documents it: its parameters and the damage it survives.
struct profile_row {
  const char* name;
  stream_geometry g;
  int64_t unit;   // the medium's unit: sector, record
  double rate;    // the share of units lost that it survives
  int64_t burst;  // the burst it survives wherever it falls
};

const profile_row profiles[] = {
    {"disk", {.blocksize = 4096, .n = 141, .k = 109}, 4096, 0.10, 124 << 10},
    {"optical", {.blocksize = 2048, .n = 134, .k = 104}, 2048, 0.10, 58 << 10},
    {"tape", {.blocksize = 256 << 10, .n = 80, .k = 62}, 256 << 10, 0.10, 4 << 20},
    {"network", {.blocksize = 4096, .n = 128, .k = 116}, 4096, 0.02, 44 << 10},
};

enum class feed { file, pipe };
constexpr feed both_feeds[] = {feed::file, feed::pipe};

// Runs kestrune (named so) on the bytes, given as a file operand or through a pipe.
run_result run_on(std::vector<std::string> args, const std::string& input, feed how,
                  const temp_dir& dir) {
  run_options options;
  options.argv0 = "kestrune";
  if (how == feed::file) {
    write_file(dir.file("input"), input);
    args.push_back(dir.file("input"));
  } else {
    options.stdin_bytes = input;
  }
  return run_program(args, options);
}

// One and a half chunks: a full chunk and a part-filled last one.
std::string data_for(const stream_geometry& g) { return pattern_bytes(g.capacity() * 3 / 2, 7); }

// Units zeroed at the rate, spread evenly: unit u when the fraction of u times the golden ratio
// lies below the rate. Returns how many.
int lose_units(std::string& stream, int64_t unit, double rate) {
  int lost = 0;
  for (int64_t u = 0; u * unit < static_cast<int64_t>(stream.size()); u++) {
    const double golden = static_cast<double>(u) * 0.6180339887498949;
    if (golden - std::floor(golden) >= rate) continue;
    const int64_t at = u * unit;
    stream.replace(
        static_cast<size_t>(at),
        static_cast<size_t>(std::min<int64_t>(unit, static_cast<int64_t>(stream.size()) - at)),
        static_cast<size_t>(std::min<int64_t>(unit, static_cast<int64_t>(stream.size()) - at)),
        '\0');
    lost++;
  }
  return lost;
}

TEST(Profiles, RoundTripFromAFileAndAPipe) {
  for (const profile_row& p : profiles) {
    SCOPED_TRACE(p.name);
    const temp_dir dir;
    const std::string data = data_for(p.g);
    for (const feed encode_from : both_feeds) {
      const run_result e = run_on({"-p", p.name}, data, encode_from, dir);
      ASSERT_EQ(e.status, 0) << e.err;
      // The stream of the profile's -b, -n and -k, nothing else.
      ASSERT_TRUE(is_encoding_of(e.out, p.g, data));
      for (const feed decode_from : both_feeds) {
        const run_result d = run_on({"-d", "--profile", p.name}, e.out, decode_from, dir);
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_TRUE(d.out == data) << "decoded " << d.out.size() << " bytes of " << data.size();
      }
    }
  }
}

TEST(Profiles, TheDocumentedDamageIsRestoredExactly) {
  for (const profile_row& p : profiles) {
    SCOPED_TRACE(p.name);
    const temp_dir dir;
    const std::string data = data_for(p.g);
    const run_result e = run_on({"-p", p.name}, data, feed::pipe, dir);
    ASSERT_EQ(e.status, 0) << e.err;
    const int64_t b = p.g.blocksize;

    std::string scattered = e.out;
    ASSERT_GT(lose_units(scattered, p.unit, p.rate), 0);
    // The burst from the last byte of block 0 of chunk 1: it touches the most blocks it can.
    std::string burst = e.out;
    burst.replace(static_cast<size_t>(p.g.chunk_bytes() + b - 1), static_cast<size_t>(p.burst),
                  static_cast<size_t>(p.burst), '\0');
    for (const std::string* damaged : {&scattered, &burst}) {
      for (const feed how : both_feeds) {
        const run_result d = run_on({"-d", "-p", p.name}, *damaged, how, dir);
        EXPECT_EQ(d.status, 0) << d.err;
        EXPECT_TRUE(d.out == data) << "decoded " << d.out.size() << " bytes of " << data.size();
      }
    }
  }
}

TEST(Detect, FindsTheParametersBehindADamagedHead) {
  std::vector<std::pair<std::string, stream_geometry>> cases = {{"defaults", {}}};
  for (const profile_row& p : profiles) cases.push_back({p.name, p.g});
  for (const auto& [name, g] : cases) {
    SCOPED_TRACE(name);
    const temp_dir dir;
    // Defaults: three and a half chunks; the profiles: one and a half.
    const std::string data =
        name == "defaults" ? pattern_bytes(g.capacity() * 7 / 2, 5) : data_for(g);
    std::vector<std::string> write;
    if (name != "defaults") write = {"-p", name};
    const run_result e = run_on(write, data, feed::pipe, dir);
    ASSERT_EQ(e.status, 0) << e.err;
    std::string stream = e.out;
    // Blocks 0 and 1 unreadable: one byte of each packet changed.
    stream[3] = static_cast<char>(stream[3] ^ 0xFF);
    stream[static_cast<size_t>(g.blocksize) + 3] ^= static_cast<char>(0xFF);
    const std::string found = "detected: -b " + std::to_string(g.blocksize) + " -n " +
                              std::to_string(g.n) + " -k " + std::to_string(g.k) + "\n";
    for (const feed how : both_feeds) {
      const run_result d = run_on({"-d", "--detect", "-v"}, stream, how, dir);
      EXPECT_EQ(d.status, 0) << d.err;
      EXPECT_EQ(d.err.substr(0, found.size()), found);
      EXPECT_TRUE(d.out == data) << "decoded " << d.out.size() << " bytes of " << data.size();
    }
  }
}

TEST(Detect, RefusesInputThatIsNoStream) {
  const std::string tail = "; give -b, -n and -k\n";
  for (const feed how : both_feeds) {
    const temp_dir dir;
    const run_result empty = run_on({"-d", "--detect"}, "", how, dir);
    EXPECT_EQ(empty.status, 1);
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.err, "kestrune: parameters not found: the input is empty" + tail);

    const run_result noise = run_on({"-d", "--detect"}, pattern_bytes(300000, 9), how, dir);
    EXPECT_EQ(noise.status, 1);
    EXPECT_EQ(noise.out, "");
    const std::string start = "kestrune: parameters not found: no block of any size";
    EXPECT_EQ(noise.err.substr(0, start.size()), start) << noise.err;
    ASSERT_GE(noise.err.size(), tail.size());
    EXPECT_EQ(noise.err.substr(noise.err.size() - tail.size()), tail);
  }
}

// The options beside a profile, in either order, seen in the -v report of an empty encode.
TEST(Profiles, OptionsBesideAProfileWin) {
  struct option_case {
    std::vector<std::string> args;
    int k, n, blocksize;
  };
  const option_case cases[] = {
      {{"-p", "disk"}, 109, 141, 4096},
      {{"-p", "disk", "-b", "8K"}, 109, 141, 8192},
      {{"-b", "8K", "-p", "disk"}, 109, 141, 8192},
      {{"-k", "100", "--profile", "disk"}, 100, 141, 4096},
      {{"--profile=tape", "-n", "81"}, 62, 81, 262144},
      {{"-p", "disk", "-p", "network"}, 116, 128, 4096},
      {{"-pnetwork", "-n", "130", "-b", "1K", "-k", "100"}, 100, 130, 1024},
  };
  for (const option_case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const temp_dir dir;
    std::vector<std::string> args = {"-v"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const run_result r = run_on(args, "", feed::pipe, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Kestrune v1.0\n(K, N) = (" + std::to_string(c.k) + ", " +
                         std::to_string(c.n) + ")\nBlocksize = " + std::to_string(c.blocksize) +
                         "\nEncode mode.\nRead 0 bytes, wrote 0 bytes.\nExpansion factor = nan.\n");
  }
}

TEST(Profiles, UsageErrors) {
  struct rejection {
    std::vector<std::string> args;
    std::string err;
  };
  const rejection cases[] = {
      {{"-p", "floppy"},
       "kestrune: unknown profile 'floppy' (profiles: disk, optical, tape, network)\n"},
      {{"--profile=Disk"},
       "kestrune: unknown profile 'Disk' (profiles: disk, optical, tape, network)\n"},
      {{"-p"}, "kestrune: option requires an argument -- 'p'\n"},
      {{"--profile"}, "kestrune: option '--profile' requires an argument\n"},
      {{"--detect"}, "kestrune: --detect goes with -d\n"},
      {{"-d", "--detect", "-p", "disk"}, "kestrune: --profile and --detect exclude each other\n"},
      {{"--profiles"}, "kestrune: invalid option -- '-'\n"},
  };
  for (const rejection& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const temp_dir dir;
    const run_result r = run_on(c.args, "", feed::pipe, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err + usage_text);
  }
}

// -b, -n and -k beside --detect are taken as given: the probe finds only the others, and fails
// when the given ones do not fit the stream.
TEST(Detect, GivenValuesWin) {
  const temp_dir dir;
  const stream_geometry g;
  const std::string data = pattern_bytes(g.capacity() * 5 / 2, 3);
  const run_result e = run_on({}, data, feed::pipe, dir);
  ASSERT_EQ(e.status, 0);
  for (const feed how : both_feeds) {
    const run_result fits = run_on({"-d", "--detect", "-v", "-n", "18"}, e.out, how, dir);
    EXPECT_EQ(fits.status, 0) << fits.err;
    EXPECT_EQ(fits.err.substr(0, 30), "detected: -b 1024 -n 18 -k 14\n");
    EXPECT_TRUE(fits.out == data);

    const run_result wrong_k = run_on({"-d", "--detect", "-k", "13"}, e.out, how, dir);
    EXPECT_EQ(wrong_k.status, 1);
    EXPECT_EQ(wrong_k.out, "");
    EXPECT_EQ(wrong_k.err,
              "kestrune: parameters not found: no intact block at the start of the input carries "
              "k = 13; check -k\n");

    const run_result wrong_b = run_on({"-d", "--detect", "-b", "2K"}, e.out, how, dir);
    EXPECT_EQ(wrong_b.status, 1);
    EXPECT_EQ(wrong_b.out, "");
  }
}

// Under the decoding name, --detect needs no -d.
TEST(Detect, UnderTheDecodeName) {
  const temp_dir dir;
  const std::string data = pattern_bytes(50000, 4);
  const run_result e = run_on({"-p", "network"}, data, feed::pipe, dir);
  ASSERT_EQ(e.status, 0);
  run_options options;
  options.argv0 = "kestrune-decode";
  options.stdin_bytes = e.out;
  const run_result d = run_program({"--detect"}, options);
  EXPECT_EQ(d.status, 0) << d.err;
  EXPECT_TRUE(d.out == data);
}

}  // namespace
}  // namespace kestrune::test::cli
