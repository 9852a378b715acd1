// SPDX-License-Identifier: MIT
// failing_malloc.h - counting the codec's allocations and making one of them fail. fec_tests is
// linked with malloc, calloc and free wrapped (ld --wrap), so that every call from the code linked
// into it, the codec's included, passes through failing_malloc.cpp first.
#pragma once

#include <cstddef>

namespace kestrune::test {

// While it lives, on the thread that made it: counts the calls of malloc() and calloc(), makes call
// number fail_at (counted from 1; 0: none) return null, and follows the blocks the others return
// until they are freed. One at a time per thread.
class MallocWatch {
 public:
  explicit MallocWatch(int fail_at = 0);
  ~MallocWatch();
  MallocWatch(const MallocWatch&) = delete;
  MallocWatch& operator=(const MallocWatch&) = delete;

  int calls() const { return calls_; }
  // Blocks allocated while watched and not freed yet.
  int outstanding() const { return outstanding_; }
  // More blocks outstanding at once than it can follow; outstanding() is then wrong.
  bool overflowed() const { return overflowed_; }

  // The block that `allocate` returns, unless this call is the one to fail.
  void* on_allocation(void* (*allocate)(size_t, size_t), size_t count, size_t size);
  void on_free(void* block);

 private:
  static constexpr int kMostBlocks = 64;
  int fail_at_;
  int calls_ = 0;
  int outstanding_ = 0;
  bool overflowed_ = false;
  void* blocks_[kMostBlocks] = {};
};

}  // namespace kestrune::test
