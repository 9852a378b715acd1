// SPDX-License-Identifier: MIT
// repair_out_test.cpp - what kestrune-scan --repair OUT does to OUT: a regular file is replaced
// keeping its mode, a symbolic link stays and its target gets the stream, a FIFO or a device is
// written in place, and nothing of the stream being written stays when the run is killed or fails.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <dirent.h>

#include <fcntl.h>

#include <atomic>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "tests/scan/scan_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g{.blocksize = 1024, .n = 18, .k = 14};

struct material {
  std::string data;
  std::string stream;   // what kestrune writes for the data
  std::string damaged;  // the stream with a block zeroed in each of two chunks
};

const material& sample() {
  static const material m = [] {
    material made;
    made.data = pattern_bytes(g.capacity() * 3 + 500, 0x0c7);
    made.stream = encode(made.data, g);
    made.damaged = made.stream;
    zero_block(made.damaged, g, {0, 3});
    zero_block(made.damaged, g, {2, 15});
    return made;
  }();
  return m;
}

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(dir);
  return names;
}

run_result repair_into(const std::string& out, const std::string& input,
                       const std::string& program = scan_path(),
                       const std::vector<std::string>& before = {}) {
  run_options o;
  o.program = program;
  std::vector<std::string> args = before;
  for (const std::string& a : all_geometry_args(g)) args.push_back(a);
  for (const std::string& a : {std::string("--repair"), out, input}) args.push_back(a);
  return run_program(args, o);
}

struct out_case {
  const char* name;
  // Makes OUT in the directory (an input copy is already there as copy.kst); returns OUT's path.
  std::function<std::string(const temp_dir&)> make;
  // Checks what the run left; the run's stream is `expected`.
  std::function<void(const temp_dir&, const std::string& out, const std::string& expected)> check;
};

void PrintTo(const out_case& c, std::ostream* os) { *os << c.name; }

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st.st_mode;
}

class RepairOut : public ::testing::TestWithParam<out_case> {};

TEST_P(RepairOut, PutsTheStreamWhereOutLeadsAndLeavesNothingElse) {
  const out_case& c = GetParam();
  const temp_dir dir;
  write_file(dir.file("copy.kst"), sample().damaged);
  const std::string out = c.make(dir);
  const std::set<std::string> before = names_in(dir.path());
  const run_result r = repair_into(out, dir.file("copy.kst"));
  EXPECT_EQ(r.status, 2) << r.err << r.out;
  c.check(dir, out, sample().stream);
  // No file of the run's own stays beside OUT.
  std::set<std::string> after = names_in(dir.path());
  for (const char* made : {"out.kst", "made.kst"}) {
    if (before.count(made) == 0) after.erase(made);
  }
  EXPECT_EQ(after, before);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, RepairOut,
    ::testing::Values(
        out_case{"a new file gets the umask's mode",
                 [](const temp_dir& d) { return d.file("out.kst"); },
                 [](const temp_dir&, const std::string& out, const std::string& expected) {
                   EXPECT_TRUE(read_file(out) == expected);
                   const mode_t mask = umask(0);
                   umask(mask);
                   EXPECT_EQ(mode_of(out) & 07777, 0666 & ~mask);
                 }},
        out_case{"an existing file keeps its mode",
                 [](const temp_dir& d) {
                   write_file(d.file("out.kst"), "old contents");
                   chmod(d.file("out.kst").c_str(), 0600);
                   return d.file("out.kst");
                 },
                 [](const temp_dir&, const std::string& out, const std::string& expected) {
                   EXPECT_TRUE(read_file(out) == expected);
                   EXPECT_EQ(mode_of(out) & 07777, 0600u);
                   EXPECT_TRUE(S_ISREG(mode_of(out)));
                 }},
        out_case{"a symbolic link stays, its target gets the stream",
                 [](const temp_dir& d) {
                   mkdir(d.file("real").c_str(), 0755);
                   write_file(d.file("real/target.kst"), "old contents");
                   chmod(d.file("real/target.kst").c_str(), 0640);
                   EXPECT_EQ(symlink("real/target.kst", d.file("link.kst").c_str()), 0);
                   return d.file("link.kst");
                 },
                 [](const temp_dir& d, const std::string& out, const std::string& expected) {
                   EXPECT_TRUE(S_ISLNK(mode_of(out)));
                   EXPECT_TRUE(read_file(d.file("real/target.kst")) == expected);
                   EXPECT_EQ(mode_of(d.file("real/target.kst")) & 07777, 0640u);
                   EXPECT_EQ(names_in(d.file("real")), std::set<std::string>{"target.kst"});
                 }},
        out_case{"a link to nothing yet: the file it names is made",
                 [](const temp_dir& d) {
                   EXPECT_EQ(symlink("made.kst", d.file("link.kst").c_str()), 0);
                   return d.file("link.kst");
                 },
                 [](const temp_dir& d, const std::string& out, const std::string& expected) {
                   EXPECT_TRUE(S_ISLNK(mode_of(out)));
                   EXPECT_TRUE(read_file(d.file("made.kst")) == expected);
                   // The one new name: the file made.
                   const std::set<std::string> names = names_in(d.path());
                   EXPECT_EQ(names.count("made.kst"), 1u);
                 }}));

// A FIFO is written through, not replaced: a reader on it gets the stream, and it stays a FIFO.
TEST(RepairOut, AFifoIsWrittenThrough) {
  const temp_dir dir;
  write_file(dir.file("copy.kst"), sample().damaged);
  const std::string fifo = dir.file("out.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The reader's state is shared: a reader that no writer ever reaches is left behind.
  struct reading {
    std::string bytes;
    std::atomic<bool> done{false};
  };
  const auto received = std::make_shared<reading>();
  std::thread([received, fifo] {
    received->bytes = read_file(fifo);
    received->done = true;
  }).detach();
  const run_result r = repair_into(fifo, dir.file("copy.kst"));
  // A reader still waiting to open the FIFO gets an end of file.
  const int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
  if (fd >= 0) close(fd);
  for (int wait = 0; wait < 500 && !received->done; wait++) usleep(10000);
  ASSERT_TRUE(received->done) << "nothing was written to the FIFO";
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(received->bytes == sample().stream);
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"copy.kst", "out.fifo"}));
}

// A character device (a node for /dev/null, made where the test may make one) stays a device.
TEST(RepairOut, ADeviceIsWrittenInPlace) {
  if (geteuid() != 0) GTEST_SKIP() << "making a device node needs root";
  const temp_dir dir;
  write_file(dir.file("copy.kst"), sample().damaged);
  const std::string device = dir.file("null");
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "this file system takes no device nodes";
  }
  const run_result r = repair_into(device, dir.file("copy.kst"));
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_TRUE(S_ISCHR(mode_of(device)));
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"copy.kst", "null"}));
}

// Killed on the way (the file size limit: SIGXFSZ at the first large write), or ending without a
// complete stream: OUT stays as it was and nothing else is left.
TEST(RepairOut, NothingStaysAfterAKillOrALoss) {
  const temp_dir dir;
  write_file(dir.file("copy.kst"), sample().damaged);
  write_file(dir.file("out.kst"), "old contents");
  std::string command = "ulimit -f 16; exec '" + scan_path() + "'";
  for (const std::string& a : all_geometry_args(g)) command += " " + a;
  command += " --repair '" + dir.file("out.kst") + "' '" + dir.file("copy.kst") + "'";
  run_options o;
  o.program = "/bin/sh";
  const run_result killed = run_program({"-c", command}, o);
  EXPECT_EQ(killed.status, 128 + SIGXFSZ) << killed.err;
  EXPECT_EQ(read_file(dir.file("out.kst")), "old contents");
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"copy.kst", "out.kst"}));

  // Too few blocks in a chunk: exit 3, no stream.
  std::string lost = sample().damaged;
  for (int p = 4; p <= g.n - g.k + 4; p++) zero_block(lost, g, {1, p});
  write_file(dir.file("copy.kst"), lost);
  const run_result r = repair_into(dir.file("out.kst"), dir.file("copy.kst"));
  EXPECT_EQ(r.status, 3) << r.err;
  EXPECT_EQ(read_file(dir.file("out.kst")), "old contents");
  EXPECT_EQ(names_in(dir.path()), (std::set<std::string>{"copy.kst", "out.kst"}));
}

}  // namespace
}  // namespace kestrune::test
