// SPDX-License-Identifier: MIT
// progress.cpp - the progress line on standard error.
#include "programs/common/progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <ctime>

#include "programs/common/diag.h"

namespace {

// The clock is read about once per this many bytes of input: at a few hundred MB/s, a few hundred
// readings a second, each a few tens of nanoseconds.
constexpr int64_t check_bytes = int64_t{1} << 20;
// The line is drawn at most this often (in nanoseconds): four times a second.
constexpr int64_t redraw_ns = 250'000'000;

int64_t now_ns() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// A byte count with three significant digits in decimal units: "999 B", "1.23 kB", "45.6 MB".
int format_bytes(char* out, size_t size, double bytes) {
  static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
  int unit = 0;
  while (bytes >= 999.5 && unit < 6) {
    bytes /= 1000;
    unit++;
  }
  if (unit == 0) return snprintf(out, size, "%.0f B", bytes);
  const int decimals = bytes < 9.995 ? 2 : bytes < 99.95 ? 1 : 0;
  return snprintf(out, size, "%.*f %s", decimals, bytes, units[unit]);
}

}  // namespace

int64_t regular_file_size(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

void progress_start(progress_meter& meter, const char* label, const char* fallback, int64_t total) {
  meter.on = true;
  meter.label = label != nullptr ? label : fallback;
  meter.total = total;
  meter.started_ns = now_ns();
  meter.drawn_ns = -1;
  meter.next_check = check_bytes;
}

void progress_text(char* out, size_t size, int64_t done, double elapsed, int64_t total) {
  size_t used = 0;
  const auto put = [&](int wrote) {
    if (wrote > 0) used = std::min(size - 1, used + static_cast<size_t>(wrote));
  };
  put(format_bytes(out, size, static_cast<double>(done)));
  const double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
  if (rate > 0) {
    put(snprintf(out + used, size - used, ", "));
    put(format_bytes(out + used, size - used, rate));
    put(snprintf(out + used, size - used, "/s"));
  }
  if (total > 0) {
    const double fraction = std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    put(snprintf(out + used, size - used, ", %.1f%% of ", fraction * 100));
    put(format_bytes(out + used, size - used, static_cast<double>(total)));
    if (rate > 0) {
      const int64_t left =
          static_cast<int64_t>(static_cast<double>(std::max<int64_t>(total - done, 0)) / rate);
      put(snprintf(out + used, size - used, ", %ld:%02d:%02d left", static_cast<long>(left / 3600),
                   static_cast<int>(left / 60 % 60), static_cast<int>(left % 60)));
    }
  }
}

void progress_check(progress_meter& meter, int64_t done) {
  meter.next_check = done + check_bytes;
  const int64_t now = now_ns();
  if (meter.drawn_ns >= 0 && now - meter.drawn_ns < redraw_ns) return;
  meter.drawn_ns = now;
  // What went to a stream on the same terminal goes out before the line is drawn over it.
  if (meter.flush_first != nullptr) fflush(meter.flush_first);
  char text[160];
  progress_text(text, sizeof text, done, static_cast<double>(now - meter.started_ns) / 1e9,
                meter.total);
  char line[200 + 64];
  snprintf(line, sizeof line, "%.64s: %s", meter.label, text);
  status_show(line);
}

void progress_end(progress_meter& meter) {
  if (meter.on) status_clear();
}
