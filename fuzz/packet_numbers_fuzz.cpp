// SPDX-License-Identifier: MIT
// packet_numbers_fuzz.cpp - fec_decode_pkts with arbitrary packet numbers: repeated, negative, n or
// more, the extremes of int32_t.
//
// Input: n, k and the packet size (one byte each), then per slot a selector byte and four value
// bytes. Packet numbers in 0 .. n-1 come with their true packet; others with arbitrary bytes.
// The result must be 0 exactly when the numbers are k distinct values in 0 .. n-1, and then every
// slot must hold its data packet, with no message; on 1 no buffer may have changed, the slots must
// still pair each buffer with its number, and at most one message may have come.
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include "fec/fec.h"
#include "fuzz/input_reader.h"

namespace {

[[noreturn]] void fail(const char* what, int k, int n) {
  fprintf(stderr, "packet_numbers_fuzz: %s (k %d, n %d)\n", what, k, n);
  abort();
}

int32_t packet_number(uint8_t selector, uint32_t value, int n) {
  switch (selector % 8) {
    case 0:
    case 1:
    case 2:
      return static_cast<int32_t>(value % static_cast<uint32_t>(n));  // in range
    case 3:
      return INT32_MIN;
    case 4:
      return INT32_MAX;
    case 5:
      return n + static_cast<int32_t>(value % 4);  // just beyond
    case 6:
      return -1 - static_cast<int32_t>(value % 4);  // just below
    default:
      return static_cast<int32_t>(value);  // anything
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return -1;
  reader in{data, size};
  const int n = 1 + in.byte() % 40;
  const int k = 1 + in.byte() % n;
  const int pkt_size = 1 + in.byte() % 48;

  std::vector<int32_t> numbers(k);
  for (int j = 0; j < k; j++) {
    const uint8_t selector = in.byte();
    uint32_t value = 0;
    for (int b = 0; b < 4; b++) value = value << 8 | in.byte();
    numbers[j] = packet_number(selector, value, n);
  }

  // The data packets, from the rest of the input.
  std::vector<std::vector<uint8_t>> originals(k, std::vector<uint8_t>(pkt_size));
  for (auto& packet : originals) {
    for (auto& byte : packet) byte = in.byte();
  }
  std::vector<uint8_t*> sources(k);
  for (int i = 0; i < k; i++) sources[i] = originals[i].data();

  // The codec's messages are counted, not shown.
  int messages = 0;
  const fec_reporter counter{[](void* user, const char*) { ++*static_cast<int*>(user); },
                             &messages};
  fec_code* code = fec_create(k, n, &counter);
  if (code == nullptr) fail("fec_create refused valid parameters", k, n);

  std::vector<std::vector<uint8_t>> buffers(k, std::vector<uint8_t>(pkt_size));
  for (int j = 0; j < k; j++) {
    if (numbers[j] >= 0 && numbers[j] < n) {
      fec_encode_pkt(code, sources.data(), buffers[j].data(), numbers[j], pkt_size);
    } else {
      for (int b = 0; b < pkt_size; b++) buffers[j][b] = static_cast<uint8_t>(j * 37 + b);
    }
  }
  const std::vector<std::vector<uint8_t>> before = buffers;
  std::vector<uint8_t*> pkts(k);
  for (int j = 0; j < k; j++) pkts[j] = buffers[j].data();
  std::vector<int32_t> pkt_nos = numbers;

  std::set<int32_t> distinct;
  bool valid = true;
  for (int32_t number : numbers) {
    valid = valid && number >= 0 && number < n && distinct.insert(number).second;
  }

  const int result = fec_decode_pkts(code, pkts.data(), pkt_nos.data(), pkt_size);

  if (valid) {
    if (result != 0) fail("k distinct packet numbers in range were refused", k, n);
    if (messages != 0) fail("a decode that succeeded reported something", k, n);
    for (int i = 0; i < k; i++) {
      if (memcmp(pkts[i], originals[i].data(), pkt_size) != 0) {
        fail("a rebuilt data packet differs from the original", k, n);
      }
    }
  } else {
    if (result != 1) fail("invalid packet numbers were not refused with 1", k, n);
    if (messages > 1) fail("a refused decode reported more than one message", k, n);
    for (int j = 0; j < k; j++) {
      if (buffers[j] != before[j]) fail("a refused decode changed a buffer", k, n);
    }
    // The arrays may have been permuted, but together: each slot still pairs a buffer with the
    // number it came with.
    std::set<std::pair<uint8_t*, int32_t>> pairs_before;
    std::set<std::pair<uint8_t*, int32_t>> pairs_after;
    for (int j = 0; j < k; j++) {
      pairs_before.insert({buffers[j].data(), numbers[j]});
      pairs_after.insert({pkts[j], pkt_nos[j]});
    }
    if (pairs_before != pairs_after) fail("a refused decode broke the buffer-number pairs", k, n);
  }
  fec_free(code, nullptr);
  return 0;
}
