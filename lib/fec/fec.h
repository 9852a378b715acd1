// SPDX-License-Identifier: MIT
// fec.h - a systematic erasure code over GF(2^8): k data packets become n packets, and any k of the
// n packets give back the k data packets.
//
// Packets 0 .. k-1 are the data packets themselves, packets k .. n-1 are parity packets. Packet r
// is the combination of the data packets given by row r of the code's encode_matrix, which is built
// from a Vandermonde matrix so that any k of its rows are invertible. The codec knows nothing of
// blocks, chunks or files. It holds no state of its own outside its handles, so that codecs may be
// used in several threads at once, each codec by one thread at a time. It never ends the process
// and writes no output of its own: a failure is a result, and a fixed message handed to the
// codec's reporter.
#pragma once

#include <cstddef>
#include <cstdint>

struct gf_kernel;

// Where a codec's messages go: report(user, message) with each message, a whole line ending in a
// newline, for as long as the codec lives. A null reporter or a null report function drops them.
struct fec_reporter {
  void (*report)(void* user, const char* message);
  void* user;
};

struct fec_code {
  int32_t k;               // data packets, 1 .. 256
  int32_t n;               // packets produced per k data packets, k .. 256
  uint8_t* encode_matrix;  // n x k, row-major; the top k rows are the identity
  // The decoding matrix fec_decode_pkts() made last (k x k) and the packet numbers it was made
  // for (last_pkt_nos[0] < 0 until then): chunks that lost the same packets, as on a bad stripe of
  // a medium, reuse it.
  uint8_t* last_inverse;
  int32_t* last_pkt_nos;
  // Where fec_decode_pkts() makes the missing data packets before they replace the parity
  // packets: kept from call to call, so that large packets cost no fresh pages each chunk.
  struct fec_scratch* scratch;
  // The kernels its operations run: gf_best_kernel() unless fec_use_kernel() (gf_kernel.h) chose
  // others.
  const gf_kernel* kernel;
  fec_reporter reporter;  // where its messages go
};

struct fec_scratch {
  uint8_t* bytes;
  size_t size;
};

// Every function below that allocates reports "-- malloc failure allocating %s\n" (with the label
// of the allocation) when memory runs out, releases whatever the call had allocated, and fails.

// A new codec for (k, n) that hands its messages to a copy of *reporter (null: drops them). Null
// after "Invalid parameters k %d n %d GF_SIZE %d\n" when k < 1, n < k, k > 256 or n > 256, or when
// memory runs out. Release with fec_free().
fec_code* fec_create(int k, int n, const fec_reporter* reporter);

// Puts packet pkt_no into target (pkt_size bytes): a copy of data packet pkt_no when pkt_no < k,
// the parity packet when k <= pkt_no < n. pkts holds the k data packets. Any other pkt_no reports
// "Invalid index %d (max %d)\n" and leaves target as it was.
void fec_encode_pkt(const fec_code* code, uint8_t* const* pkts, uint8_t* target, int pkt_no,
                    int pkt_size);

// Puts parity packets first .. first+count-1 into targets[0 .. count-1] (pkt_size bytes each), all
// made together a stripe at a time; k <= first and first + count <= n.
void fec_encode_parity(const fec_code* code, const uint8_t* const* pkts, uint8_t* const* targets,
                       int first, int count, int pkt_size);

// Whether expected[t] equals packet pkt_nos[t] of the chunk whose k data packets are pkts[0 ..
// k-1], for every t < count (pkt_size bytes each); every pkt_no is below n. Reads only; the parity
// packets are checked several at a time without being stored.
bool fec_pkts_equal(const fec_code* code, const uint8_t* const* pkts, const int32_t* pkt_nos,
                    const uint8_t* const* expected, int count, int pkt_size);

// What fec_decode_pkts() returns when memory runs out.
inline constexpr int FEC_OUT_OF_MEMORY = 2;

// Rebuilds the k data packets from k packets: pkts[j] holds packet number pkt_nos[j]. On success
// (0) pkts[i] points to data packet i for every i; the call exchanges entries of pkts and pkt_nos
// and overwrites the buffers of slots that held parity packets with rebuilt data packets. The
// result is 1 when a data packet number occurs twice, a number is out of range (negative, or n or
// more: "decode: invalid index %d (max %d)\n") or the packets do not determine the data (a
// repeated parity number: "XXX pivot not found!\n"), and FEC_OUT_OF_MEMORY (2) when memory runs
// out; no buffer has changed after either, though the arrays may be permuted, and the codec serves
// on as before.
int fec_decode_pkts(const fec_code* code, uint8_t** pkts, int32_t* pkt_nos, int pkt_size);

// Releases the codec; with null it hands "bad parameters to fec_free\n" to *reporter (null: drops
// it) and does nothing else.
void fec_free(fec_code* code, const fec_reporter* reporter);
