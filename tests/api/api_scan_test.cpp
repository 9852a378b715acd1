// SPDX-License-Identifier: MIT
// api_scan_test.cpp - the scanner through the public header: chunks judged and data salvaged alike
// from a file and a pipe, the decoder's stop foretold, a repair from two copies that restores what
// neither holds alone, and failures handed back as results with the program's messages.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kestrune.h"
#include "tests/api/api_support.h"

namespace kestrune::test::api {
namespace {

constexpr kestrune_params params{256, 6, 4};

// One byte of block `block` of chunk `chunk` changed, so that its digest fails.
void spoil(std::string& stream, int chunk, int block) {
  const size_t at = (static_cast<size_t>(chunk) * params.n + static_cast<size_t>(block)) *
                        static_cast<size_t>(params.blocksize) +
                    7;
  stream[at] = static_cast<char>(stream[at] ^ 0x5a);
}

// What a scan or a repair handed out.
struct collected_scan {
  std::vector<kestrune_chunk_status> statuses;
  std::vector<std::vector<std::pair<int, kestrune_verdict>>> rejected;
  std::vector<kestrune_repair_status> repaired;
  std::string salvage;
  std::string stream;
  bool fail_salvage = false;
  bool fail_stream = false;
};

kestrune_scan_callbacks collecting(collected_scan& into) {
  kestrune_scan_callbacks c{};
  c.user = &into;
  c.chunk = [](void* user, const kestrune_chunk_report* chunk) {
    auto& to = *static_cast<collected_scan*>(user);
    to.statuses.push_back(chunk->status);
    to.rejected.emplace_back();
    for (size_t i = 0; i < chunk->rejected_count; i++) {
      to.rejected.back().emplace_back(chunk->rejected[i].position, chunk->rejected[i].verdict);
    }
  };
  c.repaired = [](void* user, const kestrune_repaired_chunk* chunk) {
    static_cast<collected_scan*>(user)->repaired.push_back(chunk->status);
  };
  c.salvage = [](void* user, const void* data, int64_t count) {
    auto& to = *static_cast<collected_scan*>(user);
    if (data == nullptr) {
      to.salvage.append(static_cast<size_t>(count), '\0');
    } else {
      to.salvage.append(static_cast<const char*>(data), static_cast<size_t>(count));
    }
    return to.fail_salvage ? 1 : 0;
  };
  c.stream = [](void* user, const void* data, size_t size) {
    auto& to = *static_cast<collected_scan*>(user);
    to.stream.append(static_cast<const char*>(data), size);
    return to.fail_stream ? 1 : 0;
  };
  return c;
}

TEST(ApiScan, JudgesAndSalvagesAlikeFromAFileAndAPipe) {
  const std::string data = patterned(5000, 3);
  std::string stream = encode(params, data, feed::pushed).output;
  ASSERT_FALSE(stream.empty());
  spoil(stream, 0, 1);                                              // repairable
  for (int block = 0; block < 3; block++) spoil(stream, 2, block);  // lost: 3 of 6, k is 4
  const run_result decoded = decode(params, stream, source::file);
  ASSERT_NE(decoded.result, KESTRUNE_OK);

  for (const bool seekable : {true, false}) {
    SCOPED_TRACE(seekable ? "file" : "pipe");
    memory_input input{stream, seekable};
    const kestrune_source source = input.source();
    kestrune_scanner* scanner = kestrune_scanner_create(&source, 1);
    ASSERT_NE(scanner, nullptr);
    kestrune_detection found{};
    ASSERT_EQ(kestrune_scanner_detect(scanner, &params, 0, &found), KESTRUNE_OK)
        << kestrune_scanner_message(scanner);
    EXPECT_EQ(found.params.blocksize, params.blocksize);
    EXPECT_EQ(found.params.n, params.n);
    EXPECT_EQ(found.params.k, params.k);
    EXPECT_EQ(found.blocksize_given, 0);

    collected_scan got;
    const kestrune_scan_callbacks callbacks = collecting(got);
    kestrune_scan_summary s{};
    ASSERT_EQ(kestrune_scan(scanner, &found.params, &callbacks, &s), KESTRUNE_OK);
    ASSERT_EQ(got.statuses.size(), 6u);
    EXPECT_EQ(s.chunks, 6);
    EXPECT_EQ(got.statuses[0], KESTRUNE_CHUNK_REPAIRABLE);
    EXPECT_EQ(got.rejected[0],
              (std::vector<std::pair<int, kestrune_verdict>>{{1, KESTRUNE_BLOCK_DIGEST}}));
    EXPECT_EQ(got.statuses[1], KESTRUNE_CHUNK_INTACT);
    EXPECT_EQ(got.statuses[2], KESTRUNE_CHUNK_LOST);
    EXPECT_EQ(s.repairable, 1);
    EXPECT_EQ(s.lost, 1);
    EXPECT_EQ(s.end, KESTRUNE_END_LAST_CHUNK);
    // The decoder's stop, foretold with its message.
    EXPECT_EQ(s.decoder_fails_at, 2);
    EXPECT_EQ(s.decoder_failure, decoded.message);
    // The salvage is the data, with zeros in the one lost range: the bytes of chunk 2's three
    // spoilt data blocks (the first holds the chunk's header); its fourth data block is saved.
    ASSERT_EQ(s.lost_data_count, 1u);
    const kestrune_range lost = s.lost_data[0];
    const int64_t packet = params.blocksize - KESTRUNE_TRAILER_BYTES;
    EXPECT_EQ(lost.start, 2 * kestrune_chunk_capacity(&params));
    EXPECT_EQ(lost.length, 3 * packet - KESTRUNE_HEADER_BYTES);
    ASSERT_EQ(got.salvage.size(), data.size());
    EXPECT_EQ(s.salvage_bytes, static_cast<int64_t>(data.size()));
    EXPECT_EQ(s.saved_bytes, static_cast<int64_t>(data.size()) - lost.length);
    std::string expected = data;
    std::fill_n(expected.begin() + lost.start, lost.length, '\0');
    EXPECT_EQ(got.salvage, expected);
    EXPECT_EQ(kestrune_scanner_size(scanner, 0), static_cast<int64_t>(stream.size()));
    kestrune_scanner_free(scanner);
  }
}

TEST(ApiRepair, TwoCopiesRestoreWhatNeitherHoldsAlone) {
  const std::string data = patterned(4000, 5);
  const std::string stream = encode(params, data, feed::pulled).output;
  std::string first = stream;
  std::string second = stream;
  for (int block = 0; block < 3; block++) spoil(first, 1, block);
  for (int block = 3; block < 6; block++) spoil(second, 1, block);

  memory_input alone{first};
  const kestrune_source one = alone.source();
  kestrune_scanner* scanner = kestrune_scanner_create(&one, 1);
  ASSERT_NE(scanner, nullptr);
  collected_scan lost;
  kestrune_scan_callbacks callbacks = collecting(lost);
  kestrune_repair_summary s{};
  ASSERT_EQ(kestrune_repair(scanner, &params, &callbacks, &s), KESTRUNE_OK);
  EXPECT_EQ(s.complete, 0);
  EXPECT_EQ(s.lost, 1);
  kestrune_scanner_free(scanner);

  memory_input a{first};
  memory_input b{second, false};
  const kestrune_source both[] = {a.source(), b.source()};
  scanner = kestrune_scanner_create(both, 2);
  ASSERT_NE(scanner, nullptr);
  collected_scan got;
  callbacks = collecting(got);
  ASSERT_EQ(kestrune_repair(scanner, &params, &callbacks, &s), KESTRUNE_OK)
      << kestrune_scanner_message(scanner);
  EXPECT_EQ(s.complete, 1);
  EXPECT_EQ(s.merged, 1);
  ASSERT_EQ(s.copy_count, 2u);
  EXPECT_EQ(static_cast<int64_t>(got.repaired.size()), s.chunks);
  EXPECT_EQ(got.repaired[1], KESTRUNE_REPAIR_REPAIRED);
  EXPECT_EQ(got.salvage, data);
  EXPECT_EQ(s.stream_bytes, static_cast<int64_t>(stream.size()));
  EXPECT_EQ(got.stream, stream);
  kestrune_scanner_free(scanner);
}

TEST(ApiScan, FailuresAreResultsWithTheProgramsTexts) {
  const std::string stream = encode(params, patterned(3000, 7), feed::pushed).output;
  struct row {
    const char* what;
    bool seekable;
    size_t fail_at;
    bool fail_salvage;
    bool fail_stream;
    bool repair;
    kestrune_params with;
    kestrune_result result;
    const char* message;
  };
  const row rows[] = {
      {"salvage write", true, SIZE_MAX, true, false, false, params, KESTRUNE_ERROR_WRITE,
       "write error on the salvage file"},
      {"stream write", true, SIZE_MAX, false, true, true, params, KESTRUNE_ERROR_WRITE,
       "write error on the repaired stream"},
      {"pipe read", false, 2000, false, false, false, params, KESTRUNE_ERROR_READ, "read error"},
      {"parameters",
       true,
       SIZE_MAX,
       false,
       false,
       false,
       {256, 6, 7},
       KESTRUNE_ERROR_PARAMS,
       "invalid (k, n)"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    memory_input input{stream, r.seekable, 0, r.fail_at};
    const kestrune_source source = input.source();
    kestrune_scanner* scanner = kestrune_scanner_create(&source, 1);
    ASSERT_NE(scanner, nullptr);
    collected_scan got;
    got.fail_salvage = r.fail_salvage;
    got.fail_stream = r.fail_stream;
    const kestrune_scan_callbacks callbacks = collecting(got);
    const kestrune_result result = r.repair ? kestrune_repair(scanner, &r.with, &callbacks, nullptr)
                                            : kestrune_scan(scanner, &r.with, &callbacks, nullptr);
    EXPECT_EQ(result, r.result);
    EXPECT_STREQ(kestrune_scanner_message(scanner), r.message);
    kestrune_scanner_free(scanner);
  }

  // Bytes that hold no block: the parameters are not found, and the probe says why.
  memory_input noise{patterned(20000, 9)};
  const kestrune_source source = noise.source();
  kestrune_scanner* scanner = kestrune_scanner_create(&source, 1);
  ASSERT_NE(scanner, nullptr);
  kestrune_detection found{};
  EXPECT_EQ(kestrune_scanner_detect(scanner, &params, 0, &found), KESTRUNE_ERROR_NOT_FOUND);
  EXPECT_EQ(std::string(kestrune_scanner_message(scanner)).rfind("parameters not found: ", 0), 0u)
      << kestrune_scanner_message(scanner);
  kestrune_scanner_free(scanner);
}

}  // namespace
}  // namespace kestrune::test::api
