// SPDX-License-Identifier: MIT
// api_test.cpp - the library through its public header: parameters checked with the program's
// texts, every way of feeding an encoder or a decoder giving the same bytes, handles with other
// parameters used in turns, and failures handed back as results with the program's messages.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kestrune.h"
#include "tests/api/api_support.h"

namespace kestrune::test::api {
namespace {

constexpr kestrune_params defaults{1024, 18, 14};
constexpr kestrune_params small{64, 5, 3};

TEST(ApiParams, CheckedWithTheProgramsTexts) {
  const kestrune_params d = kestrune_default_params();
  EXPECT_EQ(d.blocksize, 1024);
  EXPECT_EQ(d.n, 18);
  EXPECT_EQ(d.k, 14);
  struct row {
    kestrune_params params;
    const char* error;  // null: valid
  };
  const row rows[] = {
      {{1024, 18, 14}, nullptr},
      {{26, 2, 2}, nullptr},
      {{1024, 256, 256}, nullptr},
      {{1024, 1, 1}, "invalid (k, n)"},
      {{1024, 257, 14}, "invalid (k, n)"},
      {{1024, 18, 19}, "invalid (k, n)"},
      {{1024, 18, 0}, "invalid (k, n)"},
      {{25, 18, 14}, "invalid blocksize"},
      {{1 << 30, 18, 14}, "invalid blocksize"},
  };
  for (const row& r : rows) {
    const char* got = kestrune_params_error(&r.params);
    if (r.error == nullptr) {
      EXPECT_EQ(got, nullptr) << r.params.blocksize << " " << r.params.n << " " << r.params.k;
    } else {
      EXPECT_STREQ(got, r.error) << r.params.blocksize << " " << r.params.n << " " << r.params.k;
    }
  }
  EXPECT_EQ(kestrune_chunk_capacity(&defaults), 14 * (1024 - 18) - 8);
}

struct shape {
  const char* name;
  kestrune_params params;
};

class ApiRoundTrip : public ::testing::TestWithParam<shape> {};

// Sizes around a chunk's capacity and across several batches of chunks, pushed in pieces of many
// sizes: the pushed and the pulled encoder write the same stream, and the file, the pipe and the
// pushed decoder give back the data.
TEST_P(ApiRoundTrip, EveryWayInGivesTheSameBytes) {
  const kestrune_params p = GetParam().params;
  const size_t capacity = static_cast<size_t>(kestrune_chunk_capacity(&p));
  const size_t batch_sized = (288 * 1024 / (static_cast<size_t>(p.n) * p.blocksize) + 1) * capacity;
  for (const size_t size :
       {size_t{0}, size_t{1}, capacity - 1, capacity, capacity + 1, 3 * batch_sized + 5}) {
    SCOPED_TRACE("size " + std::to_string(size));
    const std::string data = patterned(size, size);
    const run_result pulled = encode(p, data, feed::pulled);
    ASSERT_EQ(pulled.result, KESTRUNE_OK) << pulled.message;
    const size_t chunks = std::max<size_t>(1, (size + capacity - 1) / capacity);
    EXPECT_EQ(pulled.output.size(), size == 0 ? 0 : chunks * p.n * p.blocksize);
    for (const size_t first_piece : {size_t{1}, size_t{4096}, capacity + 1}) {
      const run_result pushed = encode(p, data, feed::pushed, first_piece);
      ASSERT_EQ(pushed.result, KESTRUNE_OK) << pushed.message;
      EXPECT_TRUE(pushed.output == pulled.output) << "pieces from " << first_piece;
    }
    if (size == 0) continue;
    for (const source how : {source::file, source::pipe, source::pushed}) {
      const run_result back = decode(p, pulled.output, how);
      ASSERT_EQ(back.result, KESTRUNE_OK) << back.message;
      EXPECT_TRUE(back.output == data) << "source " << static_cast<int>(how);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ApiRoundTrip,
                         ::testing::Values(shape{"defaults", defaults}, shape{"small", small},
                                           shape{"k1", {40, 3, 1}}, shape{"k_is_n", {300, 4, 4}},
                                           shape{"smallest", {26, 2, 2}}),
                         [](const ::testing::TestParamInfo<shape>& info) {
                           return std::string(info.param.name);
                         });

// Two encoders and two decoders with other parameters, used in turns in one thread: each keeps its
// own parameters, buffers and position.
TEST(ApiHandles, WithOtherParametersTakeTurns) {
  const kestrune_params params[2] = {defaults, small};
  const std::string data[2] = {patterned(500'000, 1), patterned(70'000, 2)};
  std::string streams[2];
  run_result out[2];
  const kestrune_callbacks callbacks[2] = {collecting(out[0]), collecting(out[1])};
  kestrune_encoder* encoders[2];
  for (int h = 0; h < 2; h++) {
    encoders[h] = kestrune_encoder_create(&params[h], &callbacks[h], nullptr);
    ASSERT_NE(encoders[h], nullptr);
  }
  for (size_t at = 0; at < data[0].size() || at < data[1].size(); at += 997) {
    for (int h = 0; h < 2; h++) {
      if (at >= data[h].size()) continue;
      const size_t n = std::min<size_t>(997, data[h].size() - at);
      ASSERT_EQ(kestrune_encoder_push(encoders[h], data[h].data() + at, n), KESTRUNE_OK);
    }
  }
  for (int h = 0; h < 2; h++) {
    ASSERT_EQ(kestrune_encoder_end(encoders[h]), KESTRUNE_OK);
    kestrune_encoder_free(encoders[h]);
    streams[h] = out[h].output;
    EXPECT_TRUE(streams[h] == encode(params[h], data[h], feed::pulled).output) << "encoder " << h;
    out[h].output.clear();
  }

  kestrune_decoder* decoders[2];
  for (int h = 0; h < 2; h++)
    decoders[h] = kestrune_decoder_create(&params[h], &callbacks[h], nullptr);
  for (size_t at = 0; at < streams[0].size() || at < streams[1].size(); at += 1499) {
    for (int h = 0; h < 2; h++) {
      if (at >= streams[h].size()) continue;
      const size_t n = std::min<size_t>(1499, streams[h].size() - at);
      ASSERT_EQ(kestrune_decoder_push(decoders[h], streams[h].data() + at, n), KESTRUNE_OK);
    }
  }
  for (int h = 0; h < 2; h++) {
    ASSERT_EQ(kestrune_decoder_end(decoders[h]), KESTRUNE_OK)
        << kestrune_decoder_message(decoders[h]);
    kestrune_decoder_free(decoders[h]);
    EXPECT_TRUE(out[h].output == data[h]) << "decoder " << h;
  }
}

// The decoder's failures, from every source alike: the result, the message kestrune prints, and
// the chunks restored before the failure written out.
TEST(ApiFailures, DecoderFailuresAreResultsWithTheProgramsTexts) {
  const size_t capacity = static_cast<size_t>(kestrune_chunk_capacity(&small));
  const size_t chunk = static_cast<size_t>(small.n) * small.blocksize;
  const std::string data = patterned(3 * capacity + 10, 7);
  const std::string stream = encode(small, data, feed::pulled).output;
  ASSERT_EQ(stream.size(), 4 * chunk);

  std::string swapped = stream;  // chunks 1 and 2 exchanged
  swapped.replace(chunk, chunk, stream, 2 * chunk, chunk);
  swapped.replace(2 * chunk, chunk, stream, chunk, chunk);
  struct row {
    const char* name;
    std::string stream;
    kestrune_params params;
    kestrune_result result;
    std::string message;
    size_t restored;  // user bytes written before the failure
  };
  const row rows[] = {
      {"cut in chunk 1", stream.substr(0, chunk + 2 * small.blocksize), small,
       KESTRUNE_ERROR_TOO_MANY_BAD, "unrecoverable error -- too many bad blocks", capacity},
      {"ends before the last chunk", stream.substr(0, 2 * chunk), small,
       KESTRUNE_ERROR_TOO_MANY_BAD, "unrecoverable error -- too many bad blocks", 2 * capacity},
      {"another k",
       stream,
       {small.blocksize, small.n, 2},
       KESTRUNE_ERROR_INCORRECT_K,
       "incorrect K value",
       0},
      {"chunks exchanged", swapped, small, KESTRUNE_ERROR_OUT_OF_ORDER,
       "chunk out of order at " + std::to_string(chunk) + " id 2 expecting 1", capacity},
  };
  for (const row& r : rows) {
    for (const source how : {source::file, source::pipe, source::pushed}) {
      SCOPED_TRACE(std::string(r.name) + ", source " + std::to_string(static_cast<int>(how)));
      const run_result got = decode(r.params, r.stream, how);
      EXPECT_EQ(got.result, r.result);
      EXPECT_EQ(got.message, r.message);
      EXPECT_TRUE(got.output == data.substr(0, r.restored)) << got.output.size() << " bytes out";
    }
  }

  // A stream cut in the last chunk of a batch (16 chunks of these parameters), which keeps its k
  // blocks: the pushed decoder goes on to the next chunk at its end, as the others read on, and
  // fails there.
  const std::string longer = patterned(40 * capacity, 8);
  const std::string cut =
      encode(small, longer, feed::pulled).output.substr(0, 16 * chunk - 2 * small.blocksize);
  for (const source how : {source::file, source::pipe, source::pushed}) {
    SCOPED_TRACE("cut after a batch, source " + std::to_string(static_cast<int>(how)));
    const run_result got = decode(small, cut, how);
    EXPECT_EQ(got.result, KESTRUNE_ERROR_TOO_MANY_BAD);
    EXPECT_TRUE(got.output == longer.substr(0, 16 * capacity)) << got.output.size() << " bytes out";
  }
}

TEST(ApiFailures, EncoderFailuresAndMisuseAreResults) {
  // A write that fails.
  kestrune_callbacks failing{};
  failing.write = [](void*, const kestrune_piece*, int) { return -1; };
  kestrune_encoder* e = kestrune_encoder_create(&small, &failing, nullptr);
  const std::string data = patterned(100'000, 3);
  kestrune_result r = KESTRUNE_OK;
  for (size_t at = 0; at < data.size() && r == KESTRUNE_OK; at += 1000) {
    r = kestrune_encoder_push(e, data.data() + at, 1000);
  }
  if (r == KESTRUNE_OK) r = kestrune_encoder_end(e);
  EXPECT_EQ(r, KESTRUNE_ERROR_WRITE);
  EXPECT_STREQ(kestrune_encoder_message(e), "write error");
  // Every later call gives the same failure.
  EXPECT_EQ(kestrune_encoder_push(e, "x", 1), KESTRUNE_ERROR_WRITE);
  kestrune_encoder_free(e);

  // A read that fails after two chunks and a half: the two complete chunks are written.
  run_result out;
  const kestrune_callbacks collect = collecting(out);
  e = kestrune_encoder_create(&small, &collect, nullptr);
  struct budget {
    int64_t left;
  } in{kestrune_chunk_capacity(&small) * 5 / 2};
  r = kestrune_encode_pull(
      e,
      [](void* user, kestrune_piece* pieces, int count, int* failed) -> int64_t {
        int64_t& left = static_cast<budget*>(user)->left;
        int64_t total = 0;
        for (int t = 0; t < count && left > 0; t++) {
          const int64_t n = std::min<int64_t>(left, static_cast<int64_t>(pieces[t].size));
          memset(pieces[t].data, 'a', static_cast<size_t>(n));
          left -= n;
          total += n;
        }
        *failed = 1;
        return total;
      },
      &in);
  EXPECT_EQ(r, KESTRUNE_ERROR_READ);
  EXPECT_STREQ(kestrune_encoder_message(e), "read error");
  EXPECT_EQ(out.output.size(), size_t{2} * small.n * small.blocksize);
  // Once pulled, the encoder takes nothing more.
  EXPECT_EQ(kestrune_encode_pull(e, nullptr, nullptr), KESTRUNE_ERROR_READ);
  kestrune_encoder_free(e);

  // Invalid parameters: a handle whose every call fails with them.
  const kestrune_params bad{1024, 18, 19};
  e = kestrune_encoder_create(&bad, &collect, nullptr);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(kestrune_encoder_push(e, "x", 1), KESTRUNE_ERROR_PARAMS);
  EXPECT_STREQ(kestrune_encoder_message(e), "invalid (k, n)");
  kestrune_encoder_free(e);
  kestrune_decoder* d = kestrune_decoder_create(&bad, &collect, nullptr);
  EXPECT_EQ(kestrune_decoder_end(d), KESTRUNE_ERROR_PARAMS);
  kestrune_decoder_free(d);

  // Calls out of order.
  e = kestrune_encoder_create(&small, &collect, nullptr);
  EXPECT_EQ(kestrune_encoder_end(e), KESTRUNE_OK);
  EXPECT_EQ(kestrune_encoder_push(e, "x", 1), KESTRUNE_ERROR_STATE);
  EXPECT_EQ(kestrune_encoder_end(e), KESTRUNE_ERROR_STATE);
  kestrune_encoder_free(e);
  d = kestrune_decoder_create(&small, &collect, nullptr);
  EXPECT_EQ(kestrune_decoder_push(d, "x", 1), KESTRUNE_OK);
  EXPECT_EQ(kestrune_decode_pipe(
                d, [](void*, void*, size_t) -> size_t { return 0; }, nullptr),
            KESTRUNE_ERROR_STATE);
  kestrune_decoder_free(d);
  kestrune_encoder_free(nullptr);
  kestrune_decoder_free(nullptr);
}

// The decoder's -vv reports and the --stats summary come through the report callback, the same
// from every source.
TEST(ApiReports, ComeThroughTheCallback) {
  const std::string data = patterned(20'000, 9);
  std::string stream = encode(small, data, feed::pulled).output;
  stream[3] ^= 1;  // block 0 of chunk 0: a wrong digest
  const run_result file = decode(small, stream, source::file, 2);
  ASSERT_EQ(file.result, KESTRUNE_OK) << file.message;
  EXPECT_NE(file.reports.find("bad block at 0 id -3 expecting 0\n"), std::string::npos)
      << file.reports;
  EXPECT_NE(file.reports.find("read 3 blocks, clen = "), std::string::npos) << file.reports;
  for (const source how : {source::pipe, source::pushed}) {
    const run_result other = decode(small, stream, how, 2);
    EXPECT_EQ(other.reports, file.reports) << "source " << static_cast<int>(how);
  }
  EXPECT_TRUE(decode(small, stream, source::file, 0).reports.empty());
}

}  // namespace
}  // namespace kestrune::test::api
