// SPDX-License-Identifier: MIT
// main.cpp - kestrune-scan: checks a protected stream block by block, reports the health of every
// chunk and how to restore it, and on request saves what can be saved of its user data, or
// repairs the stream from one or more copies of it.
#include <fcntl.h>
#include <getopt.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "frontend/diag.h"
#include "frontend/numbers.h"
#include "frontend/progress.h"
#include "stream/buffers.h"
#include "stream/failure.h"
#include "stream/probe.h"
#include "stream/rules.h"
#include "tools/scan/input.h"
#include "tools/scan/repair.h"
#include "tools/scan/repair_out.h"
#include "tools/scan/report.h"
#include "tools/scan/salvage.h"
#include "tools/scan/scan.h"
#include "tools/scan/tar_map.h"

namespace {

constexpr size_t stdio_buffer_size = 1 << 20;

constexpr const char* usage_format =
    "usage: %s [-b<blocksize>] [-n<n>] [-k<k>] [--json] [--all] [--tar] [--min-spare N] "
    "[--salvage FILE] [--repair OUT] [file...]\n";

const char* shown_name() { return program_name != nullptr ? program_name : "kestrune-scan"; }

[[noreturn]] void usage() {
  note(usage_format, shown_name());
  exit(1);
}

// -h/--help and -V/--version, recognised as the whole first argument only: the help or the version
// on standard output, and exit status 0.
void help_or_version(int argc, char** argv) {
  if (argc < 2) return;
  const bool help = strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0;
  const bool version = strcmp(argv[1], "--version") == 0 || strcmp(argv[1], "-V") == 0;
  if (!help && !version) return;
  if (version) {
    printf("kestrune-scan %s\n", KESTRUNE_VERSION);
  } else {
    printf(usage_format, shown_name());
    fputs(
        "Checks a stream written by kestrune block by block, reports every chunk's health and how\n"
        "to restore it, saves what can be saved of its data, and repairs it from its copies.\n"
        "\n"
        "  -b blocksize     bytes per block, trailer included (found if not given)\n"
        "  -n n             blocks per chunk (found if not given)\n"
        "  -k k             data blocks per chunk (found if not given)\n"
        "  --json           the report as JSON lines: one object per chunk, then a summary\n"
        "  --all            list every chunk, intact ones too (the JSON report always does)\n"
        "  --tar            the data is a tar archive: name the members that lost bytes, and\n"
        "                   how many each lost\n"
        "  --min-spare N    exit 2 when a chunk can lose fewer than N more blocks\n"
        "  --salvage FILE   write the data that can be saved, zeros for what is lost; with -,\n"
        "                   to standard output, and the report to standard error; a pipe or\n"
        "                   a tape is spooled to $TMPDIR, which needs room for the stream\n"
        "  --repair OUT     write the stream restored from the files, copies of one stream,\n"
        "                   realigned where bytes were lost or added and every chunk in its\n"
        "                   place, exactly as kestrune writes it; only when nothing is lost\n"
        "  --progress       show bytes done, rate, percentage and time left on standard error\n"
        "                   (the default when standard error is a terminal)\n"
        "  --no-progress    do not\n"
        "  -h, --help       print this help (first argument only)\n"
        "  -V, --version    print the version (first argument only)\n"
        "\n"
        "The file - (or none) is standard input. Options may follow the file; -- ends them.\n"
        "Several files, copies of one stream, go with --repair or --salvage.\n"
        "Exit status: 0 intact, 2 damaged but repairable or spare below N, 3 data lost, 1 error.\n"
        "See kestrune-scan(1).\n",
        stdout);
  }
  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
  exit(0);
}

// A descriptor among 0, 1 and 2 that is closed would be taken by the next file opened (the salvage
// file, which would then receive the report). Each gets /dev/null read-only: reading it gives
// nothing, writing it fails as writing a closed descriptor does.
void keep_standard_fds() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

// Whether path names the file open on fd (the same device and inode).
bool same_file(const char* path, int fd) {
  struct stat named {};
  struct stat open_file {};
  return stat(path, &named) == 0 && fstat(fd, &open_file) == 0 &&
         named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

// The progress line on standard error: with --progress, or by default when standard error is a
// terminal.
enum class progress_choice : uint8_t { automatic, on, off };

// Starts the meter for a pass over an input of total bytes (-1: unknown), one tick per chunk. When
// standard output is the same file as standard error (the terminal both show, or --salvage -), the
// report is flushed before each drawing, so that its lines never land behind the status line.
void start_progress(progress_meter& meter, progress_choice choice, int64_t total) {
  if (choice == progress_choice::off ||
      (choice == progress_choice::automatic && isatty(STDERR_FILENO) == 0)) {
    return;
  }
  progress_start(meter, program_name, "kestrune-scan", total);
  struct stat out {};
  struct stat err {};
  if (fstat(STDOUT_FILENO, &out) == 0 && fstat(STDERR_FILENO, &err) == 0 &&
      out.st_dev == err.st_dev && out.st_ino == err.st_ino) {
    meter.flush_first = stdout;
  }
}

// After a chunk's report, with done bytes of the input behind: the tick, and on a shared terminal
// the report flushed, with the line cleared first, before stdout's buffer would fill and write it
// out behind the line.
void progress_after_report(progress_meter& meter, int64_t done) {
  if (meter.flush_first != nullptr && __fpending(stdout) > stdio_buffer_size / 2) {
    status_clear();
    fflush(stdout);
  }
  progress_tick(meter, done);
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
  char* buffer = static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, page_alignment));
  setvbuf(file, buffer, _IOFBF, stdio_buffer_size);
  return buffer;
}

// --repair OUT, or --salvage with several files: every file is a copy of one stream.
int repair_main(report_setup& setup, const probe_request& given,
                const std::vector<const char*>& operands, progress_choice progress) {
  if (setup.min_spare >= 0) die("--min-spare does not go with --repair or several files");
  std::vector<const char*> paths = operands;
  if (paths.empty()) paths.push_back("-");
  std::vector<std::unique_ptr<scan_input>> inputs;
  std::vector<scan_input*> copies;
  bool standard_input = false;
  for (const char* path : paths) {
    const bool is_stdin = strcmp(path, "-") == 0;
    if (is_stdin && standard_input) usage();
    standard_input = standard_input || is_stdin;
    inputs.push_back(std::make_unique<scan_input>(is_stdin ? nullptr : path));
    copies.push_back(inputs.back().get());
    setup.copy_paths.push_back(is_stdin ? nullptr : path);
    setup.copy_seekable.push_back(inputs.back()->seekable());
  }
  const bool repair_to_stdout = setup.repair_path != nullptr && strcmp(setup.repair_path, "-") == 0;
  const bool salvage_to_stdout =
      setup.salvage_path != nullptr && strcmp(setup.salvage_path, "-") == 0;
  if (repair_to_stdout && salvage_to_stdout) {
    die("--repair - and --salvage - both take standard output");
  }
  for (const std::unique_ptr<scan_input>& input : inputs) {
    if (setup.repair_path != nullptr && !repair_to_stdout &&
        same_file(setup.repair_path, input->fd())) {
      die("the repair file '%s' is an input", setup.repair_path);
    }
    if (setup.salvage_path != nullptr && !salvage_to_stdout &&
        same_file(setup.salvage_path, input->fd())) {
      die("the salvage file '%s' is the input", setup.salvage_path);
    }
  }
  // The parameters from the first copy that tells them.
  struct not_found {
    std::string message;
  };
  std::string first_failure;
  bool found = false;
  for (scan_input* input : copies) {
    try {
      setup.params = probe_parameters(probe_source(*input), given,
                                      [](const std::string& message) { throw not_found{message}; });
      found = true;
      break;
    } catch (const not_found& failure) {
      if (first_failure.empty()) first_failure = failure.message;
    }
  }
  if (!found) {
    report_no_parameters(setup, first_failure);
    die("%s", first_failure.c_str());
  }
  const probe_result& p = setup.params;
  check_parameters({p.blocksize, p.n, p.k}, {});
  stream_context ctx;
  ctx.config.blocksize = p.blocksize;
  ctx.config.n = p.n;
  ctx.config.k = p.k;
  ctx.config.input_is_pipe = 0;
  setup_buffers(ctx);

  // Whichever takes standard output, the report goes to standard error.
  int data_fd = -1;
  if (repair_to_stdout || salvage_to_stdout) {
    data_fd = dup(STDOUT_FILENO);
    if (data_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) die("can't write '-'");
  }
  FILE* salvage = nullptr;
  if (salvage_to_stdout) {
    salvage = fdopen(data_fd, "w");
    if (salvage == nullptr) die("can't write '-'");
  } else if (setup.salvage_path != nullptr) {
    salvage = open_or_die(setup.salvage_path, "w");
  }
  char* salvage_buffer = salvage != nullptr ? large_buffer(salvage) : nullptr;
  repair_output out;
  FILE* repaired = nullptr;
  char* repaired_buffer = nullptr;
  if (setup.repair_path != nullptr) {
    out = open_repair_output(setup.repair_path);
    repaired = out.file;
    repaired_buffer = large_buffer(repaired);
  }
  large_buffer(stdout);

  report_repair_parameters(setup);
  tar_walker walker;
  const salvage_tap tap = [&walker](const uint8_t* data, int64_t count, bool lost) {
    walker.take(data, count, lost);
  };
  progress_meter meter;
  const int64_t chunk_bytes = int64_t{ctx.config.n} * ctx.config.blocksize;
  start_progress(meter, progress, copies[0]->seekable() ? copies[0]->size() : -1);
  const repair_summary summary = repair_copies(
      ctx, copies, repaired, salvage,
      [&](const repaired_chunk& c) {
        report_repair_chunk(setup, c);
        progress_after_report(meter, (c.number + 1) * chunk_bytes);
      },
      setup.tar ? &tap : nullptr);
  progress_end(meter);
  if (salvage != nullptr && fclose(salvage) != 0) die("write error on the salvage file");
  free(salvage_buffer);
  bool written = false;
  if (repaired != nullptr) {
    if (summary.complete) {
      commit_repair_output(out, setup.repair_path, data_fd);
      written = true;
    } else {
      discard_repair_output(out);
    }
    free(repaired_buffer);
  }
  tar_map tar;
  if (setup.tar) tar = walker.finish(summary.lost_data);
  report_repair_summary(setup, summary, written, setup.tar ? &tar : nullptr);
  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
  release_buffers(ctx);
  return judge_repair(summary).status;
}

bool regular_file(FILE* file) {
  struct stat st {};
  return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

// After the scan, from the input when it is seekable, else from its spool file: where the scan lost
// data, the salvage is made again as the repair makes it (the input realigned after inserted or
// deleted bytes, chunks placed by their numbers, blocks that disagree left out) and replaces the
// scan's when it saves more user bytes. A held salvage (not yet written) receives whichever is
// chosen. Tells whether it was the repair's, whose summary goes to *realigned. With --tar (tap not
// null) the walker, which took the scan's bytes, takes the repair's instead when they are chosen.
bool salvage_again(stream_context& ctx, scan_input& input, const scan_summary& scanned,
                   FILE* salvage, bool held, repair_summary* realigned, tar_walker* walker,
                   const salvage_tap* tap) {
  bool better = false;
  if (!scanned.lost_data.empty()) {
    std::vector<scan_input*> copies{&input};
    const auto quiet = [](const repaired_chunk&) {};
    const repair_summary trial = repair_copies(ctx, copies, nullptr, nullptr, quiet);
    better = bytes_saved(trial.salvage_bytes, trial.lost_data) >
             bytes_saved(scanned.salvage_bytes, scanned.lost_data);
    if (better) {
      if (!held && (fflush(salvage) != 0 || ftruncate(fileno(salvage), 0) != 0 ||
                    fseeko(salvage, 0, SEEK_SET) != 0)) {
        die("write error on the salvage file");
      }
      if (tap != nullptr) *walker = tar_walker();
      *realigned = repair_copies(ctx, copies, nullptr, salvage, quiet, tap);
    }
  }
  if (held && !better) {
    scan_stream(ctx, input, salvage, [](const chunk_result&) {});
  }
  return better;
}

int parse_min_spare(const char* text) {
  char* end = nullptr;
  const long value = strtol(text, &end, 10);
  if (*text < '0' || *text > '9' || *end != '\0' || value > 256) die("invalid --min-spare");
  return static_cast<int>(value);
}

int scan_main(int argc, char** argv) {
  program_name = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0' ? argv[0] : nullptr;
  keep_standard_fds();
  help_or_version(argc, argv);

  static const option long_options[] = {
      {"json", no_argument, nullptr, 'j'},
      {"tar", no_argument, nullptr, 't'},
      {"all", no_argument, nullptr, 'a'},
      {"min-spare", required_argument, nullptr, 'm'},
      {"salvage", required_argument, nullptr, 's'},
      {"repair", required_argument, nullptr, 'r'},
      {"progress", no_argument, nullptr, 'p'},
      {"no-progress", no_argument, nullptr, 'q'},
      {nullptr, 0, nullptr, 0},
  };
  probe_request given;
  bool b_given = false;
  bool n_given = false;
  bool k_given = false;
  report_setup setup;
  progress_choice progress = progress_choice::automatic;
  std::vector<const char*> operands;
  int option;
  // "-": operands come back in turn (as option 1), so that options may follow them, whatever
  // POSIXLY_CORRECT says; "--" still ends the options.
  while ((option = getopt_long(argc, argv, "-b:n:k:", long_options, nullptr)) != -1) {
    switch (option) {
      case 1:
        operands.push_back(optarg);
        break;
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
      case 't':
        setup.tar = true;
        break;
      case 'a':
        setup.all = true;
        break;
      case 'm':
        setup.min_spare = parse_min_spare(optarg);
        break;
      case 's':
        setup.salvage_path = optarg;
        break;
      case 'r':
        setup.repair_path = optarg;
        break;
      case 'p':
        progress = progress_choice::on;
        break;
      case 'q':
        progress = progress_choice::off;
        break;
      default:
        usage();
    }
  }
  check_parameters(given, {b_given, n_given, k_given});
  for (int i = optind; i < argc; i++) operands.push_back(argv[i]);
  // Several files are copies of one stream, for a repair or a salvage from all of them.
  if (setup.repair_path != nullptr || (operands.size() >= 2 && setup.salvage_path != nullptr)) {
    return repair_main(setup, given, operands, progress);
  }
  if (operands.size() >= 2) usage();
  // "-" is standard input, as no operand is.
  setup.input_path = operands.size() == 1 && strcmp(operands[0], "-") != 0 ? operands[0] : nullptr;

  scan_input input(setup.input_path);
  setup.seekable = input.seekable();
  if (setup.salvage_path != nullptr && strcmp(setup.salvage_path, "-") != 0 &&
      same_file(setup.salvage_path, input.fd())) {
    die("the salvage file '%s' is the input", setup.salvage_path);
  }
  // A salvage from an input that cannot be read again (a pipe, a tape) spools it as it is read to
  // a file without a name in $TMPDIR, so that the salvage may be made again from there as from a
  // file.
  std::string spool_directory;
  int spool_fd = -1;
  if (setup.salvage_path != nullptr && !input.seekable()) {
    spool_fd = open_temporary_file(&spool_directory);
    if (spool_fd < 0) die("can't make a spool file in '%s'", spool_directory.c_str());
    input.spool_to(spool_fd, spool_directory.c_str());
  }
  bool read_again = input.seekable() || spool_fd >= 0;
  setup.params = probe_parameters(probe_source(input), given, [&](const std::string& message) {
    report_no_parameters(setup, message);
  });
  const probe_result& p = setup.params;
  check_parameters({p.blocksize, p.n, p.k}, {});

  stream_context ctx;
  ctx.config.blocksize = p.blocksize;
  ctx.config.n = p.n;
  ctx.config.k = p.k;
  ctx.config.input_is_pipe = input.seekable() ? 0 : 1;
  setup_buffers(ctx);

  FILE* salvage = nullptr;
  char* salvage_buffer = nullptr;
  if (setup.salvage_path != nullptr && strcmp(setup.salvage_path, "-") == 0) {
    // The salvage takes standard output; the report, still written through stdout, goes to
    // standard error.
    const int data_fd = dup(STDOUT_FILENO);
    salvage = data_fd >= 0 ? fdopen(data_fd, "w") : nullptr;
    if (salvage == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) die("can't write '-'");
  } else if (setup.salvage_path != nullptr) {
    salvage = open_or_die(setup.salvage_path, "w");
  }
  if (salvage != nullptr) salvage_buffer = large_buffer(salvage);
  large_buffer(stdout);

  // A salvage may be made a second time as the repair makes it, from the input or its spool; one
  // that is not a file of our own to rewrite from its start (standard output, a pipe) waits for
  // the choice.
  const bool held = salvage != nullptr && read_again &&
                    (strcmp(setup.salvage_path, "-") == 0 || !regular_file(salvage));
  // A held salvage is made from the spool alone; one the scan writes as it goes stands without
  // the realigned one when the spool cannot hold the stream.
  if (spool_fd >= 0) input.spool_required(held);
  report_parameters(setup);
  // With --tar the walk takes the user data as the salvage has it, whether or not it is written.
  tar_walker walker;
  const salvage_tap tap = [&walker](const uint8_t* data, int64_t count, bool lost) {
    walker.take(data, count, lost);
  };
  const salvage_tap* tar_tap = setup.tar ? &tap : nullptr;
  progress_meter meter;
  const int64_t chunk_bytes = int64_t{ctx.config.n} * ctx.config.blocksize;
  start_progress(meter, progress, input.seekable() ? input.size() : -1);
  scan_summary summary = scan_stream(
      ctx, input, held ? nullptr : salvage,
      [&](const chunk_result& c) {
        report_chunk(setup, c);
        progress_after_report(meter, c.offset + chunk_bytes);
      },
      tar_tap);
  progress_end(meter);
  if (spool_fd >= 0 && input.spool_failed()) {
    note("%s: salvage not realigned: write error on the spool file in '%s'\n", shown_name(),
         spool_directory.c_str());
    read_again = false;
  }
  repair_summary realigned;
  bool is_realigned = false;
  if (salvage != nullptr && read_again) {
    // The spool holds the input as far as the scan read it: to its end, or, after the last chunk,
    // as far as a pipe is read.
    std::unique_ptr<scan_input> spooled;
    if (spool_fd >= 0) spooled = std::make_unique<scan_input>(spool_fd, true);
    is_realigned = salvage_again(ctx, spooled ? *spooled : input, summary, salvage, held,
                                 &realigned, &walker, tar_tap);
  } else if (input.seekable() && !summary.lost_data.empty() && !setup.json) {
    // No salvage asked for: whether the realigning walk would save more, to say so.
    std::vector<scan_input*> copies{&input};
    const repair_summary trial =
        repair_copies(ctx, copies, nullptr, nullptr, [](const repaired_chunk&) {});
    setup.repair_saves_more = bytes_saved(trial.salvage_bytes, trial.lost_data) >
                              bytes_saved(summary.salvage_bytes, summary.lost_data);
  }
  if (salvage != nullptr && fclose(salvage) != 0) die("write error on the salvage file");
  free(salvage_buffer);
  tar_map tar;
  if (setup.tar) tar = walker.finish(is_realigned ? realigned.lost_data : summary.lost_data);
  report_summary(setup, summary, input.size(), is_realigned ? &realigned : nullptr,
                 setup.tar ? &tar : nullptr);

  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
  release_buffers(ctx);
  return judge_scan(summary, setup.min_spare, &setup.params).status;
}

}  // namespace

int main(int argc, char** argv) {
  // The library's failures that reach the program end it as die() does.
  try {
    return scan_main(argc, argv);
  } catch (const stream_failure& failure) {
    die("%s", failure.message.c_str());
  }
}
