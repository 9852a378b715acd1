// SPDX-License-Identifier: MIT
// codec_fuzz.cpp - the codec's round trip: k data packets encoded into n, any k of them decoded.
//
// Input: n, k, the packet size and the multiply-accumulate kernel (among the variants this CPU
// runs), one byte each, then bytes that choose which k packets arrive and in what order, then the
// data packets' content (repeated to fill them, zeros without any). Every rebuilt data packet must
// equal the original one, and the codec must report nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>
#include <vector>

#include "fec/fec.h"
#include "fec/gf_kernel.h"

namespace {

[[noreturn]] void fail(const char* what, int k, int n, int size, const gf_kernel* kernel) {
  fprintf(stderr, "codec_fuzz: %s (k %d, n %d, packet size %d, kernel %s)\n", what, k, n, size,
          kernel->name);
  abort();
}

// Any message from the codec during a round trip of valid packets is a failure.
void unexpected_message(void*, const char* message) {
  fprintf(stderr, "codec_fuzz: the codec reported: %s", message);
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return -1;
  const int n = 1 + data[0] % 64;
  const int k = 1 + data[1] % n;
  const int pkt_size = 1 + data[2];
  const int kernel_choice = data[3];
  data += 4;
  size -= 4;

  // A shuffle of the packet numbers driven by the input; the first k arrive, in that order.
  std::vector<int32_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  for (int i = 0; i < k; i++) {
    const int pick = size > 0 ? data[0] : 0;
    if (size > 0) {
      data++;
      size--;
    }
    std::swap(order[i], order[i + pick % (n - i)]);
  }

  std::vector<std::vector<uint8_t>> originals(k, std::vector<uint8_t>(pkt_size, 0));
  for (int i = 0; i < k; i++) {
    for (int b = 0; b < pkt_size && size > 0; b++) {
      originals[i][b] = data[(static_cast<size_t>(i) * pkt_size + b) % size];
    }
  }
  std::vector<uint8_t*> sources(k);
  for (int i = 0; i < k; i++) sources[i] = originals[i].data();

  // The kernel that encoding and decoding run.
  int kernels = 0;
  const gf_kernel* list = gf_kernel_list(&kernels);
  std::vector<const gf_kernel*> usable;
  for (int i = 0; i < kernels; i++) {
    if (list[i].supported()) usable.push_back(&list[i]);
  }
  const gf_kernel* kernel = usable[kernel_choice % usable.size()];

  const fec_reporter reporter{unexpected_message, nullptr};
  fec_code* code = fec_create(k, n, &reporter);
  if (code == nullptr) fail("fec_create refused valid parameters", k, n, pkt_size, kernel);
  fec_use_kernel(code, kernel);

  // Each arriving packet in a buffer of its own, of exactly pkt_size bytes.
  std::vector<std::vector<uint8_t>> arrived(k, std::vector<uint8_t>(pkt_size));
  std::vector<uint8_t*> pkts(k);
  std::vector<int32_t> pkt_nos(k);
  for (int j = 0; j < k; j++) {
    fec_encode_pkt(code, sources.data(), arrived[j].data(), order[j], pkt_size);
    pkts[j] = arrived[j].data();
    pkt_nos[j] = order[j];
    if (order[j] < k && memcmp(pkts[j], originals[order[j]].data(), pkt_size) != 0) {
      fail("a data packet is not encoded as itself", k, n, pkt_size, kernel);
    }
  }

  if (fec_decode_pkts(code, pkts.data(), pkt_nos.data(), pkt_size) != 0) {
    fail("k distinct packets failed to decode", k, n, pkt_size, kernel);
  }
  for (int i = 0; i < k; i++) {
    if (memcmp(pkts[i], originals[i].data(), pkt_size) != 0) {
      fail("a rebuilt data packet differs from the original", k, n, pkt_size, kernel);
    }
  }
  fec_free(code, nullptr);
  return 0;
}
