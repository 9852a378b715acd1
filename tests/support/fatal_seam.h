// SPDX-License-Identifier: MIT
// fatal_seam.h - running the program's own code inside a test process: while a fatal_seam lives,
// die() writes its message and then throws fatal_exit (through set_fatal_handler) instead of
// ending the process.
#pragma once

#include <utility>

#include "frontend/diag.h"

namespace kestrune::test {

// What die() throws while a fatal_seam lives.
struct fatal_exit {};

class fatal_seam {
 public:
  fatal_seam() { set_fatal_handler(throw_fatal); }
  ~fatal_seam() { set_fatal_handler(nullptr); }
  fatal_seam(const fatal_seam&) = delete;
  fatal_seam& operator=(const fatal_seam&) = delete;

  // Calls fn() and returns the status the program would exit with: 1 when fn() died, else 0.
  template <typename Fn>
  int exit_status(Fn&& fn) const {
    try {
      std::forward<Fn>(fn)();
      return 0;
    } catch (const fatal_exit&) {
      return 1;
    }
  }

 private:
  [[noreturn]] static void throw_fatal() { throw fatal_exit{}; }
};

}  // namespace kestrune::test
