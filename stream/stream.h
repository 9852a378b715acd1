// SPDX-License-Identifier: MIT
// stream.h - the stream encoder and decoder, each working in the context its caller set up.
#pragma once

#include <cstdint>
#include <cstdio>

#include "stream/context.h"

// Encodes the whole input into the protected stream on standard output.
void encode_stream(stream_context& ctx, FILE* input);

// As encode_stream(), numbering the chunks from first_id: the chunk counter's limit can be reached
// without an input of 2^32 chunks. The input must not have been read through the FILE before: the
// encoder may read its descriptor directly.
void encode_chunks(stream_context& ctx, FILE* input, int32_t first_id);

// Completes the chunk laid out as n consecutive blocks from first_block, its data packets (which
// data_packets point to) in place: computes the parity packets into the blocks after them and puts
// every block's index and k byte. The digests are left to seal_blocks().
void complete_chunk(const stream_context& ctx, uint8_t* first_block, uint8_t* const* data_packets);

// Restores the user bytes of the protected stream on the input to standard output.
void decode_stream(stream_context& ctx, FILE* input);
