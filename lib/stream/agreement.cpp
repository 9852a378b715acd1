// SPDX-License-Identifier: MIT
// agreement.cpp - rebuilding a chunk from k of its blocks, checking the others against it, and
// finding the blocks that do not belong by decoding.
#include "stream/agreement.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "fec/errors.h"
#include "fec/fec.h"
#include "fec/gf.h"
#include "stream/failure.h"
#include "stream/rules.h"

void rebuild_from(stream_context& ctx, const uint8_t* const* packets, const int* positions) {
  const size_t size = static_cast<size_t>(ctx.payload_len);
  for (int j = 0; j < ctx.config.k; j++) {
    memcpy(ctx.pkt_table[j], packets[j], size);
    ctx.index_list[j] = positions[j];
  }
  // Distinct positions below n: the rebuild cannot fail.
  rebuild_slots(ctx);
}

void rebuild_slots(stream_context& ctx) {
  const int rebuilt = fec_decode_pkts(ctx.codec, ctx.pkt_table, ctx.index_list, ctx.payload_len);
  // Short of memory, the codec has said so through the report callback.
  if (rebuilt == FEC_OUT_OF_MEMORY) fail(KESTRUNE_ERROR_MEMORY, "can't malloc");
  if (rebuilt != 0) fail(KESTRUNE_ERROR_TOO_MANY_BAD, "%s", MSG_TOO_MANY_BAD);
}

int first_difference(stream_context& ctx, const uint8_t* packet, int position) {
  const size_t size = static_cast<size_t>(ctx.payload_len);
  const uint8_t* expected = ctx.pkt_table[position < ctx.config.k ? position : 0];
  if (position >= ctx.config.k) {
    fec_encode_pkt(ctx.codec, ctx.pkt_table, ctx.block_buffer, position, ctx.payload_len);
    expected = ctx.block_buffer;
  }
  if (memcmp(expected, packet, size) == 0) return -1;
  size_t x = 0;
  while (expected[x] == packet[x]) x++;
  return static_cast<int>(x);
}

namespace {

constexpr int max_blocks = 256;

// Rebuilds pkt_table from the first k packets not excluded (there are k or more) and checks every
// other packet not excluded against it; returns a byte column where one of them differs, or -1
// when they all agree.
int rebuild_and_check(stream_context& ctx, const uint8_t* const* packets, const int* positions,
                      int count, const bool* excluded) {
  const uint8_t* chosen[max_blocks];
  int chosen_at[max_blocks];
  int m = 0;
  for (int t = 0; t < count; t++) {
    if (!excluded[t]) {
      chosen[m] = packets[t];
      chosen_at[m++] = positions[t];
    }
  }
  rebuild_from(ctx, chosen, chosen_at);
  const int k = ctx.config.k;
  if (fec_pkts_equal(ctx.codec, ctx.pkt_table, chosen_at + k, chosen + k, m - k, ctx.payload_len))
    return -1;
  for (int t = k; t < m; t++) {
    const int column = first_difference(ctx, chosen[t], chosen_at[t]);
    if (column >= 0) return column;
  }
  return -1;
}

// values[t] = sum over the columns x of rho_x * packets[t][x], the same pseudo-random rho_x for
// every packet: a combination of codewords is a codeword, and a packet that is wrong in any column
// is wrong in the combination but with probability 1/256. rho repeats after rho_period columns.
constexpr int rho_period = 4096;

void combine_columns(const uint8_t* const* packets, int count, int size, uint8_t* values) {
  uint8_t rho[rho_period];
  uint64_t state = 0x6b657374726e65;  // fixed, so that every run decides alike
  for (uint8_t& r : rho) {
    uint64_t z = (state += 0x9E3779B97F4A7C15u);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9u;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBu;
    r = static_cast<uint8_t>((z ^ (z >> 31)) >> 56);
  }
  for (int t = 0; t < count; t++) {
    const uint8_t* packet = packets[t];
    uint8_t sum = 0;
    for (int base = 0; base < size; base += rho_period) {
      const int end = std::min(rho_period, size - base);
      for (int x = 0; x < end; x++) sum ^= gf_product_table[rho[x]][packet[base + x]];
    }
    values[t] = sum;
  }
}

}  // namespace

settlement settle_packets(stream_context& ctx, const uint8_t* const* packets, const int* positions,
                          int count, bool* excluded) {
  const int k = ctx.config.k;
  std::fill(excluded, excluded + count, false);
  int column = rebuild_and_check(ctx, packets, positions, count, excluded);
  if (column < 0) return settlement::agree;

  // Each round decodes a column in which the packets still taken disagree. Within the radius the
  // decoding finds exactly the wrong packets of that column, at least one of them not left out
  // yet, so there are at most e rounds; the first one also decodes the combination of all
  // columns, which nearly always finds every wrong packet at once. Outside the radius a round may
  // find nothing new, or too many: then no codeword is near enough.
  int left_out = 0;
  for (int round = 0;; round++) {
    bool progress = false;
    for (int pass = round == 0 ? 0 : 1; pass < 2; pass++) {
      uint8_t values[max_blocks];
      if (pass == 0) {
        combine_columns(packets, count, ctx.payload_len, values);
      } else {
        for (int t = 0; t < count; t++) values[t] = packets[t][column];
      }
      bool wrong[max_blocks];
      if (fec_find_errors(k, positions, values, count, wrong) < 0) continue;
      for (int t = 0; t < count; t++) {
        if (wrong[t] && !excluded[t]) {
          excluded[t] = true;
          left_out++;
          progress = true;
        }
      }
    }
    if (!progress || 2 * left_out > count - k) return settlement::inconsistent;
    column = rebuild_and_check(ctx, packets, positions, count, excluded);
    if (column < 0) break;
  }
  // A packet left out that equals its place in the rebuild is not wrong (outside the radius a
  // decoded column may name one).
  for (int t = 0; t < count; t++) {
    if (excluded[t] && first_difference(ctx, packets[t], positions[t]) < 0) excluded[t] = false;
  }
  return settlement::corrected;
}
