// SPDX-License-Identifier: MIT
// erasure_patterns_test.cpp - every erasure pattern of a chunk, run through the decoder in-process:
// any n - k lost blocks of the middle chunk of a three-chunk stream are restored exactly, and every
// pattern of one more ends the run after chunk 0 with "too many bad blocks" and status 1.
//
// The decoder runs as the program runs it on a seekable file, through the library: a real file,
// its restored bytes written to standard output and its failure printed as the program prints it,
// both sent to temporary files, so that tens of thousands of patterns take seconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrune.h"
#include "programs/common/io.h"
#include "tests/robust/outcome.h"
#include "tests/stream/decode_support.h"

namespace kestrune::test {
namespace {

const char* const program = "kestrune";

// A file that collects what a standard stream writes, emptied before every run.
class capture_file {
 public:
  explicit capture_file(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_APPEND, 0600);
    if (fd_ < 0) throw std::runtime_error("cannot create " + path);
  }
  ~capture_file() { close(fd_); }
  capture_file(const capture_file&) = delete;
  capture_file& operator=(const capture_file&) = delete;

  int fd() const { return fd_; }
  void clear() const {
    if (ftruncate(fd_, 0) != 0) throw std::runtime_error("cannot empty a capture file");
  }
  std::string contents() const {
    std::string bytes;
    char buffer[1 << 16];
    ssize_t got;
    while ((got = pread(fd_, buffer, sizeof buffer, static_cast<off_t>(bytes.size()))) > 0) {
      bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
  }

 private:
  int fd_ = -1;
};

// Descriptor 1 goes to the file while the object lives: the decoder writes through stdio's stdout,
// as in the program.
class stdout_to {
 public:
  explicit stdout_to(const capture_file& file) {
    fflush(stdout);
    saved_ = dup(1);
    if (saved_ < 0 || dup2(file.fd(), 1) < 0) throw std::runtime_error("cannot redirect stdout");
  }
  ~stdout_to() {
    fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }
  stdout_to(const stdout_to&) = delete;
  stdout_to& operator=(const stdout_to&) = delete;

 private:
  int saved_ = -1;
};

// The stdio stream stderr, where the program's messages go, is one on the file while the object
// lives (glibc's standard streams are variables a program may set). Descriptor 2 stays as it is, so
// that a sanitizer's report in the middle of the patterns still shows.
class stderr_to {
 public:
  explicit stderr_to(const capture_file& file) {
    const int fd = dup(file.fd());
    file_ = fd < 0 ? nullptr : fdopen(fd, "a");
    if (file_ == nullptr) throw std::runtime_error("cannot redirect stderr");
    setvbuf(file_, nullptr, _IONBF, 0);
    saved_ = stderr;
    stderr = file_;
  }
  ~stderr_to() {
    stderr = saved_;
    fclose(file_);
  }
  stderr_to(const stderr_to&) = delete;
  stderr_to& operator=(const stderr_to&) = delete;

 private:
  FILE* file_ = nullptr;
  FILE* saved_ = nullptr;
};

// Decodes seekable streams of the geometry as the program does.
class decoder_setup {
 public:
  explicit decoder_setup(const stream_geometry& g) : params_{g.blocksize, g.n, g.k} {
    callbacks_.write = write_stdout;
  }

  // Decodes the input to standard output, final flush included; returns the exit status the
  // program would end with, after its message on stderr.
  int run(FILE* input) const {
    kestrune_decoder* decoder = kestrune_decoder_create(&params_, &callbacks_, nullptr);
    if (decoder == nullptr) throw std::runtime_error("cannot create a decoder");
    int fd = fileno(input);
    const kestrune_result result = kestrune_decode_file(decoder, read_file_at, &fd);
    int status = 0;
    if (result != KESTRUNE_OK) {
      fprintf(stderr, "%s: %s\n", program, kestrune_decoder_message(decoder));
      status = 1;
    } else if (fflush(stdout) != 0 || ferror(stdout)) {
      fprintf(stderr, "%s: write error\n", program);
      status = 1;
    }
    kestrune_decoder_free(decoder);
    fflush(stdout);
    clearerr(stdout);
    return status;
  }

 private:
  kestrune_params params_;
  kestrune_callbacks callbacks_{};
};

// Changes blocks of one chunk of a stream file in place, and puts them back.
class block_damager {
 public:
  block_damager(const std::string& path, const std::string& stream, const stream_geometry& g)
      : stream_(stream), g_(g) {
    fd_ = open(path.c_str(), O_RDWR);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~block_damager() { close(fd_); }
  block_damager(const block_damager&) = delete;
  block_damager& operator=(const block_damager&) = delete;

  // Zeroes the block, or inverts one byte of it (packet or trailer) chosen by the generator.
  // Returns what was done, for failure reports.
  std::string erase(block_ref where, seeded_random& rng) {
    const uint64_t at = block_offset(g_, where);
    changed_.push_back(at);
    if (rng.chance(0.5)) {
      put(at, std::string(g_.blocksize, '\0'));
      return std::to_string(where.position) + ":zeroed";
    }
    const size_t offset = rng.below(size_t(g_.blocksize));
    put(at + offset, std::string(1, static_cast<char>(~stream_[at + offset])));
    return std::to_string(where.position) + ":byte" + std::to_string(offset);
  }

  void restore() {
    for (const uint64_t at : changed_) put(at, stream_.substr(at, g_.blocksize));
    changed_.clear();
  }

 private:
  void put(uint64_t at, const std::string& bytes) const {
    if (pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(at)) !=
        static_cast<ssize_t>(bytes.size())) {
      throw std::runtime_error("cannot change the stream file");
    }
  }

  const std::string& stream_;
  const stream_geometry g_;
  int fd_ = -1;
  std::vector<uint64_t> changed_;
};

struct erasure_shape {
  const char* name;
  stream_geometry g;
  uint64_t restorable;    // patterns of up to n - k erasures: the sum of C(n, e) for e <= n - k
  uint64_t unrestorable;  // patterns of n - k + 1 erasures: C(n, n - k + 1)
};

void PrintTo(const erasure_shape& shape, std::ostream* os) { *os << shape.name; }

class RobustErasurePatterns : public ::testing::TestWithParam<erasure_shape> {};

TEST_P(RobustErasurePatterns, UpToParityRestoredOneMoreStopsAfterChunk0) {
  const erasure_shape& shape = GetParam();
  const stream_geometry& g = shape.g;
  const int parity = g.n - g.k;

  // Three chunks; the middle one is damaged.
  const std::string data = pattern_bytes(2 * g.capacity() + g.capacity() / 3, test_seed());
  const std::string stream = encode(data, g);
  ASSERT_EQ(stream.size(), 3 * g.chunk_bytes());
  const temp_dir dir;
  const std::string path = dir.file("stream.kst");
  write_file(path, stream);
  const std::string chunk0 = chunks_of(data, g, 0, 1);
  const std::string too_many = std::string(program) + ": " + too_many_bad_blocks + "\n";

  const std::unique_ptr<FILE, int (*)(FILE*)> input(fopen(path.c_str(), "rb"), fclose);
  ASSERT_NE(input, nullptr);
  block_damager damager(path, stream, g);
  seeded_random rng;
  uint64_t restorable = 0;
  uint64_t unrestorable = 0;
  uint64_t wrong = 0;
  std::string reports;  // the first wrong patterns
  {
    const decoder_setup setup(g);
    const capture_file out(dir.file("stdout"));
    const capture_file err(dir.file("stderr"));
    const stdout_to out_redirect(out);
    const stderr_to err_redirect(err);
    for (uint32_t mask = 0; mask < (uint32_t{1} << g.n); mask++) {
      const int lost = std::popcount(mask);
      if (lost > parity + 1) continue;
      std::string pattern;
      for (int position = 0; position < g.n; position++) {
        if ((mask >> position & 1) == 0) continue;
        pattern += ' ';
        pattern += damager.erase({1, position}, rng);
      }
      out.clear();
      err.clear();
      const int status = setup.run(input.get());
      damager.restore();
      const std::string got = out.contents();
      const std::string message = err.contents();

      const bool restores = lost <= parity;
      (restores ? restorable : unrestorable)++;
      const ::testing::AssertionResult clean =
          whole_or_clean_failure(status, got, message, data, g.capacity(), program);
      const bool as_expected = restores ? status == 0 && got == data && message.empty()
                                        : status == 1 && got == chunk0 && message == too_many;
      if (clean && as_expected) continue;
      if (wrong++ < 10) {
        std::ostringstream line;
        line << "blocks" << pattern << ": status " << status << ", " << got.size()
             << " bytes out, stderr \"" << message.substr(0, message.find('\n')) << "\"";
        if (!clean) line << "; " << clean.message();
        reports += line.str() + "\n";
      }
    }
  }

  EXPECT_EQ(restorable, shape.restorable);
  EXPECT_EQ(unrestorable, shape.unrestorable);
  EXPECT_EQ(wrong, 0u) << "patterns decoded wrongly, the first of them:\n" << reports;
}

const erasure_shape erasure_shapes[] = {
    {"defaults", {.blocksize = 1024, .n = 18, .k = 14}, 4048, 8568},
    {"k10_n16", {.blocksize = 1024, .n = 16, .k = 10}, 14893, 11440},
};

INSTANTIATE_TEST_SUITE_P(Shapes, RobustErasurePatterns, ::testing::ValuesIn(erasure_shapes),
                         [](const ::testing::TestParamInfo<erasure_shape>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace kestrune::test
