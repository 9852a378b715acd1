// SPDX-License-Identifier: MIT
// api.cpp - the library's entry points (kestrune.h): handles around a stream context, and the
// failures of the stream code turned into results and messages.
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "kestrune.h"
#include "stream/buffers.h"
#include "stream/failure.h"
#include "stream/format.h"
#include "stream/output.h"
#include "stream/probe.h"
#include "stream/rules.h"
#include "stream/stream.h"

static_assert(KESTRUNE_TRAILER_BYTES == TRAILER_LEN && KESTRUNE_HEADER_BYTES == HEADER_LEN);

// What the encoder and the decoder handles share: the context, and the first failure.
struct stream_handle {
  stream_context ctx;
  kestrune_result failed = KESTRUNE_OK;
  std::string message;
  bool started = false;   // input taken: a pull or a push
  bool finished = false;  // the stream is complete
};

struct kestrune_encoder : stream_handle {
  std::unique_ptr<stream_encoder> encoder;
};

struct kestrune_decoder : stream_handle {
  std::unique_ptr<stream_decoder> decoder;
};

namespace {

// Sets up the handle's context; a failure is kept in the handle.
void set_up(stream_handle& h, const kestrune_params* params, const kestrune_callbacks* callbacks,
            const kestrune_settings* settings) {
  if (params == nullptr || callbacks == nullptr || callbacks->write == nullptr) {
    h.failed = KESTRUNE_ERROR_STATE;
    h.message = "no parameters or no write callback";
    return;
  }
  if (const char* error = params_error({params->blocksize, params->n, params->k})) {
    h.failed = KESTRUNE_ERROR_PARAMS;
    h.message = error;
    return;
  }
  h.ctx.config.blocksize = params->blocksize;
  h.ctx.config.n = params->n;
  h.ctx.config.k = params->k;
  if (settings != nullptr) {
    h.ctx.config.verbose = settings->verbose;
    h.ctx.config.stats = settings->stats;
    h.ctx.config.input_name = settings->input_name;
  }
  h.ctx.callbacks = *callbacks;
  try {
    setup_buffers(h.ctx);
  } catch (const stream_failure& f) {
    h.failed = f.code;
    h.message = f.message;
  }
}

// Runs a step of the stream code on the handle: a failure is kept (the output before it written as
// far as it goes) and every later call returns it again.
template <typename Step>
kestrune_result guarded(stream_handle& h, Step&& step) {
  if (h.failed != KESTRUNE_OK) return h.failed;
  try {
    step();
    return KESTRUNE_OK;
  } catch (const stream_failure& f) {
    output_write_queued(h.ctx);
    h.failed = f.code;
    h.message = f.message;
  } catch (const std::exception&) {
    // Only the standard library's containers throw besides the stream code: short of memory.
    output_write_queued(h.ctx);
    h.failed = KESTRUNE_ERROR_MEMORY;
    h.message = "can't malloc";
  }
  return h.failed;
}

// The result of a call the handle's state does not allow: its failure, when it has one.
kestrune_result refused(const stream_handle* h) {
  return h != nullptr && h->failed != KESTRUNE_OK ? h->failed : KESTRUNE_ERROR_STATE;
}

template <typename Handle>
Handle* create(const kestrune_params* params, const kestrune_callbacks* callbacks,
               const kestrune_settings* settings) {
  Handle* h = new (std::nothrow) Handle;
  if (h != nullptr) set_up(*h, params, callbacks, settings);
  return h;
}

template <typename Handle>
void destroy(Handle* h) {
  if (h == nullptr) return;
  release_buffers(h->ctx);
  delete h;
}

}  // namespace

extern "C" {

kestrune_params kestrune_default_params(void) {
  const run_settings d;
  return {d.blocksize, d.n, d.k};
}

const char* kestrune_params_error(const kestrune_params* params) {
  if (params == nullptr) return "invalid (k, n)";
  return params_error({params->blocksize, params->n, params->k});
}

const char* kestrune_given_params_error(const kestrune_params* params, unsigned given) {
  if (params == nullptr) return "invalid (k, n)";
  const known_params known{(given & KESTRUNE_GIVEN_BLOCKSIZE) != 0, (given & KESTRUNE_GIVEN_N) != 0,
                           (given & KESTRUNE_GIVEN_K) != 0};
  return params_error({params->blocksize, params->n, params->k}, known);
}

kestrune_result kestrune_detect(kestrune_params* params, unsigned given, kestrune_head head,
                                void* user, char* message, size_t message_size) {
  const auto tell = [&](const std::string& text) {
    if (message != nullptr && message_size > 0) snprintf(message, message_size, "%s", text.c_str());
  };
  if (params == nullptr || head == nullptr) return KESTRUNE_ERROR_STATE;
  const probe_request request{(given & KESTRUNE_GIVEN_BLOCKSIZE) != 0 ? params->blocksize : 0,
                              (given & KESTRUNE_GIVEN_N) != 0 ? params->n : 0,
                              (given & KESTRUNE_GIVEN_K) != 0 ? params->k : 0};
  // The probe reads the head through a vector of its own; the caller's bytes are copied into it as
  // far as they go.
  std::vector<uint8_t> bytes;
  int64_t total = -1;
  const probe_input input{[&](size_t limit) -> const std::vector<uint8_t>& {
                            const void* got = nullptr;
                            size_t length = 0;
                            if (head(user, limit, &got, &length, &total) != 0) {
                              fail(KESTRUNE_ERROR_READ, "read error");
                            }
                            const auto* from = static_cast<const uint8_t*>(got);
                            bytes.assign(from, from + (from != nullptr ? length : 0));
                            return bytes;
                          },
                          [&] { return total; }};
  try {
    const probe_result found = probe_parameters(input, request);
    *params = {found.blocksize, found.n, found.k};
    tell("");
    return KESTRUNE_OK;
  } catch (const stream_failure& f) {
    tell(f.message);
    return f.code;
  } catch (const std::exception&) {
    tell("can't malloc");
    return KESTRUNE_ERROR_MEMORY;
  }
}

int64_t kestrune_chunk_capacity(const kestrune_params* params) {
  return chunk_capacity(params->blocksize, params->k);
}

kestrune_encoder* kestrune_encoder_create(const kestrune_params* params,
                                          const kestrune_callbacks* callbacks,
                                          const kestrune_settings* settings) {
  kestrune_encoder* e = create<kestrune_encoder>(params, callbacks, settings);
  if (e != nullptr) guarded(*e, [e] { e->encoder = std::make_unique<stream_encoder>(e->ctx); });
  return e;
}

void kestrune_encoder_free(kestrune_encoder* encoder) {
  if (encoder != nullptr) encoder->encoder.reset();
  destroy(encoder);
}

kestrune_result kestrune_encode_pull(kestrune_encoder* e, kestrune_read_pieces read, void* user) {
  if (e == nullptr || read == nullptr || e->started) return refused(e);
  e->started = true;
  const kestrune_result r = guarded(*e, [&] { e->encoder->pull(read, user); });
  e->finished = r == KESTRUNE_OK;
  return r;
}

kestrune_result kestrune_encoder_push(kestrune_encoder* e, const void* data, size_t size) {
  if (e == nullptr || e->finished || (data == nullptr && size > 0)) {
    return refused(e);
  }
  e->started = true;
  return guarded(*e, [&] { e->encoder->push(static_cast<const uint8_t*>(data), size); });
}

kestrune_result kestrune_encoder_end(kestrune_encoder* e) {
  if (e == nullptr || e->finished) return refused(e);
  e->started = true;
  const kestrune_result r = guarded(*e, [&] { e->encoder->end(); });
  e->finished = true;
  return r;
}

int64_t kestrune_encoder_bytes_in(const kestrune_encoder* e) { return e->ctx.bytes_read; }

int64_t kestrune_encoder_bytes_out(const kestrune_encoder* e) { return e->ctx.bytes_written; }

const char* kestrune_encoder_message(const kestrune_encoder* e) { return e->message.c_str(); }

kestrune_decoder* kestrune_decoder_create(const kestrune_params* params,
                                          const kestrune_callbacks* callbacks,
                                          const kestrune_settings* settings) {
  return create<kestrune_decoder>(params, callbacks, settings);
}

void kestrune_decoder_free(kestrune_decoder* decoder) {
  if (decoder != nullptr) decoder->decoder.reset();
  destroy(decoder);
}

namespace {

kestrune_result decode_from(kestrune_decoder* d, const decode_source& source, bool pipe) {
  if (d == nullptr || d->started) return refused(d);
  d->started = true;
  d->ctx.config.input_is_pipe = pipe ? 1 : 0;
  const kestrune_result r = guarded(*d, [&] {
    d->decoder = std::make_unique<stream_decoder>(d->ctx, source);
    d->decoder->pull();
  });
  d->finished = r == KESTRUNE_OK;
  return r;
}

}  // namespace

kestrune_result kestrune_decode_file(kestrune_decoder* d, kestrune_read_at read_at, void* user) {
  if (read_at == nullptr) return refused(d);
  return decode_from(d, {read_at, nullptr, user}, false);
}

kestrune_result kestrune_decode_pipe(kestrune_decoder* d, kestrune_read read, void* user) {
  if (read == nullptr) return refused(d);
  return decode_from(d, {nullptr, read, user}, true);
}

kestrune_result kestrune_decoder_push(kestrune_decoder* d, const void* data, size_t size) {
  if (d == nullptr || d->finished || (data == nullptr && size > 0) ||
      (d->started && d->decoder == nullptr)) {
    return refused(d);
  }
  d->started = true;
  return guarded(*d, [&] {
    if (d->decoder == nullptr)
      d->decoder = std::make_unique<stream_decoder>(d->ctx, decode_source{});
    d->decoder->push(static_cast<const uint8_t*>(data), size);
  });
}

kestrune_result kestrune_decoder_end(kestrune_decoder* d) {
  if (d == nullptr || d->finished) return refused(d);
  const kestrune_result r = guarded(*d, [&] {
    if (d->decoder == nullptr)
      d->decoder = std::make_unique<stream_decoder>(d->ctx, decode_source{});
    d->decoder->end();
  });
  d->started = true;
  d->finished = true;
  return r;
}

const char* kestrune_decoder_message(const kestrune_decoder* d) { return d->message.c_str(); }

}  // extern "C"
