// SPDX-License-Identifier: MIT
// stream_check.cpp - the tests' own reading of the protected stream.
#include "tests/cli/stream_check.h"

#include <md5.h>

#include <algorithm>
#include <stdexcept>

namespace kestrune::test::cli {

namespace {

uint32_t big_endian_at(const std::string& bytes, size_t offset) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; i++) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
  return value;
}

// The first offset where the two strings of equal size differ.
size_t first_difference(const std::string& a, const std::string& b) {
  return static_cast<size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
}

}  // namespace

std::string md5_of(const std::string& bytes) {
  MD5_CTX context;
  uint8_t digest[MD5_DIGEST_LENGTH];
  MD5Init(&context);
  MD5Update(&context, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  MD5Final(digest, &context);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string to_hex(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (const char c : bytes) {
    text += digits[static_cast<uint8_t>(c) >> 4];
    text += digits[static_cast<uint8_t>(c) & 15];
  }
  return text;
}

std::string from_hex(const std::string& text) {
  std::string bytes;
  int high = -1;
  for (const char c : text) {
    int value;
    if (c >= '0' && c <= '9') {
      value = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      value = c - 'a' + 10;
    } else if (c == ' ') {
      continue;
    } else {
      throw std::invalid_argument("from_hex: bad character");
    }
    if (high < 0) {
      high = value;
    } else {
      bytes += static_cast<char>(high << 4 | value);
      high = -1;
    }
  }
  if (high >= 0) throw std::invalid_argument("from_hex: odd digit count");
  return bytes;
}

::testing::AssertionResult is_stream_of(const std::string& stream, const stream_geometry& g,
                                        const std::string& input,
                                        const std::vector<uint32_t>& chunk_ids) {
  const size_t block = static_cast<size_t>(g.blocksize);
  const size_t packet = g.payload_len();
  const size_t capacity = g.capacity();
  const size_t chunk_bytes = g.chunk_bytes();
  if (stream.size() != chunk_ids.size() * chunk_bytes) {
    return ::testing::AssertionFailure() << "the stream has " << stream.size() << " bytes, not "
                                         << chunk_ids.size() << " chunks of " << chunk_bytes;
  }

  for (size_t c = 0; c < chunk_ids.size(); c++) {
    const size_t chunk_base = c * chunk_bytes;
    std::string data_packets;
    for (size_t i = 0; i < static_cast<size_t>(g.n); i++) {
      const size_t at = chunk_base + i * block;
      const std::string sealed = stream.substr(at, packet + 2);
      const uint8_t index = static_cast<uint8_t>(stream[at + packet]);
      const uint8_t k_byte = static_cast<uint8_t>(stream[at + packet + 1]);
      if (index != i || k_byte != static_cast<uint8_t>(g.k % 256)) {
        return ::testing::AssertionFailure()
               << "chunk " << c << " block " << i << " (offset " << at << "): trailer index "
               << int{index} << ", k byte " << int{k_byte};
      }
      if (stream.substr(at + packet + 2, 16) != md5_of(sealed)) {
        return ::testing::AssertionFailure()
               << "chunk " << c << " block " << i << " (offset " << at << "): digest "
               << to_hex(stream.substr(at + packet + 2, 16)) << ", expected "
               << to_hex(md5_of(sealed));
      }
      if (i < static_cast<size_t>(g.k)) data_packets += stream.substr(at, packet);
    }

    const size_t start = std::min(c * capacity, input.size());
    const size_t expected_clen = std::min(capacity, input.size() - start);
    const uint32_t clen = big_endian_at(data_packets, 0);
    const uint32_t id = big_endian_at(data_packets, 4);
    if (clen != expected_clen || id != chunk_ids[c]) {
      return ::testing::AssertionFailure()
             << "chunk " << c << ": header clen " << clen << " id " << id << ", expected clen "
             << expected_clen << " id " << chunk_ids[c];
    }
    std::string expected_data = input.substr(start, expected_clen);
    expected_data.resize(capacity, '\0');
    const std::string data = data_packets.substr(8);
    if (data != expected_data) {
      const size_t at = first_difference(data, expected_data);
      return ::testing::AssertionFailure()
             << "chunk " << c << ": data byte " << at << " (of " << expected_clen
             << " input bytes) is " << int{static_cast<uint8_t>(data[at])} << ", expected "
             << int{static_cast<uint8_t>(expected_data[at])};
    }
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult is_encoding_of(const std::string& stream, const stream_geometry& g,
                                          const std::string& input) {
  const size_t capacity = g.capacity();
  const size_t chunks = (input.size() + capacity - 1) / capacity;
  std::vector<uint32_t> ids;
  for (size_t c = 0; c < chunks; c++) {
    ids.push_back(c + 1 == chunks ? 0xFFFFFFFFu : static_cast<uint32_t>(c));
  }
  return is_stream_of(stream, g, input, ids);
}

}  // namespace kestrune::test::cli
