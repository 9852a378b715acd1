// SPDX-License-Identifier: MIT
// io.cpp - positioned reads that go on until the bytes asked for are in, and output written
// straight from where its bytes lie.
#include "frontend/io.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include "frontend/diag.h"

size_t pread_full(int fd, uint8_t* dest, size_t count, int64_t offset) {
  size_t done = 0;
  while (done < count) {
    const ssize_t got = pread(fd, dest + done, count - done, offset + static_cast<int64_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

int skip_pieces(iovec* pieces, int t, size_t done) {
  while (done > 0) {
    if (done >= pieces[t].iov_len) {
      done -= pieces[t].iov_len;
      t++;
    } else {
      pieces[t].iov_base = static_cast<uint8_t*>(pieces[t].iov_base) + done;
      pieces[t].iov_len -= done;
      done = 0;
    }
  }
  return t;
}

namespace {

iovec queue[IOV_MAX];
int queued = 0;
bool flush_at_exit = false;

// Writes the queued pieces; false at the first write that fails.
bool write_queue() {
  // Emptied first: a failure dies, and the exit must not write the same pieces again.
  const int count = queued;
  queued = 0;
  if (count == 0) return true;
  if (fflush(stdout) != 0) return false;
  const int fd = fileno(stdout);
  for (int t = 0; t < count;) {
    const ssize_t wrote = writev(fd, queue + t, count - t);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    t = skip_pieces(queue, t, static_cast<size_t>(wrote));
  }
  return true;
}

}  // namespace

void output_write_queued() { (void)write_queue(); }

void output_flush() {
  if (!write_queue()) die("write error");
}

void output_bytes(const uint8_t* bytes, size_t count) {
  if (count == 0) return;
  if (fileno(stdout) < 0) {
    if (fwrite(bytes, 1, count, stdout) != count) die("write error");
    return;
  }
  if (!flush_at_exit) {
    flush_at_exit = true;
    atexit(output_write_queued);
  }
  if (queued == IOV_MAX) output_flush();
  queue[queued++] = {const_cast<uint8_t*>(bytes), count};
}
