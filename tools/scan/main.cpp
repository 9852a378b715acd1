// main.cpp - kestrune-scan: checks a protected stream block by block, reports the health of every
// chunk and how to restore it, and on request saves what can be saved of its user data.
#include <getopt.h>

#include <cstdio>
#include <cstdlib>

#include "frontend/diag.h"
#include "frontend/numbers.h"
#include "frontend/program.h"
#include "stream/buffers.h"
#include "stream/rules.h"
#include "tools/scan/input.h"
#include "tools/scan/probe.h"
#include "tools/scan/report.h"
#include "tools/scan/scan.h"

namespace {

constexpr size_t stdio_buffer_size = 1 << 20;

[[noreturn]] void usage() {
  note(
      "usage: %s [-b<blocksize>] [-n<n>] [-k<k>] [--json] [--min-spare N] [--salvage FILE] "
      "[file]\n",
      program_name != nullptr ? program_name : "kestrune-scan");
  exit(1);
}

// kestrune's own checks, on the values known so far.
void check_parameters(const probe_request& given, known_params known) {
  if (const char* error = params_error({given.blocksize, given.n, given.k}, known)) {
    die("%s", error);
  }
}

// A large output buffer: the salvage file is written a packet at a time, the report a line at a
// time. (glibc takes the size only together with a buffer of the caller's.)
char* large_buffer(FILE* file) {
  char* buffer =
      static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, io_alignment(stdio_buffer_size)));
  setvbuf(file, buffer, _IOFBF, stdio_buffer_size);
  return buffer;
}

int parse_min_spare(const char* text) {
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || value > 256) die("invalid --min-spare");
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
  program_name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : nullptr;

  static const option long_options[] = {
      {"json", no_argument, nullptr, 'j'},
      {"min-spare", required_argument, nullptr, 'm'},
      {"salvage", required_argument, nullptr, 's'},
      {nullptr, 0, nullptr, 0},
  };
  probe_request given;
  bool b_given = false;
  bool n_given = false;
  bool k_given = false;
  report_setup setup;
  int option;
  // "+": options end at the first operand, as POSIX says.
  while ((option = getopt_long(argc, argv, "+b:n:k:", long_options, nullptr)) != -1) {
    switch (option) {
      case 'b':
        given.blocksize = parse_size(optarg);
        b_given = true;
        break;
      case 'n':
        given.n = parse_int(optarg);
        n_given = true;
        break;
      case 'k':
        given.k = parse_int(optarg);
        k_given = true;
        break;
      case 'j':
        setup.json = true;
        break;
      case 'm':
        setup.min_spare = parse_min_spare(optarg);
        break;
      case 's':
        setup.salvage_path = optarg;
        break;
      default:
        usage();
    }
  }
  check_parameters(given, {b_given, n_given, k_given});
  const int operands = argc > optind ? argc - optind : 0;
  if (operands >= 2) usage();
  setup.input_path = operands == 1 ? argv[optind] : nullptr;

  scan_input input(setup.input_path);
  setup.seekable = input.seekable();
  setup.params = probe_parameters(input, given);
  const probe_result& p = setup.params;
  check_parameters({p.blocksize, p.n, p.k}, {});

  run_config.blocksize = p.blocksize;
  run_config.n = p.n;
  run_config.k = p.k;
  run_config.input_is_pipe = input.seekable() ? 0 : 1;
  setup_buffers();

  FILE* salvage = nullptr;
  char* salvage_buffer = nullptr;
  if (setup.salvage_path != nullptr) {
    salvage = open_or_die(setup.salvage_path, "w");
    salvage_buffer = large_buffer(salvage);
  }
  large_buffer(stdout);

  report_parameters(setup);
  const scan_summary summary =
      scan_stream(input, salvage, [&](const chunk_result& c) { report_chunk(setup, c); });
  if (salvage != nullptr && fclose(salvage) != 0) die("write error on the salvage file");
  free(salvage_buffer);
  report_summary(setup, summary, input.size());

  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
  return judge_scan(summary, setup.min_spare).status;
}
