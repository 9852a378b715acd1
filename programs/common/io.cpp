// SPDX-License-Identifier: MIT
// io.cpp - the program's side of the library's input and output.
#include "programs/common/io.h"

#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

// After a readv() or writev() that moved `done` bytes of pieces[t ..]: the pieces it filled or
// wrote whole are passed, the one it ended inside keeps its rest. Returns the first piece left.
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

static_assert(sizeof(kestrune_piece) == sizeof(iovec));

}  // namespace

int write_stdout(void*, const kestrune_piece* pieces, int count) {
  if (count == 0) return 0;
  if (fflush(stdout) != 0) return -1;
  const int fd = fileno(stdout);
  if (fd < 0) {
    for (int t = 0; t < count; t++) {
      if (fwrite(pieces[t].data, 1, pieces[t].size, stdout) != pieces[t].size) return -1;
    }
    return 0;
  }
  // writev() may write part of a piece; the array handed in stays as it is.
  iovec rest[IOV_MAX];
  for (int done = 0; done < count; done += IOV_MAX) {
    const int part = std::min(IOV_MAX, count - done);
    for (int t = 0; t < part; t++) rest[t] = {pieces[done + t].data, pieces[done + t].size};
    for (int t = 0; t < part;) {
      const ssize_t wrote = writev(fd, rest + t, part - t);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return -1;
      t = skip_pieces(rest, t, static_cast<size_t>(wrote));
    }
  }
  return 0;
}

int64_t read_pieces(void* user, kestrune_piece* pieces, int count, int* failed) {
  const piece_reader& in = *static_cast<const piece_reader*>(user);
  int64_t total = 0;
  *failed = 0;
  if (in.fd < 0) {
    for (int t = 0; t < count; t++) {
      const size_t got = fread(pieces[t].data, 1, pieces[t].size, in.file);
      total += static_cast<int64_t>(got);
      if (got < pieces[t].size) {
        *failed = ferror(in.file) != 0;
        break;
      }
    }
    return total;
  }
  iovec* vector = reinterpret_cast<iovec*>(pieces);
  int t = 0;
  while (t < count) {
    const ssize_t got = readv(in.fd, vector + t, std::min(count - t, IOV_MAX));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      *failed = got < 0;
      break;
    }
    total += got;
    t = skip_pieces(vector, t, static_cast<size_t>(got));
  }
  return total;
}

size_t read_file_at(void* user, void* dest, size_t size, int64_t offset) {
  const int fd = *static_cast<const int*>(user);
  size_t done = 0;
  while (done < size) {
    const ssize_t got = pread(fd, static_cast<uint8_t*>(dest) + done, size - done,
                              offset + static_cast<int64_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

size_t read_stream(void* user, void* dest, size_t size) {
  return fread(dest, 1, size, static_cast<FILE*>(user));
}
