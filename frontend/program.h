// SPDX-License-Identifier: MIT
// program.h - the program-wide settings, codec and buffers: set up once for the run and shared by
// the stream encoder, the decoder and kestrune-scan.
#pragma once

#include <cstdint>

#include "fec/fec.h"

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

extern run_settings run_config;

extern fec_code* codec;  // the one codec of the run, for (k, n)

// The one chunk area (stream/buffers.h sets it up): batch_chunks chunks of n blocks each, laid
// out as the stream lays them out, then one chunk's worth of n work blocks.
extern uint8_t* chunk_buffer;
extern int32_t batch_chunks;

// k slots of blocksize bytes in the chunk area. They start as work blocks 0 .. k-1; the decoder's
// codec calls reorder the entries, and the encoder aims them at the data blocks of the chunk it
// lays out.
extern uint8_t** pkt_table;
extern uint8_t* block_buffer;  // one block: the decoder's sink for blocks it skips in a pipe
extern int32_t payload_len;    // blocksize - 18: packet bytes per block
extern int32_t* index_list;    // the decoder's packet number for each slot
extern int64_t bytes_read;     // encoder statistics
extern int64_t bytes_written;
