// SPDX-License-Identifier: MIT
// scan_fuzz.cpp - kestrune-scan's probe, scan, consistency check and salvage on arbitrary streams,
// checked against the decoder run in the same process.
//
// Input: a mode byte, then n, k and the block size (each one byte, mapped into small ranges), then
// the rest. Mode bit 0 clear: the rest is the stream. Mode bit 0 set: the rest is a damage list and
// user data, as for decode_fuzz: the data is encoded in-process and the stream damaged. Damage
// entries are three bytes (a position, big-endian, and a kind byte): kind bit 7 swaps the chunk
// with the next one, bit 6 puts the block of an older version of the data in place (a stale
// block), bit 5 moves the last chunk in front of the chunk, otherwise the byte changes by the kind;
// with mode bit 3, the stream's shape changes there instead: kind bits 0-2 count bytes (0 for a
// block's worth), and bits 3-4 say whether they are deleted, repeated, replaced by as many new
// bytes inserted, or exchanged with as many bytes a chunk further on. Mode bit 4 cuts the stream at
// the first entry's position; mode bit 5 appends the older version's last chunk (another stream's
// data after the end). Mode bit 1 lets the scanner probe the parameters instead of being given
// them. Mode bit 2 hands the repair two copies: the stream, and the same stream damaged by a second
// list (which comes first in the input, and puts no stale blocks in and exchanges nothing); with
// mode bit 6 as well, the second copy is the older version instead.
//
// Checked on every input: the scan of a seekable file and of a pipe end alike (same verdicts,
// same prediction, same salvage). With the parameters given: the decoder completes exactly when
// the scan predicts it does, fails with the predicted message otherwise, and writes the predicted
// number of bytes; when it completes, the salvage holds exactly its bytes. When probing, a verdict
// of 0 or 2 promises that the decoder with the probed parameters restores the salvage's bytes.
// The repair (--repair) with the scan's parameters: a stream it restores completely decodes to
// exactly its salvage and is what the encoder writes for that data; an intact verdict gives the
// stream back as it was; and when the decoder restores the original data from the stream, the
// repair of the stream, alone or beside a damaged copy of it, restores it too.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz/in_process.h"
#include "fuzz/input_reader.h"
#include "kestrune.h"
#include "programs/kestrune-scan/report.h"
#include "programs/kestrune-scan/source.h"

namespace {

using namespace fuzz_harness;

// A chunk's report, kept.
struct judged_chunk {
  int64_t number = 0;
  kestrune_chunk_status status = KESTRUNE_CHUNK_INTACT;
  std::vector<std::pair<int, kestrune_verdict>> rejected;
  int64_t data_length = 0;
  std::string decoder_failure;
};

struct scan_run {
  bool completed = false;  // neither the probe nor the scan failed
  kestrune_detection params{};
  std::vector<judged_chunk> chunks;
  kestrune_scan_summary summary{};  // without its arrays
  std::string decoder_failure;
  std::string salvage;
};

// The user data of a salvage, appended to a string, zeros for lost bytes.
int append_salvage(std::string& to, const void* data, int64_t count) {
  if (data == nullptr) {
    to.append(static_cast<size_t>(count), '\0');
  } else {
    to.append(static_cast<const char*>(data), static_cast<size_t>(count));
  }
  return 0;
}

// Probes (when asked) and scans the stream through the library, from the memory file or through a
// pipe fed by a thread, read as kestrune-scan reads its input.
scan_run scan(const std::string& stream, bool pipe, const kestrune_params& given, unsigned known) {
  scan_run run;
  int fds[2] = {-1, -1};
  std::thread feeder;
  int fd = -1;
  if (pipe) {
    if (::pipe(fds) != 0) fail("pipe failed");
    feeder = std::thread([&stream, out = fds[1]] {
      size_t done = 0;
      while (done < stream.size()) {
        const ssize_t wrote = write(out, stream.data() + done, stream.size() - done);
        if (wrote <= 0) break;  // the scan stopped reading
        done += static_cast<size_t>(wrote);
      }
      close(out);
    });
    fd = fds[0];
  } else {
    store(stream);
    fd = dup(memory_file);
    lseek(fd, 0, SEEK_SET);
  }
  {
    scan_file input(fd, true);
    const kestrune_source source = input.source();
    kestrune_scanner* scanner = kestrune_scanner_create(&source, 1);
    if (scanner == nullptr) fail("no scanner");
    if (kestrune_scanner_detect(scanner, &given, known, &run.params) == KESTRUNE_OK) {
      if (kestrune_params_error(&run.params.params) != nullptr) {
        fail("the probe found parameters kestrune refuses");
      }
      kestrune_scan_callbacks callbacks{};
      callbacks.user = &run;
      callbacks.chunk = [](void* user, const kestrune_chunk_report* c) {
        judged_chunk kept{c->number, c->status, {}, c->data_length, c->decoder_failure};
        for (size_t i = 0; i < c->rejected_count; i++) {
          kept.rejected.emplace_back(c->rejected[i].position, c->rejected[i].verdict);
        }
        static_cast<scan_run*>(user)->chunks.push_back(std::move(kept));
      };
      callbacks.salvage = [](void* user, const void* data, int64_t count) {
        return append_salvage(static_cast<scan_run*>(user)->salvage, data, count);
      };
      if (kestrune_scan(scanner, &run.params.params, &callbacks, &run.summary) == KESTRUNE_OK) {
        run.completed = true;
        run.decoder_failure = run.summary.decoder_failure;
        run.summary.decoder_failure = nullptr;
        run.summary.lost_data = nullptr;
        run.summary.lost_data_count = 0;
      }
    }
    kestrune_scanner_free(scanner);
  }
  if (pipe) feeder.join();
  return run;
}

void same_scans(const scan_run& a, const scan_run& b) {
  if (a.completed != b.completed) fail("file and pipe scans end differently");
  if (!a.completed) return;
  if (a.params.params.blocksize != b.params.params.blocksize ||
      a.params.params.n != b.params.params.n || a.params.params.k != b.params.params.k) {
    fail("file and pipe probes differ");
  }
  if (a.chunks.size() != b.chunks.size()) fail("file and pipe scans judge different chunks");
  for (size_t c = 0; c < a.chunks.size(); c++) {
    const judged_chunk& x = a.chunks[c];
    const judged_chunk& y = b.chunks[c];
    if (x.status != y.status || x.rejected != y.rejected || x.data_length != y.data_length ||
        x.decoder_failure != y.decoder_failure) {
      fail("file and pipe scans judge a chunk differently");
    }
  }
  if (a.summary.decoder_fails_at != b.summary.decoder_fails_at ||
      a.decoder_failure != b.decoder_failure || a.summary.end != b.summary.end ||
      a.summary.lost_bytes != b.summary.lost_bytes) {
    fail("file and pipe scans sum up differently");
  }
  if (a.salvage != b.salvage) fail("file and pipe salvages differ");
}

// The scan's prediction against the decoder's run with the same parameters.
void prediction_holds(const scan_run& run, const std::string& stream) {
  const outcome decoded = decode_memory_file(stream);
  const kestrune_scan_summary& s = run.summary;
  int64_t predicted_length = 0;
  for (const judged_chunk& c : run.chunks) {
    if (s.decoder_fails_at >= 0 && c.number >= s.decoder_fails_at) break;
    predicted_length += c.data_length;
  }
  const bool predicted_completion = s.decoder_fails_at < 0;
  if (decoded.completed != predicted_completion) fail("the scan mispredicts the decoder's end");
  if (static_cast<int64_t>(decoded.output.size()) != predicted_length) {
    fail("the scan mispredicts the decoder's output length");
  }
  if (!decoded.completed && decoded.errors != run.decoder_failure + "\n") {
    fail("the scan mispredicts the decoder's message");
  }
  if (decoded.completed && run.salvage != decoded.output) {
    fail("the salvage differs from a completed decode");
  }
  const verdict_of_scan v = judge_scan(s, -1, &run.params);
  if ((v.status == 0 || v.status == 2) && !decoded.completed) {
    fail("the scan promises a restore that fails");
  }
}

struct damage_entry {
  uint32_t position;
  uint8_t kind;
};

std::vector<damage_entry> damage_list(reader& in) {
  const int entries = in.byte() % 8;
  std::vector<damage_entry> damage;
  for (int e = 0; e < entries; e++) {
    uint32_t position = uint32_t{in.byte()} << 8;
    position |= in.byte();
    damage.push_back({position, in.byte()});
  }
  return damage;
}

// The stream with the damage of the list done to it, one entry after another; old_stream is an
// older version of the same length.
std::string damaged(std::string stream, const std::string& old_stream,
                    const std::vector<damage_entry>& damage, uint8_t mode, bool* stale) {
  const size_t blocksize = static_cast<size_t>(config.blocksize);
  const size_t chunk_len = blocksize * static_cast<size_t>(config.n);
  const bool shapes = (mode & 8) != 0;
  for (const damage_entry& e : damage) {
    if (stream.empty()) return stream;
    // Bytes deleted or added change the length as the list goes on.
    const size_t chunks = stream.size() / chunk_len;
    const size_t at = e.position % stream.size();
    const size_t block = at / blocksize;
    const size_t chunk = at / chunk_len;
    if ((e.kind & 0x80) != 0 && chunk + 1 < chunks) {
      const std::string first = stream.substr(chunk * chunk_len, chunk_len);
      stream.replace(chunk * chunk_len, chunk_len, stream, (chunk + 1) * chunk_len, chunk_len);
      stream.replace((chunk + 1) * chunk_len, chunk_len, first);
    } else if ((e.kind & 0x40) != 0 && (block + 1) * blocksize <= old_stream.size()) {
      if (stream.compare(block * blocksize, blocksize, old_stream, block * blocksize, blocksize) !=
          0) {
        *stale = true;
      }
      stream.replace(block * blocksize, blocksize, old_stream, block * blocksize, blocksize);
    } else if ((e.kind & 0x20) != 0 && chunk + 1 < chunks) {
      const std::string last = stream.substr((chunks - 1) * chunk_len);
      stream.erase((chunks - 1) * chunk_len);
      stream.insert(chunk * chunk_len, last);
    } else if (shapes) {
      const size_t count = (e.kind & 0x07) != 0 ? size_t{e.kind & 0x07u} * 3 : blocksize;
      std::string piece = stream.substr(at, count);
      switch ((e.kind >> 3) & 3) {
        case 0:
          stream.erase(at, count);
          break;
        case 1:
          stream.insert(at, piece);
          break;
        case 2:
          for (char& c : piece) c = static_cast<char>(c ^ 0x5a);
          stream.insert(at, piece);
          break;
        default: {
          // Two regions of the same length change places: the length stays.
          const size_t other = at + chunk_len;
          if (other + piece.size() <= stream.size()) {
            const std::string there = stream.substr(other, piece.size());
            stream.replace(other, piece.size(), piece);
            stream.replace(at, piece.size(), there);
          }
          break;
        }
      }
    } else {
      stream[at] = static_cast<char>(stream[at] ^ (e.kind != 0 ? e.kind : 0xff));
    }
  }
  if ((mode & 16) != 0 && !damage.empty() && !stream.empty()) {
    stream.resize(damage[0].position % stream.size());
  }
  if ((mode & 32) != 0 && old_stream.size() >= chunk_len) {
    stream += old_stream.substr(old_stream.size() - chunk_len);
  }
  return stream;
}

// What a damaged stream was made from.
struct damaged_streams {
  std::string data;           // the user data
  std::string stream;         // its stream, damaged
  std::string second_copy;    // with mode bit 2: the second copy for the repair
  bool same_version = false;  // whether the second copy is of the data, not the older version
  bool stale = false;         // whether the stream holds a block of the older version
};

damaged_streams encode_and_damage(reader in, uint8_t mode) {
  damaged_streams made;
  std::vector<damage_entry> second_damage;
  if ((mode & 4) != 0) {
    // The second copy's chunks are all of the one version: stale blocks there would make it
    // another version, a conflict whatever the decoder makes of the first copy, and so would
    // blocks exchanged with another chunk's at their position where a chunk has no parity to
    // tell them (n = k). Those entries insert new bytes instead.
    second_damage = damage_list(in);
    for (damage_entry& e : second_damage) {
      e.kind &= static_cast<uint8_t>(~0x40);
      if (((e.kind >> 3) & 3) == 3) e.kind &= static_cast<uint8_t>(~0x08);
    }
  }
  const std::vector<damage_entry> damage = damage_list(in);
  made.data.assign(reinterpret_cast<const char*>(in.data), in.size);
  const std::string stream = encode_in_process(made.data);
  if (stream.empty()) return made;
  std::string old_data = made.data;
  for (size_t at = 0; at < old_data.size(); at += 97)
    old_data[at] = static_cast<char>(~old_data[at]);
  const std::string old_stream = encode_in_process(old_data);
  made.stream = damaged(stream, old_stream, damage, mode, &made.stale);
  if ((mode & 4) != 0) {
    made.same_version = (mode & 64) == 0;
    bool second_stale = false;
    made.second_copy = made.same_version
                           ? damaged(stream, old_stream, second_damage, mode & 8, &second_stale)
                           : old_stream;
  }
  return made;
}

// A second memory file, for a second copy.
int second_file() {
  static const int fd = memfd_create("second copy", 0);
  return fd;
}

// The repair of the stream, alone or beside a second copy, with the parameters the scan ran with.
// `data` is what the stream was made from, when that is known.
void repair_holds(const std::string& stream, const std::string* second_copy,
                  const std::string* data, const kestrune_params& params) {
  store(stream);
  if (second_copy != nullptr && (ftruncate(second_file(), 0) != 0 ||
                                 pwrite(second_file(), second_copy->data(), second_copy->size(),
                                        0) != static_cast<ssize_t>(second_copy->size()))) {
    fail("can't write the second copy");
  }
  struct written {
    std::string salvaged;
    std::string repaired;
  } out;
  scan_file first(dup(memory_file), true);
  scan_file second(dup(second_file()), true);
  std::vector<kestrune_source> copies{first.source()};
  if (second_copy != nullptr) copies.push_back(second.source());
  kestrune_scanner* scanner =
      kestrune_scanner_create(copies.data(), static_cast<int>(copies.size()));
  if (scanner == nullptr) fail("no scanner");
  kestrune_scan_callbacks callbacks{};
  callbacks.user = &out;
  callbacks.salvage = [](void* user, const void* bytes, int64_t count) {
    return append_salvage(static_cast<written*>(user)->salvaged, bytes, count);
  };
  callbacks.stream = [](void* user, const void* bytes, size_t size) {
    static_cast<written*>(user)->repaired.append(static_cast<const char*>(bytes), size);
    return 0;
  };
  kestrune_repair_summary summary{};
  if (kestrune_repair(scanner, &params, &callbacks, &summary) != KESTRUNE_OK) {
    fail("the repair failed");
  }
  const verdict_of_repair v = judge_repair(summary);
  const bool complete = summary.complete != 0;
  kestrune_scanner_free(scanner);
  const std::string& salvaged = out.salvaged;
  const std::string& repaired = out.repaired;
  if ((v.status == 3) == complete) fail("the repair's verdict contradicts its summary");
  if (data != nullptr && !complete) {
    const outcome decoded = decode_memory_file(stream);
    if (decoded.completed && decoded.output == *data) {
      fail("the decoder restores the stream but the repair does not");
    }
  }
  if (!complete) return;
  if (v.status == 0 && stream.compare(0, repaired.size(), repaired) != 0) {
    fail("an intact stream does not come back as it was");
  }
  const outcome decoded = decode_memory_file(repaired);
  if (!decoded.completed) fail("the repaired stream does not decode");
  if (decoded.output != salvaged)
    fail("the repaired stream decodes to other bytes than the salvage");
  if (data != nullptr && decoded.output != *data) {
    const outcome original = decode_memory_file(stream);
    if (original.completed && original.output == *data) {
      fail("the decoder restores the stream but the repair restores other bytes");
    }
  }
  if (encode_in_process(decoded.output) != repaired) {
    fail("the repaired stream is not what the encoder writes for its data");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  init_once("scan_fuzz");
  // A scan that stops reading leaves the pipe's feeder with nobody to write to.
  signal(SIGPIPE, SIG_IGN);
  reader in{data, size};
  const uint8_t mode = in.byte();
  if (!configure_from(in)) return -1;
  damaged_streams made;
  if ((mode & 1) != 0) {
    made = encode_and_damage(in, mode);
  } else {
    made.stream.assign(reinterpret_cast<const char*>(in.data), in.size);
    if ((mode & 4) != 0) made.second_copy = made.stream;
  }
  const std::string& stream = made.stream;
  const bool probe = (mode & 2) != 0;
  const kestrune_params given = settings_params();
  const unsigned known =
      probe ? 0u : KESTRUNE_GIVEN_BLOCKSIZE | KESTRUNE_GIVEN_N | KESTRUNE_GIVEN_K;

  const scan_run from_file = scan(stream, false, given, known);
  const scan_run from_pipe = scan(stream, true, given, known);
  same_scans(from_file, from_pipe);
  if (from_file.completed) {
    // The decoder and the encoder below run with the parameters the scan ran with.
    config.blocksize = from_file.params.params.blocksize;
    config.n = from_file.params.params.n;
    config.k = from_file.params.params.k;
    prediction_holds(from_file, stream);
    // The decoder's restore binds the repair of the stream, alone or beside a damaged second copy
    // of the same version, when it holds no block of the older version: with one, a chunk has two
    // versions, and the decoder may restore by luck (a stale parity block whose difference lies
    // past the chunk's data). Two versions of a chunk are a conflict, whatever the decoder makes of
    // one of them; so is a second copy of the older version, and without parity (n = k) blocks
    // that a damaged second copy puts together at a wrong place cannot be told from another
    // version at all.
    const bool known_data = (mode & 1) != 0 && !made.stale &&
                            ((mode & 4) == 0 || (made.same_version && config.n > config.k));
    repair_holds(stream, (mode & 4) != 0 ? &made.second_copy : nullptr,
                 known_data ? &made.data : nullptr, from_file.params.params);
  }
  return 0;
}
