// SPDX-License-Identifier: MIT
// random.cpp - the seed of the run, from the environment or the default, and its printing after
// every failure of a test program that draws on it.
#include "tests/support/random.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

namespace kestrune::test {

uint64_t test_seed() {
  static const uint64_t seed = [] {
    const char* text = std::getenv("KESTRUNE_TEST_SEED");
    if (text != nullptr && *text != '\0') return uint64_t{std::strtoull(text, nullptr, 0)};
    return uint64_t{20261210};
  }();
  return seed;
}

std::string seed_setting() { return "KESTRUNE_TEST_SEED=" + std::to_string(test_seed()); }

namespace {

// Prints how to repeat the run right after each failure GoogleTest reports.
class seed_printer : public ::testing::EmptyTestEventListener {
  void OnTestPartResult(const ::testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::printf("  (repeat this run with %s)\n", seed_setting().c_str());
    std::fflush(stdout);
  }
};

// Every test program that links this file, that is every one that draws on the seed, gets the
// printer before its main() runs.
const bool printer_added = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new seed_printer);
  return true;
}();

}  // namespace

}  // namespace kestrune::test
