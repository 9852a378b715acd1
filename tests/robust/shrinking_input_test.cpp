// SPDX-License-Identifier: MIT
// shrinking_input_test.cpp - a stream file cut short while the decoder reads it: the run must stop
// with "too many bad blocks" and status 1 after the chunks before the cut, never end with status 0.
//
// The test reads the decoder's standard output through a pipe. Once the first chunk's bytes have
// come out it stops the decoder, finds from /proc how far it has read at most, cuts the file a few
// chunks beyond that, and lets it go on. Every wait is bounded, so the test cannot hang.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <stdexcept>
#include <string>

#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g;  // the defaults
constexpr int wait_limit_ms = 300 * 1000;

// The decoder running on a file, its standard output a pipe the test reads, its standard error a
// file. The destructor kills it if it still runs.
class running_decoder {
 public:
  running_decoder(const std::string& stream_path, const std::string& err_path) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      const int null = open("/dev/null", O_RDONLY);
      const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (null < 0 || err < 0) _exit(126);
      dup2(null, 0);
      dup2(fds[1], 1);
      dup2(err, 2);
      close(fds[0]);
      close(fds[1]);
      close(null);
      close(err);
      const std::string program = kestrune_path();
      execl(program.c_str(), program.c_str(), "-d", stream_path.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~running_decoder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(out_);
  }
  running_decoder(const running_decoder&) = delete;
  running_decoder& operator=(const running_decoder&) = delete;

  pid_t pid() const { return pid_; }

  // Reads standard output until `bytes` holds `size` bytes, or to its end when size is npos; false
  // when the wait limit passes first.
  bool read_output(std::string& bytes, size_t size = std::string::npos) {
    char buffer[1 << 16];
    while (bytes.size() < size) {
      pollfd p{out_, POLLIN, 0};
      const int ready = poll(&p, 1, wait_limit_ms);
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) return false;
      const size_t want = std::min(sizeof buffer, size - bytes.size());
      const ssize_t got = read(out_, buffer, want);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return false;
      if (got == 0) return size == std::string::npos;
      bytes.append(buffer, static_cast<size_t>(got));
    }
    return true;
  }

  // Stops the decoder and waits until it has stopped.
  bool stop() {
    if (kill(pid_, SIGSTOP) != 0) return false;
    int status = 0;
    while (waitpid(pid_, &status, WUNTRACED) < 0) {
      if (errno != EINTR) return false;
    }
    return WIFSTOPPED(status);
  }
  void resume() const { kill(pid_, SIGCONT); }

  // Waits for the end and returns the exit status (128 + signal after a signal).
  int wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0) {
      if (errno != EINTR) return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
};

// The bytes the process has read so far by any read call, pread included: an upper bound of how
// far into the stream the decoder has got. -1 when /proc does not tell.
int64_t bytes_read_by(pid_t pid) {
  std::ifstream io("/proc/" + std::to_string(pid) + "/io");
  std::string key;
  int64_t value = 0;
  while (io >> key >> value) {
    if (key == "rchar:") return value;
  }
  return -1;
}

struct cut_case {
  const char* name;
  uint64_t offset_in_chunk;  // where in the chunk the file ends
  uint64_t chunk_survives;   // 1 when enough of the cut chunk is left to rebuild it
};

void PrintTo(const cut_case& c, std::ostream* os) { *os << c.name; }

class RobustShrinkingInput : public ::testing::TestWithParam<cut_case> {};

TEST_P(RobustShrinkingInput, StopsAfterTheChunksBeforeTheCut) {
  const cut_case& c = GetParam();
  // About 2.8 MB of output, more than a pipe and a 1 MiB output buffer hold: the decoder is still
  // far from the end of the stream when its first bytes come out.
  const uint64_t chunks = 200;
  const std::string data = pattern_bytes((chunks - 1) * g.capacity() + 777, test_seed());
  const temp_dir dir;
  const std::string path = dir.file("stream.kst");
  write_file(path, encode(data, g));

  running_decoder decoder(path, dir.file("stderr"));
  std::string out;
  ASSERT_TRUE(decoder.read_output(out, g.capacity())) << "no first chunk from the decoder";
  ASSERT_TRUE(decoder.stop());
  const int64_t read_so_far = bytes_read_by(decoder.pid());
  if (read_so_far < 0) {
    decoder.resume();
    GTEST_SKIP() << "/proc/<pid>/io cannot be read here";
  }
  // Two chunks beyond the farthest the decoder can have read: it reads at least k blocks of every
  // chunk it passes (and only k of an undamaged one), so it cannot be further than that many
  // chunks.
  const uint64_t least_per_chunk = uint64_t(g.k) * static_cast<uint64_t>(g.blocksize);
  const uint64_t cut_chunk = static_cast<uint64_t>(read_so_far) / least_per_chunk + 2;
  ASSERT_LT(cut_chunk, chunks - 1) << "the decoder read " << read_so_far
                                   << " bytes before its first output: make the stream longer";
  ASSERT_EQ(
      truncate(path.c_str(), static_cast<off_t>(g.chunk_offset(cut_chunk) + c.offset_in_chunk)), 0);
  SCOPED_TRACE("read " + std::to_string(read_so_far) + " bytes when stopped, cut in chunk " +
               std::to_string(cut_chunk));
  decoder.resume();

  ASSERT_TRUE(decoder.read_output(out)) << "the decoder's output did not end";
  const int status = decoder.wait();
  const std::string err = read_file(dir.file("stderr"));
  EXPECT_EQ(status, 1);
  EXPECT_EQ(err, fatal(too_many_bad_blocks));
  EXPECT_TRUE(same_bytes(out, chunks_of(data, g, 0, cut_chunk + c.chunk_survives)));
  EXPECT_TRUE(whole_or_clean_failure(status, out, err, data, g.capacity(), kestrune_path()));
}

INSTANTIATE_TEST_SUITE_P(
    Cuts, RobustShrinkingInput,
    ::testing::Values(cut_case{"between_chunks", 0, 0},
                      // k - 1 whole data blocks and part of block k - 1 left: one block short.
                      cut_case{"inside_the_last_needed_block", 13 * 1024 + 500, 0},
                      // Every data block left, no parity: the chunk is whole, the one after is not.
                      cut_case{"after_the_data_blocks", 14 * 1024, 1}),
    [](const ::testing::TestParamInfo<cut_case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::test
