// SPDX-License-Identifier: MIT
// gf_bench.cpp - throughput of the multiply-accumulate and dot-product kernels and of packet
// encoding and decoding with each of them.
//
// MulAcc/<kernel>/1006 runs the kernel's multiply-accumulate (what gf_mul_accumulate() runs for the
// best kernel) on one packet-sized pair of buffers, which stay in the L1 cache;
// MulAcc/<kernel>/1MiB_cold walks through 64 MiB of buffer pairs, more than the caches hold, so
// every call reads its source and target from memory. DotProduct/<kernel>/14x1006 runs the kernel's
// dot product on 14 packet-sized sources (and /4x1006 on 4), and MulAccLoop/<kernel>/... makes the
// same target the way the codec did before the dot product: clearing it, then one
// multiply-accumulate per source. Encode/<kernel>/14of18x1006 makes the 4 parity packets of a
// (14, 18) chunk of 1006-byte packets, and /109of141x4078 and /62of80x262126 the parity packets of
// the disk and tape profiles' chunks (the tape's far beyond the caches), all rows together as the
// encoder makes them; Check/<kernel>/... compares such a chunk's 4 parity packets with
// those its data gives, as the decoder checks an undamaged chunk; Decode/<kernel>/... rebuilds 4
// lost data packets of such a chunk. The codec runs the kernel by fec_use_kernel().
// Every benchmark checks its result once before timing. Where ISA-L is found at build time, its
// gf_vect_mad runs as MulAcc/isa-l/... for reference.
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

void mul_acc_kernel(benchmark::State& state, const gf_kernel* kernel, bool cold) {
  // Through the kernel's pointer, as gf_mul_accumulate() calls it.
  const auto run = [kernel](uint8_t* target, const uint8_t* source, uint8_t m, int nbytes) {
    kernel->run(target, source, m, nbytes);
  };
  if (cold) {
    mul_acc_cold(state, run);
  } else {
    mul_acc_warm(state, run);
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

// --- Dot products -------------------------------------------------------------------------------

// The target as the dot product makes it, through the kernel's multiply-accumulate: cleared, then
// every source times its coefficient added in, one source after the other.
void dot_by_mul_acc(const gf_kernel* kernel, uint8_t* target, const uint8_t* const* sources,
                    const uint8_t* coefficients, int count, int nbytes) {
  std::memset(target, 0, nbytes);
  for (int i = 0; i < count; i++) {
    if (coefficients[i] != 0) kernel->run(target, sources[i], coefficients[i], nbytes);
  }
}

// `count` packet-sized sources, their (non-zero) coefficients and a target.
struct DotOperands {
  std::vector<std::vector<uint8_t>> data;
  std::vector<const uint8_t*> sources;
  std::vector<uint8_t> coefficients;
  std::vector<uint8_t> target;

  explicit DotOperands(int count) : data(count, std::vector<uint8_t>(kPacket)), target(kPacket) {
    for (int i = 0; i < count; i++) {
      fill(data[i], 500 + i);
      sources.push_back(data[i].data());
      coefficients.push_back(multiplier(i * 37 + 5));
    }
  }

  // The target made by `kernel`'s dot product, or by dot_by_mul_acc() with its multiply-accumulate.
  void run(const gf_kernel* kernel, bool by_mul_acc) {
    const int count = static_cast<int>(sources.size());
    if (by_mul_acc) {
      dot_by_mul_acc(kernel, target.data(), sources.data(), coefficients.data(), count, kPacket);
    } else {
      kernel->dot(target.data(), sources.data(), coefficients.data(), count, kPacket);
    }
  }
};

// `kernel`'s dot product, or dot_by_mul_acc() with its multiply-accumulate; bytes are source bytes.
void dot_warm(benchmark::State& state, const gf_kernel* kernel, bool by_mul_acc, int count) {
  DotOperands operands(count);
  gf_dot_product_table(operands.target.data(), operands.sources.data(),
                       operands.coefficients.data(), count, kPacket);
  const std::vector<uint8_t> want = operands.target;
  fill(operands.target, 5);
  operands.run(kernel, by_mul_acc);
  if (operands.target != want) {
    state.SkipWithError("result differs from the plain kernel");
    return;
  }
  for (auto _ : state) {
    operands.run(kernel, by_mul_acc);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * count * kPacket);
}

// --- Encoding and decoding a chunk --------------------------------------------------------------

// A chunk of k data packets of `packet` bytes and its n - k parity packets: the defaults' geometry
// unless another is given.
struct Chunk {
  int k, n, packet;
  fec_code* code;
  std::vector<std::vector<uint8_t>> data;
  std::vector<std::vector<uint8_t>> parity;  // packets k .. n-1

  explicit Chunk(int k_ = kK, int n_ = kN, int packet_ = kPacket)
      : k(k_),
        n(n_),
        packet(packet_),
        code(fec_create(k_, n_, nullptr)),
        data(k_, std::vector<uint8_t>(packet_)),
        parity(n_ - k_, std::vector<uint8_t>(packet_)) {
    for (int i = 0; i < k; i++) fill(data[i], 1000 + i);
  }
  ~Chunk() { fec_free(code, nullptr); }
  Chunk(const Chunk&) = delete;
  Chunk& operator=(const Chunk&) = delete;

  std::vector<uint8_t*> data_pointers() {
    std::vector<uint8_t*> pointers;
    for (auto& p : data) pointers.push_back(p.data());
    return pointers;
  }
  std::vector<uint8_t*> parity_pointers() {
    std::vector<uint8_t*> pointers;
    for (auto& p : parity) pointers.push_back(p.data());
    return pointers;
  }

  // The parity packets, as the encoder makes them: all rows together.
  void encode() {
    const std::vector<uint8_t*> pkts = data_pointers();
    const std::vector<uint8_t*> targets = parity_pointers();
    fec_encode_parity(code, pkts.data(), targets.data(), k, n - k, packet);
  }
};

// The parity packets against the plain kernel's, one row at a time; the codec runs `kernel` after.
bool parity_agrees(Chunk& chunk, const gf_kernel* kernel) {
  int count = 0;
  const gf_kernel* plain = &gf_kernel_list(&count)[count - 1];
  std::vector<std::vector<uint8_t>> want = chunk.parity;
  fec_use_kernel(chunk.code, plain);
  const std::vector<uint8_t*> pkts = chunk.data_pointers();
  for (int r = 0; r < chunk.n - chunk.k; r++) {
    fec_encode_pkt(chunk.code, pkts.data(), want[r].data(), chunk.k + r, chunk.packet);
  }
  fec_use_kernel(chunk.code, kernel);
  chunk.encode();
  return chunk.parity == want;
}

// Encoding a chunk of the geometry (k, n, packet); bytes are data bytes.
void encode_chunk(benchmark::State& state, const gf_kernel* kernel, int k, int n, int packet) {
  Chunk chunk(k, n, packet);
  if (!parity_agrees(chunk, kernel)) {
    state.SkipWithError("parity differs from the plain kernel's");
    return;
  }
  for (auto _ : state) {
    chunk.encode();
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * int64_t{k} * packet);
}

// The decoder's check of an undamaged chunk: the 4 parity packets compared with those the 14 data
// packets give, by fec_pkts_equal(), without storing them.
void check_chunk(benchmark::State& state, const gf_kernel* kernel) {
  Chunk chunk;
  fec_use_kernel(chunk.code, kernel);
  chunk.encode();
  const std::vector<uint8_t*> pkts = chunk.data_pointers();
  std::vector<const uint8_t*> parity;
  std::vector<int32_t> numbers;
  for (int r = 0; r < kLost; r++) {
    parity.push_back(chunk.parity[r].data());
    numbers.push_back(kK + r);
  }
  const auto check = [&] {
    return fec_pkts_equal(chunk.code, pkts.data(), numbers.data(), parity.data(), kLost, kPacket);
  };
  chunk.parity[kLost - 1][kPacket - 1] ^= 1;
  const bool sees_change = !check();
  chunk.parity[kLost - 1][kPacket - 1] ^= 1;
  if (!check() || !sees_change) {
    state.SkipWithError("the check does not tell the chunk's parity from another");
    return;
  }
  for (auto _ : state) benchmark::DoNotOptimize(check());
  state.SetBytesProcessed(state.iterations() * kK * kPacket);
}

// Data packets 0 .. 3 are lost; the parity packets take their place. Each iteration first puts the
// received packets back (fec_decode_pkts() rebuilds the data in the parity packets' buffers), a
// copy of 4 packets, small beside the decoding.
void decode_chunk(benchmark::State& state, const gf_kernel* kernel) {
  Chunk chunk;
  fec_use_kernel(chunk.code, kernel);
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
  for (int i = 0; i < count; i++) {
    const gf_kernel* kernel = &kernels[i];
    if (kernel->level > cpu_level_detected()) continue;
    const std::string name = kernel->name;
    for (const int sources : {kK, kLost}) {
      const std::string shape = std::to_string(sources) + "x1006";
      benchmark::RegisterBenchmark(("MulAccLoop/" + name + "/" + shape).c_str(), dot_warm, kernel,
                                   true, sources);
      benchmark::RegisterBenchmark(("DotProduct/" + name + "/" + shape).c_str(), dot_warm, kernel,
                                   false, sources);
    }
  }
#ifdef KESTRUNE_HAVE_ISAL
  benchmark::RegisterBenchmark("MulAcc/isa-l/1006", mul_acc_isal, false);
  benchmark::RegisterBenchmark("MulAcc/isa-l/1MiB_cold", mul_acc_isal, true);
#endif
  for (int i = 0; i < count; i++) {
    const gf_kernel* kernel = &kernels[i];
    if (kernel->level > cpu_level_detected()) continue;
    const std::string name = kernel->name;
    benchmark::RegisterBenchmark(("Encode/" + name + "/14of18x1006").c_str(), encode_chunk, kernel,
                                 kK, kN, kPacket);
    // The geometries of the disk and tape profiles: many rows, and a chunk far beyond the caches.
    benchmark::RegisterBenchmark(("Encode/" + name + "/109of141x4078").c_str(), encode_chunk,
                                 kernel, 109, 141, 4078);
    benchmark::RegisterBenchmark(("Encode/" + name + "/62of80x262126").c_str(), encode_chunk,
                                 kernel, 62, 80, 262126);
    benchmark::RegisterBenchmark(("Check/" + name + "/14of18x1006").c_str(), check_chunk, kernel);
    benchmark::RegisterBenchmark(("Decode/" + name + "/14of18x1006_lost4").c_str(), decode_chunk,
                                 kernel);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::AddCustomContext("cpu_level_detected", cpu_level_name(cpu_level_detected()));
  benchmark::AddCustomContext("kernel_chosen", gf_best_kernel()->name);
  register_benchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
