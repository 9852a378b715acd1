// SPDX-License-Identifier: MIT
// api_support.cpp - the tests' encoder and decoder runs through the public header.
#include "tests/api/api_support.h"

#include <algorithm>
#include <cstring>

namespace kestrune::test::api {

kestrune_callbacks collecting(run_result& into) {
  kestrune_callbacks callbacks{};
  callbacks.user = &into;
  callbacks.write = [](void* user, const kestrune_piece* pieces, int count) {
    for (int t = 0; t < count; t++) {
      static_cast<run_result*>(user)->output.append(static_cast<const char*>(pieces[t].data),
                                                    pieces[t].size);
    }
    return 0;
  };
  callbacks.report = [](void* user, const char* line) {
    static_cast<run_result*>(user)->reports += line;
  };
  return callbacks;
}

namespace {

struct cursor {
  const std::string& bytes;
  size_t at = 0;
};

size_t take(cursor& c, void* dest, size_t size, size_t from) {
  if (from >= c.bytes.size()) return 0;
  const size_t n = std::min(size, c.bytes.size() - from);
  memcpy(dest, c.bytes.data() + from, n);
  return n;
}

}  // namespace

run_result encode(const kestrune_params& params, const std::string& data, feed how, size_t piece) {
  run_result r;
  const kestrune_callbacks callbacks = collecting(r);
  kestrune_encoder* encoder = kestrune_encoder_create(&params, &callbacks, nullptr);
  if (how == feed::pushed) {
    for (size_t at = 0; at < data.size() && r.result == KESTRUNE_OK; piece = piece * 3 % 5003 + 1) {
      const size_t n = std::min(piece, data.size() - at);
      r.result = kestrune_encoder_push(encoder, data.data() + at, n);
      at += n;
    }
    if (r.result == KESTRUNE_OK) r.result = kestrune_encoder_end(encoder);
  } else {
    cursor in{data};
    r.result = kestrune_encode_pull(
        encoder,
        [](void* user, kestrune_piece* pieces, int count, int* failed) -> int64_t {
          cursor& c = *static_cast<cursor*>(user);
          int64_t total = 0;
          *failed = 0;
          for (int t = 0; t < count; t++) {
            const size_t n = take(c, pieces[t].data, pieces[t].size, c.at);
            c.at += n;
            total += static_cast<int64_t>(n);
            if (n < pieces[t].size) break;
          }
          return total;
        },
        &in);
  }
  r.message = kestrune_encoder_message(encoder);
  kestrune_encoder_free(encoder);
  return r;
}

run_result decode(const kestrune_params& params, const std::string& stream, source how,
                  int verbose) {
  run_result r;
  const kestrune_callbacks callbacks = collecting(r);
  const kestrune_settings settings{verbose, 0, nullptr};
  kestrune_decoder* decoder = kestrune_decoder_create(&params, &callbacks, &settings);
  cursor in{stream};
  switch (how) {
    case source::pushed:
      for (size_t at = 0, piece = 1; at < stream.size() && r.result == KESTRUNE_OK;
           piece = piece * 5 % 7919 + 1) {
        const size_t n = std::min(piece, stream.size() - at);
        r.result = kestrune_decoder_push(decoder, stream.data() + at, n);
        at += n;
      }
      if (r.result == KESTRUNE_OK) r.result = kestrune_decoder_end(decoder);
      break;
    case source::file:
      r.result = kestrune_decode_file(
          decoder,
          [](void* user, void* dest, size_t size, int64_t offset) {
            return take(*static_cast<cursor*>(user), dest, size, static_cast<size_t>(offset));
          },
          &in);
      break;
    case source::pipe:
      r.result = kestrune_decode_pipe(
          decoder,
          [](void* user, void* dest, size_t size) {
            cursor& c = *static_cast<cursor*>(user);
            const size_t n = take(c, dest, size, c.at);
            c.at += n;
            return n;
          },
          &in);
      break;
  }
  r.message = kestrune_decoder_message(decoder);
  kestrune_decoder_free(decoder);
  return r;
}

kestrune_source memory_input::source() {
  kestrune_source s{};
  s.user = this;
  s.size = seekable ? static_cast<int64_t>(bytes.size()) : -1;
  if (seekable) {
    s.read_at = [](void* user, void* dest, size_t size, int64_t offset) -> size_t {
      const auto& in = *static_cast<const memory_input*>(user);
      const size_t at = std::min(static_cast<size_t>(offset), in.bytes.size());
      const size_t count = std::min(size, in.bytes.size() - at);
      memcpy(dest, in.bytes.data() + at, count);
      return count;
    };
  } else {
    s.read = [](void* user, void* dest, size_t size) -> int64_t {
      auto& in = *static_cast<memory_input*>(user);
      if (in.position >= in.fail_at) return -1;
      const size_t count =
          std::min({size, in.bytes.size() - in.position, in.fail_at - in.position});
      memcpy(dest, in.bytes.data() + in.position, count);
      in.position += count;
      return static_cast<int64_t>(count);
    };
  }
  return s;
}

std::string patterned(size_t size, uint64_t salt) {
  std::string data(size, '\0');
  uint64_t state = salt * 0x9E3779B97F4A7C15u + 1;
  for (size_t i = 0; i < size; i++) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    data[i] = static_cast<char>(state >> 56);
  }
  return data;
}

}  // namespace kestrune::test::api
