// SPDX-License-Identifier: MIT
// stream_check.h - a small reader of the protected stream, written for the tests apart from the
// program's own format code: it takes a stream apart block by block and compares it with the input
// it should carry.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/geometry.h"

namespace kestrune::test::cli {

// The 16-byte MD5 digest of the bytes.
std::string md5_of(const std::string& bytes);

// "0a1b..." for the bytes, and the bytes for such a text (blanks ignored).
std::string to_hex(const std::string& bytes);
std::string from_hex(const std::string& text);

// Whether the stream is exactly the chunks whose numbers are listed, chunk c carrying the input
// bytes from c × capacity on: n blocks per chunk, each with its index, k mod 256 and the digest of
// packet and those two bytes in its trailer; a header with the chunk's byte count and number; the
// data packets holding the input bytes, then zeros.
::testing::AssertionResult is_stream_of(const std::string& stream, const stream_geometry& g,
                                        const std::string& input,
                                        const std::vector<uint32_t>& chunk_ids);

// is_stream_of() with the chunk numbers of a whole encoding: 0, 1, ... and 0xFFFFFFFF for the last
// chunk; no chunk at all for an empty input.
::testing::AssertionResult is_encoding_of(const std::string& stream, const stream_geometry& g,
                                          const std::string& input);

}  // namespace kestrune::test::cli
