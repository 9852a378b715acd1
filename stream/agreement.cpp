// SPDX-License-Identifier: MIT
// agreement.cpp - rebuilding a chunk from k of its blocks, checking the others against it, and
// finding the blocks that do not belong.
#include "stream/agreement.h"

#include <algorithm>
#include <cstring>

#include "fec/fec.h"
#include "frontend/diag.h"
#include "frontend/program.h"
#include "stream/format.h"
#include "stream/rules.h"

void rebuild_from(const uint8_t* const* packets, const int* positions) {
  const size_t size = static_cast<size_t>(payload_len);
  for (int j = 0; j < run_config.k; j++) {
    memcpy(pkt_table[j], packets[j], size);
    index_list[j] = positions[j];
  }
  // Distinct positions below n: the rebuild cannot fail.
  if (fec_decode_pkts(codec, pkt_table, index_list, payload_len) != 0) die("%s", MSG_TOO_MANY_BAD);
}

bool agrees_with_rebuild(const uint8_t* packet, int position) {
  if (position < run_config.k) {
    return memcmp(pkt_table[position], packet, static_cast<size_t>(payload_len)) == 0;
  }
  fec_encode_pkt(codec, pkt_table, block_buffer, position, payload_len);
  return memcmp(block_buffer, packet, static_cast<size_t>(payload_len)) == 0;
}

witness_fit judge_witness(const uint8_t* block, bool complete, int position, digest_state& digest) {
  const int32_t blocksize = run_config.blocksize;
  if (!complete || get_block_index(block, blocksize) != position ||
      get_k_byte(block, blocksize) != static_cast<uint8_t>(run_config.k)) {
    return witness_fit::none;
  }
  // A damaged block says nothing, not even when its packet happens to equal the rebuilt one: a
  // block of the other version with a broken trailer would otherwise confirm that version.
  if (digest == digest_state::unknown) {
    bool ok = false;
    verify_blocks(&block, 1, &ok);
    digest = ok ? digest_state::good : digest_state::bad;
  }
  if (digest == digest_state::bad) return witness_fit::none;
  return agrees_with_rebuild(block, position) ? witness_fit::confirms : witness_fit::disagrees;
}

namespace {

constexpr int max_blocks = 256;

// Whether the packets not excluded agree: the first k rebuild the chunk, every other one equals
// its packet. Leaves the rebuild in pkt_table.
bool agree_without(const uint8_t* const* packets, const int* positions, int count,
                   const bool* excluded) {
  const uint8_t* chosen[max_blocks];
  int chosen_at[max_blocks];
  int m = 0;
  for (int t = 0; t < count; t++) {
    if (!excluded[t]) {
      chosen[m] = packets[t];
      chosen_at[m++] = positions[t];
    }
  }
  rebuild_from(chosen, chosen_at);
  for (int t = run_config.k; t < m; t++) {
    if (!agrees_with_rebuild(chosen[t], chosen_at[t])) return false;
  }
  return true;
}

}  // namespace

bool find_disagreeing(const uint8_t* const* packets, const int* positions, int count,
                      bool* excluded) {
  const int k = run_config.k;
  int tried = 0;
  for (int size = 1; 2 * size <= count - k; size++) {
    // Every set of `size` of the count packets, in lexicographic order.
    int pick[max_blocks];
    for (int t = 0; t < size; t++) pick[t] = t;
    int found = 0;
    int found_pick[max_blocks];
    for (;;) {
      if (++tried > MAX_EXCLUSION_SETS) return false;
      std::fill(excluded, excluded + count, false);
      for (int t = 0; t < size; t++) excluded[pick[t]] = true;
      if (agree_without(packets, positions, count, excluded)) {
        if (++found > 1) return false;
        std::copy(pick, pick + size, found_pick);
      }
      int t = size - 1;
      while (t >= 0 && pick[t] == count - size + t) t--;
      if (t < 0) break;
      pick[t]++;
      for (int u = t + 1; u < size; u++) pick[u] = pick[u - 1] + 1;
    }
    if (found == 1) {
      std::fill(excluded, excluded + count, false);
      for (int t = 0; t < size; t++) excluded[found_pick[t]] = true;
      agree_without(packets, positions, count, excluded);
      return true;
    }
  }
  return false;
}
