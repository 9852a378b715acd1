// SPDX-License-Identifier: MIT
// stream.h - the stream encoder and decoder, each working in the context its caller set up.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "stream/context.h"

// The stream encoder of one stream, in a context set up for it. The input is pulled through a
// callback straight into the data blocks of a batch of chunks, or pushed and copied there; a
// batch is completed, sealed and written (through the context's output) once a byte beyond it has
// come, or the input has ended. Failures are thrown as stream_failure: "read error" and "too many
// chunks" after the complete chunks before them are written, "write error".
class stream_encoder {
 public:
  // Numbers the chunks from first_id: the chunk counter's limit can be reached without an input of
  // 2^32 chunks.
  explicit stream_encoder(stream_context& ctx, int32_t first_id = 0);
  stream_encoder(const stream_encoder&) = delete;
  stream_encoder& operator=(const stream_encoder&) = delete;

  // Encodes the whole input, read through `read`.
  void pull(kestrune_read_pieces read, void* user);

  // Takes the next bytes of the input; end() completes the stream.
  void push(const uint8_t* data, size_t size);
  void end();

 private:
  void lay_out();
  bool finish_batch(bool input_failed);  // true once the last chunk is written
  void write_pending();
  [[noreturn]] void fail_after_pending(kestrune_result code, const char* message);

  stream_context& ctx_;
  int64_t capacity_;
  // Every data packet of the batch, then one byte beyond: whether the input goes on after a chunk
  // that fills the batch tells whether that chunk is the last.
  std::vector<iovec> pieces_;
  size_t next_ = 0;      // the piece a push fills next
  int64_t total_ = 0;    // input bytes in the batch
  bool peeked_ = false;  // the byte beyond the previous batch, the next chunk's first, is held
  uint8_t peek_ = 0;
  int pending_ = 0;  // chunks of the batch laid out, not yet written
  int32_t chunk_id_;
};

// Completes the chunk laid out as n consecutive blocks from first_block, its data packets (which
// data_packets point to) in place: computes the parity packets into the blocks after them and puts
// every block's index and k byte. The digests are left to seal_blocks().
void complete_chunk(const stream_context& ctx, uint8_t* first_block, uint8_t* const* data_packets);

// Where the decoder reads: a file through read_at, a pipe (the context's input_is_pipe) through
// read. Pushed bytes need neither.
struct decode_source {
  kestrune_read_at read_at = nullptr;
  kestrune_read read = nullptr;
  void* user = nullptr;
};

namespace decoding {
struct decoder;
}

// The stream decoder of one stream, in a context set up for it. Chunks are restored one after the
// other and their bytes written through the context's output; failures are thrown as
// stream_failure with the decoder's messages ("incorrect K value", "unrecoverable error -- too many
// bad blocks", "unrecoverable error -- inconsistent blocks", "chunk out of order at ...", "write
// error"), after the --stats summary when it is asked for.
class stream_decoder {
 public:
  stream_decoder(stream_context& ctx, const decode_source& source);
  ~stream_decoder();
  stream_decoder(const stream_decoder&) = delete;
  stream_decoder& operator=(const stream_decoder&) = delete;

  // Restores the whole stream, read from the source.
  void pull();

  // Takes the next bytes of the stream (the context's input_is_pipe clear); a batch of chunks is
  // restored once its blocks have come, and end() restores the rest. Bytes after the last chunk
  // are ignored.
  void push(const uint8_t* data, size_t size);
  void end();

  // Whether the last chunk has been restored.
  bool done() const;

 private:
  std::unique_ptr<decoding::decoder> d_;
};
