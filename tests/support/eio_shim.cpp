// SPDX-License-Identifier: MIT
// eio_shim.cpp - preloaded into a binary by the tests to make a stretch of its input unreadable:
// reads of a regular file that reach the bytes KESTRUNE_TEST_EIO names fail with EIO, as reads of
// a damaged disk do.
//
// KESTRUNE_TEST_EIO is "OFFSET:LENGTH" or "OFFSET:LENGTH:short", in bytes. Without ":short" every
// read that overlaps bytes [OFFSET, OFFSET + LENGTH) fails; with it a read that starts before them
// returns the bytes up to them (a short read), and a read that starts among them fails. read,
// readv, pread and preadv (and the 64-bit names of the last two) are covered; reads of pipes and
// devices pass through. When KESTRUNE_TEST_EIO_LOG names a file, every read that fails appends
// "OFFSET COUNT" and a newline to it.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct unreadable_bytes {
  bool set = false;
  int64_t start = 0;
  int64_t end = 0;
  bool short_reads = false;
};

unreadable_bytes parse(const char* text) {
  unreadable_bytes bytes;
  if (text == nullptr) return bytes;
  char* rest = nullptr;
  const long long offset = strtoll(text, &rest, 10);
  const bool colon = *rest == ':';
  const long long length = colon ? strtoll(rest + 1, &rest, 10) : 0;
  bytes.short_reads = strcmp(rest, ":short") == 0;
  if (!colon || offset < 0 || length <= 0 || (*rest != '\0' && !bytes.short_reads)) {
    fprintf(stderr, "eio_shim: KESTRUNE_TEST_EIO=\"%s\" is not OFFSET:LENGTH[:short]\n", text);
    abort();
  }
  bytes.set = true;
  bytes.start = offset;
  bytes.end = offset + length;
  return bytes;
}

const unreadable_bytes& unreadable() {
  static const unreadable_bytes bytes = parse(getenv("KESTRUNE_TEST_EIO"));
  return bytes;
}

template <typename Fn>
Fn next_definition(const char* name) {
  void* found = dlsym(RTLD_NEXT, name);
  if (found == nullptr) {
    fprintf(stderr, "eio_shim: no %s to pass reads on to\n", name);
    abort();
  }
  return reinterpret_cast<Fn>(found);
}

// How many of the count bytes at offset of fd a read may give: all of them when they miss the
// unreadable bytes, else those before them (short reads only); -1 when the read fails.
int64_t readable(int fd, int64_t offset, size_t count) {
  const unreadable_bytes& bad = unreadable();
  const int64_t wanted = static_cast<int64_t>(count);
  if (!bad.set || count == 0 || offset + wanted <= bad.start || offset >= bad.end) return wanted;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return wanted;
  if (bad.short_reads && offset < bad.start) return bad.start - offset;
  return -1;
}

// Appends the failed read to the log, when there is one.
void log_failure(int64_t offset, size_t count) {
  static const char* const path = getenv("KESTRUNE_TEST_EIO_LOG");
  if (path == nullptr || *path == '\0') return;
  const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[64];
  const int length =
      snprintf(line, sizeof line, "%lld %zu\n", static_cast<long long>(offset), count);
  if (length > 0) (void)!write(fd, line, static_cast<size_t>(length));
  close(fd);
}

// readable(), and the log told of a read that fails.
int64_t allowed_or_logged(int fd, int64_t offset, size_t count) {
  const int64_t allowed = readable(fd, offset, count);
  if (allowed < 0) log_failure(offset, count);
  return allowed;
}

template <typename Fn>
ssize_t positioned(Fn next, int fd, void* buffer, size_t count, int64_t offset) {
  const int64_t allowed = allowed_or_logged(fd, offset, count);
  if (allowed < 0) {
    errno = EIO;
    return -1;
  }
  return next(fd, buffer, static_cast<size_t>(allowed), offset);
}

template <typename Fn>
ssize_t vectored(Fn next, int fd, const iovec* iov, int iovcnt, int64_t offset) {
  size_t total = 0;
  for (int i = 0; i < iovcnt; i++) total += iov[i].iov_len;
  const int64_t allowed = allowed_or_logged(fd, offset, total);
  if (allowed < 0) {
    errno = EIO;
    return -1;
  }
  if (static_cast<size_t>(allowed) == total || iovcnt > IOV_MAX) {
    return next(fd, iov, iovcnt, offset);
  }
  // The leading buffers, the last of them cut, hold what may be read.
  iovec cut[IOV_MAX];
  int used = 0;
  for (size_t left = static_cast<size_t>(allowed); left > 0; used++) {
    cut[used] = iov[used];
    if (cut[used].iov_len > left) cut[used].iov_len = left;
    left -= cut[used].iov_len;
  }
  return next(fd, cut, used, offset);
}

}  // namespace

extern "C" {

ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
  static const auto next = next_definition<ssize_t (*)(int, void*, size_t, off_t)>("pread");
  return positioned(next, fd, buffer, count, offset);
}

ssize_t pread64(int fd, void* buffer, size_t count, off64_t offset) {
  static const auto next = next_definition<ssize_t (*)(int, void*, size_t, off64_t)>("pread64");
  return positioned(next, fd, buffer, count, offset);
}

ssize_t preadv(int fd, const iovec* iov, int iovcnt, off_t offset) {
  static const auto next = next_definition<ssize_t (*)(int, const iovec*, int, off_t)>("preadv");
  return vectored(next, fd, iov, iovcnt, offset);
}

ssize_t preadv64(int fd, const iovec* iov, int iovcnt, off64_t offset) {
  static const auto next =
      next_definition<ssize_t (*)(int, const iovec*, int, off64_t)>("preadv64");
  return vectored(next, fd, iov, iovcnt, offset);
}

ssize_t read(int fd, void* buffer, size_t count) {
  static const auto next = next_definition<ssize_t (*)(int, void*, size_t)>("read");
  if (unreadable().set) {
    const int saved_errno = errno;  // lseek fails on a pipe; a read that works leaves errno alone
    const off_t at = lseek(fd, 0, SEEK_CUR);
    errno = saved_errno;
    const int64_t allowed = at < 0 ? static_cast<int64_t>(count) : allowed_or_logged(fd, at, count);
    if (allowed < 0) {
      errno = EIO;
      return -1;
    }
    count = static_cast<size_t>(allowed);
  }
  return next(fd, buffer, count);
}

ssize_t readv(int fd, const iovec* iov, int iovcnt) {
  static const auto next = next_definition<ssize_t (*)(int, const iovec*, int)>("readv");
  if (!unreadable().set) return next(fd, iov, iovcnt);
  const int saved_errno = errno;  // as for read()
  const off_t at = lseek(fd, 0, SEEK_CUR);
  errno = saved_errno;
  if (at < 0) return next(fd, iov, iovcnt);
  const auto at_position = [](int f, const iovec* v, int c, int64_t) { return next(f, v, c); };
  return vectored(at_position, fd, iov, iovcnt, at);
}

}  // extern "C"
