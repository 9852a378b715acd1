// gf_bench.cpp - throughput of the multiply-accumulate kernels and of packet encoding and decoding
// with each of them.
//
// MulAcc/<kernel>/1006 runs gf_mul_accumulate() on one packet-sized pair of buffers, which stay in
// the L1 cache; MulAcc/<kernel>/1MiB_cold walks through 64 MiB of buffer pairs, more than the
// caches hold, so every call reads its source and target from memory. Encode/<kernel>/... makes the
// 4 parity packets of a (14, 18) chunk of 1006-byte packets; Decode/<kernel>/... rebuilds 4 lost
// data packets of such a chunk. Every benchmark checks its result once before timing. Where ISA-L
// is found at build time, its gf_vect_mad runs as MulAcc/isa-l/... for reference.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/cpu.h"
#include "fec/fec.h"
#include "fec/gf.h"
#include "fec/gf_kernel.h"

#ifdef KESTRUNE_HAVE_ISAL
#include <isa-l/erasure_code.h>
#endif

namespace {

constexpr int kPacket = 1006;
constexpr int kColdBytes = 1 << 20;
constexpr int kColdPairs = 32;  // 32 x (1 MiB source + 1 MiB target) = 64 MiB
constexpr int kK = 14;
constexpr int kN = 18;
constexpr int kLost = kN - kK;

// Deterministic filler, so that runs are comparable.
void fill(std::vector<uint8_t>& bytes, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : bytes) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = static_cast<uint8_t>(x >> 24);
  }
}

// The multiplier of call i: every non-zero value in turn.
uint8_t multiplier(int64_t i) { return static_cast<uint8_t>(1 + i % 255); }

// Runs the benchmark body with `kernel` as the active kernel, then puts the previous one back.
class UsingKernel {
 public:
  explicit UsingKernel(const gf_kernel* kernel) : saved_(gf_active_kernel()) {
    gf_use_kernel(kernel);
  }
  ~UsingKernel() { gf_use_kernel(saved_); }
  UsingKernel(const UsingKernel&) = delete;
  UsingKernel& operator=(const UsingKernel&) = delete;

 private:
  const gf_kernel* saved_;
};

// `run` (a gf_mul_accumulate()-shaped function) agrees with the plain kernel on n bytes.
template <typename Run>
bool agrees_with_table(Run run, int n) {
  std::vector<uint8_t> source(n), want(n), got(n);
  fill(source, 1);
  fill(want, 2);
  got = want;
  gf_mul_accumulate_table(want.data(), source.data(), 0x8E, n);
  run(got.data(), source.data(), uint8_t{0x8E}, n);
  return got == want;
}

// --- The kernels alone ---------------------------------------------------------------------------

template <typename Run>
void mul_acc_warm(benchmark::State& state, Run run) {
  if (!agrees_with_table(run, kPacket)) {
    state.SkipWithError("result differs from the plain kernel");
    return;
  }
  std::vector<uint8_t> source(kPacket), target(kPacket);
  fill(source, 3);
  fill(target, 4);
  int64_t i = 0;
  for (auto _ : state) {
    run(target.data(), source.data(), multiplier(i++), kPacket);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kPacket);
}

// The cold buffers, shared by every cold benchmark: allocated and written on first use.
struct ColdBuffers {
  std::vector<uint8_t> source[kColdPairs];
  std::vector<uint8_t> target[kColdPairs];

  ColdBuffers() {
    for (int p = 0; p < kColdPairs; p++) {
      source[p].resize(kColdBytes);
      target[p].resize(kColdBytes);
      fill(source[p], 10 + p);
      fill(target[p], 100 + p);
    }
  }
};

ColdBuffers& cold_buffers() {
  static ColdBuffers buffers;
  return buffers;
}

template <typename Run>
void mul_acc_cold(benchmark::State& state, Run run) {
  if (!agrees_with_table(run, kColdBytes)) {
    state.SkipWithError("result differs from the plain kernel");
    return;
  }
  ColdBuffers& cold = cold_buffers();
  int64_t i = 0;
  for (auto _ : state) {
    const int p = static_cast<int>(i % kColdPairs);
    run(cold.target[p].data(), cold.source[p].data(), multiplier(i), kColdBytes);
    benchmark::ClobberMemory();
    i++;
  }
  state.SetBytesProcessed(state.iterations() * kColdBytes);
}

void through_dispatch(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  gf_mul_accumulate(target, source, m, nbytes);
}

void mul_acc_kernel(benchmark::State& state, const gf_kernel* kernel, bool cold) {
  UsingKernel use(kernel);
  if (cold) {
    mul_acc_cold(state, through_dispatch);
  } else {
    mul_acc_warm(state, through_dispatch);
  }
}

#ifdef KESTRUNE_HAVE_ISAL
// ISA-L's multiply-accumulate, with its 32-byte table for every multiplier built beforehand, as our
// product table is.
struct IsalTables {
  unsigned char table[256][32];

  IsalTables() {
    for (int m = 0; m < 256; m++) {
      unsigned char coefficient = static_cast<unsigned char>(m);
      ec_init_tables(1, 1, &coefficient, table[m]);
    }
  }
};

const IsalTables& isal_tables() {
  static const IsalTables tables;
  return tables;
}

void isal_mad(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
  gf_vect_mad(nbytes, 1, 0, const_cast<unsigned char*>(isal_tables().table[m]),
              const_cast<unsigned char*>(source), target);
}

void mul_acc_isal(benchmark::State& state, bool cold) {
  if (cold) {
    mul_acc_cold(state, isal_mad);
  } else {
    mul_acc_warm(state, isal_mad);
  }
}
#endif

// --- Encoding and decoding a chunk --------------------------------------------------------------

struct Chunk {
  fec_code* code = fec_create(kK, kN);
  std::vector<std::vector<uint8_t>> data;
  std::vector<std::vector<uint8_t>> parity;  // packets kK .. kN-1

  Chunk() : data(kK, std::vector<uint8_t>(kPacket)), parity(kLost, std::vector<uint8_t>(kPacket)) {
    for (int i = 0; i < kK; i++) fill(data[i], 1000 + i);
  }
  ~Chunk() { fec_free(code); }
  Chunk(const Chunk&) = delete;
  Chunk& operator=(const Chunk&) = delete;

  std::vector<uint8_t*> data_pointers() {
    std::vector<uint8_t*> pointers;
    for (auto& packet : data) pointers.push_back(packet.data());
    return pointers;
  }

  void encode() {
    const std::vector<uint8_t*> pkts = data_pointers();
    for (int r = 0; r < kLost; r++)
      fec_encode_pkt(code, pkts.data(), parity[r].data(), kK + r, kPacket);
  }
};

// The parity packets against the plain kernel's.
bool parity_agrees(Chunk& chunk, const gf_kernel* kernel) {
  int count = 0;
  const gf_kernel* plain = &gf_kernel_list(&count)[count - 1];
  std::vector<std::vector<uint8_t>> want;
  {
    UsingKernel use(plain);
    chunk.encode();
    want = chunk.parity;
  }
  UsingKernel use(kernel);
  chunk.encode();
  return chunk.parity == want;
}

void encode_chunk(benchmark::State& state, const gf_kernel* kernel) {
  Chunk chunk;
  if (!parity_agrees(chunk, kernel)) {
    state.SkipWithError("parity differs from the plain kernel's");
    return;
  }
  UsingKernel use(kernel);
  const std::vector<uint8_t*> pkts = chunk.data_pointers();
  for (auto _ : state) {
    for (int r = 0; r < kLost; r++) {
      fec_encode_pkt(chunk.code, pkts.data(), chunk.parity[r].data(), kK + r, kPacket);
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kK * kPacket);
}

// Data packets 0 .. 3 are lost; the parity packets take their place. Each iteration first puts the
// received packets back (fec_decode_pkts() rebuilds the data in the parity packets' buffers), a
// copy of 4 packets, small beside the decoding.
void decode_chunk(benchmark::State& state, const gf_kernel* kernel) {
  Chunk chunk;
  UsingKernel use(kernel);
  chunk.encode();
  std::vector<std::vector<uint8_t>> buffers(kLost, std::vector<uint8_t>(kPacket));
  std::vector<uint8_t*> pkts(kK);
  std::vector<int32_t> pkt_nos(kK);
  auto receive = [&] {
    for (int r = 0; r < kLost; r++) {
      std::memcpy(buffers[r].data(), chunk.parity[r].data(), kPacket);
      pkts[r] = buffers[r].data();
      pkt_nos[r] = kK + r;
    }
    for (int i = kLost; i < kK; i++) {
      pkts[i] = chunk.data[i].data();
      pkt_nos[i] = i;
    }
  };

  receive();
  if (fec_decode_pkts(chunk.code, pkts.data(), pkt_nos.data(), kPacket) != 0) {
    state.SkipWithError("decoding failed");
    return;
  }
  for (int i = 0; i < kK; i++) {
    if (std::memcmp(pkts[i], chunk.data[i].data(), kPacket) != 0) {
      state.SkipWithError("decoded data differs from the original");
      return;
    }
  }

  for (auto _ : state) {
    receive();
    benchmark::DoNotOptimize(fec_decode_pkts(chunk.code, pkts.data(), pkt_nos.data(), kPacket));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kK * kPacket);
}

void register_benchmarks() {
  int count = 0;
  const gf_kernel* kernels = gf_kernel_list(&count);
  for (int i = 0; i < count; i++) {
    const gf_kernel* kernel = &kernels[i];
    if (kernel->level > cpu_level_detected()) continue;
    const std::string name = kernel->name;
    benchmark::RegisterBenchmark(("MulAcc/" + name + "/1006").c_str(), mul_acc_kernel, kernel,
                                 false);
    benchmark::RegisterBenchmark(("MulAcc/" + name + "/1MiB_cold").c_str(), mul_acc_kernel, kernel,
                                 true);
  }
#ifdef KESTRUNE_HAVE_ISAL
  benchmark::RegisterBenchmark("MulAcc/isa-l/1006", mul_acc_isal, false);
  benchmark::RegisterBenchmark("MulAcc/isa-l/1MiB_cold", mul_acc_isal, true);
#endif
  for (int i = 0; i < count; i++) {
    const gf_kernel* kernel = &kernels[i];
    if (kernel->level > cpu_level_detected()) continue;
    const std::string name = kernel->name;
    benchmark::RegisterBenchmark(("Encode/" + name + "/14of18x1006").c_str(), encode_chunk, kernel);
    benchmark::RegisterBenchmark(("Decode/" + name + "/14of18x1006_lost4").c_str(), decode_chunk,
                                 kernel);
  }
}

}  // namespace

int main(int argc, char** argv) {
  gf_init_tables();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("cpu_level_detected", cpu_level_name(cpu_level_detected()));
  benchmark::AddCustomContext("kernel_chosen", gf_active_kernel()->name);
  register_benchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
