// SPDX-License-Identifier: MIT
// scan.h - judging every block of every chunk of a protected stream, rebuilding the chunks that
// can be rebuilt, and writing what can be saved of the user data.
//
// The scan works in a stream context whose settings hold blocksize, n and k, and for which
// setup_buffers() has made the codec and the packet slots.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "scan/input.h"
#include "stream/context.h"

// What became of one block position, by the decoder's rule: a block is accepted when it was read
// whole, its digest is right, it carries the run's k and its index is its position.
enum class verdict : uint8_t {
  accepted,
  digest,        // read whole, wrong digest
  index,         // intact, but another position's block
  partial,       // not read whole: the input ends inside it, or it cannot be read
  missing,       // the input ends before it
  k,             // intact, but written with another k
  inconsistent,  // intact, but it disagrees with the chunk's other blocks: it does not belong
};

enum class chunk_status : uint8_t {
  intact,      // every block accepted
  repairable,  // k or more accepted
  lost,        // fewer than k accepted
  misplaced,   // its header names another chunk: it does not belong here
};

// Bytes of the restored output; length -1 runs to an end that is not known.
struct byte_range {
  int64_t start = 0;
  int64_t length = 0;
};

struct chunk_result {
  int64_t number = 0;  // position in the stream, from 0
  int64_t offset = 0;  // stream offset of its block 0
  int accepted = 0;
  std::vector<std::pair<int, verdict>> rejected;  // in position order
  chunk_status status = chunk_status::intact;
  bool header_known = false;  // block 0 accepted, or the chunk rebuilt
  uint32_t clen = 0;
  int32_t chunk_id = 0;
  int64_t data_offset = 0;       // where its user bytes go in the restored output
  int64_t data_length = 0;       // how many: clen, or the capacity when the header is lost
  std::vector<byte_range> lost;  // user bytes that cannot be restored (zero-filled on salvage)
  std::string decoder_failure;   // what kestrune -d would stop with here, if it would
};

enum class stream_end : uint8_t {
  last_chunk,  // the chunk numbered -1 was found
  truncated,   // the input ends after a chunk that is not the last
  after_lost,  // the input ends after a chunk whose header is lost: if it was not the last,
               // chunks are missing
  empty,       // no chunk at all
};

struct scan_summary {
  int64_t chunks = 0;
  int64_t blocks = 0;  // positions judged: n per chunk
  int64_t bad_blocks = 0;
  int64_t intact = 0;
  int64_t repairable = 0;
  int64_t lost = 0;
  int64_t misplaced = 0;
  int worst_spare = 0;  // least (accepted - k) over the chunks
  int64_t worst_spare_chunk = -1;
  stream_end end = stream_end::empty;
  int64_t trailing_bytes = 0;         // after the last chunk, ignored by the decoder
  bool trailing_at_least = false;     // a pipe: reading stopped after trailing_bytes
  std::vector<byte_range> lost_data;  // merged
  int64_t lost_bytes = 0;             // their total, without a range of unknown length
  int64_t decoder_fails_at = -1;      // first chunk where kestrune -d would stop
  std::string decoder_failure;
  int64_t salvage_bytes = 0;  // written to the salvage file
};

// Receives the user data of a salvage, in order: count bytes, or count lost ones (data is null;
// a salvage file holds zeros for them). False when it failed.
using salvage_sink = std::function<bool(const uint8_t* data, int64_t count)>;

// Scans the whole stream; calls on_chunk for every chunk, in order, as it is judged. When
// salvage is not null, the user data of every chunk goes there, in order.
scan_summary scan_stream(stream_context& ctx, scan_input& input, const salvage_sink* salvage,
                         const std::function<void(const chunk_result&)>& on_chunk);
