// SPDX-License-Identifier: MIT
// pipeline_encode.cpp - a baseline encoder built from ISA-L and OpenSSL, which bench/throughput
// times beside kestrune's encoder.
//
// It does the work kestrune does for the default parameters (k = 14, n = 18, blocksize 1024), in
// the plainest way: read 14 packets of 1006 bytes (the first opening with an 8-byte chunk header),
// compute the 4 parity packets with ISA-L's ec_encode_data(), give each of the 18 packets its
// 18-byte trailer (index, k, MD5 of packet and those two bytes, by OpenSSL's MD5()) and write the
// 18 KiB, one chunk at a time, through 1 MiB stdio buffers. The parity bytes come from ISA-L's
// Cauchy matrix and are not kestrune's: only the amount of work is the same.
//
// usage: pipeline_encode [file] > out     (standard input without a file operand)
#include <isa-l/erasure_code.h>
#include <openssl/md5.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kK = 14;
constexpr int kN = 18;
constexpr int kBlock = 1024;
constexpr int kTrailer = 2 + MD5_DIGEST_LENGTH;
constexpr int kPacket = kBlock - kTrailer;  // 1006
constexpr int kHeader = 8;
constexpr size_t kStdioBuffer = 1 << 20;

char in_buffer[kStdioBuffer];
char out_buffer[kStdioBuffer];

// The chunk as it is written: n blocks, each a packet followed by its trailer.
alignas(64) uint8_t chunk[kN][kBlock];

void put_be32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// Fills the data packets from input, after the header's room in packet 0, and zeroes what the input
// did not fill; returns the user bytes read, fewer than a chunk holds only at the end of the input.
size_t read_data(FILE* input) {
  size_t total = 0;
  for (int i = 0; i < kK; i++) {
    uint8_t* const start = chunk[i] + (i == 0 ? kHeader : 0);
    const size_t want = kPacket - (i == 0 ? kHeader : 0);
    const size_t got = fread(start, 1, want, input);
    total += got;
    if (got < want) {
      memset(start + got, 0, want - got);
      for (int j = i + 1; j < kK; j++) memset(chunk[j], 0, kPacket);
      break;
    }
  }
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    fprintf(stderr, "usage: pipeline_encode [file]\n");
    return 2;
  }
  FILE* input = stdin;
  if (argc == 2 && (input = fopen(argv[1], "rb")) == nullptr) {
    fprintf(stderr, "pipeline_encode: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  setvbuf(input, in_buffer, _IOFBF, sizeof in_buffer);
  setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

  // Rows k .. n-1 of a systematic n x k matrix are the parity rows.
  static uint8_t matrix[kN * kK];
  static uint8_t tables[32 * kK * (kN - kK)];
  gf_gen_cauchy1_matrix(matrix, kN, kK);
  ec_init_tables(kK, kN - kK, matrix + kK * kK, tables);
  uint8_t* data[kK];
  uint8_t* parity[kN - kK];
  for (int i = 0; i < kK; i++) data[i] = chunk[i];
  for (int i = 0; i < kN - kK; i++) parity[i] = chunk[kK + i];

  const size_t capacity = static_cast<size_t>(kPacket) * kK - kHeader;
  for (uint32_t chunk_no = 0;; chunk_no++) {
    const size_t got = read_data(input);
    if (ferror(input)) {
      fprintf(stderr, "pipeline_encode: read error\n");
      return 1;
    }
    const bool last = got < capacity;
    put_be32(chunk[0], static_cast<uint32_t>(got));
    put_be32(chunk[0] + 4, last ? 0xffffffffu : chunk_no);
    ec_encode_data(kPacket, kK, kN - kK, tables, data, parity);
    for (int i = 0; i < kN; i++) {
      chunk[i][kPacket] = static_cast<uint8_t>(i);
      chunk[i][kPacket + 1] = kK;
      MD5(chunk[i], kPacket + 2, chunk[i] + kPacket + 2);
    }
    if (fwrite(chunk, 1, sizeof chunk, stdout) != sizeof chunk) {
      fprintf(stderr, "pipeline_encode: write error: %s\n", strerror(errno));
      return 1;
    }
    if (last) break;
  }
  if (fclose(stdout) != 0) {
    fprintf(stderr, "pipeline_encode: write error: %s\n", strerror(errno));
    return 1;
  }
  return 0;
}
