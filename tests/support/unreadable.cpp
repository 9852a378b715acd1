// SPDX-License-Identifier: MIT
// unreadable.cpp - the environment that preloads the read-failure library into a binary.
#include "tests/support/unreadable.h"

#include <cstdlib>
#include <fstream>

namespace kestrune::test {

const char* name_of(read_failure how) {
  return how == read_failure::whole_read ? "whole_read" : "after_a_short";
}

std::vector<std::string> unreadable_bytes(uint64_t offset, uint64_t length, read_failure how,
                                          const std::string& log) {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const char* preload = std::getenv("LD_PRELOAD");
  std::vector<std::string> env = {
      "LD_PRELOAD=" + std::string(KESTRUNE_EIO_SHIM) +
          (preload != nullptr && *preload != '\0' ? std::string(" ") + preload : ""),
      "KESTRUNE_TEST_EIO=" + std::to_string(offset) + ":" + std::to_string(length) +
          (how == read_failure::after_a_short ? ":short" : ""),
      // The preloaded library comes before the sanitizer's runtime in the search order.
      "ASAN_OPTIONS=" + (asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "") +
          "verify_asan_link_order=0",
  };
  if (!log.empty()) env.push_back("KESTRUNE_TEST_EIO_LOG=" + log);
  return env;
}

std::vector<failed_read> failed_reads(const std::string& log) {
  std::vector<failed_read> reads;
  std::ifstream in(log);
  failed_read r{};
  while (in >> r.offset >> r.count) reads.push_back(r);
  return reads;
}

}  // namespace kestrune::test
