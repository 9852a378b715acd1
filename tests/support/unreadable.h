// SPDX-License-Identifier: MIT
// unreadable.h - a binary run with a stretch of its input file that cannot be read, through the
// library of tests/support/eio_shim.cpp preloaded into it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::test {

// How the reads that reach the unreadable bytes end.
enum class read_failure {
  whole_read,     // a read that touches them fails with EIO, the bytes before them included
  after_a_short,  // a read that starts before them gives the bytes up to them; the next one fails
};

const char* name_of(read_failure how);

// The run_options::env settings that make bytes [offset, offset + length) of every regular file the
// binary reads unreadable. They keep AddressSanitizer from refusing to run behind the preloaded
// library. With a log path, every read that fails is written to that file (failed_reads()).
std::vector<std::string> unreadable_bytes(uint64_t offset, uint64_t length, read_failure how,
                                          const std::string& log = "");

// A read that failed: where it started and how many bytes it asked for.
struct failed_read {
  uint64_t offset;
  uint64_t count;
  bool operator<(const failed_read& other) const {
    return offset != other.offset ? offset < other.offset : count < other.count;
  }
};

// The reads that failed, in their order, from the log of unreadable_bytes(); none when there is no
// log file.
std::vector<failed_read> failed_reads(const std::string& log);

}  // namespace kestrune::test
