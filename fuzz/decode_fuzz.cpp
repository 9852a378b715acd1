// SPDX-License-Identifier: MIT
// decode_fuzz.cpp - the library's stream decoder on arbitrary bytes: from a seekable file, from a
// pipe and pushed in pieces.
//
// Input: a mode byte, then n, k and the block size (each one byte, mapped into small ranges), then
// the rest. Mode bit 0 clear: the rest is the protected stream. Mode bit 0 set: the rest is a
// damage list and user data; the data is encoded in-process, the stream damaged (bytes changed,
// its end cut off) and then decoded. Mode bit 1 turns on the decoder's reports (-vv).
//
// Checked on every input: the seekable and the pipe decode end alike (both complete or both fail)
// with the same output, the pushed decode exactly as the seekable one (reports and message too),
// and the output is never longer than the chunks the input can hold. After an in-process encode:
// the stream has the expected length; when every chunk keeps k of its own blocks and its stale
// blocks are within the radius (2e <= A - k) the decode completes, and whenever it completes it
// gives back exactly the data, except where nothing can tell (effect_of_stale()).
//
// Encode-mode input after the configuration: a damage count, a cut (bytes taken off the end), that
// many damage entries of three bytes (a position, big-endian, and a mask), then the data. An entry
// changes the byte at the position by the mask; with mode bit 2 an entry whose mask has its top bit
// set instead copies another block of the same chunk over the block at the position (an intact
// block in the wrong place); with mode bit 3 an entry whose mask has bit 6 set puts the block of an
// older version of the data (every 97th byte changed) in its place (a stale block), or, with bit
// 5 set as well, changes a byte of the block's packet and reseals the block (a wrong block with a
// right digest).
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/in_process.h"
#include "fuzz/input_reader.h"
#include "stream/agreement.h"
#include "stream/format.h"
#include "stream/rules.h"

namespace {

using namespace fuzz_harness;

int64_t capacity() { return chunk_capacity(config.blocksize, config.k); }

// Decodes the stream both ways and checks what every decode must satisfy; returns the outcome.
outcome decode_both(const std::string& stream) {
  const outcome seekable = decode_through_library(stream, decode_way::file);
  const outcome pipe = decode_through_library(stream, decode_way::pipe);
  if (seekable.completed != pipe.completed) fail("seekable and pipe decodes end differently");
  if (seekable.output != pipe.output) fail("seekable and pipe decodes write different bytes");
  const outcome pushed = decode_through_library(stream, decode_way::pushed);
  if (pushed.completed != seekable.completed || pushed.output != seekable.output ||
      pushed.errors != seekable.errors) {
    fail("pushed and seekable decodes differ");
  }

  // A chunk is rebuilt from k whole blocks within its n positions: chunk c needs the input to
  // reach c * n * blocksize + k * blocksize.
  const int64_t size = static_cast<int64_t>(stream.size());
  const int64_t chunk_len = int64_t{config.n} * config.blocksize;
  const int64_t needed = int64_t{config.k} * config.blocksize;
  const int64_t chunks = size < needed ? 0 : (size - needed) / chunk_len + 1;
  if (static_cast<int64_t>(seekable.output.size()) > chunks * capacity()) {
    fail("more output than the input's chunks can hold");
  }
  if (chunks == 0 && seekable.completed) fail("a decode completed without a whole chunk");
  return seekable;
}

// What the wrong blocks did to the damaged stream. A block is acceptable when its digest is right
// and its trailer names its position and k; an acceptable block that differs from the stream's own
// is wrong (a block of the old version, or a resealed one). Among A acceptable blocks the decoder
// corrects any e wrong ones with 2e <= A - k. Beyond that it must refuse the chunk, except where
// nothing can tell: a chunk with exactly k acceptable blocks, or one whose old version is itself
// that near (2 * (A - blocks like the old) <= A - k), which the decoder may take for the chunk.
struct stale_effect {
  bool any_differs = false;
  bool beyond_reach = false;  // some chunk where another version may pass
  bool all_decodable = true;  // every chunk has its own version within the radius
};

stale_effect effect_of_stale(const std::string& damaged, const std::string& own,
                             const std::string& old) {
  stale_effect effect;
  const size_t blocksize = static_cast<size_t>(config.blocksize);
  const size_t n = static_cast<size_t>(config.n);
  const int k = config.k;
  const size_t chunks = own.size() / (n * blocksize);
  for (size_t chunk = 0; chunk < chunks; chunk++) {
    int acceptable = 0;
    int like_old = 0;
    int differing = 0;
    int resealed = 0;  // wrong blocks that are neither the stream's own nor the old version's
    for (size_t i = 0; i < n; i++) {
      const size_t at = (chunk * n + i) * blocksize;
      if (at + blocksize > damaged.size()) break;
      const auto* block = reinterpret_cast<const uint8_t*>(damaged.data() + at);
      bool digest_ok = false;
      verify_blocks(&block, 1, config.blocksize, &digest_ok);
      const block_fit fit = judge_block(block, digest_ok, static_cast<int>(i), config.blocksize, k);
      // A resealed block whose k byte was changed is intact with another k: where the decoder
      // reads it, it stops the run.
      if (fit == block_fit::other_k) effect.all_decodable = false;
      if (fit != block_fit::accepted) continue;
      const bool is_own = damaged.compare(at, blocksize, own, at, blocksize) == 0;
      const bool is_old = !old.empty() && damaged.compare(at, blocksize, old, at, blocksize) == 0;
      acceptable++;
      like_old += is_old ? 1 : 0;
      differing += is_own ? 0 : 1;
      resealed += !is_own && !is_old ? 1 : 0;
    }
    effect.any_differs = effect.any_differs || differing > 0;
    // Beyond the radius, resealed blocks may make a third version nearer than the stream's own:
    // the decoder may take it, as it may take a nearer old version.
    const bool own_beyond = 2 * differing > acceptable - k;
    if (differing > 0 &&
        (acceptable == k || (!old.empty() && 2 * (acceptable - like_old) <= acceptable - k) ||
         (own_beyond && resealed > 0))) {
      effect.beyond_reach = true;
    }
    if (acceptable - differing < k || 2 * differing > acceptable - k) effect.all_decodable = false;
  }
  return effect;
}

void encode_damage_decode(reader in, bool copies, bool stale) {
  const int flips = in.byte() % 16;
  const int cut = in.byte();
  struct flip {
    uint32_t position;
    uint8_t mask;
  };
  std::vector<flip> damage;
  for (int f = 0; f < flips; f++) {
    uint32_t position = uint32_t{in.byte()} << 8;
    position |= in.byte();
    const uint8_t mask = in.byte();
    damage.push_back({position, mask != 0 ? mask : uint8_t{0xff}});
  }
  const std::string data(reinterpret_cast<const char*>(in.data), in.size);
  std::string stream = encode_in_process(data);
  const std::string encoded_stream = stream;
  // An older version of the data: the same length, every 97th byte changed. Its blocks are intact
  // and carry the right indexes, but do not belong to the stream.
  std::string old_stream;
  if (stale) {
    std::string old_data = data;
    for (size_t at = 0; at < old_data.size(); at += 97)
      old_data[at] = static_cast<char>(~old_data[at]);
    old_stream = encode_in_process(old_data);
  }

  const int64_t chunk_len = int64_t{config.n} * config.blocksize;
  const int64_t chunks = (static_cast<int64_t>(data.size()) + capacity() - 1) / capacity();
  if (static_cast<int64_t>(stream.size()) != chunks * chunk_len) fail("unexpected stream length");

  if (!stream.empty()) {
    const size_t blocksize = static_cast<size_t>(config.blocksize);
    const size_t n = static_cast<size_t>(config.n);
    for (const flip& f : damage) {
      const size_t at = f.position % stream.size();
      const size_t block = at / blocksize;
      if (stale && (f.mask & 0x60) == 0x60) {
        // The block's packet changed and its digest made anew: intact, at its place, and wrong.
        stream[block * blocksize + at % (blocksize - TRAILER_LEN)] ^= static_cast<char>(f.mask);
        uint8_t* sealed = reinterpret_cast<uint8_t*>(stream.data() + block * blocksize);
        seal_blocks(&sealed, 1, config.blocksize);
      } else if (stale && (f.mask & 0x40) != 0) {
        // The old version's block at the same place.
        stream.replace(block * blocksize, blocksize, old_stream, block * blocksize, blocksize);
      } else if (copies && (f.mask & 0x80) != 0) {
        // Another position of the same chunk: the block carries its own index and is rejected.
        const size_t from = block - block % n + (block % n + 1 + (f.mask & 0x7f) % (n - 1)) % n;
        stream.replace(block * blocksize, blocksize, stream, from * blocksize, blocksize);
      } else {
        stream[at] = static_cast<char>(stream[at] ^ f.mask);
      }
    }
    // Blocks from the one the cut falls in are lost.
    stream.resize(stream.size() - std::min(stream.size(), static_cast<size_t>(cut)));
  }

  const outcome decoded = decode_both(stream);
  if (data.empty()) return;
  // Blocks that do not belong are found, or end the run, and never pass for the data, except where
  // nothing can tell (effect_of_stale()); every chunk whose own version lies within the radius is
  // restored.
  const stale_effect effect = effect_of_stale(stream, encoded_stream, old_stream);
  if (!effect.beyond_reach && decoded.completed && decoded.output != data) {
    fail(effect.any_differs
             ? "a stream with blocks of an older version decoded to other bytes with status 0"
             : "a recoverable stream decoded to other bytes");
  }
  if (effect.all_decodable && !decoded.completed) fail("a recoverable stream failed to decode");
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  init_once("decode_fuzz");
  reader in{data, size};
  const uint8_t mode = in.byte();
  if (!configure_from(in)) return -1;
  config.verbose = (mode & 2) != 0 ? 2 : 0;
  if ((mode & 1) != 0) {
    encode_damage_decode(in, (mode & 4) != 0, (mode & 8) != 0);
  } else {
    decode_both(std::string(reinterpret_cast<const char*>(in.data), in.size));
  }
  return 0;
}
