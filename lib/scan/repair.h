// SPDX-License-Identifier: MIT
// repair.h - restoring a protected stream from one or more copies of it: each copy realigned on its
// own, the chunks placed by their numbers, every chunk rebuilt from the blocks of all copies that
// agree, and the result written as kestrune writes it, or salvaged as user data.
//
// Works in a stream context whose settings hold blocksize, n and k, and for which setup_buffers()
// has made the codec and the packet slots (the rebuilds use its pkt_table and block_buffer).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "scan/input.h"
#include "scan/realign.h"
#include "scan/rewrite.h"
#include "scan/scan.h"

enum class repair_status : uint8_t {
  intact,    // every copy holds it whole, in its place, and all its blocks agree
  repaired,  // restored, from fewer blocks, from elsewhere, or leaving blocks out
  lost,      // not restored
};

// Why a chunk is lost.
enum class loss : uint8_t {
  none,
  missing,       // no block of it was found
  too_few,       // fewer than k blocks of it were found in all copies together
  inconsistent,  // its blocks disagree and no version of it lies near enough to them
  versions,      // the copies hold two or more consistent versions of it: a conflict
};

// What one copy gave a chunk.
struct chunk_source {
  int copy = 0;
  int64_t slot = 0;               // its place in the copy, as realigned
  int64_t offset = 0;             // where its block 0 stands (or would stand) in the copy
  std::vector<int> used;          // positions whose blocks agree with the rebuild
  std::vector<int> inconsistent;  // positions whose blocks disagree with it: left out
  std::vector<int64_t> left_out;  // the offsets of those blocks in the copy
};

struct repaired_chunk {
  int64_t number = 0;  // its place in the restored stream (the last chunk's too)
  repair_status status = repair_status::intact;
  loss why = loss::none;
  bool header_known = false;
  uint32_t clen = 0;
  int32_t chunk_id = 0;
  bool out_of_place = false;  // a copy holds it at another place
  std::vector<chunk_source> sources;
  int64_t data_offset = 0;  // where its user bytes go in the restored output
  int64_t data_length = 0;  // how many
  std::vector<byte_range> lost;
  // Lost as versions: for each version, the copies holding blocks of it and how many, by copy.
  std::vector<std::vector<std::pair<int, int>>> versions;
};

struct copy_summary {
  int64_t size = -1;  // the input's length, -1 when not known
  walk_stats walk;
  int64_t restored_from = 0;  // chunks restored with blocks of this copy
  int64_t conflicting = 0;    // chunks lost as versions with blocks of this copy
  // Not a copy of this stream: it is not the first, and every chunk it holds blocks of conflicts
  // with the other copies' version.
  bool foreign() const { return conflicting > 0 && restored_from == 0; }
};

struct repair_summary {
  int64_t chunks = 0;  // places in the restored stream, the last chunk's included
  int64_t intact = 0;
  int64_t repaired = 0;
  int64_t lost = 0;
  int64_t out_of_place = 0;  // chunks a copy holds elsewhere than at their place
  int64_t merged = 0;        // chunks that no copy alone holds k agreeing blocks of
  int64_t inconsistent = 0;  // blocks left out because they disagree with their chunk
  int64_t unplaced = 0;      // chunks found whose number has no place (repeated or foreign)
  bool last_found = false;   // the chunk numbered -1 was restored
  std::vector<copy_summary> copies;
  std::vector<byte_range> lost_data;
  int64_t lost_bytes = 0;
  bool complete = false;      // every chunk restored, the last one included
  int64_t stream_bytes = 0;   // written as the repaired stream
  int64_t salvage_bytes = 0;  // written as salvage
};

// Restores the stream from the copies (not owned; read in turns, each from its start, so that the
// chunks of all copies are at hand together). Calls on_chunk for every place of the restored
// stream, in order. When stream_out is not null the repaired stream goes there as it is restored
// (the caller keeps it only when the summary says complete); when salvage is not null the user
// data goes there, in order.
repair_summary repair_copies(stream_context& ctx, const std::vector<scan_input*>& copies,
                             const stream_sink* stream_out, const salvage_sink* salvage,
                             const std::function<void(const repaired_chunk&)>& on_chunk);
