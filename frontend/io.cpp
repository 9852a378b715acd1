// io.cpp - positioned reads that go on until the bytes asked for are in.
#include "frontend/io.h"

#include <unistd.h>

#include <cerrno>

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
