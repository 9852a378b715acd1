// SPDX-License-Identifier: MIT
// digest_bench.cpp - how fast each digest variant this CPU runs digests batches of stream blocks.
//
// The messages are what the stream digests with the default blocksize of 1024: the first 1008
// bytes of consecutive blocks. Benchmarks are named Digest/<variant>/<message length>/<batch>.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cpu/cpu.h"
#include "stream/digest_variants.h"
#include "stream/format.h"

namespace {

constexpr int BLOCKSIZE = 1024;
constexpr size_t MESSAGE_LEN = BLOCKSIZE - TRAILER_LEN + 2;

void digest_batch(benchmark::State& state, digest_many_fn run, int batch) {
  std::vector<uint8_t> blocks(static_cast<size_t>(batch) * BLOCKSIZE);
  uint32_t x = 1;
  for (uint8_t& b : blocks) {
    x = x * 1103515245 + 12345;
    b = static_cast<uint8_t>(x >> 16);
  }
  std::vector<const uint8_t*> msgs;
  for (int i = 0; i < batch; i++)
    msgs.push_back(blocks.data() + static_cast<size_t>(i) * BLOCKSIZE);
  std::vector<uint8_t> out(static_cast<size_t>(batch) * DIGEST_LEN);
  auto* const rows = reinterpret_cast<uint8_t(*)[DIGEST_LEN]>(out.data());

  for (auto _ : state) {
    run(msgs.data(), MESSAGE_LEN, batch, rows);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * batch * MESSAGE_LEN);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (const digest_variant_info& v : digest_variants_built()) {
    if (cpu_level_detected() < v.needs) continue;
    for (const int batch : {16, 18, 144}) {
      const std::string name = std::string("Digest/") + v.name + "/" + std::to_string(MESSAGE_LEN) +
                               "/" + std::to_string(batch);
      benchmark::RegisterBenchmark(name.c_str(), digest_batch, v.run, batch);
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
