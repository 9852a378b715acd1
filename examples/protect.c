/* SPDX-License-Identifier: MIT */
/* protect.c - protect a buffer with libkestrune, lose blocks of it, and restore it. */
#include <kestrune.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct buffer {
  char* bytes;
  size_t size;
};

/* The write callback: the pieces appended to a growing buffer. */
static int append(void* user, const kestrune_piece* pieces, int count) {
  struct buffer* b = user;
  for (int t = 0; t < count; t++) {
    char* grown = realloc(b->bytes, b->size + pieces[t].size);
    if (grown == NULL) return -1;
    memcpy(grown + b->size, pieces[t].data, pieces[t].size);
    b->bytes = grown;
    b->size += pieces[t].size;
  }
  return 0;
}

int main(void) {
  const kestrune_params params = kestrune_default_params(); /* 1024-byte blocks, n 18, k 14 */
  char data[100000];
  for (size_t i = 0; i < sizeof data; i++) data[i] = (char)(i * 7 + i / 1000);

  struct buffer stream = {NULL, 0}, restored = {NULL, 0};
  kestrune_callbacks to_stream = {&stream, append, NULL, NULL};
  kestrune_encoder* encoder = kestrune_encoder_create(&params, &to_stream, NULL);
  if (encoder == NULL || kestrune_encoder_push(encoder, data, sizeof data) != KESTRUNE_OK ||
      kestrune_encoder_end(encoder) != KESTRUNE_OK) {
    fprintf(stderr, "protect: %s\n", encoder ? kestrune_encoder_message(encoder) : "no memory");
    return 1;
  }
  kestrune_encoder_free(encoder);

  /* Any n - k blocks of a chunk may be lost: wipe the first four blocks of every chunk. */
  const size_t chunk = (size_t)params.n * (size_t)params.blocksize;
  for (size_t at = 0; at < stream.size; at += chunk) {
    memset(stream.bytes + at, 0, (size_t)(params.n - params.k) * (size_t)params.blocksize);
  }

  kestrune_callbacks to_restored = {&restored, append, NULL, NULL};
  kestrune_decoder* decoder = kestrune_decoder_create(&params, &to_restored, NULL);
  if (decoder == NULL || kestrune_decoder_push(decoder, stream.bytes, stream.size) != KESTRUNE_OK ||
      kestrune_decoder_end(decoder) != KESTRUNE_OK) {
    fprintf(stderr, "protect: %s\n", decoder ? kestrune_decoder_message(decoder) : "no memory");
    return 1;
  }
  kestrune_decoder_free(decoder);

  const int same = restored.size == sizeof data && memcmp(restored.bytes, data, sizeof data) == 0;
  printf("%zu bytes, %zu protected, %s\n", sizeof data, stream.size,
         same ? "restored exactly" : "RESTORED WRONG");
  free(stream.bytes);
  free(restored.bytes);
  return same ? 0 : 1;
}
