// SPDX-License-Identifier: MIT
// capture_stderr.h - runs a call with file descriptor 2 redirected to a temporary file and returns
// everything the call wrote to standard error, through stdio or straight to the descriptor.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace kestrune::test {

// Calls fn() and returns its standard error output. Standard error is restored afterwards, also
// when fn() throws.
template <typename Fn>
std::string capture_stderr(Fn&& fn) {
  struct CloseFile {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  const std::unique_ptr<std::FILE, CloseFile> sink(std::tmpfile());
  if (sink == nullptr) throw std::runtime_error("capture_stderr: tmpfile failed");

  std::fflush(stderr);
  const int saved = ::dup(2);
  if (saved < 0) throw std::runtime_error("capture_stderr: dup failed");
  if (::dup2(::fileno(sink.get()), 2) < 0) {
    ::close(saved);
    throw std::runtime_error("capture_stderr: dup2 failed");
  }
  struct Restore {
    int saved;
    ~Restore() {
      std::fflush(stderr);
      ::dup2(saved, 2);
      ::close(saved);
    }
  };
  {
    const Restore restore{saved};
    std::forward<Fn>(fn)();
  }

  std::string text;
  std::rewind(sink.get());
  char chunk[4096];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, sink.get())) > 0) text.append(chunk, got);
  return text;
}

}  // namespace kestrune::test
