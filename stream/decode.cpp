// decode.cpp - the stream decoder: each chunk rebuilt from its first k acceptable blocks.
//
// Blocks are read straight into the packet slots, as many at a time as the chunk still needs (never
// one that the first k acceptable blocks do not require), and digested together. A seekable input
// is read with positioned reads at the blocks' own offsets, so an unreadable block costs that block
// alone; a pipe is read in order.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>

#include "fec/fec.h"
#include "frontend/diag.h"
#include "frontend/io.h"
#include "frontend/program.h"
#include "stream/format.h"
#include "stream/rules.h"
#include "stream/stream.h"

namespace {

constexpr int max_iov = 256;  // at most k slots are read at once, and k <= 256

// Reads count blocks from offset into the slots; complete[t] tells which arrived whole. One call
// reads them all; after a short or failed read the rest are read one by one, so that a block that
// cannot be read costs that block alone.
void read_seekable(int fd, int64_t offset, uint8_t* const* slots, int count, bool* complete) {
  const size_t size = static_cast<size_t>(run_config.blocksize);
  iovec iov[max_iov];
  for (int t = 0; t < count; t++) iov[t] = {slots[t], size};
  ssize_t got = preadv(fd, iov, count, offset);
  if (got < 0) got = 0;
  const int whole = static_cast<int>(static_cast<size_t>(got) / size);
  for (int t = 0; t < count; t++) {
    complete[t] = t < whole || pread_full(fd, slots[t], size,
                                          offset + int64_t{run_config.blocksize} * t) == size;
  }
}

void read_pipe(FILE* input, uint8_t* const* slots, int count, bool* complete) {
  const size_t size = static_cast<size_t>(run_config.blocksize);
  for (int t = 0; t < count; t++) complete[t] = fread(slots[t], 1, size, input) == size;
}

}  // namespace

void read_blocks(int64_t chunk_base, int first, int slot, int count, FILE* input, int* result) {
  bool complete[max_iov];
  bool intact[max_iov];
  uint8_t* const* slots = pkt_table + slot;
  if (run_config.input_is_pipe) {
    read_pipe(input, slots, count, complete);
  } else {
    read_seekable(fileno(input), chunk_base + int64_t{run_config.blocksize} * first, slots, count,
                  complete);
  }

  // Only complete blocks are digested; they stand first, since a block that cannot be read whole
  // (the end of the input) is followed by no complete one, except after a read failure.
  const uint8_t* whole[max_iov] = {};
  int wholes = 0;
  for (int t = 0; t < count; t++) {
    if (complete[t]) whole[wholes++] = slots[t];
  }
  verify_blocks(whole, wholes, intact);
  for (int t = 0, w = 0; t < count; t++) {
    if (!complete[t]) {
      result[t] = -2;
    } else {
      result[t] = intact[w++] ? slots[t][payload_len] : -3;
    }
  }
}

int32_t decode_chunk(int64_t chunk_base, FILE* input, uint32_t* clen_out) {
  const int k = run_config.k;
  const int n = run_config.n;
  const int32_t blocksize = run_config.blocksize;
  int result[max_iov];
  int j = 0;
  int i = 0;
  while (j < k && i < n) {
    // Until k blocks are accepted every further position is read anyway; ask for just that many.
    const int count = std::min(k - j, n - i);
    const int first_slot = j;
    read_blocks(chunk_base, i, first_slot, count, input, result);
    for (int t = 0; t < count; t++, i++) {
      const int r = result[t];
      const int slot = first_slot + t;
      // A block not read whole is judged as one whose digest is wrong.
      const block_fit fit = judge_block(pkt_table[slot], r >= 0, i, blocksize, k);
      if (fit == block_fit::other_k) die("%s", MSG_INCORRECT_K);
      if (fit == block_fit::accepted) {
        // Accepted blocks fill the slots from the front, in position order; the slot left behind
        // takes the next read.
        std::swap(pkt_table[j], pkt_table[slot]);
        index_list[j] = i;
        j++;
      } else if (run_config.verbose >= 2) {
        note("bad block at %ld id %d expecting %d\n",
             static_cast<long>(chunk_base + int64_t{run_config.blocksize} * i), r, i);
      }
    }
  }
  if (j < k) die("%s", MSG_TOO_MANY_BAD);

  if (run_config.input_is_pipe) {
    for (; i < n; i++)
      (void)!fread(block_buffer, 1, static_cast<size_t>(run_config.blocksize), input);
  }

  // The positions gathered are distinct and below n, so the rebuild cannot fail; if it ever did,
  // writing the slots would pass off wrong bytes as the user's data.
  if (fec_decode_pkts(codec, pkt_table, index_list, payload_len) != 0) die("%s", MSG_TOO_MANY_BAD);

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
      die("%s", msg_out_of_order(chunk_base, static_cast<uint32_t>(chunk_id), expected_id).c_str());
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
