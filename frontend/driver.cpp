// SPDX-License-Identifier: MIT
// driver.cpp - the command line: options, checks, start-up, and the choice of encoding or decoding.
#include "frontend/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "frontend/detect.h"
#include "frontend/diag.h"
#include "frontend/numbers.h"
#include "frontend/profiles.h"
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

// What the command line asks beside the settings: a profile, detection, and which of -b, -n and -k
// it gives (they win over both).
struct parameter_choice {
  const profile* chosen = nullptr;
  bool detect = false;
  stream_params given;
  known_params known{false, false, false};
};

// The profile of that name; an unknown one is a usage error.
const profile* profile_or_usage(const char* name, const char* program) {
  const profile* found = find_profile(name);
  if (found == nullptr) {
    note("%s: unknown profile '%s' (profiles: %s)\n", program, name, profile_names().c_str());
    usage();
  }
  return found;
}

// "--NAME", which getopt gives as option '-' with NAME as its argument: --detect, --profile NAME
// and --profile=NAME. Anything else fails as getopt fails an unknown option.
void long_option(const char* name, int argc, char** argv, parameter_choice& choice,
                 run_settings& config) {
  const char* value = nullptr;
  if (strcmp(name, "detect") == 0) {
    choice.detect = true;
    return;
  }
  if (strcmp(name, "progress") == 0) {
    config.progress = 1;
    return;
  }
  if (strcmp(name, "stats") == 0) {
    config.stats = 1;
    return;
  }
  if (strncmp(name, "profile=", 8) == 0) {
    value = name + 8;
  } else if (strcmp(name, "profile") == 0) {
    if (optind >= argc) {
      note("%s: option '--profile' requires an argument\n", argv[0]);
      usage();
    }
    value = argv[optind++];
  } else {
    note("%s: invalid option -- '-'\n", argv[0]);
    usage();
  }
  choice.chosen = profile_or_usage(value, argv[0]);
}

// The settings from the profile, then those given: -b, -n and -k win in whatever order they come.
void apply_choice(const parameter_choice& choice, const char* program, run_settings& config) {
  if (choice.chosen != nullptr) {
    if (choice.detect) {
      note("%s: --profile and --detect exclude each other\n", program);
      usage();
    }
    config.blocksize = choice.chosen->blocksize;
    config.n = choice.chosen->n;
    config.k = choice.chosen->k;
  }
  if (choice.known.blocksize) config.blocksize = choice.given.blocksize;
  if (choice.known.n) config.n = choice.given.n;
  if (choice.known.k) config.k = choice.given.k;
}

bool name_selects_decode(const char* name) {
  if (name == nullptr) return false;
  const size_t length = strlen(name);
  return length >= 6 && strcmp(name + length - 6, "decode") == 0;
}

void verbose_report(const stream_context& ctx) {
  const run_settings& c = ctx.config;
  note("Kestrune v%s\n", version);
  note("(K, N) = (%d, %d)\n", c.k, c.n);
  note("Blocksize = %d\n", c.blocksize);
  // Both products fit: the start-up checks keep n * blocksize below 2^31.
  const int32_t user_bytes = ctx.payload_len * c.k - HEADER_LEN;
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
          "  -p, --profile NAME  -b, -n and -k for a kind of medium (see below); -b, -n and -k\n"
          "                given beside it win\n"
          "  --detect      with -d: find -b, -n and -k from the stream's intact blocks (those\n"
          "                given win); -v says what was found\n"
          "  -v            report on standard error; -vv also every chunk and dropped block\n"
          "  --progress    show bytes done, rate, percentage and time left on standard error\n"
          "  --stats       with -d: a summary of the damage found, on standard error\n"
          "  --help        print this help (first argument only)\n"
          "  --version     print the version (first argument only)\n"
          "\n"
          "Profiles, as bench/survival measured them (overhead counts the trailers and chunk\n"
          "headers; the defaults cost 31.0% and lose data when 4 KiB sectors fail at random):\n",
          stdout);
      print_profiles(stdout);
      fputs(
          "\n"
          "Restore with the -b, -n and -k (or the profile) that wrote the stream, or with\n"
          "--detect. kestrune-scan checks a stream chunk by chunk, finds its parameters and\n"
          "salvages what a restore cannot.\n"
          "Exit status: 0 done, 1 usage error or failure (the stream not wholly restored).\n"
          "See kestrune(1) and kestrune-scan(1).\n",
          stdout);
    }
    if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
    return 0;
  }

  stream_context ctx;

  // "+": options end at the first operand, as POSIX says, even with glibc's getopt.
  // "-:": --NAME comes as option '-' with the argument NAME (long_option()).
  parameter_choice choice;
  int option;
  while ((option = getopt(argc, argv, "+vdb:n:k:p:-:")) != -1) {
    switch (option) {
      case 'v':
        ctx.config.verbose++;
        break;
      case 'd':
        ctx.config.decode_mode = 1;
        break;
      case 'b':
        choice.given.blocksize = parse_size(optarg);
        choice.known.blocksize = true;
        break;
      case 'n':
        choice.given.n = parse_int(optarg);
        choice.known.n = true;
        break;
      case 'k':
        choice.given.k = parse_int(optarg);
        choice.known.k = true;
        break;
      case 'p':
        choice.chosen = profile_or_usage(optarg, argv[0]);
        break;
      case '-':
        long_option(optarg, argc, argv, choice, ctx.config);
        break;
      default:
        usage();
    }
  }

  apply_choice(choice, argv[0], ctx.config);
  if (choice.detect && !ctx.config.decode_mode && !name_selects_decode(program_name)) {
    note("%s: --detect goes with -d\n", argv[0]);
    usage();
  }
  // With --detect, the rules that the given values take part in; the others wait for detection.
  const stream_params params{ctx.config.blocksize, ctx.config.n, ctx.config.k};
  const known_params known = choice.detect ? choice.known : known_params{};
  if (const char* error = params_error(params, known)) die("%s", error);

  const int operands = argc > optind ? argc - optind : 0;
  if (operands >= 2) usage();
  FILE* input = operands == 1 ? open_or_die(argv[optind], "r") : stdin;
  ctx.config.input_name = operands == 1 ? argv[optind] : nullptr;
  // Large buffers: chunks are read and written whole, and a pipe is read in few system calls.
  // (glibc takes the size only together with a buffer of the caller's.)
  input_buffer =
      static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, io_alignment(stdio_buffer_size)));
  output_buffer =
      static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, io_alignment(stdio_buffer_size)));
  setvbuf(input, input_buffer, _IOFBF, stdio_buffer_size);
  setvbuf(stdout, output_buffer, _IOFBF, stdio_buffer_size);

  if (name_selects_decode(program_name)) ctx.config.decode_mode = 1;
  if (ctx.config.stats && !ctx.config.decode_mode) die("--stats goes with -d");

  // The seek also puts a seekable input at its start, even a standard input opened at an offset.
  if (fseeko(input, 0, SEEK_SET) != 0 && errno == ESPIPE) {
    ctx.config.input_is_pipe = 1;
    // A pipe holds 64 KiB by default: the writer and this process then take turns every 64 KiB.
    // A larger pipe lets both run longer between switches (where the system allows it; a refusal
    // changes nothing but the speed).
#ifdef F_SETPIPE_SZ
    (void)fcntl(fileno(input), F_SETPIPE_SZ, static_cast<int>(stdio_buffer_size));
#endif
  }

  // The pipe's held head lives here until the decoder has read it.
  detect_input held;
  if (choice.detect) {
    stream_params found = params;
    input = detect_parameters(input, ctx.config.input_is_pipe != 0, found, choice.known, held);
    ctx.config.blocksize = found.blocksize;
    ctx.config.n = found.n;
    ctx.config.k = found.k;
    if (ctx.config.verbose >= 1) {
      note("detected: -b %d -n %d -k %d\n", found.blocksize, found.n, found.k);
    }
  }
  setup_buffers(ctx);

  if (ctx.config.verbose >= 1) verbose_report(ctx);

  ctx.bytes_read = 0;
  ctx.bytes_written = 0;
  if (ctx.config.decode_mode) {
    decode_stream(ctx, input);
  } else {
    encode_stream(ctx, input);
  }

  // A failure of the last flush would otherwise lose the end of the output with exit status 0.
  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");

  if (!ctx.config.decode_mode && ctx.config.verbose >= 1) {
    note("Read %ld bytes, wrote %ld bytes.\n", static_cast<long>(ctx.bytes_read),
         static_cast<long>(ctx.bytes_written));
    // 0/0 is a NaN with the sign bit set on x86-64, which printf shows as "-nan".
    const double factor =
        static_cast<double>(ctx.bytes_written) / static_cast<double>(ctx.bytes_read);
    note("Expansion factor = %g.\n", std::fabs(factor));
  }
  release_buffers(ctx);
  return 0;
}
