/* SPDX-License-Identifier: MIT */
/* kestrune.h - libkestrune: protect a byte stream against lost or damaged blocks, and restore it.
 *
 * The stream is cut into chunks; a systematic erasure code over GF(2^8) turns each chunk's k data
 * packets into n packets, and every packet leaves as one block of `blocksize` bytes whose trailer
 * holds its index, k and an MD5 digest. Restoring drops damaged, unreadable or misplaced blocks and
 * rebuilds each chunk from any k intact ones, checking the rest against the rebuild.
 *
 * The shape follows zstd's streaming API: an opaque context per stream (kestrune_encoder,
 * kestrune_decoder), created with its parameters and freed by the caller; bytes go in either by
 * pushing buffers (kestrune_encoder_push(), kestrune_decoder_push(), then an end call) or by
 * letting the library pull them through a callback, which reads straight into the library's blocks
 * and so costs no copy. The output leaves through a write callback, straight from where its bytes
 * lie.
 *
 * Threads: the library holds no mutable global state. Each context is used by one thread at a
 * time, without locks; distinct contexts may be used from distinct threads at the same time.
 *
 * Errors: calls return a kestrune_result; KESTRUNE_OK is 0. After a failure, the context's message
 * function gives the text the kestrune program prints after "<program>: ". Nothing is written to
 * standard error and the process is never ended by the library. */
#ifndef KESTRUNE_H
#define KESTRUNE_H

#include <stddef.h>
#include <stdint.h>

/* The functions libkestrune exports; everything else in it is hidden. */
#if defined(__GNUC__) || defined(__clang__)
#define KESTRUNE_API __attribute__((visibility("default")))
#else
#define KESTRUNE_API
#endif

/* The version of this header; the build checks that it is the project's. A program compares it
 * with what the library it runs with reports. */
#define KESTRUNE_VERSION_MAJOR 1
#define KESTRUNE_VERSION_MINOR 0
#define KESTRUNE_VERSION_PATCH 0
#define KESTRUNE_VERSION_NUMBER \
  (KESTRUNE_VERSION_MAJOR * 10000 + KESTRUNE_VERSION_MINOR * 100 + KESTRUNE_VERSION_PATCH)
#define KESTRUNE_VERSION_STRING "1.0.0"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Version --------------------------------------------------------------------------------- */

/* The library's version as KESTRUNE_VERSION_NUMBER gives it: major * 10000 + minor * 100 + patch.
 */
KESTRUNE_API unsigned kestrune_version_number(void);

/* The library's version as KESTRUNE_VERSION_STRING gives it, "major.minor.patch"; static storage.
 */
KESTRUNE_API const char* kestrune_version_string(void);

/* ---- Parameters ------------------------------------------------------------------------------ */

/* A stream's parameters: bytes per block (trailer included), blocks per chunk, data blocks per
 * chunk. Any n - k blocks of a chunk may be lost. The defaults are 1024, 18 and 14. */
typedef struct kestrune_params {
  int32_t blocksize;
  int32_t n;
  int32_t k;
} kestrune_params;

KESTRUNE_API kestrune_params kestrune_default_params(void);

/* NULL when the parameters make a stream, else the reason: "invalid (k, n)" (n within 2 .. 256, k
 * within 1 .. n) or "invalid blocksize" (at least 26 bytes, a chunk below 2^31 bytes). */
KESTRUNE_API const char* kestrune_params_error(const kestrune_params* params);

/* As kestrune_params_error(), for the parameters a caller knows (KESTRUNE_GIVEN_* flags): the
 * others are left to kestrune_detect(). */
#define KESTRUNE_GIVEN_BLOCKSIZE 1u
#define KESTRUNE_GIVEN_N 2u
#define KESTRUNE_GIVEN_K 4u
KESTRUNE_API const char* kestrune_given_params_error(const kestrune_params* params, unsigned given);

/* The stream's format: every block ends in a trailer of KESTRUNE_TRAILER_BYTES (its index, k and
 * the digest), and a chunk's first data packet opens with a header of KESTRUNE_HEADER_BYTES (the
 * chunk's length of user data and its number). */
#define KESTRUNE_TRAILER_BYTES 18
#define KESTRUNE_HEADER_BYTES 8

/* The user bytes one chunk holds: k * (blocksize - KESTRUNE_TRAILER_BYTES) - KESTRUNE_HEADER_BYTES.
 */
KESTRUNE_API int64_t kestrune_chunk_capacity(const kestrune_params* params);

/* ---- Results --------------------------------------------------------------------------------- */

typedef enum kestrune_result {
  KESTRUNE_OK = 0,
  KESTRUNE_ERROR_PARAMS = 1,          /* the parameters make no stream */
  KESTRUNE_ERROR_MEMORY = 2,          /* "can't malloc(<bytes>)" */
  KESTRUNE_ERROR_READ = 3,            /* "read error": the input callback failed */
  KESTRUNE_ERROR_WRITE = 4,           /* "write error": the write callback failed */
  KESTRUNE_ERROR_TOO_MANY_CHUNKS = 5, /* "too many chunks": the chunk counter is used up */
  KESTRUNE_ERROR_INCORRECT_K = 6,     /* "incorrect K value": a block written with another k */
  KESTRUNE_ERROR_TOO_MANY_BAD = 7,    /* "unrecoverable error -- too many bad blocks" */
  KESTRUNE_ERROR_INCONSISTENT = 8,    /* "unrecoverable error -- inconsistent blocks" */
  KESTRUNE_ERROR_OUT_OF_ORDER = 9,    /* "chunk out of order at <offset> id <id> expecting <id>" */
  KESTRUNE_ERROR_STATE = 10,          /* a call the context's state does not allow */
  KESTRUNE_ERROR_NOT_FOUND = 11       /* "parameters not found: <why>; <advice>" */
} kestrune_result;

/* ---- Callbacks ------------------------------------------------------------------------------- */

/* A piece of memory, laid out as struct iovec is, so that a callback may hand an array of them to
 * readv() or writev() as it stands. */
typedef struct kestrune_piece {
  void* data;
  size_t size;
} kestrune_piece;

typedef struct kestrune_callbacks {
  void* user; /* passed to every callback */
  /* Writes the count pieces in order, every byte of them; returns 0, or nonzero when the write
   * failed (the call that wrote then fails with KESTRUNE_ERROR_WRITE). Required. */
  int (*write)(void* user, const kestrune_piece* pieces, int count);
  /* One report line, ending in a newline: what `kestrune -v`, `-vv` and `--stats` print on
   * standard error. May be NULL. */
  void (*report)(void* user, const char* line);
  /* The bytes of input consumed so far, after each batch of chunks. May be NULL. */
  void (*progress)(void* user, int64_t done);
} kestrune_callbacks;

/* What a context reports through the report callback. */
typedef struct kestrune_settings {
  int verbose;            /* 0, 1 (-v) or 2 (-vv): 2 reports every chunk and dropped block */
  int stats;              /* decoder: the --stats summary of the damage found, at the end */
  const char* input_name; /* decoder: the input's name in the summary's advice; NULL: "-" */
} kestrune_settings;

/* ---- Detection ------------------------------------------------------------------------------- */

/* Gives the first bytes of the input, at least min(limit, the input's length) of them, in memory
 * the caller keeps until kestrune_detect() returns (a later call with a larger limit may move it):
 * sets *bytes to them, *length to how many there are and *total to the input's length, -1 while it
 * is not known. Returns 0, or nonzero when the input cannot be read. */
typedef int (*kestrune_head)(void* user, size_t limit, const void** bytes, size_t* length,
                             int64_t* total);

/* Finds the parameters that `given` (KESTRUNE_GIVEN_* flags) leaves open from the intact blocks in
 * the input's first bytes: the first MiB, and when that does not tell, the first 32 MiB. On success
 * *params holds all three. When the blocks do not tell, or tell more than one answer, it fails with
 * KESTRUNE_ERROR_NOT_FOUND and the message "parameters not found: <why>; <advice>" in message
 * (message_size bytes, cut to fit; may be NULL); it never guesses. An unreadable input fails with
 * KESTRUNE_ERROR_READ, "read error". */
KESTRUNE_API kestrune_result kestrune_detect(kestrune_params* params, unsigned given,
                                             kestrune_head head, void* user, char* message,
                                             size_t message_size);

/* ---- Encoder --------------------------------------------------------------------------------- */

typedef struct kestrune_encoder kestrune_encoder;

/* Reads into the count pieces, in order, until all are full, the input ends or a read fails;
 * returns the bytes read (fewer only at the end or on a failure) and sets *failed to nonzero on a
 * failure. */
typedef int64_t (*kestrune_read_pieces)(void* user, kestrune_piece* pieces, int count, int* failed);

/* A new encoder for the parameters, writing through callbacks->write (the structs are copied;
 * settings may be NULL). NULL only when memory is short even for the handle. When the parameters
 * are invalid or its buffers cannot be allocated, the handle is returned all the same: every call
 * on it fails with that result (KESTRUNE_ERROR_PARAMS, KESTRUNE_ERROR_MEMORY) and the message
 * function tells why. Free it with kestrune_encoder_free() in any case. */
KESTRUNE_API kestrune_encoder* kestrune_encoder_create(const kestrune_params* params,
                                                       const kestrune_callbacks* callbacks,
                                                       const kestrune_settings* settings);
KESTRUNE_API void kestrune_encoder_free(kestrune_encoder* encoder);

/* Encodes the whole input, pulled through `read` into the chunks' data blocks, and writes the
 * protected stream; the chunks complete before a read failure are written. Once per encoder. */
KESTRUNE_API kestrune_result kestrune_encode_pull(kestrune_encoder* encoder,
                                                  kestrune_read_pieces read, void* read_user);

/* Or pushes the input in pieces of any size; the stream goes out a batch of chunks at a time, and
 * kestrune_encoder_end() writes the rest (the last chunk is known only then). */
KESTRUNE_API kestrune_result kestrune_encoder_push(kestrune_encoder* encoder, const void* data,
                                                   size_t size);
KESTRUNE_API kestrune_result kestrune_encoder_end(kestrune_encoder* encoder);

/* The user bytes read and the stream bytes written so far. */
KESTRUNE_API int64_t kestrune_encoder_bytes_in(const kestrune_encoder* encoder);
KESTRUNE_API int64_t kestrune_encoder_bytes_out(const kestrune_encoder* encoder);

/* The text of the last failure; "" when there was none. */
KESTRUNE_API const char* kestrune_encoder_message(const kestrune_encoder* encoder);

/* ---- Decoder --------------------------------------------------------------------------------- */

typedef struct kestrune_decoder kestrune_decoder;

/* Reads size bytes at offset into dest; returns how many arrived (fewer at the end of the input or
 * where it cannot be read). The decoder reads a batch of blocks at once and, after a short read,
 * block by block, so that an unreadable block costs that block alone. */
typedef size_t (*kestrune_read_at)(void* user, void* dest, size_t size, int64_t offset);

/* Reads size bytes of a sequential input into dest; returns how many arrived, fewer only when the
 * input ends or fails (as fread() does). */
typedef size_t (*kestrune_read)(void* user, void* dest, size_t size);

/* As kestrune_encoder_create(), for a decoder. */
KESTRUNE_API kestrune_decoder* kestrune_decoder_create(const kestrune_params* params,
                                                       const kestrune_callbacks* callbacks,
                                                       const kestrune_settings* settings);
KESTRUNE_API void kestrune_decoder_free(kestrune_decoder* decoder);

/* Restores the stream of a file, pulled through read_at; the user bytes go to the write callback.
 * Once per decoder. */
KESTRUNE_API kestrune_result kestrune_decode_file(kestrune_decoder* decoder,
                                                  kestrune_read_at read_at, void* read_user);

/* Restores the stream of a pipe, read in order through `read`. Once per decoder. */
KESTRUNE_API kestrune_result kestrune_decode_pipe(kestrune_decoder* decoder, kestrune_read read,
                                                  void* read_user);

/* Or pushes the stream in pieces of any size; chunks are restored a batch at a time as their blocks
 * arrive, and kestrune_decoder_end() restores the rest and tells whether the stream was whole (a
 * stream that ends before its last chunk fails with KESTRUNE_ERROR_TOO_MANY_BAD). Bytes pushed
 * after the last chunk are ignored. */
KESTRUNE_API kestrune_result kestrune_decoder_push(kestrune_decoder* decoder, const void* data,
                                                   size_t size);
KESTRUNE_API kestrune_result kestrune_decoder_end(kestrune_decoder* decoder);

/* The text of the last failure; "" when there was none. */
KESTRUNE_API const char* kestrune_decoder_message(const kestrune_decoder* decoder);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_H */
