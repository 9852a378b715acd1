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

/* ---- Scan and repair ------------------------------------------------------------------------- */

/* What kestrune-scan does, for any program: judge every block of every chunk of a protected
 * stream, tell how each chunk fares and what a decode would say, save what can be saved of the user
 * data, and restore the stream from one or more copies of it, realigned where bytes were lost or
 * added. A scanner holds the inputs (sources); its scans and repairs read them again from their
 * start, so a sequential source can be scanned once only. */

/* Where a scanner reads one input. A file or a device (size >= 0) is read with read_at, in any
 * order; anything else (size -1: a pipe, a tape) with read, in order and once. */
typedef struct kestrune_source {
  void* user; /* passed to read_at, readable and read */
  int64_t size;
  /* Reads size bytes at offset into dest; returns how many lie before the input's end, with zeros
   * in place of the bytes that cannot be read. */
  size_t (*read_at)(void* user, void* dest, size_t size, int64_t offset);
  /* Whether every byte of [offset, offset + count) was read (none of it came back as zeros for
   * want of a readable sector). NULL: every byte was. */
  int (*readable)(void* user, int64_t offset, int64_t count);
  /* Reads up to size bytes into dest; returns how many arrived (0 at the end), or -1 when the read
   * failed (the call fails with KESTRUNE_ERROR_READ). */
  int64_t (*read)(void* user, void* dest, size_t size);
} kestrune_source;

typedef struct kestrune_scanner kestrune_scanner;

/* A scanner of count sources (copied), which must stay readable until it is freed. NULL when memory
 * is short, or when there is no source. */
KESTRUNE_API kestrune_scanner* kestrune_scanner_create(const kestrune_source* sources, int count);
KESTRUNE_API void kestrune_scanner_free(kestrune_scanner* scanner);

/* The text of the last failure; "" when there was none. */
KESTRUNE_API const char* kestrune_scanner_message(const kestrune_scanner* scanner);

/* Source number `source`'s length: its size, or for a sequential one, once its end has been read;
 * -1 until then. */
KESTRUNE_API int64_t kestrune_scanner_size(const kestrune_scanner* scanner, int source);

/* How detection told n. */
typedef enum kestrune_n_basis {
  KESTRUNE_N_GIVEN = 0,
  KESTRUNE_N_PERIOD = 1,        /* the block indexes of later chunks restart every n blocks */
  KESTRUNE_N_CHUNK_NUMBERS = 2, /* the numbers in intact chunk headers and their places */
  KESTRUNE_N_STREAM_LENGTH = 3, /* the stream is a whole number of chunks, or ends with its last */
  KESTRUNE_N_BOUND = 4          /* 256, the most there can be */
} kestrune_n_basis;

/* The parameters detection found and its evidence: the blocks examined at the blocksize and how
 * many of them are intact; how many intact blocks carry k and how many another k; how many intact
 * blocks of later chunks stand where n puts them and how many do not; whether every intact block
 * seen lies in the first chunk. */
typedef struct kestrune_detection {
  kestrune_params params;
  int blocksize_given;
  int k_given;
  kestrune_n_basis n_from;
  int64_t examined;
  int64_t intact;
  int64_t k_agree;
  int64_t k_other;
  int64_t n_agree;
  int64_t n_disagree;
  int one_chunk;
} kestrune_detection;

/* As kestrune_detect(), from the scanner's sources, the first that tells; a sequential source
 * keeps the bytes read for the scan. The message is the first source's failure. */
KESTRUNE_API kestrune_result kestrune_scanner_detect(kestrune_scanner* scanner,
                                                     const kestrune_params* params, unsigned given,
                                                     kestrune_detection* found);

/* A range of user bytes of the restored stream; length -1 runs to an end that is not known. */
typedef struct kestrune_range {
  int64_t start;
  int64_t length;
} kestrune_range;

/* What became of one block position, by the decoder's rule: a block is accepted when it was read
 * whole, its digest is right, it carries the stream's k and its index is its position. */
typedef enum kestrune_verdict {
  KESTRUNE_BLOCK_ACCEPTED = 0,
  KESTRUNE_BLOCK_DIGEST = 1,      /* read whole, wrong digest */
  KESTRUNE_BLOCK_INDEX = 2,       /* intact, but another position's block */
  KESTRUNE_BLOCK_PARTIAL = 3,     /* not read whole: the input ends inside it, or is unreadable */
  KESTRUNE_BLOCK_MISSING = 4,     /* the input ends before it */
  KESTRUNE_BLOCK_K = 5,           /* intact, but written with another k */
  KESTRUNE_BLOCK_INCONSISTENT = 6 /* intact, but it disagrees with the chunk's other blocks */
} kestrune_verdict;

typedef struct kestrune_rejected {
  int position;
  kestrune_verdict verdict;
} kestrune_rejected;

typedef enum kestrune_chunk_status {
  KESTRUNE_CHUNK_INTACT = 0,     /* every block accepted */
  KESTRUNE_CHUNK_REPAIRABLE = 1, /* k or more accepted */
  KESTRUNE_CHUNK_LOST = 2,       /* fewer than k accepted */
  KESTRUNE_CHUNK_MISPLACED = 3   /* its header names another chunk: it does not belong here */
} kestrune_chunk_status;

/* One chunk as the scan judged it. */
typedef struct kestrune_chunk_report {
  int64_t number; /* its place in the stream, from 0 */
  int64_t offset; /* the stream offset of its block 0 */
  int accepted;
  const kestrune_rejected* rejected; /* in position order */
  size_t rejected_count;
  kestrune_chunk_status status;
  int header_known; /* block 0 accepted, or the chunk rebuilt: clen and chunk_id are known */
  uint32_t clen;
  int32_t chunk_id;
  int64_t data_offset;        /* where its user bytes go in the restored output */
  int64_t data_length;        /* how many: clen, or the capacity when the header is lost */
  const kestrune_range* lost; /* user bytes that cannot be restored */
  size_t lost_count;
  const char* decoder_failure; /* what the decoder would stop with here; "" when it would not */
} kestrune_chunk_report;

typedef enum kestrune_stream_end {
  KESTRUNE_END_LAST_CHUNK = 0, /* the chunk numbered -1 was found */
  KESTRUNE_END_TRUNCATED = 1,  /* the input ends after a chunk that is not the last */
  KESTRUNE_END_AFTER_LOST = 2, /* the input ends after a chunk whose header is lost */
  KESTRUNE_END_EMPTY = 3       /* no chunk at all */
} kestrune_stream_end;

typedef struct kestrune_scan_summary {
  int64_t chunks;
  int64_t blocks; /* positions judged: n per chunk */
  int64_t bad_blocks;
  int64_t intact;
  int64_t repairable;
  int64_t lost;
  int64_t misplaced;
  int worst_spare; /* least (accepted - k) over the chunks */
  int64_t worst_spare_chunk;
  kestrune_stream_end end;
  int64_t trailing_bytes;          /* after the last chunk, ignored by the decoder */
  int trailing_at_least;           /* a pipe: reading stopped after trailing_bytes */
  const kestrune_range* lost_data; /* merged */
  size_t lost_data_count;
  int64_t lost_bytes;       /* their total, without a range of unknown length */
  int64_t decoder_fails_at; /* the first chunk where the decoder would stop; -1: none */
  const char* decoder_failure;
  int64_t salvage_bytes; /* the user bytes given to the salvage, zeros included */
  int64_t saved_bytes;   /* of which outside the lost ranges */
} kestrune_scan_summary;

typedef enum kestrune_repair_status {
  KESTRUNE_REPAIR_INTACT = 0, /* every copy holds it whole, in its place, all its blocks agree */
  KESTRUNE_REPAIR_REPAIRED =
      1, /* restored, from fewer blocks, from elsewhere, or leaving some out */
  KESTRUNE_REPAIR_LOST = 2
} kestrune_repair_status;

typedef enum kestrune_loss {
  KESTRUNE_LOSS_NONE = 0,
  KESTRUNE_LOSS_MISSING = 1,      /* no block of it was found */
  KESTRUNE_LOSS_TOO_FEW = 2,      /* fewer than k blocks of it in all copies together */
  KESTRUNE_LOSS_INCONSISTENT = 3, /* its blocks disagree and no version lies near enough */
  KESTRUNE_LOSS_VERSIONS = 4      /* the copies hold two or more consistent versions of it */
} kestrune_loss;

/* What one copy gave a chunk. */
typedef struct kestrune_chunk_source {
  int copy;
  int64_t slot;    /* its place in the copy, as realigned */
  int64_t offset;  /* where its block 0 stands (or would stand) in the copy */
  const int* used; /* positions whose blocks agree with the rebuild */
  size_t used_count;
  const int* inconsistent; /* positions whose blocks disagree with it: left out */
  size_t inconsistent_count;
  const int64_t* left_out; /* the offsets of those blocks in the copy */
  size_t left_out_count;
} kestrune_chunk_source;

/* A copy holding blocks of one version of a chunk, and how many. */
typedef struct kestrune_copy_blocks {
  int copy;
  int blocks;
} kestrune_copy_blocks;

typedef struct kestrune_version {
  const kestrune_copy_blocks* copies;
  size_t count;
} kestrune_version;

/* One place of the restored stream. */
typedef struct kestrune_repaired_chunk {
  int64_t number;
  kestrune_repair_status status;
  kestrune_loss why;
  int header_known;
  uint32_t clen;
  int32_t chunk_id;
  int out_of_place; /* a copy holds it at another place */
  const kestrune_chunk_source* sources;
  size_t source_count;
  int64_t data_offset;
  int64_t data_length;
  const kestrune_range* lost;
  size_t lost_count;
  const kestrune_version* versions; /* lost as versions: each version's copies */
  size_t version_count;
} kestrune_repaired_chunk;

/* The alignment of a copy changed: blocks stopped verifying after offset `from` and verify again
 * from `to` on, `bytes` later than before (inserted) or, when negative, earlier (deleted); the walk
 * resumed in the chunk at `slot`. */
typedef struct kestrune_shift {
  int64_t from;
  int64_t to;
  int64_t bytes;
  int64_t slot;
} kestrune_shift;

typedef struct kestrune_copy_summary {
  int64_t size;          /* the copy's length; -1 when not known */
  int64_t accepted;      /* blocks accepted */
  int64_t missing;       /* blocks between accepted ones that were not */
  int64_t searched;      /* bytes searched for a new alignment */
  int64_t end_of_blocks; /* the offset just past the last accepted block */
  const kestrune_shift* shifts;
  size_t shift_count;
  int64_t restored_from; /* chunks restored with blocks of this copy */
  int64_t conflicting;   /* chunks lost as versions with blocks of this copy */
  int foreign; /* not a copy of this stream: every chunk it holds conflicts with the others */
} kestrune_copy_summary;

typedef struct kestrune_repair_summary {
  int64_t chunks; /* places in the restored stream, the last chunk's included */
  int64_t intact;
  int64_t repaired;
  int64_t lost;
  int64_t out_of_place;
  int64_t merged;       /* chunks that no copy alone holds k agreeing blocks of */
  int64_t inconsistent; /* blocks left out because they disagree with their chunk */
  int64_t unplaced;     /* chunks found whose number has no place */
  int last_found;       /* the chunk numbered -1 was restored */
  const kestrune_copy_summary* copies;
  size_t copy_count;
  const kestrune_range* lost_data;
  size_t lost_data_count;
  int64_t lost_bytes;
  int complete; /* every chunk restored, the last one included */
  int64_t stream_bytes;
  int64_t salvage_bytes;
  int64_t saved_bytes;
} kestrune_repair_summary;

/* What a scan or a repair hands out. Every callback may be NULL. The structs given to a callback
 * live until it returns. */
typedef struct kestrune_scan_callbacks {
  void* user;
  /* A scan: every chunk, in order, as it is judged. */
  void (*chunk)(void* user, const kestrune_chunk_report* chunk);
  /* A repair: every place of the restored stream, in order. */
  void (*repaired)(void* user, const kestrune_repaired_chunk* chunk);
  /* The user data, in order: count bytes, or, with data NULL, count lost bytes, which a salvage
   * writes as zeros. Returns 0, or nonzero when it failed ("write error on the salvage file"). */
  int (*salvage)(void* user, const void* data, int64_t count);
  /* A repair: the repaired stream as it is restored, exactly as kestrune writes it; keep it only
   * when the summary says complete. Returns 0, or nonzero when it failed ("write error on the
   * repaired stream"). */
  int (*stream)(void* user, const void* data, size_t size);
  /* The codec's own messages, each a line ending in a newline (as kestrune_callbacks.report). */
  void (*report)(void* user, const char* line);
} kestrune_scan_callbacks;

/* Scans source 0 with the parameters. *summary, when not NULL, receives the account; its arrays
 * live until the next scan with a summary on the scanner, or until it is freed. */
KESTRUNE_API kestrune_result kestrune_scan(kestrune_scanner* scanner, const kestrune_params* params,
                                           const kestrune_scan_callbacks* callbacks,
                                           kestrune_scan_summary* summary);

/* Restores the stream from all the sources, copies of it, each realigned on its own, the chunks
 * placed by their numbers and rebuilt from the blocks of all copies that agree. The summary's
 * arrays live until the next repair with a summary on the scanner, or until it is freed. */
KESTRUNE_API kestrune_result kestrune_repair(kestrune_scanner* scanner,
                                             const kestrune_params* params,
                                             const kestrune_scan_callbacks* callbacks,
                                             kestrune_repair_summary* summary);

#ifdef __cplusplus
}
#endif

#endif /* KESTRUNE_H */
