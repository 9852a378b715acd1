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

#include "kestrune.h"
#include "programs/common/diag.h"
#include "programs/common/numbers.h"
#include "programs/common/progress.h"
#include "programs/kestrune-scan/repair_out.h"
#include "programs/kestrune-scan/report.h"
#include "programs/kestrune-scan/source.h"
#include "programs/kestrune-scan/tar_map.h"

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

// kestrune's own checks, on the values known so far (KESTRUNE_GIVEN_* flags).
void check_parameters(const kestrune_params& given, unsigned known) {
  if (const char* error = kestrune_given_params_error(&given, known)) die("%s", error);
}

constexpr unsigned all_known = KESTRUNE_GIVEN_BLOCKSIZE | KESTRUNE_GIVEN_N | KESTRUNE_GIVEN_K;

// A scanner of the inputs, or die.
kestrune_scanner* make_scanner(const std::vector<scan_file*>& inputs) {
  std::vector<kestrune_source> sources;
  for (scan_file* input : inputs) sources.push_back(input->source());
  kestrune_scanner* scanner =
      kestrune_scanner_create(sources.data(), static_cast<int>(sources.size()));
  if (scanner == nullptr) die("can't malloc");
  return scanner;
}

// Ends the program after a failed scan or repair: with its message, or, when a required spool
// file could not be written, with that.
[[noreturn]] void die_of(const kestrune_scanner* scanner, const std::vector<scan_file*>& inputs) {
  for (const scan_file* input : inputs) {
    if (input->spool_broke()) input->die_for_spool();
  }
  die("%s", kestrune_scanner_message(scanner));
}

// The parameters: given, or found in the first input that tells them. When none does, the JSON
// report says so before the program ends with the reason.
kestrune_detection find_parameters(kestrune_scanner* scanner, const std::vector<scan_file*>& inputs,
                                   const kestrune_params& given, unsigned known,
                                   const report_setup& setup) {
  kestrune_detection found{};
  const kestrune_result r = kestrune_scanner_detect(scanner, &given, known, &found);
  if (r == KESTRUNE_ERROR_NOT_FOUND) report_no_parameters(setup, kestrune_scanner_message(scanner));
  if (r != KESTRUNE_OK) die_of(scanner, inputs);
  check_parameters(found.params, all_known);
  return found;
}

// What a scan or a repair hands its output to: the report and the progress line; the salvage file,
// the tar walk and the repaired stream when set.
struct run {
  const report_setup* setup = nullptr;
  progress_meter meter;
  int64_t chunk_bytes = 0;
  FILE* salvage = nullptr;
  tar_walker* tar = nullptr;
  FILE* repaired = nullptr;
};

void on_chunk(void* user, const kestrune_chunk_report* c) {
  run& r = *static_cast<run*>(user);
  report_chunk(*r.setup, *c);
  progress_after_report(r.meter, c->offset + r.chunk_bytes);
}

void on_repaired(void* user, const kestrune_repaired_chunk* c) {
  run& r = *static_cast<run*>(user);
  report_repair_chunk(*r.setup, *c);
  progress_after_report(r.meter, (c->number + 1) * r.chunk_bytes);
}

// The user data: to the tar walk, and to the salvage file, zeros in place of lost bytes.
int on_salvage(void* user, const void* data, int64_t count) {
  const run& r = *static_cast<const run*>(user);
  if (r.tar != nullptr) r.tar->take(static_cast<const uint8_t*>(data), count, data == nullptr);
  if (r.salvage == nullptr) return 0;
  if (data != nullptr) {
    return fwrite(data, 1, static_cast<size_t>(count), r.salvage) == static_cast<size_t>(count) ? 0
                                                                                                : 1;
  }
  static const uint8_t zero[65536] = {};
  while (count > 0) {
    const size_t part = static_cast<size_t>(std::min<int64_t>(count, sizeof zero));
    if (fwrite(zero, 1, part, r.salvage) != part) return 1;
    count -= static_cast<int64_t>(part);
  }
  return 0;
}

int on_stream(void* user, const void* data, size_t size) {
  const run& r = *static_cast<const run*>(user);
  return fwrite(data, 1, size, r.repaired) == size ? 0 : 1;
}

void on_report(void*, const char* line) { note("%s", line); }

// The callbacks for a run: the report's when `reported`, the data's when the run has somewhere
// to put it.
kestrune_scan_callbacks callbacks_for(run& r, bool reported) {
  kestrune_scan_callbacks c{};
  c.user = &r;
  if (reported) {
    c.chunk = on_chunk;
    c.repaired = on_repaired;
  }
  if (r.salvage != nullptr || r.tar != nullptr) c.salvage = on_salvage;
  if (r.repaired != nullptr) c.stream = on_stream;
  c.report = on_report;
  return c;
}

// A large output buffer: the salvage file is written a packet at a time, the report a line at a
// time. (glibc takes the size only together with a buffer of the caller's.)
char* large_buffer(FILE* file) {
  char* buffer = static_cast<char*>(alloc_aligned_or_die(stdio_buffer_size, page_alignment));
  setvbuf(file, buffer, _IOFBF, stdio_buffer_size);
  return buffer;
}

// --repair OUT, or --salvage with several files: every file is a copy of one stream.
int repair_main(report_setup& setup, const kestrune_params& given, unsigned known,
                const std::vector<const char*>& operands, progress_choice progress) {
  if (setup.min_spare >= 0) die("--min-spare does not go with --repair or several files");
  std::vector<const char*> paths = operands;
  if (paths.empty()) paths.push_back("-");
  std::vector<std::unique_ptr<scan_file>> files;
  std::vector<scan_file*> inputs;
  bool standard_input = false;
  for (const char* path : paths) {
    const bool is_stdin = strcmp(path, "-") == 0;
    if (is_stdin && standard_input) usage();
    standard_input = standard_input || is_stdin;
    files.push_back(std::make_unique<scan_file>(is_stdin ? nullptr : path));
    inputs.push_back(files.back().get());
    setup.copy_paths.push_back(is_stdin ? nullptr : path);
    setup.copy_seekable.push_back(files.back()->seekable());
  }
  const bool repair_to_stdout = setup.repair_path != nullptr && strcmp(setup.repair_path, "-") == 0;
  const bool salvage_to_stdout =
      setup.salvage_path != nullptr && strcmp(setup.salvage_path, "-") == 0;
  if (repair_to_stdout && salvage_to_stdout) {
    die("--repair - and --salvage - both take standard output");
  }
  for (const scan_file* input : inputs) {
    if (setup.repair_path != nullptr && !repair_to_stdout &&
        same_file(setup.repair_path, input->fd())) {
      die("the repair file '%s' is an input", setup.repair_path);
    }
    if (setup.salvage_path != nullptr && !salvage_to_stdout &&
        same_file(setup.salvage_path, input->fd())) {
      die("the salvage file '%s' is the input", setup.salvage_path);
    }
  }
  kestrune_scanner* scanner = make_scanner(inputs);
  setup.params = find_parameters(scanner, inputs, given, known, setup);

  // Whichever takes standard output, the report goes to standard error.
  int data_fd = -1;
  if (repair_to_stdout || salvage_to_stdout) {
    data_fd = dup(STDOUT_FILENO);
    if (data_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) die("can't write '-'");
  }
  run r;
  r.setup = &setup;
  if (salvage_to_stdout) {
    r.salvage = fdopen(data_fd, "w");
    if (r.salvage == nullptr) die("can't write '-'");
  } else if (setup.salvage_path != nullptr) {
    r.salvage = open_or_die(setup.salvage_path, "w");
  }
  char* salvage_buffer = r.salvage != nullptr ? large_buffer(r.salvage) : nullptr;
  repair_output out;
  char* repaired_buffer = nullptr;
  if (setup.repair_path != nullptr) {
    out = open_repair_output(setup.repair_path);
    r.repaired = out.file;
    repaired_buffer = large_buffer(r.repaired);
  }
  large_buffer(stdout);

  report_repair_parameters(setup);
  tar_walker walker;
  if (setup.tar) r.tar = &walker;
  const kestrune_params& p = setup.params.params;
  r.chunk_bytes = int64_t{p.n} * p.blocksize;
  start_progress(r.meter, progress, inputs[0]->seekable() ? kestrune_scanner_size(scanner, 0) : -1);
  const kestrune_scan_callbacks callbacks = callbacks_for(r, true);
  kestrune_repair_summary summary{};
  if (kestrune_repair(scanner, &p, &callbacks, &summary) != KESTRUNE_OK) die_of(scanner, inputs);
  progress_end(r.meter);
  if (r.salvage != nullptr && fclose(r.salvage) != 0) die("write error on the salvage file");
  free(salvage_buffer);
  bool written = false;
  if (r.repaired != nullptr) {
    if (summary.complete != 0) {
      commit_repair_output(out, setup.repair_path, data_fd);
      written = true;
    } else {
      discard_repair_output(out);
    }
    free(repaired_buffer);
  }
  tar_map tar;
  if (setup.tar) tar = walker.finish({summary.lost_data, summary.lost_data_count});
  report_repair_summary(setup, summary, written, setup.tar ? &tar : nullptr);
  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
  const int status = judge_repair(summary).status;
  kestrune_scanner_free(scanner);
  return status;
}

bool regular_file(FILE* file) {
  struct stat st {};
  return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

// After the scan, from the input when it is seekable, else from its spool file (the scanner of
// either): where the scan lost data, the salvage is made again as the repair makes it (the input
// realigned after inserted or deleted bytes, chunks placed by their numbers, blocks that disagree
// left out) and replaces the scan's when it saves more user bytes. A held salvage (not yet
// written) receives whichever is chosen. Tells whether it was the repair's, whose summary goes to
// *realigned. With --tar the walker, which took the scan's bytes, takes the repair's instead when
// they are chosen.
bool salvage_again(kestrune_scanner* scanner, const std::vector<scan_file*>& inputs,
                   const kestrune_params& params, const kestrune_scan_summary& scanned,
                   FILE* salvage, bool held, kestrune_repair_summary* realigned,
                   tar_walker* walker) {
  bool better = false;
  if (scanned.lost_data_count > 0) {
    run quiet;
    const kestrune_scan_callbacks none = callbacks_for(quiet, false);
    kestrune_repair_summary trial{};
    if (kestrune_repair(scanner, &params, &none, &trial) != KESTRUNE_OK) die_of(scanner, inputs);
    better = trial.saved_bytes > scanned.saved_bytes;
    if (better) {
      if (!held && (fflush(salvage) != 0 || ftruncate(fileno(salvage), 0) != 0 ||
                    fseeko(salvage, 0, SEEK_SET) != 0)) {
        die("write error on the salvage file");
      }
      if (walker != nullptr) *walker = tar_walker();
      run again;
      again.salvage = salvage;
      again.tar = walker;
      const kestrune_scan_callbacks to_salvage = callbacks_for(again, false);
      if (kestrune_repair(scanner, &params, &to_salvage, realigned) != KESTRUNE_OK) {
        die_of(scanner, inputs);
      }
    }
  }
  if (held && !better) {
    run again;
    again.salvage = salvage;
    const kestrune_scan_callbacks to_salvage = callbacks_for(again, false);
    if (kestrune_scan(scanner, &params, &to_salvage, nullptr) != KESTRUNE_OK) {
      die_of(scanner, inputs);
    }
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
  kestrune_params given{};
  unsigned known = 0;
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
        known |= KESTRUNE_GIVEN_BLOCKSIZE;
        break;
      case 'n':
        given.n = parse_int(optarg);
        known |= KESTRUNE_GIVEN_N;
        break;
      case 'k':
        given.k = parse_int(optarg);
        known |= KESTRUNE_GIVEN_K;
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
  check_parameters(given, known);
  for (int i = optind; i < argc; i++) operands.push_back(argv[i]);
  // Several files are copies of one stream, for a repair or a salvage from all of them.
  if (setup.repair_path != nullptr || (operands.size() >= 2 && setup.salvage_path != nullptr)) {
    return repair_main(setup, given, known, operands, progress);
  }
  if (operands.size() >= 2) usage();
  // "-" is standard input, as no operand is.
  setup.input_path = operands.size() == 1 && strcmp(operands[0], "-") != 0 ? operands[0] : nullptr;

  scan_file input(setup.input_path);
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
  const std::vector<scan_file*> inputs{&input};
  kestrune_scanner* scanner = make_scanner(inputs);
  setup.params = find_parameters(scanner, inputs, given, known, setup);
  const kestrune_params& p = setup.params.params;

  run r;
  r.setup = &setup;
  char* salvage_buffer = nullptr;
  FILE* salvage = nullptr;
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
  if (setup.tar) r.tar = &walker;
  r.salvage = held ? nullptr : salvage;
  r.chunk_bytes = int64_t{p.n} * p.blocksize;
  start_progress(r.meter, progress, input.seekable() ? kestrune_scanner_size(scanner, 0) : -1);
  const kestrune_scan_callbacks callbacks = callbacks_for(r, true);
  kestrune_scan_summary summary{};
  if (kestrune_scan(scanner, &p, &callbacks, &summary) != KESTRUNE_OK) die_of(scanner, inputs);
  progress_end(r.meter);
  if (spool_fd >= 0 && input.spool_failed()) {
    note("%s: salvage not realigned: write error on the spool file in '%s'\n", shown_name(),
         spool_directory.c_str());
    read_again = false;
  }
  kestrune_repair_summary realigned{};
  bool is_realigned = false;
  std::unique_ptr<scan_file> spooled;
  kestrune_scanner* spool_scanner = nullptr;
  if (salvage != nullptr && read_again) {
    // The spool holds the input as far as the scan read it: to its end, or, after the last chunk,
    // as far as a pipe is read.
    std::vector<scan_file*> again = inputs;
    kestrune_scanner* from = scanner;
    if (spool_fd >= 0) {
      spooled = std::make_unique<scan_file>(spool_fd, true);
      again = {spooled.get()};
      spool_scanner = make_scanner(again);
      from = spool_scanner;
    }
    is_realigned = salvage_again(from, again, p, summary, salvage, held, &realigned,
                                 setup.tar ? &walker : nullptr);
  } else if (input.seekable() && summary.lost_data_count > 0 && !setup.json) {
    // No salvage asked for: whether the realigning walk would save more, to say so.
    run quiet;
    const kestrune_scan_callbacks none = callbacks_for(quiet, false);
    kestrune_repair_summary trial{};
    if (kestrune_repair(scanner, &p, &none, &trial) != KESTRUNE_OK) die_of(scanner, inputs);
    setup.repair_saves_more = trial.saved_bytes > summary.saved_bytes;
  }
  if (salvage != nullptr && fclose(salvage) != 0) die("write error on the salvage file");
  free(salvage_buffer);
  tar_map tar;
  if (setup.tar) {
    tar = is_realigned ? walker.finish({realigned.lost_data, realigned.lost_data_count})
                       : walker.finish({summary.lost_data, summary.lost_data_count});
  }
  report_summary(setup, summary, kestrune_scanner_size(scanner, 0),
                 is_realigned ? &realigned : nullptr, setup.tar ? &tar : nullptr);

  if (fflush(stdout) != 0 || ferror(stdout)) die("write error");
  const int status = judge_scan(summary, setup.min_spare, &setup.params).status;
  kestrune_scanner_free(spool_scanner);
  kestrune_scanner_free(scanner);
  return status;
}

}  // namespace

int main(int argc, char** argv) { return scan_main(argc, argv); }
