// SPDX-License-Identifier: MIT
// decode_support.h - what the decoder tests share: writing streams with the real encoder, decoding
// them from a file or a pipe, and the output and messages expected back.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/damage.h"
#include "tests/support/process.h"
#include "tests/support/random.h"
#include "tests/support/surroundings.h"

namespace kestrune::test {

// How the decoder gets the stream: a file named on the command line (seekable), or a pipe.
enum class feed { file, pipe };
inline constexpr feed all_feeds[] = {feed::file, feed::pipe};
const char* feed_name(feed how);
// The surrounding of the feed: the file named as the operand, or the pipe.
input_from input_of(feed how);

// The -b, -n and -k options for the geometry; none for the defaults, so that these get used too.
std::vector<std::string> geometry_args(const stream_geometry& g);

// The stream the encoder writes for the data (read through a pipe). Throws if encoding fails.
std::string encode(const std::string& data, const stream_geometry& g);

// Runs kestrune -d with the geometry's options and `extra` (e.g. "-vv") on the stream, stored in a
// file named stream.kst that ends the command line, or through a pipe; `options` adds to the run.
run_result decode(const std::string& stream, const stream_geometry& g, feed how,
                  const std::vector<std::string>& extra = {}, const run_options& options = {});

// The number of chunks the encoder makes of size bytes (at least one for a non-empty input).
uint64_t chunk_count(const stream_geometry& g, uint64_t size);
// The user bytes of chunks [first, first + count) of the data.
std::string chunks_of(const std::string& data, const stream_geometry& g, uint64_t first,
                      uint64_t count = UINT64_MAX);
// The capacity bytes the data packets of the chunk hold behind the header, as stored in the
// stream.
std::string stored_packets(const std::string& stream, const stream_geometry& g, uint64_t chunk);

// What the decoder writes to standard error: the report of -v (verbose 1) or -vv (verbose 2), the
// -vv lines for a dropped block and for a rebuilt chunk, and a fatal message.
std::string report(const stream_geometry& g, feed how, int verbose);
std::string bad_block(uint64_t offset, int result, int position);
std::string bad_block(const stream_geometry& g, block_ref where, int result);
std::string read_blocks(const stream_geometry& g, uint32_t clen);
std::string fatal(const std::string& message);
inline const char* const too_many_bad_blocks = "unrecoverable error -- too many bad blocks";

// Equality of two byte strings, reported as sizes and the first difference rather than as the
// bytes themselves.
::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected);

}  // namespace kestrune::test
