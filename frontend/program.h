// program.h - the program-wide settings and buffers, set up once by the driver and shared by the
// stream encoder and decoder.
#pragma once

#include <cstdint>

#include "fec/fec.h"

struct run_settings {
  int32_t blocksize = 1024;   // bytes per block in the stream: packet plus trailer
  int32_t n = 18;             // blocks per chunk
  int32_t k = 14;             // data packets per chunk
  int32_t decode_mode = 0;    // 1 = decode
  int32_t verbose = 0;        // report level on standard error
  int32_t input_is_pipe = 0;  // 1 = the input cannot seek
};

extern run_settings run_config;

extern fec_code* codec;        // the one codec of the run, for (k, n)
extern uint8_t* chunk_buffer;  // k slots of blocksize bytes
extern uint8_t** pkt_table;    // the k slots; the decoder's codec calls may reorder the entries
extern uint8_t* block_buffer;  // one block: the encoder's output packet, the decoder's discard sink
extern int32_t payload_len;    // blocksize - 18: packet bytes per block
extern int32_t* index_list;    // the decoder's packet number for each slot
extern int64_t bytes_read;     // encoder statistics
extern int64_t bytes_written;

// Creates the codec and allocates the buffers for the current run_config (k, n and blocksize
// valid).
void setup_buffers();

// Releases what setup_buffers() allocated, for in-process callers that run several configurations.
void release_buffers();

// The driver: reads the command line, sets everything up and runs one of the two stream routines.
// Returns the exit status of a completed run; every failure ends the process itself.
int kestrune_main(int argc, char** argv);
