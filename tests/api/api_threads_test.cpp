// SPDX-License-Identifier: MIT
// api_threads_test.cpp - decoders, and scanners beside them, on four threads at once, each with its
// own parameters and a damaged stream: the library holds no state that one handle could change
// under another (the ThreadSanitizer build runs these tests).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "kestrune.h"
#include "tests/api/api_support.h"

namespace kestrune::test::api {
namespace {

TEST(ApiThreads, FourDecodersAtOnce) {
  const kestrune_params params[4] = {{1024, 18, 14}, {64, 5, 3}, {4096, 12, 8}, {300, 7, 7}};
  std::string data[4];
  std::string streams[4];
  for (int t = 0; t < 4; t++) {
    data[t] = patterned(200'000 + 1000 * static_cast<size_t>(t), static_cast<uint64_t>(t));
    const run_result encoded = encode(params[t], data[t], feed::pulled);
    ASSERT_EQ(encoded.result, KESTRUNE_OK);
    streams[t] = encoded.output;
    // One block of every chunk wiped, where the geometry has parity to spare.
    if (params[t].n > params[t].k) {
      const size_t chunk = static_cast<size_t>(params[t].n) * params[t].blocksize;
      for (size_t at = 0; at < streams[t].size(); at += chunk) {
        const size_t block = at / params[t].blocksize % static_cast<size_t>(params[t].n);
        streams[t].replace(at + block * params[t].blocksize, params[t].blocksize,
                           static_cast<size_t>(params[t].blocksize), '\0');
      }
    }
  }
  bool right[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      bool all = true;
      for (int round = 0; round < 6; round++) {
        const source how = round % 3 == 0   ? source::file
                           : round % 3 == 1 ? source::pipe
                                            : source::pushed;
        const run_result back = decode(params[t], streams[t], how);
        all = all && back.result == KESTRUNE_OK && back.output == data[t];
      }
      right[t] = all;
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; t++) EXPECT_TRUE(right[t]) << "thread " << t;
}

TEST(ApiThreads, ScannersBesideDecoders) {
  const kestrune_params params[4] = {{1024, 18, 14}, {64, 5, 3}, {4096, 12, 8}, {300, 7, 5}};
  std::string data[4];
  std::string streams[4];
  std::string damaged[4];
  for (int t = 0; t < 4; t++) {
    data[t] = patterned(150'000 + 777 * static_cast<size_t>(t), static_cast<uint64_t>(t) + 10);
    streams[t] = encode(params[t], data[t], feed::pushed).output;
    ASSERT_FALSE(streams[t].empty());
    // Block 1 of every chunk wiped: every chunk can be rebuilt.
    damaged[t] = streams[t];
    const size_t chunk = static_cast<size_t>(params[t].n) * params[t].blocksize;
    for (size_t at = 0; at < damaged[t].size(); at += chunk) {
      damaged[t].replace(at + params[t].blocksize, params[t].blocksize,
                         static_cast<size_t>(params[t].blocksize), '\0');
    }
  }
  bool right[4] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      if (t % 2 == 1) {
        const run_result back = decode(params[t], damaged[t], source::file);
        right[t] = back.result == KESTRUNE_OK && back.output == data[t];
        return;
      }
      // Found, scanned with its salvage, and repaired to the stream as it was written.
      memory_input input{damaged[t]};
      const kestrune_source source = input.source();
      kestrune_scanner* scanner = kestrune_scanner_create(&source, 1);
      kestrune_detection found{};
      struct out {
        std::string salvage;
        std::string stream;
      } scanned, repaired;
      kestrune_scan_callbacks callbacks{};
      callbacks.salvage = [](void* user, const void* bytes, int64_t count) {
        static_cast<out*>(user)->salvage.append(static_cast<const char*>(bytes),
                                                static_cast<size_t>(count));
        return 0;
      };
      callbacks.stream = [](void* user, const void* bytes, size_t size) {
        static_cast<out*>(user)->stream.append(static_cast<const char*>(bytes), size);
        return 0;
      };
      kestrune_scan_summary summary{};
      callbacks.user = &scanned;
      const bool scan_ok =
          scanner != nullptr &&
          kestrune_scanner_detect(scanner, &params[t], 0, &found) == KESTRUNE_OK &&
          kestrune_scan(scanner, &found.params, &callbacks, &summary) == KESTRUNE_OK;
      callbacks.user = &repaired;
      const bool repair_ok =
          scan_ok && kestrune_repair(scanner, &found.params, &callbacks, nullptr) == KESTRUNE_OK;
      kestrune_scanner_free(scanner);
      right[t] = repair_ok && summary.repairable == summary.chunks && scanned.salvage == data[t] &&
                 repaired.stream == streams[t];
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int t = 0; t < 4; t++) EXPECT_TRUE(right[t]) << "thread " << t;
}

}  // namespace
}  // namespace kestrune::test::api
