// stream.h - the stream encoder and decoder, working in the driver's program-wide state.
#pragma once

#include <cstdint>
#include <cstdio>

// Encodes the whole input into the protected stream on standard output.
void encode_stream(FILE* input);

// As encode_stream(), numbering the chunks from first_id: the chunk counter's limit can be reached
// without an input of 2^32 chunks.
void encode_chunks(FILE* input, int32_t first_id);

// Reads one chunk's input into the data packets and stores its header; returns the byte count. At
// the end of the input chunk_id becomes -1.
int32_t read_chunk(int32_t* chunk_id, FILE* input);

// Writes block `index`: the payload_len bytes of packet and the block trailer.
void write_block(int index, const uint8_t* packet);

// Restores the user bytes of the protected stream on the input to standard output.
void decode_stream(FILE* input);

// Gathers k acceptable blocks of the chunk at chunk_base, rebuilds it and reads its header; returns
// its chunk_id and stores its clen.
int32_t decode_chunk(int64_t chunk_base, FILE* input, uint32_t* clen_out);

// Reads the block at block_pos into dest: its block_index (0 .. 255) when it is complete and intact
// and of this run's k; -1 when the seek failed, -2 when it could not be read whole, -3 when its
// digest is wrong.
int read_block(int64_t block_pos, uint8_t* dest, FILE* input);
