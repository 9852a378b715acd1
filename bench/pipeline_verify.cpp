// SPDX-License-Identifier: MIT
// pipeline_verify.cpp - a baseline verifier built from OpenSSL, which bench/throughput times beside
// kestrune's decoder.
//
// It does the least a decoder of an undamaged stream with the default parameters (k = 14, n = 18,
// blocksize 1024) has to do, in the plainest way: read the 14 data blocks of a chunk, check each
// one's trailer digest with OpenSSL's MD5() over its packet and the two bytes after it, write the
// 14 packets of 1006 bytes (chunk header included: nothing interprets it), and skip the 4 parity
// blocks with fseek(), so the input must be seekable. Input and output go through 1 MiB stdio
// buffers. A stream from kestrune or from pipeline_encode passes; a block that fails its digest is
// counted, and any makes the exit status 1.
//
// usage: pipeline_verify [file] > out     (standard input without a file operand)
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
constexpr size_t kStdioBuffer = 1 << 20;

char in_buffer[kStdioBuffer];
char out_buffer[kStdioBuffer];

alignas(64) uint8_t blocks[kK][kBlock];

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2) {
    fprintf(stderr, "usage: pipeline_verify [file]\n");
    return 2;
  }
  FILE* input = stdin;
  if (argc == 2 && (input = fopen(argv[1], "rb")) == nullptr) {
    fprintf(stderr, "pipeline_verify: %s: %s\n", argv[1], strerror(errno));
    return 1;
  }
  setvbuf(input, in_buffer, _IOFBF, sizeof in_buffer);
  setvbuf(stdout, out_buffer, _IOFBF, sizeof out_buffer);

  uint64_t bad = 0;
  for (;;) {
    const size_t got = fread(blocks, 1, sizeof blocks, input);
    if (got == 0) break;
    if (got != sizeof blocks) {
      fprintf(stderr, "pipeline_verify: %s\n", ferror(input) ? "read error" : "truncated chunk");
      return 1;
    }
    for (int i = 0; i < kK; i++) {
      uint8_t digest[MD5_DIGEST_LENGTH];
      MD5(blocks[i], kPacket + 2, digest);
      if (memcmp(digest, blocks[i] + kPacket + 2, sizeof digest) != 0) bad++;
      if (fwrite(blocks[i], 1, kPacket, stdout) != static_cast<size_t>(kPacket)) {
        fprintf(stderr, "pipeline_verify: write error: %s\n", strerror(errno));
        return 1;
      }
    }
    if (fseek(input, static_cast<long>(kN - kK) * kBlock, SEEK_CUR) != 0) {
      fprintf(stderr, "pipeline_verify: cannot skip the parity blocks: %s\n", strerror(errno));
      return 1;
    }
  }
  if (ferror(input)) {
    fprintf(stderr, "pipeline_verify: read error\n");
    return 1;
  }
  if (fclose(stdout) != 0) {
    fprintf(stderr, "pipeline_verify: write error: %s\n", strerror(errno));
    return 1;
  }
  if (bad != 0) {
    fprintf(stderr, "pipeline_verify: %llu blocks failed their digest\n",
            static_cast<unsigned long long>(bad));
    return 1;
  }
  return 0;
}
