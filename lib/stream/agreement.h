// SPDX-License-Identifier: MIT
// agreement.h - whether the blocks of a chunk are one codeword, and which of them are not.
//
// Any k blocks of a chunk determine the whole chunk, so every further block must equal the packet
// that the rebuilt data gives for its index. A block of an older version of the archive, or of
// another stream with the same parameters, passes every check a block can pass on its own (its
// digest covers it alone); against the chunk's other blocks it shows. Every byte column of a
// chunk's acceptable blocks is a Reed-Solomon codeword (fec/errors.h), so among A acceptable blocks
// any e wrong ones with 2e <= A - k are found by decoding, and the chunk rebuilt from the rest. The
// decoder, kestrune-scan and the repair judge agreement with these functions alike.
//
// All of them work in a stream context: the rebuild goes to its pkt_table (data packet j in slot
// j), a packet being compared is encoded into its block_buffer. The packets handed in must lie
// elsewhere; their bytes are never changed.
#pragma once

#include <cstdint>

#include "stream/context.h"

// Rebuilds the data packets in pkt_table from the packets its slots hold, whose numbers are in
// index_list (distinct and below n, in any order): the decoder's rebuild. Fails with "unrecoverable
// error -- too many bad blocks" should the codec refuse them, and with "can't malloc" when the
// codec's memory runs short (the codec reports which allocation failed).
void rebuild_slots(stream_context& ctx);

// Rebuilds pkt_table from the first k of the packets, whose positions are distinct, below n and
// ascending.
void rebuild_from(stream_context& ctx, const uint8_t* const* packets, const int* positions);

// The first byte at which the packet differs from the packet at `position` of the chunk rebuilt in
// pkt_table, or -1 when it is equal.
int first_difference(stream_context& ctx, const uint8_t* packet, int position);

// What the acceptable blocks of a chunk make of it.
enum class settlement : uint8_t {
  agree,         // they are one codeword
  corrected,     // some are wrong; the rest, more than the radius beyond k, are one codeword
  inconsistent,  // no codeword lies within (A - k) / 2 blocks of them
};

// Settles a chunk on its count (>= k) acceptable packets, at distinct positions below n, ascending:
// rebuilds it from the first k and checks every other one against the rebuild. When one differs,
// the wrong packets are located by decoding byte columns (a random combination of all of them,
// then a column where the blocks left still disagree), left out, and the chunk rebuilt from the
// rest, until the rest agree or no codeword near enough remains. The cost is a few rebuilds and
// about count^2 field operations per column decoded.
//   agree: excluded[0 .. count-1] all false; pkt_table holds the rebuild.
//   corrected: excluded[] marks the e packets that differ from the rebuild in pkt_table, 2e <=
//     count - k, and every other packet agrees with it. It is the only codeword that near.
//   inconsistent: pkt_table and excluded[] hold nothing meaningful.
settlement settle_packets(stream_context& ctx, const uint8_t* const* packets, const int* positions,
                          int count, bool* excluded);
