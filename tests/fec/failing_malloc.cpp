// SPDX-License-Identifier: MIT
// failing_malloc.cpp - the wrappers of malloc(), calloc() and free() that fec_tests is linked with,
// and the watch they report to.
#include "tests/fec/failing_malloc.h"

#include <cstdlib>
#include <stdexcept>

extern "C" void* __real_malloc(size_t size);
extern "C" void* __real_calloc(size_t count, size_t size);
extern "C" void __real_free(void* block);

namespace kestrune::test {

namespace {

// The watch of this thread, if any: test state, set only while a MallocWatch lives.
thread_local MallocWatch* watching = nullptr;

}  // namespace

MallocWatch::MallocWatch(int fail_at) : fail_at_(fail_at) {
  if (watching != nullptr) throw std::logic_error("MallocWatch: one watch at a time");
  watching = this;
}

MallocWatch::~MallocWatch() { watching = nullptr; }

void* MallocWatch::on_allocation(void* (*allocate)(size_t, size_t), size_t count, size_t size) {
  if (++calls_ == fail_at_) return nullptr;
  void* block = allocate(count, size);
  if (block == nullptr) return nullptr;
  for (void*& slot : blocks_) {
    if (slot == nullptr) {
      slot = block;
      outstanding_++;
      return block;
    }
  }
  overflowed_ = true;
  return block;
}

void MallocWatch::on_free(void* block) {
  for (void*& slot : blocks_) {
    if (slot == block) {
      slot = nullptr;
      outstanding_--;
      return;
    }
  }
}

}  // namespace kestrune::test

using kestrune::test::watching;

namespace {

void* real_malloc(size_t, size_t size) { return __real_malloc(size); }

}  // namespace

extern "C" void* __wrap_malloc(size_t size) {
  return watching != nullptr ? watching->on_allocation(real_malloc, 1, size) : __real_malloc(size);
}

extern "C" void* __wrap_calloc(size_t count, size_t size) {
  return watching != nullptr ? watching->on_allocation(__real_calloc, count, size)
                             : __real_calloc(count, size);
}

extern "C" void __wrap_free(void* block) {
  if (block != nullptr && watching != nullptr) watching->on_free(block);
  __real_free(block);
}
