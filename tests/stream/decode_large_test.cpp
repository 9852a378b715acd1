// SPDX-License-Identifier: MIT
// decode_large_test.cpp - a stream larger than 4 GiB, damaged in chunks beyond 2 GiB and 4 GiB and
// at its end, decodes from a file exactly: block offsets, seeks and reports are 64-bit.
//
// The input is generated while the encoder reads it and generated again to check the decoder's
// output as it arrives, so only the stream itself is stored (in TMPDIR, about 4.1 GiB).
#include <fcntl.h>
#include <signal.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

// The input bytes: a xorshift sequence of 64-bit words, the same for the same seed.
class pattern_source {
 public:
  explicit pattern_source(uint64_t seed) : state_(0x9E3779B97F4A7C15ull * (seed + 1)) {}

  // The next count bytes. Only the last call of a sequence may ask for a count that is not a
  // multiple of 8.
  void fill(char* dest, size_t count) {
    for (size_t done = 0; done < count; done += 8) {
      state_ ^= state_ << 13;
      state_ ^= state_ >> 7;
      state_ ^= state_ << 17;
      std::memcpy(dest + done, &state_, std::min<size_t>(8, count - done));
    }
  }

 private:
  uint64_t state_;
};

constexpr size_t buffer_size = size_t{1} << 20;

// Starts kestrune with the arguments, standard input from in_fd, standard output to out_fd and
// standard error to the file err_path.
pid_t start(const std::vector<std::string>& args, int in_fd, int out_fd,
            const std::string& err_path) {
  const std::string program = kestrune_path();
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int err_fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err_fd < 0 || dup2(in_fd, 0) < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(126);
    for (int fd = 3; fd < 1024; fd++) close(fd);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

uint64_t file_size(const std::string& path) {
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  return error ? 0 : static_cast<uint64_t>(size);
}

TEST(StreamDecodeLarge, StreamBeyond4GiBWithDamageNearItsEnd) {
  const stream_geometry g;
  const uint64_t last_len = 1234;
  const uint64_t chunks = (uint64_t{4} << 30) / g.chunk_bytes() + 5000;
  const uint64_t input_size = (chunks - 1) * g.capacity() + last_len;
  const uint64_t stream_size = chunks * g.chunk_bytes();
  ASSERT_GT(stream_size, uint64_t{4} << 30);

  const temp_dir dir;
  struct statvfs fs {};
  ASSERT_EQ(statvfs(dir.path().c_str(), &fs), 0);
  const uint64_t available = uint64_t(fs.f_bavail) * fs.f_frsize;
  const uint64_t needed = stream_size + (uint64_t{1} << 30);
  if (available < needed) {
    GTEST_SKIP() << "needs " << needed << " bytes free in " << dir.path() << " for a stream of "
                 << stream_size << " bytes, has " << available;
  }
  // A decoder that dies early must fail the test, not end it with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);

  // Encode the generated input into the stream file.
  const std::string stream_path = dir.file("large.kst");
  const std::string err_path = dir.file("stderr");
  {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    const int out = open(stream_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    const pid_t pid = start({}, input[0], out, err_path);
    close(input[0]);
    close(out);
    pattern_source source(test_seed());
    std::string buffer(buffer_size, '\0');
    bool written = true;
    for (uint64_t done = 0; done < input_size && written;) {
      const size_t count = static_cast<size_t>(std::min<uint64_t>(buffer_size, input_size - done));
      source.fill(buffer.data(), count);
      for (size_t sent = 0; sent < count;) {
        const ssize_t w = write(input[1], buffer.data() + sent, count - sent);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          written = false;
          break;
        }
        sent += static_cast<size_t>(w);
      }
      done += count;
    }
    close(input[1]);
    ASSERT_EQ(wait_for(pid), 0) << read_file(err_path);
    ASSERT_TRUE(written);
    ASSERT_EQ(file_size(stream_path), stream_size);
  }

  // n - k damaged blocks in the chunks across 2 GiB and 4 GiB and in the last two chunks. In the
  // first two they are the block across the boundary and data blocks, so that every block up to
  // the last of the chunk is read.
  seeded_random rng;
  std::vector<std::pair<uint64_t, std::vector<int>>> damaged;
  for (const uint64_t boundary : {uint64_t{1} << 31, uint64_t{1} << 32}) {
    const uint64_t chunk = boundary / g.chunk_bytes();
    const int across = static_cast<int>((boundary - g.chunk_offset(chunk)) / g.blocksize);
    damaged.push_back({chunk, {across}});
  }
  damaged.push_back({chunks - 2, {}});
  damaged.push_back({chunks - 1, {}});
  for (auto& [chunk, positions] : damaged) {
    const int highest = positions.empty() ? g.n - 1 : g.k - 1;
    while (positions.size() < size_t(g.n - g.k)) {
      const int p = rng.between(0, highest);
      if (std::find(positions.begin(), positions.end(), p) == positions.end()) {
        positions.push_back(p);
      }
    }
    std::sort(positions.begin(), positions.end());
    for (const int p : positions) {
      if (p % 2 == 0) {
        zero_block_in_file(stream_path, g, {chunk, p});
      } else {
        flip_bytes_in_file(stream_path, g, {chunk, p}, rng.below(size_t(g.blocksize)));
      }
    }
  }

  // Decode at -vv into a pipe and compare with the input generated again.
  std::string expected_messages = report(g, feed::file, 2);
  for (const auto& [chunk, positions] : damaged) {
    int accepted = 0;
    for (int i = 0; i < g.n && accepted < g.k; i++) {
      if (std::find(positions.begin(), positions.end(), i) != positions.end()) {
        expected_messages += bad_block(g, {chunk, i}, -3);
      } else {
        accepted++;
      }
    }
  }
  expected_messages += read_blocks(g, static_cast<uint32_t>(last_len));

  int output[2];
  ASSERT_EQ(pipe(output), 0);
  const int in = open(stream_path.c_str(), O_RDONLY);
  ASSERT_GE(in, 0);
  const pid_t pid = start({"-d", "-vv", stream_path}, in, output[1], err_path);
  close(in);
  close(output[1]);
  pattern_source source(test_seed());
  std::string got(buffer_size, '\0');
  std::string want(buffer_size, '\0');
  uint64_t received = 0;
  uint64_t first_difference = UINT64_MAX;
  for (bool open_end = true; open_end;) {
    size_t count = 0;
    while (count < buffer_size) {
      const ssize_t r = read(output[0], got.data() + count, buffer_size - count);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) {
        open_end = false;
        break;
      }
      count += static_cast<size_t>(r);
    }
    const size_t compared = static_cast<size_t>(
        std::min<uint64_t>(count, received < input_size ? input_size - received : 0));
    source.fill(want.data(), compared);
    if (first_difference == UINT64_MAX && std::memcmp(got.data(), want.data(), compared) != 0) {
      size_t i = 0;
      while (got[i] == want[i]) i++;
      first_difference = received + i;
    }
    received += count;
  }
  close(output[0]);
  EXPECT_EQ(wait_for(pid), 0);
  EXPECT_EQ(received, input_size);
  EXPECT_EQ(first_difference, UINT64_MAX) << "first wrong output byte";

  // Every chunk is reported; all but the last are full, their reports are left out here.
  std::istringstream lines(read_file(err_path));
  const std::string full_chunk = read_blocks(g, static_cast<uint32_t>(g.capacity()));
  std::string messages;
  uint64_t full_chunks = 0;
  for (std::string line; std::getline(lines, line);) {
    line += '\n';
    if (line == full_chunk) {
      full_chunks++;
    } else {
      messages += line;
    }
  }
  EXPECT_EQ(full_chunks, chunks - 1);
  EXPECT_EQ(messages, expected_messages);
}

}  // namespace
}  // namespace kestrune::test
