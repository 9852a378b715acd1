// SPDX-License-Identifier: MIT
// program.cpp - the program-wide settings, codec and buffers.
#include "frontend/program.h"

run_settings run_config;

fec_code* codec;
uint8_t* chunk_buffer;
int32_t batch_chunks;
uint8_t** pkt_table;
uint8_t* block_buffer;
int32_t payload_len;
int32_t* index_list;
int64_t bytes_read;
int64_t bytes_written;
