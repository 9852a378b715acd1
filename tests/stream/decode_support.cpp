// SPDX-License-Identifier: MIT
// decode_support.cpp - running the encoder and the decoder for the decoder tests.
#include "tests/stream/decode_support.h"

#include <stdexcept>

namespace kestrune::test {

const char* feed_name(feed how) { return how == feed::file ? "file" : "pipe"; }

input_from input_of(feed how) {
  return how == feed::file ? input_from::file_operand : input_from::pipe;
}

std::vector<std::string> geometry_args(const stream_geometry& g) {
  const stream_geometry defaults;
  std::vector<std::string> args;
  if (g.blocksize != defaults.blocksize) {
    args.push_back("-b");
    args.push_back(g.blocksize % 1024 == 0 ? std::to_string(g.blocksize / 1024) + "K"
                                           : std::to_string(g.blocksize));
  }
  if (g.n != defaults.n) args.push_back("-n" + std::to_string(g.n));
  if (g.k != defaults.k) args.push_back("-k" + std::to_string(g.k));
  return args;
}

std::string encode(const std::string& data, const stream_geometry& g) {
  run_options options;
  options.stdin_bytes = data;
  const run_result r = run_program(geometry_args(g), options);
  if (r.status != 0) {
    throw std::runtime_error("encoding failed with status " + std::to_string(r.status) + ": " +
                             r.err);
  }
  return r.out;
}

run_result decode(const std::string& stream, const stream_geometry& g, feed how,
                  const std::vector<std::string>& extra, const run_options& options) {
  std::vector<std::string> args{"-d"};
  for (const std::string& arg : geometry_args(g)) args.push_back(arg);
  for (const std::string& arg : extra) args.push_back(arg);
  return run_in(args, input_of(how), stream, output_to::captured, options, "stream.kst");
}

uint64_t chunk_count(const stream_geometry& g, uint64_t size) {
  return size == 0 ? 0 : (size + g.capacity() - 1) / g.capacity();
}

std::string chunks_of(const std::string& data, const stream_geometry& g, uint64_t first,
                      uint64_t count) {
  const uint64_t start = first * g.capacity();
  if (start >= data.size()) return "";
  const uint64_t rest = data.size() - start;
  return data.substr(start, count > rest / g.capacity() ? rest : count * g.capacity());
}

std::string stored_packets(const std::string& stream, const stream_geometry& g, uint64_t chunk) {
  std::string bytes;
  for (int i = 0; i < g.k; i++) {
    bytes.append(block_bytes(stream, g, {chunk, i}).substr(0, g.payload_len()));
  }
  return bytes.substr(8);
}

std::string report(const stream_geometry& g, feed how, int verbose) {
  if (verbose < 1) return "";
  std::string text = "Kestrune v1.0\n(K, N) = (" + std::to_string(g.k) + ", " +
                     std::to_string(g.n) + ")\nBlocksize = " + std::to_string(g.blocksize) +
                     "\nDecode mode.\n";
  if (how == feed::pipe) text += "Input is a pipe.\n";
  if (verbose >= 2) {
    text += "Reading data in chunks of " + std::to_string(g.chunk_bytes()) + " bytes.\n";
    text += "Writing data in chunks of " + std::to_string(g.capacity()) + " bytes.\n";
  }
  return text;
}

std::string bad_block(uint64_t offset, int result, int position) {
  return "bad block at " + std::to_string(offset) + " id " + std::to_string(result) +
         " expecting " + std::to_string(position) + "\n";
}

std::string bad_block(const stream_geometry& g, block_ref where, int result) {
  return bad_block(block_offset(g, where), result, where.position);
}

std::string read_blocks(const stream_geometry& g, uint32_t clen) {
  return "read " + std::to_string(g.k) +
         " blocks, clen = " + std::to_string(static_cast<int32_t>(clen)) + "\n";
}

std::string fatal(const std::string& message) { return kestrune_path() + ": " + message + "\n"; }

::testing::AssertionResult same_bytes(const std::string& actual, const std::string& expected) {
  size_t first = 0;
  while (first < actual.size() && first < expected.size() && actual[first] == expected[first]) {
    first++;
  }
  if (first == actual.size() && first == expected.size()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << actual.size() << " bytes, expected "
                                       << expected.size() << "; first difference at byte " << first;
}

}  // namespace kestrune::test
