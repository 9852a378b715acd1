// SPDX-License-Identifier: MIT
// detect.cpp - kestrune -d --detect: the probe run on the head of a file or a pipe, and the pipe's
// held head given back to the decoder before the rest of the pipe.
#include "programs/kestrune/detect.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "programs/common/diag.h"
#include "programs/common/sectors.h"

namespace {

// Reads the pipe on until the head holds limit bytes or the pipe ends.
void read_pipe_head(detect_input& in, size_t limit) {
  size_t have = in.head.size();
  in.head.resize(limit);
  while (have < limit && !in.at_end) {
    const ssize_t got = read(in.fd, in.head.data() + have, limit - have);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) die("read error");
    if (got == 0) {
      in.at_end = true;
      in.size = static_cast<int64_t>(have);
    }
    have += static_cast<size_t>(got);
  }
  in.head.resize(have);
}

const std::vector<uint8_t>& head_of(detect_input& in, size_t limit) {
  const size_t have = in.head.size();
  if (limit <= have) return in.head;
  if (in.pipe) {
    read_pipe_head(in, limit);
    return in.head;
  }
  const size_t wanted =
      static_cast<size_t>(std::min<int64_t>(in.size, static_cast<int64_t>(limit)));
  if (wanted <= have) return in.head;
  // A sector that cannot be read is left as zeros, which no digest accepts, and is read once.
  in.head.resize(wanted, 0);
  (void)pread_sectors(in.fd, in.head.data() + have, wanted - have, static_cast<int64_t>(have),
                      in.unreadable);
  return in.head;
}

// The decoder's reads of a pipe after detection: the held head first, then the pipe itself.
ssize_t read_held(void* cookie, char* dest, size_t count) {
  detect_input& in = *static_cast<detect_input*>(cookie);
  if (in.served < in.head.size()) {
    const size_t part = std::min(count, in.head.size() - in.served);
    memcpy(dest, in.head.data() + in.served, part);
    in.served += part;
    if (in.served == in.head.size()) {
      // Given back whole: the memory goes.
      std::vector<uint8_t>().swap(in.head);
      in.served = 0;
    }
    return static_cast<ssize_t>(part);
  }
  if (in.at_end) return 0;
  for (;;) {
    const ssize_t got = read(in.fd, dest, count);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

FILE* detect_parameters(FILE* input, bool pipe, kestrune_params& params, unsigned given,
                        detect_input& held) {
  held.fd = fileno(input);
  held.pipe = pipe;
  if (!pipe) {
    // The end of a file or a block device; the decoder reads with positioned reads.
    const off_t end = lseek(held.fd, 0, SEEK_END);
    held.size = end > 0 ? static_cast<int64_t>(end) : 0;
    (void)lseek(held.fd, 0, SEEK_SET);
  }
  const kestrune_head head = [](void* user, size_t limit, const void** bytes, size_t* length,
                                int64_t* total) {
    detect_input& in = *static_cast<detect_input*>(user);
    const std::vector<uint8_t>& got = head_of(in, limit);
    *bytes = got.data();
    *length = got.size();
    *total = in.size;
    return 0;
  };
  char message[512];
  if (kestrune_detect(&params, given, head, &held, message, sizeof message) != KESTRUNE_OK) {
    die("%s", message);
  }
  if (!pipe) {
    std::vector<uint8_t>().swap(held.head);
    return input;
  }
  FILE* rest = fopencookie(&held, "r", {read_held, nullptr, nullptr, nullptr});
  if (rest == nullptr) die("can't malloc(%d)", static_cast<int>(sizeof(FILE)));
  return rest;
}
