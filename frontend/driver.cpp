// SPDX-License-Identifier: MIT
// driver.cpp - the command line: options, checks, start-up, and the choice of encoding or decoding.
#include "frontend/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "frontend/diag.h"
#include "frontend/numbers.h"
#include "frontend/program.h"
#include "stream/buffers.h"
#include "stream/format.h"
#include "stream/rules.h"
#include "stream/stream.h"

namespace {

// The project version from CMake (project() in the top-level CMakeLists.txt).
const char* const version = KESTRUNE_VERSION;
// bench/sweep rebuilds with other values to measure them.
#ifndef KESTRUNE_SWEEP_STDIO_BUFFER
#define KESTRUNE_SWEEP_STDIO_BUFFER (1 << 20)
#endif
constexpr size_t stdio_buffer_size = KESTRUNE_SWEEP_STDIO_BUFFER;

// The stdio buffers live until the process ends; the C library lets go of them at exit.
char* input_buffer;
char* output_buffer;

[[noreturn]] void usage() {
  note("usage: %s [-v] [-d] [-b<blocksize>] [-n<n>] [-k<k>] [file]\n",
       program_name != nullptr ? program_name : "kestrune");
  exit(1);
}

bool name_selects_decode(const char* name) {
  if (name == nullptr) return false;
  const size_t length = strlen(name);
  return length >= 6 && strcmp(name + length - 6, "decode") == 0;
}

void verbose_report() {
  const run_settings& c = run_config;
  note("Kestrune v%s\n", version);
  note("(K, N) = (%d, %d)\n", c.k, c.n);
  note("Blocksize = %d\n", c.blocksize);
  // Both products fit: the start-up checks keep n * blocksize below 2^31.
  const int32_t user_bytes = payload_len * c.k - HEADER_LEN;
  const int32_t block_bytes = c.blocksize * c.n;
  if (c.decode_mode) {
    note("Decode mode.\n");
    if (c.input_is_pipe) note("Input is a pipe.\n");
    if (c.verbose >= 2) {
      note("Reading data in chunks of %d bytes.\n", block_bytes);
      note("Writing data in chunks of %d bytes.\n", user_bytes);
    }
  } else {
    note("Encode mode.\n");
    if (c.verbose >= 2) {
      note("Reading data in chunks of %d bytes.\n", user_bytes);
      note("Writing data in chunks of %d bytes.\n", block_bytes);
    }
  }
}

}  // namespace

int kestrune_main(int argc, char** argv) {
  // Linux passes an empty name for an empty argument vector.
  program_name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : nullptr;

  // --help and --version only as the whole first argument: every other command line, --bogus
  // included, goes to getopt as before.
  const bool help_asked = argc > 1 && strcmp(argv[1], "--help") == 0;
  if (help_asked || (argc > 1 && strcmp(argv[1], "--version") == 0)) {
    if (!help_asked) {
      printf("kestrune %s\n", version);
    } else {
      printf("usage: %s [-v] [-d] [-b<blocksize>] [-n<n>] [-k<k>] [file]\n",
             program_name != nullptr ? program_name : "kestrune");
      fputs(
          "Protects a byte stream against lost or damaged blocks (file or standard input to\n"
          "standard output), or restores it.\n"
          "\n"
          "  -d            restore (also when the program is invoked as kestrune-decode)\n"
          "  -b blocksize  bytes per block, trailer included (default 1024; K multiplies by 1024)\n"
          "  -n n          blocks per chunk, data and parity (default 18, 2 to 256)\n"
          "  -k k          data blocks per chunk (default 14, 1 to n): n - k may be lost\n"
          "  -v            report on standard error; -vv also every chunk and dropped block\n"
          "  --progress    show bytes done, rate, percentage and time left on standard error\n"
          "  --stats       with -d: a summary of the damage found, on standard error\n"
          "  --help        print this help (first argument only)\n"
          "  --version     print the version (first argument only)\n"
          "\n"
          "Restore with the -b, -n and -k that wrote the stream. kestrune-scan checks a stream\n"
          "chunk by chunk, finds its parameters and salvages what a restore cannot.\n"
          "Exit status: 0 done, 1 usage error or failure (the stream not wholly restored).\n"
          "See kestrune(1) and kestrune-scan(1).\n",
          stdout);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
    return 0;
  }

  // "+": options end at the first operand, as POSIX says, even with glibc's getopt. The two long
  // options are taken whole where getopt would start on a new argument; every other word that
  // begins with "--" still goes to getopt, which rejects it as before.
  int option;
  for (;;) {
    if (optind < argc && strcmp(argv[optind], "--progress") == 0) {
      run_config.progress = 1;
      optind++;
      continue;
    }
    if (optind < argc && strcmp(argv[optind], "--stats") == 0) {
      run_config.stats = 1;
      optind++;
      continue;
    }
    if ((option = getopt(argc, argv, "+vdb:n:k:")) == -1) break;
    switch (option) {
      case 'v':
        run_config.verbose++;
        break;
      case 'd':
        run_config.decode_mode = 1;
        break;
      case 'b':
        run_config.blocksize = parse_size(optarg);
        break;
      case 'n':
        run_config.n = parse_int(optarg);
        break;
      case 'k':
        run_config.k = parse_int(optarg);
        break;
      default:
        usage();
    }
  }

  const stream_params params{run_config.blocksize, run_config.n, run_config.k};
  if (const char* error = params_error(params)) die("%s", error);

  const int operands = argc > optind ? argc - optind : 0;
  if (operands >= 2) usage();
  FILE* input = operands == 1 ? open_or_die(argv[optind], "r") : stdin;
  run_config.input_name = operands == 1 ? argv[optind] : nullptr;
  // Large buffers: chunks are read and written whole, and a pipe is read in few system calls.
  // (glibc takes the size only together with a buffer of the caller's.)
  input_buffer =
      static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, io_alignment(stdio_buffer_size)));
  output_buffer =
      static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, io_alignment(stdio_buffer_size)));
  setvbuf(input, input_buffer, _IOFBF, stdio_buffer_size);
  setvbuf(stdout, output_buffer, _IOFBF, stdio_buffer_size);

  setup_buffers();
  if (name_selects_decode(program_name)) run_config.decode_mode = 1;
  if (run_config.stats && !run_config.decode_mode) die("--stats goes with -d");

  // The seek also puts a seekable input at its start, even a standard input opened at an offset.
  if (fseeko(input, 0, SEEK_SET) != 0 && errno == ESPIPE) {
    run_config.input_is_pipe = 1;
    // A pipe holds 64 KiB by default: the writer and this process then take turns every 64 KiB.
    // A larger pipe lets both run longer between switches (where the system allows it; a refusal
    // changes nothing but the speed).
#ifdef F_SETPIPE_SZ
    (void)fcntl(fileno(input), F_SETPIPE_SZ, static_cast<int>(stdio_buffer_size));
#endif
  }

  if (run_config.verbose >= 1) verbose_report();

  bytes_read = 0;
  bytes_written = 0;
  if (run_config.decode_mode) {
    decode_stream(input);
  } else {
    encode_stream(input);
  }

  // A failure of the last flush would otherwise lose the end of the output with exit status 0.
  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");

  if (!run_config.decode_mode && run_config.verbose >= 1) {
    note("Read %ld bytes, wrote %ld bytes.\n", static_cast<long>(bytes_read),
         static_cast<long>(bytes_written));
    // 0/0 is a NaN with the sign bit set on x86-64, which printf shows as "-nan".
    const double factor = static_cast<double>(bytes_written) / static_cast<double>(bytes_read);
    note("Expansion factor = %g.\n", std::fabs(factor));
  }
  return 0;
}
