// SPDX-License-Identifier: MIT
// driver.cpp - the command line: options, checks, start-up, and the choice of encoding or decoding.
#include "programs/kestrune/driver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include "kestrune.h"
#include "programs/common/diag.h"
#include "programs/common/io.h"
#include "programs/common/numbers.h"
#include "programs/common/progress.h"
#include "programs/kestrune/detect.h"
#include "programs/kestrune/profiles.h"

namespace {

// What the command line asks for.
struct run_options {
  int32_t blocksize = 1024;  // bytes per block in the stream: packet plus trailer
  int32_t n = 18;            // blocks per chunk
  int32_t k = 14;            // data packets per chunk
  bool decode_mode = false;
  int verbose = 0;                   // report level on standard error
  bool input_is_pipe = false;        // the input cannot seek
  bool progress = false;             // the progress line on standard error (--progress)
  bool stats = false;                // the decoder's summary on standard error (--stats)
  const char* input_name = nullptr;  // the input file named on the command line; null: stdin
};

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
  kestrune_params given{0, 0, 0};
  unsigned known = 0;  // KESTRUNE_GIVEN_* flags
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
                 run_options& config) {
  const char* value = nullptr;
  if (strcmp(name, "detect") == 0) {
    choice.detect = true;
    return;
  }
  if (strcmp(name, "progress") == 0) {
    config.progress = true;
    return;
  }
  if (strcmp(name, "stats") == 0) {
    config.stats = true;
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
void apply_choice(const parameter_choice& choice, const char* program, run_options& config) {
  if (choice.chosen != nullptr) {
    if (choice.detect) {
      note("%s: --profile and --detect exclude each other\n", program);
      usage();
    }
    config.blocksize = choice.chosen->blocksize;
    config.n = choice.chosen->n;
    config.k = choice.chosen->k;
  }
  if ((choice.known & KESTRUNE_GIVEN_BLOCKSIZE) != 0) config.blocksize = choice.given.blocksize;
  if ((choice.known & KESTRUNE_GIVEN_N) != 0) config.n = choice.given.n;
  if ((choice.known & KESTRUNE_GIVEN_K) != 0) config.k = choice.given.k;
}

bool name_selects_decode(const char* name) {
  if (name == nullptr) return false;
  const size_t length = strlen(name);
  return length >= 6 && strcmp(name + length - 6, "decode") == 0;
}

void verbose_report(const run_options& c) {
  note("Kestrune v%s\n", version);
  note("(K, N) = (%d, %d)\n", c.k, c.n);
  note("Blocksize = %d\n", c.blocksize);
  // Both products fit: the start-up checks keep n * blocksize below 2^31.
  const kestrune_params params{c.blocksize, c.n, c.k};
  const int32_t user_bytes = static_cast<int32_t>(kestrune_chunk_capacity(&params));
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

  run_options options;

  // "+": options end at the first operand, as POSIX says, even with glibc's getopt.
  // "-:": --NAME comes as option '-' with the argument NAME (long_option()).
  parameter_choice choice;
  int option;
  while ((option = getopt(argc, argv, "+vdb:n:k:p:-:")) != -1) {
    switch (option) {
      case 'v':
        options.verbose++;
        break;
      case 'd':
        options.decode_mode = true;
        break;
      case 'b':
        choice.given.blocksize = parse_size(optarg);
        choice.known |= KESTRUNE_GIVEN_BLOCKSIZE;
        break;
      case 'n':
        choice.given.n = parse_int(optarg);
        choice.known |= KESTRUNE_GIVEN_N;
        break;
      case 'k':
        choice.given.k = parse_int(optarg);
        choice.known |= KESTRUNE_GIVEN_K;
        break;
      case 'p':
        choice.chosen = profile_or_usage(optarg, argv[0]);
        break;
      case '-':
        long_option(optarg, argc, argv, choice, options);
        break;
      default:
        usage();
    }
  }

  apply_choice(choice, argv[0], options);
  if (choice.detect && !options.decode_mode && !name_selects_decode(program_name)) {
    note("%s: --detect goes with -d\n", argv[0]);
    usage();
  }
  // With --detect, the rules that the given values take part in; the others wait for detection.
  const kestrune_params params{options.blocksize, options.n, options.k};
  const unsigned known =
      choice.detect ? choice.known : KESTRUNE_GIVEN_BLOCKSIZE | KESTRUNE_GIVEN_N | KESTRUNE_GIVEN_K;
  if (const char* error = kestrune_given_params_error(&params, known)) die("%s", error);

  const int operands = argc > optind ? argc - optind : 0;
  if (operands >= 2) usage();
  FILE* input = operands == 1 ? open_or_die(argv[optind], "r") : stdin;
  options.input_name = operands == 1 ? argv[optind] : nullptr;
  // Large buffers: chunks are read and written whole, and a pipe is read in few system calls.
  // (glibc takes the size only together with a buffer of the caller's.)
  input_buffer = static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, page_alignment));
  output_buffer = static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, page_alignment));
  setvbuf(input, input_buffer, _IOFBF, stdio_buffer_size);
  setvbuf(stdout, output_buffer, _IOFBF, stdio_buffer_size);

  if (name_selects_decode(program_name)) options.decode_mode = true;
  if (options.stats && !options.decode_mode) die("--stats goes with -d");

  // The seek also puts a seekable input at its start, even a standard input opened at an offset.
  if (fseeko(input, 0, SEEK_SET) != 0 && errno == ESPIPE) {
    options.input_is_pipe = true;
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
    kestrune_params found = params;
    input = detect_parameters(input, options.input_is_pipe, found, choice.known, held);
    options.blocksize = found.blocksize;
    options.n = found.n;
    options.k = found.k;
    if (options.verbose >= 1) {
      note("detected: -b %d -n %d -k %d\n", found.blocksize, found.n, found.k);
    }
  }
  if (options.verbose >= 1) verbose_report(options);

  const kestrune_params stream{options.blocksize, options.n, options.k};
  const kestrune_settings settings{options.verbose, options.stats ? 1 : 0, options.input_name};
  progress_meter meter;
  if (options.progress) {
    progress_start(meter, program_name, "kestrune", regular_file_size(fileno(input)));
  }
  kestrune_callbacks callbacks{};
  callbacks.user = &meter;
  callbacks.write = write_stdout;
  callbacks.report = [](void*, const char* line) { note("%s", line); };
  if (options.progress) {
    callbacks.progress = [](void* user, int64_t done) {
      progress_tick(*static_cast<progress_meter*>(user), done);
    };
  }

  int64_t bytes_in = 0;
  int64_t bytes_out = 0;
  if (options.decode_mode) {
    kestrune_decoder* decoder = kestrune_decoder_create(&stream, &callbacks, &settings);
    if (decoder == nullptr) die("can't malloc(%d)", static_cast<int>(sizeof(void*)));
    int fd = fileno(input);
    const kestrune_result result = options.input_is_pipe
                                       ? kestrune_decode_pipe(decoder, read_stream, input)
                                       : kestrune_decode_file(decoder, read_file_at, &fd);
    if (result != KESTRUNE_OK) die("%s", kestrune_decoder_message(decoder));
    kestrune_decoder_free(decoder);
  } else {
    kestrune_encoder* encoder = kestrune_encoder_create(&stream, &callbacks, &settings);
    if (encoder == nullptr) die("can't malloc(%d)", static_cast<int>(sizeof(void*)));
    piece_reader reader;
    reader.file = input;
    if (options.blocksize - KESTRUNE_TRAILER_BYTES >= direct_piece_min) reader.fd = fileno(input);
    if (kestrune_encode_pull(encoder, read_pieces, &reader) != KESTRUNE_OK) {
      die("%s", kestrune_encoder_message(encoder));
    }
    bytes_in = kestrune_encoder_bytes_in(encoder);
    bytes_out = kestrune_encoder_bytes_out(encoder);
    kestrune_encoder_free(encoder);
  }
  progress_end(meter);

  // A failure of the last flush would otherwise lose the end of the output with exit status 0.
  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");

  if (!options.decode_mode && options.verbose >= 1) {
    note("Read %ld bytes, wrote %ld bytes.\n", static_cast<long>(bytes_in),
         static_cast<long>(bytes_out));
    // 0/0 is a NaN with the sign bit set on x86-64, which printf shows as "-nan".
    const double factor = static_cast<double>(bytes_out) / static_cast<double>(bytes_in);
    note("Expansion factor = %g.\n", std::fabs(factor));
  }
  return 0;
}
