// SPDX-License-Identifier: MIT
// context.h - one run's settings, codec and buffers: the encoder, the decoder and the scan each
// work in the context their caller made, so that runs with other parameters can live side by side.
#pragma once

#include <sys/uio.h>

#include <climits>
#include <cstdint>

#include "fec/fec.h"
#include "kestrune.h"

struct run_settings {
  int32_t blocksize = 1024;          // bytes per block in the stream: packet plus trailer
  int32_t n = 18;                    // blocks per chunk
  int32_t k = 14;                    // data packets per chunk
  int32_t decode_mode = 0;           // 1 = decode
  int32_t verbose = 0;               // report level on standard error
  int32_t input_is_pipe = 0;         // 1 = the input cannot seek
  int32_t progress = 0;              // 1 = the progress line on standard error (--progress)
  int32_t stats = 0;                 // 1 = the decoder's summary on standard error (--stats)
  const char* input_name = nullptr;  // the input file named on the command line; null: stdin
};

// Output pieces waiting for one write (stream/output.h).
struct output_queue {
  static constexpr int capacity = IOV_MAX;
  iovec pieces[capacity];
  int count = 0;
};

struct stream_context {
  run_settings config;
  kestrune_callbacks callbacks{};  // the caller's write, report and progress

  fec_code* codec = nullptr;      // for (k, n)
  fec_reporter codec_reporter{};  // the codec's messages, to callbacks.report

  // The chunk area (setup_buffers() makes it): batch_chunks chunks of n blocks each, laid out as
  // the stream lays them out, then one chunk's worth of n work blocks.
  uint8_t* chunk_buffer = nullptr;
  int32_t batch_chunks = 0;

  // k slots of blocksize bytes in the chunk area. They start as work blocks 0 .. k-1; the
  // decoder's codec calls reorder the entries, and the encoder aims them at the data blocks of the
  // chunk it lays out.
  uint8_t** pkt_table = nullptr;
  uint8_t* block_buffer = nullptr;  // one block: a packet being compared, or a skipped block
  int32_t payload_len = 0;          // blocksize - 18: packet bytes per block
  int32_t* index_list = nullptr;    // the decoder's packet number for each slot
  int64_t bytes_read = 0;           // encoder statistics
  int64_t bytes_written = 0;
  output_queue out;
};
