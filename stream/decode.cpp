// decode.cpp - the stream decoder: each chunk rebuilt from its first k acceptable blocks.
#include <algorithm>

#include "fec/fec.h"
#include "frontend/diag.h"
#include "frontend/program.h"
#include "stream/format.h"
#include "stream/stream.h"

int read_block(int64_t block_pos, uint8_t* dest, FILE* input) {
  const size_t size = static_cast<size_t>(run_config.blocksize);
  if (!run_config.input_is_pipe && fseeko(input, block_pos, SEEK_SET) != 0) return -1;
  if (fread(dest, 1, size, input) != size) {
    // On a seekable input an unreadable block costs that block alone: the next one has its own
    // seek.
    if (!run_config.input_is_pipe) clearerr(input);
    return -2;
  }
  if (!verify_block(dest)) return -3;
  if (dest[payload_len + 1] != static_cast<uint8_t>(run_config.k)) die("incorrect K value");
  return dest[payload_len];
}

int32_t decode_chunk(int64_t chunk_base, FILE* input, uint32_t* clen_out) {
  const int k = run_config.k;
  const int n = run_config.n;
  int j = 0;
  int i = 0;
  while (j < k && i < n) {
    const int64_t offset = chunk_base + int64_t{run_config.blocksize} * i;
    const int r = read_block(offset, pkt_table[j], input);
    if (r == i) {
      index_list[j] = i;
      j++;
    } else if (run_config.verbose >= 2) {
      note("bad block at %ld id %d expecting %d\n", static_cast<long>(offset), r, i);
    }
    i++;
  }
  if (j < k) die("unrecoverable error -- too many bad blocks");

  if (run_config.input_is_pipe) {
    for (; i < n; i++)
      (void)!fread(block_buffer, 1, static_cast<size_t>(run_config.blocksize), input);
  }

  // The positions gathered are distinct and below n, so the rebuild cannot fail; if it ever did,
  // writing the slots would pass off wrong bytes as the user's data.
  if (fec_decode_pkts(codec, pkt_table, index_list, payload_len) != 0) {
    die("unrecoverable error -- too many bad blocks");
  }

  const uint32_t clen = get_clen(pkt_table[0]);
  *clen_out = clen;
  if (run_config.verbose >= 2) note("read %d blocks, clen = %d\n", k, static_cast<int32_t>(clen));
  return get_chunk_id(pkt_table[0]);
}

namespace {

void write_or_die(const uint8_t* bytes, uint32_t count) {
  if (fwrite(bytes, 1, count, stdout) != count) die("write error");
}

}  // namespace

void decode_stream(FILE* input) {
  const uint32_t packet = static_cast<uint32_t>(payload_len);
  int64_t chunk_base = 0;
  uint32_t expected_id = 0;
  for (;;) {
    uint32_t clen = 0;
    const int32_t chunk_id = decode_chunk(chunk_base, input, &clen);
    if (chunk_id != -1 && static_cast<uint32_t>(chunk_id) != expected_id) {
      die("chunk out of order at %ld id %ld expecting %ld", static_cast<long>(chunk_base),
          static_cast<long>(static_cast<uint32_t>(chunk_id)), static_cast<long>(expected_id));
    }

    // A clen above the chunk's capacity yields the capacity.
    uint32_t remaining = clen;
    if (remaining != 0) {
      const uint32_t w = std::min(remaining, packet - HEADER_LEN);
      write_or_die(pkt_table[0] + HEADER_LEN, w);
      remaining -= w;
    }
    for (int slot = 1; slot < run_config.k && remaining != 0; slot++) {
      const uint32_t w = std::min(remaining, packet);
      write_or_die(pkt_table[slot], w);
      remaining -= w;
    }

    expected_id++;
    chunk_base += int64_t{run_config.n} * run_config.blocksize;
    if (chunk_id == -1) return;
  }
}
