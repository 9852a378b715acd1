// SPDX-License-Identifier: MIT
// agreement.h - whether the blocks of a chunk are one codeword, and which of them are not.
//
// Any k blocks of a chunk determine the whole chunk, so every further block must equal the packet
// that the rebuilt data gives for its index. A block of an older version of the archive, or of
// another stream with the same parameters, passes every check a block can pass on its own (its
// digest covers it alone); against the chunk's other blocks it shows. The decoder and kestrune-scan
// judge agreement with these functions alike.
//
// All of them work in the program-wide state: the rebuild goes to pkt_table (data packet j in
// slot j), a packet being compared is encoded into block_buffer. The packets handed in must lie
// elsewhere; their bytes are never changed.
#pragma once

#include <cstdint>

// Rebuilds pkt_table from the first k of the packets, whose positions are distinct, below n and
// ascending.
void rebuild_from(const uint8_t* const* packets, const int* positions);

// Whether the packet equals the packet at `position` of the chunk rebuilt in pkt_table.
bool agrees_with_rebuild(const uint8_t* packet, int position);

// What a block read beyond the k-th accepted one tells about the chunk rebuilt in pkt_table.
enum class witness_fit : uint8_t {
  none,       // nothing: not acceptable (not read whole, damaged, another position's or another
              // k's block)
  confirms,   // acceptable, and its packet equals the rebuilt one
  disagrees,  // acceptable, and its packet differs: some block does not belong
};
// Whether a block's digest is known to be right, known to be wrong, or still to be computed.
enum class digest_state : uint8_t { unknown, good, bad };
// Judges the block at position; computes its digest when `digest` is unknown and stores the
// outcome there.
witness_fit judge_witness(const uint8_t* block, bool complete, int position, digest_state& digest);

// How many witnesses must confirm a chunk before its rebuild is trusted: one, and for k = 1 two, so
// that at least three blocks always agree; two blocks of another version at the front of a chunk
// then never pass for its data. Fewer when the chunk has no more acceptable blocks.
inline int witnesses_needed(int k) { return k >= 2 ? 1 : 2; }

// The most exclusion sets tried by find_disagreeing().
inline constexpr int MAX_EXCLUSION_SETS = 512;

// Finds the smallest set of the count acceptable packets (distinct positions, ascending) whose
// exclusion leaves at least k + 1 packets that agree, among the sets small enough to be told
// apart (2 * size <= count - k) and within MAX_EXCLUSION_SETS tries. When there is one and it is
// unique, marks it in excluded[0 .. count-1], leaves the chunk rebuilt from the rest in pkt_table
// and returns true. Returns false when no set qualifies, when two do, or when the budget runs out;
// pkt_table then holds no meaningful rebuild.
bool find_disagreeing(const uint8_t* const* packets, const int* positions, int count,
                      bool* excluded);
