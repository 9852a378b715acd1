// SPDX-License-Identifier: MIT
// decode.cpp - the stream decoder: each chunk rebuilt from its first k acceptable blocks, and
// checked against every other acceptable block before its bytes go out.
//
// Blocks are read straight into the packet slots and digested together. A seekable input is read
// with positioned reads, a batch of chunks at a time (see read_batch()); after a failed or short
// read the blocks are read one by one, so an unreadable block costs that block alone. A pipe is
// read in order, as many blocks at a time as the chunk still needs. Either way the chunks are
// judged one after the other, each block in position order, so what is reported does not depend
// on how the blocks were read.
//
// The check. A block's digest covers that block alone, so a block of an older version of the
// archive, or of another stream with the same parameters, standing at the right position, passes
// every check a block can pass on its own. The code itself tells: the k blocks determine the whole
// chunk, so every further acceptable block must equal the packet that the rebuilt data gives for
// its index. The whole chunk is at hand anyway: a file is read a batch at a time, a pipe in order.
// A block beyond the k is compared before it is digested, since a block that agrees needs no
// digest. When an acceptable one disagrees, the wrong blocks are found by decoding
// (settle_packets()): any e of them among A acceptable blocks with 2e <= A - k are left out and the
// chunk is rebuilt from the rest; beyond that the run ends with "unrecoverable error --
// inconsistent blocks". Blocks beyond the k are judged without a word: a stream whose blocks agree
// gives exactly the reports it gave before the check existed.
//
// --stats counts what the decoder drops, by kind, and what each chunk has to spare (its acceptable
// blocks beyond k), in a decode_stats that the run owns and hands to each chunk. The counts
// ride on the judging the decoder does anyway; only a damaged block beyond the k that the check
// leaves unjudged costs its digest, to tell which kind it is.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fec/fec.h"
#include "stream/agreement.h"
#include "stream/buffers.h"
#include "stream/failure.h"
#include "stream/format.h"
#include "stream/output.h"
#include "stream/rules.h"
#include "stream/stream.h"

namespace decoding {

constexpr int max_iov = 256;  // at most n blocks are read at once, and n <= 256

// Why a block was dropped, for --stats.
enum drop_kind { drop_digest, drop_index, drop_short, drop_inconsistent, drop_kinds };

// The counts of one run for --stats.
struct decode_stats {
  int64_t chunks = 0;         // restored and written out
  int64_t needed_parity = 0;  // among them, those rebuilt without some data block
  int64_t dropped[drop_kinds] = {};
  int lowest_spare = INT_MAX;  // least acceptable blocks beyond k over the chunks restored
  int64_t lowest_spare_chunk = -1;
  int64_t lowest_spare_offset = -1;
  // The chunk being decoded.
  int64_t number = 0;
  int64_t offset = 0;
  bool data_dropped = false;  // one of its data blocks dropped: parity needed
  int spare = 0;
};

// Whether a block's digest is known to be right, known to be wrong, or still to be computed.
enum class digest_state : uint8_t { unknown, good, bad };

// One run of the decoder, in the context its caller set up.
struct decoder {
  stream_context& ctx;
  decode_source source;

  // The decoder's n buffers: pkt_table's k slots, then the spare blocks, which take the blocks read
  // beyond the k-th accepted one. They are the n blocks of one chunk of the batch, the next chunk
  // of the batch for the next chunk of the stream, so that the restored bytes of a whole batch go
  // out in one write, straight from the slots. Work block `position` keeps the chunk's parity
  // blocks across the rebuild, in case a block beyond the k disagrees.
  uint8_t* spare[max_iov] = {};

  // The positions the previous chunk rejected before its k-th accepted block.
  int last_rejected = 0;

  uint8_t* kept_block(int position) { return work_block(ctx, position); }

  void count_drop(decode_stats* stats, drop_kind kind, int position) {
    if (stats == nullptr) return;
    stats->dropped[kind]++;
    if (position < ctx.config.k) stats->data_dropped = true;
  }

  // The summary on standard error; at a fatal stop, also where it stopped and what to do next.
  void print_stats(const decode_stats& s, bool stopped) {
    report(ctx, "stats: chunks read %ld\n", static_cast<long>(s.chunks));
    report(ctx, "stats: chunks needing parity %ld\n", static_cast<long>(s.needed_parity));
    const int64_t total = s.dropped[drop_digest] + s.dropped[drop_index] + s.dropped[drop_short] +
                          s.dropped[drop_inconsistent];
    report(ctx, "stats: blocks dropped %ld\n", static_cast<long>(total));
    report(ctx, "stats: blocks dropped digest %ld\n", static_cast<long>(s.dropped[drop_digest]));
    report(ctx, "stats: blocks dropped index %ld\n", static_cast<long>(s.dropped[drop_index]));
    report(ctx, "stats: blocks dropped short %ld\n", static_cast<long>(s.dropped[drop_short]));
    report(ctx, "stats: blocks dropped inconsistent %ld\n",
           static_cast<long>(s.dropped[drop_inconsistent]));
    if (s.lowest_spare_chunk < 0) {
      report(ctx, "stats: lowest spare none\n");
    } else {
      report(ctx, "stats: lowest spare %d at chunk %ld offset %ld\n", s.lowest_spare,
             static_cast<long>(s.lowest_spare_chunk), static_cast<long>(s.lowest_spare_offset));
    }
    if (stopped) {
      report(ctx, "stats: stopped at chunk %ld offset %ld\n", static_cast<long>(s.number),
             static_cast<long>(s.offset));
      report(ctx, "stats: kestrune-scan %s reports every chunk and salvages the rest\n",
             ctx.config.input_name != nullptr ? ctx.config.input_name : "-");
    }
  }

  // A fatal stop of the decoder: the summary first, when asked for.
  [[noreturn]] void stop(const decode_stats* stats, kestrune_result code, const char* message) {
    if (stats != nullptr) print_stats(*stats, true);
    fail(code, "%s", message);
  }

  // Reads count blocks from offset into the slots; complete[t] tells which arrived whole. One call
  // reads them all; after a short or failed read the rest are read one by one, so that a block that
  // cannot be read costs that block alone.
  void read_seekable(int64_t offset, uint8_t* const* slots, int count, bool* complete) {
    if (count <= 0) return;
    const size_t size = static_cast<size_t>(ctx.config.blocksize);
    // Slots that follow each other in memory (the usual case: an undamaged chunk leaves them in
    // order) make one segment, read in one call: the kernel copies a long segment faster than many
    // short ones.
    int whole = 0;  // the blocks read whole by the segments' reads, until the first short one
    for (int t = 0; t < count;) {
      int run = 1;
      while (t + run < count && slots[t + run] == slots[t] + size * static_cast<size_t>(run)) run++;
      const size_t want = size * static_cast<size_t>(run);
      const size_t got =
          source.read_at(source.user, slots[t], want, offset + int64_t{ctx.config.blocksize} * t);
      whole += static_cast<int>(std::min(got, want) / size);
      if (got < want) break;
      t += run;
    }
    for (int t = whole; t < count; t++) {
      complete[t] = source.read_at(source.user, slots[t], size,
                                   offset + int64_t{ctx.config.blocksize} * t) == size;
    }
    std::fill(complete, complete + whole, true);
  }

  void read_pipe(uint8_t* const* slots, int count, bool* complete) {
    const size_t size = static_cast<size_t>(ctx.config.blocksize);
    // Slots that follow each other in memory are read in one call, as for a file.
    for (int t = 0; t < count;) {
      int run = 1;
      while (t + run < count && slots[t + run] == slots[t] + size * static_cast<size_t>(run)) run++;
      const size_t got = source.read(source.user, slots[t], size * static_cast<size_t>(run));
      for (int u = 0; u < run; u++) complete[t + u] = got >= size * static_cast<size_t>(u + 1);
      t += run;
    }
  }

  // result[t] = the block_index of slots[t] when it is complete and intact (the caller checks its
  // k_byte), -2 when it could not be read whole, -3 when its digest is wrong. The complete blocks
  // are digested together.
  void judge_read(const uint8_t* const* slots, const bool* complete, int count, int* result) {
    const uint8_t* whole[max_iov] = {};
    bool intact[max_iov];
    int wholes = 0;
    for (int t = 0; t < count; t++) {
      if (complete[t]) whole[wholes++] = slots[t];
    }
    verify_blocks(whole, wholes, ctx.config.blocksize, intact);
    for (int t = 0, w = 0; t < count; t++) {
      if (!complete[t]) {
        result[t] = -2;
      } else {
        result[t] = intact[w++] ? slots[t][ctx.payload_len] : -3;
      }
    }
  }

  // Whether a block is acceptable at position, judged without a word; its digest is computed only
  // when not known yet.
  bool acceptable(const uint8_t* block, bool complete, int position, digest_state& digest) {
    if (!complete) return false;
    if (digest == digest_state::unknown) {
      bool ok = false;
      verify_blocks(&block, 1, ctx.config.blocksize, &ok);
      digest = ok ? digest_state::good : digest_state::bad;
    }
    return judge_block(block, digest == digest_state::good, position, ctx.config.blocksize,
                       ctx.config.k) == block_fit::accepted;
  }

  // A file is read a batch of chunks at a time: the whole batch in one read, straight into the
  // chunks' slots, and the blocks that the first round of each chunk judges (k of them, or all
  // after a chunk that lost blocks: a bad stripe of the medium) digested together, many chunks
  // filling the digest's lanes where one chunk leaves some empty; then each chunk is judged as
  // before, and any other block it asks for is digested then.
  static constexpr int not_judged = -4;  // in ahead_result: read, not digested yet

  int chunk_set = 0;  // the current chunk's place in the batch: its slots are that chunk's blocks
  std::vector<uint8_t*> ahead_block = {};    // every block of the batch
  std::vector<uint8_t> ahead_complete = {};  // per block of the batch: read whole
  std::vector<int> ahead_result = {};        // per block of the batch: as judge_read() tells
  std::vector<int> ahead_which = {};         // the blocks read_batch() judges at once

  // Digests and judges the listed blocks of the batch (indexes into ahead_block), max_iov at a
  // time.
  void judge_ahead(const int* which, int count) {
    const uint8_t* blocks[max_iov];
    bool complete[max_iov];
    int result[max_iov];
    for (int done = 0; done < count; done += max_iov) {
      const int part = std::min(max_iov, count - done);
      for (int t = 0; t < part; t++) {
        blocks[t] = ahead_block[which[done + t]];
        complete[t] = ahead_complete[which[done + t]] != 0;
      }
      judge_read(blocks, complete, part, result);
      for (int t = 0; t < part; t++) ahead_result[which[done + t]] = result[t];
    }
  }

  // Reads the batch whose first chunk starts at batch_base; or, with arrived >= 0, takes the batch
  // pushed into the chunk area, of which the first `arrived` bytes came.
  void read_batch(int64_t batch_base, int64_t arrived = -1) {
    const int n = ctx.config.n;
    const int count = ctx.batch_chunks * n;
    const int judged = last_rejected > 0 ? n : ctx.config.k;
    bool complete[max_iov];
    ahead_which.clear();
    for (int done = 0; done < count; done += max_iov) {
      const int part = std::min(max_iov, count - done);
      if (arrived < 0) {
        read_seekable(batch_base + int64_t{ctx.config.blocksize} * done, ahead_block.data() + done,
                      part, complete);
      } else {
        for (int t = 0; t < part; t++) {
          complete[t] = int64_t{done + t + 1} * ctx.config.blocksize <= arrived;
        }
      }
      for (int t = 0; t < part; t++) {
        const int b = done + t;
        ahead_complete[b] = complete[t];
        ahead_result[b] = not_judged;
        if (b % n < judged) ahead_which.push_back(b);
      }
    }
    judge_ahead(ahead_which.data(), static_cast<int>(ahead_which.size()));
  }

  // Puts the blocks at positions first .. first+count-1 of the chunk in the slots: from a file they
  // are there already (the slots then point to them); a pipe is read now. result, when not null,
  // receives what judge_read() tells of them.
  void fetch(int first, uint8_t** slots, int count, bool* complete, int* result) {
    if (ctx.config.input_is_pipe) {
      read_pipe(slots, count, complete);
      if (result != nullptr) judge_read(slots, complete, count, result);
      return;
    }
    const int base = chunk_set * ctx.config.n + first;
    int late[max_iov];
    int lates = 0;
    for (int t = 0; t < count; t++) {
      slots[t] = ahead_block[base + t];
      complete[t] = ahead_complete[base + t] != 0;
      if (ahead_result[base + t] == not_judged) late[lates++] = base + t;
    }
    if (result != nullptr) {
      judge_ahead(late, lates);
      for (int t = 0; t < count; t++) result[t] = ahead_result[base + t];
    }
  }

  // Why the block beyond the k at position, not a candidate of the check, is dropped: it was not
  // read whole, or its trailer names another position or k (its digest tells whether it is intact).
  drop_kind unfit_kind(const uint8_t* block, bool complete, digest_state& digest) {
    if (!complete) return drop_short;
    if (digest == digest_state::unknown) {
      bool ok = false;
      verify_blocks(&block, 1, ctx.config.blocksize, &ok);
      digest = ok ? digest_state::good : digest_state::bad;
    }
    return digest == digest_state::bad ? drop_digest : drop_index;
  }

  // Gathers k acceptable blocks of the chunk at chunk_base (a file's from the batch read_batch()
  // read), rebuilds it and reads its header; returns its chunk_id and stores its clen. stats, when
  // not null, receives the chunk's dropped blocks and its spare.
  int32_t decode_chunk(int64_t chunk_base, uint32_t* clen_out, decode_stats* stats) {
    const int k = ctx.config.k;
    const int n = ctx.config.n;
    const bool pipe = ctx.config.input_is_pipe != 0;
    const int32_t blocksize = ctx.config.blocksize;

    // slots[0 .. k-1] gather the accepted blocks in position order; slots[k + t] holds the block at
    // position first_beyond + t, read after the k-th accepted one.
    uint8_t* slots[max_iov];
    std::copy(ctx.pkt_table, ctx.pkt_table + k, slots);
    std::copy(spare, spare + (n - k), slots + k);
    bool complete[max_iov];
    int result[max_iov];
    digest_state digest[max_iov];
    std::fill(digest, digest + n, digest_state::unknown);
    int j = 0;
    int i = 0;
    int beyond = 0;  // blocks read beyond the k-th accepted one
    while (j < k && i < n) {
      // Until k blocks are accepted every further position is read anyway; ask for just that many.
      // A chunk after one that lost blocks takes as
      // many more at once: a bad stripe of the medium costs every chunk the same positions, and
      // one digest pass (and from a pipe one read) then serves the whole chunk.
      const int count = std::min(k - j, n - i);
      const int reads = std::min(n - i, count + (i == 0 ? last_rejected : 0));
      const int first_slot = j;
      fetch(i, slots + first_slot, reads, complete, result);
      for (int t = 0; t < reads; t++, i++) {
        const int slot = first_slot + t;
        if (j == k) {
          std::swap(slots[k + beyond], slots[slot]);
          complete[beyond] = complete[t];
          digest[beyond] = result[t] >= 0 ? digest_state::good : digest_state::bad;
          beyond++;
          continue;
        }
        const int r = result[t];
        // A block not read whole is judged as one whose digest is wrong.
        const block_fit fit = judge_block(slots[slot], r >= 0, i, blocksize, k);
        if (fit == block_fit::other_k) stop(stats, KESTRUNE_ERROR_INCORRECT_K, MSG_INCORRECT_K);
        if (fit == block_fit::accepted) {
          // Accepted blocks fill the slots from the front, in position order; the slot left behind
          // takes the next read.
          std::swap(slots[j], slots[slot]);
          ctx.index_list[j] = i;
          j++;
        } else {
          count_drop(stats, r == -2 ? drop_short : r == -3 ? drop_digest : drop_index, i);
          if (ctx.config.verbose >= 2) {
            report(ctx, "bad block at %ld id %d expecting %d\n",
                   static_cast<long>(chunk_base + int64_t{blocksize} * i), r, i);
          }
        }
      }
    }
    if (j < k) stop(stats, KESTRUNE_ERROR_TOO_MANY_BAD, MSG_TOO_MANY_BAD);
    last_rejected = i - beyond - k;

    // A pipe reads the rest of the chunk, so that the next chunk begins at the right place; short
    // reads here pass unnoticed.
    const int first_beyond = i - beyond;
    if (pipe && i < n) {
      read_pipe(slots + k + beyond, n - i, complete + beyond);
      beyond += n - i;
    }
    std::copy(slots, slots + k, ctx.pkt_table);
    std::copy(slots + k, slots + n, spare);

    // The parity blocks among the k are overwritten by the rebuild; keep them while a check may
    // still call for them.
    const bool may_check = first_beyond < n;
    for (int t = 0; t < k && may_check; t++) {
      if (ctx.index_list[t] >= k) {
        memcpy(kept_block(ctx.index_list[t]), ctx.pkt_table[t],
               static_cast<size_t>(ctx.payload_len));
      }
    }
    int gathered[max_iov];
    std::copy(ctx.index_list, ctx.index_list + k, gathered);
    uint8_t* gathered_at[max_iov];
    for (int t = 0; t < k; t++) gathered_at[t] = ctx.pkt_table[t];

    // The positions gathered are distinct and below n, so the rebuild cannot fail; if it ever did,
    // writing the slots would pass off wrong bytes as the user's data.
    rebuild_slots(ctx);

    // Every acceptable block beyond the k must agree with the rebuild. A block whose trailer names
    // another position or k is not acceptable whatever its digest; one that agrees needs no digest;
    // one that differs counts only when its digest is right.
    if (!pipe && beyond < n - first_beyond) {
      fetch(first_beyond + beyond, spare + beyond, n - first_beyond - beyond, complete + beyond,
            nullptr);
      beyond = n - first_beyond;
    }
    const uint8_t* candidates[max_iov];
    int32_t candidate_at[max_iov];
    int candidate_of[max_iov];
    int candidate_count = 0;
    int spare_blocks = 0;  // for stats: the acceptable blocks beyond the k
    for (int t = 0; t < beyond; t++) {
      const int position = first_beyond + t;
      if (complete[t] && get_block_index(spare[t], blocksize) == position &&
          get_k_byte(spare[t], blocksize) == static_cast<uint8_t>(k)) {
        candidates[candidate_count] = spare[t];
        candidate_at[candidate_count] = position;
        candidate_of[candidate_count++] = t;
      } else if (stats != nullptr) {
        count_drop(stats, unfit_kind(spare[t], complete[t], digest[t]), position);
      }
    }
    const bool all_equal = fec_pkts_equal(ctx.codec, ctx.pkt_table, candidate_at, candidates,
                                          candidate_count, ctx.payload_len);
    bool all_agree = all_equal;
    if (!all_agree) {
      // Some block differs; whether it counts depends on its digest.
      all_agree = true;
      for (int c = 0; c < candidate_count && all_agree; c++) {
        const int t = candidate_of[c];
        all_agree = first_difference(ctx, spare[t], candidate_at[c]) < 0 ||
                    !acceptable(spare[t], complete[t], candidate_at[c], digest[t]);
      }
    }

    if (all_agree && stats != nullptr) {
      // Every candidate that differs from the rebuild has a wrong digest (the loop above computed
      // it); the others hold the right packet whatever their digest.
      spare_blocks = candidate_count;
      for (int c = 0; c < candidate_count && !all_equal; c++) {
        const int t = candidate_of[c];
        if (digest[t] == digest_state::bad &&
            first_difference(ctx, spare[t], candidate_at[c]) >= 0) {
          count_drop(stats, drop_digest, candidate_at[c]);
          spare_blocks--;
        }
      }
    }

    if (!all_agree) {
      // Some acceptable block does not belong: gather every acceptable block of the chunk, keep
      // them in the work blocks, and let the code itself tell which are wrong.
      const uint8_t* packets[max_iov];
      int positions[max_iov];
      int count = 0;
      for (int g = 0; g < k; g++) {
        const int p = gathered[g];
        // Data packets stay in place through the rebuild; parity ones were kept.
        if (p < k) memcpy(kept_block(p), gathered_at[g], static_cast<size_t>(ctx.payload_len));
        packets[count] = kept_block(p);
        positions[count++] = p;
      }
      for (int u = 0; u < beyond; u++) {
        const int p = first_beyond + u;
        if (!acceptable(spare[u], complete[u], p, digest[u])) {
          // Candidates alone are left (the others were counted above): a wrong digest.
          if (stats != nullptr && complete[u] && get_block_index(spare[u], blocksize) == p &&
              get_k_byte(spare[u], blocksize) == static_cast<uint8_t>(k)) {
            count_drop(stats, drop_digest, p);
          }
          continue;
        }
        memcpy(kept_block(p), spare[u], static_cast<size_t>(ctx.payload_len));
        packets[count] = kept_block(p);
        positions[count++] = p;
      }
      bool excluded[max_iov];
      if (settle_packets(ctx, packets, positions, count, excluded) == settlement::inconsistent) {
        stop(stats, KESTRUNE_ERROR_INCONSISTENT, MSG_INCONSISTENT);
      }
      spare_blocks = count - k;
      for (int u = 0; u < count && stats != nullptr; u++) {
        if (!excluded[u]) continue;
        count_drop(stats, drop_inconsistent, positions[u]);
        spare_blocks--;
      }
      for (int u = 0; u < count && ctx.config.verbose >= 2; u++) {
        if (!excluded[u]) continue;
        report(ctx, "inconsistent block at %ld id %d expecting %d\n",
               static_cast<long>(chunk_base + int64_t{blocksize} * positions[u]), positions[u],
               positions[u]);
      }
    }

    if (stats != nullptr) stats->spare = spare_blocks;
    const uint32_t clen = get_clen(ctx.pkt_table[0]);
    *clen_out = clen;
    if (ctx.config.verbose >= 2)
      report(ctx, "read %d blocks, clen = %d\n", k, static_cast<int32_t>(clen));
    return get_chunk_id(ctx.pkt_table[0]);
  }

  // The run's state between chunks.
  decode_stats counts = {};
  decode_stats* stats = nullptr;
  int64_t number = 0;  // the chunk decoded next
  int64_t chunk_base = 0;
  uint32_t expected_id = 0;
  bool done = false;    // the last chunk is restored
  int64_t arrived = 0;  // pushed bytes of the batch

  void start() {
    stats = ctx.config.stats ? &counts : nullptr;
    const size_t batch_blocks = static_cast<size_t>(ctx.batch_chunks) * ctx.config.n;
    ahead_block.resize(batch_blocks);
    for (size_t b = 0; b < batch_blocks; b++) {
      ahead_block[b] = batch_block(ctx, 0, static_cast<int>(b));
    }
    ahead_complete.assign(batch_blocks, 0);
    ahead_result.assign(batch_blocks, 0);
    ahead_which.reserve(batch_blocks);
  }

  // Decodes chunk `number` from its slots and queues its bytes; at the last chunk, writes them
  // and the summary and sets done.
  void step() {
    const int k = ctx.config.k;
    const int64_t chunk_bytes = int64_t{ctx.config.n} * ctx.config.blocksize;
    const uint32_t packet = static_cast<uint32_t>(ctx.payload_len);
    chunk_set = static_cast<int>(number % ctx.batch_chunks);
    for (int i = 0; i < k; i++) ctx.pkt_table[i] = batch_block(ctx, chunk_set, i);
    for (int i = k; i < ctx.config.n; i++) spare[i - k] = batch_block(ctx, chunk_set, i);

    if (stats != nullptr) {
      stats->number = number;
      stats->offset = chunk_base;
      stats->data_dropped = false;
    }
    uint32_t clen = 0;
    const int32_t chunk_id = decode_chunk(chunk_base, &clen, stats);
    if (chunk_id != -1 && static_cast<uint32_t>(chunk_id) != expected_id) {
      stop(stats, KESTRUNE_ERROR_OUT_OF_ORDER,
           msg_out_of_order(chunk_base, static_cast<uint32_t>(chunk_id), expected_id).c_str());
    }
    if (stats != nullptr) {
      stats->chunks++;
      if (stats->data_dropped) stats->needed_parity++;
      if (stats->spare < stats->lowest_spare) {
        stats->lowest_spare = stats->spare;
        stats->lowest_spare_chunk = number;
        stats->lowest_spare_offset = chunk_base;
      }
    }

    // A clen above the chunk's capacity yields the capacity.
    uint32_t remaining = clen;
    if (remaining != 0) {
      const uint32_t w = std::min(remaining, packet - HEADER_LEN);
      output_bytes(ctx, ctx.pkt_table[0] + HEADER_LEN, w);
      remaining -= w;
    }
    for (int slot = 1; slot < k && remaining != 0; slot++) {
      const uint32_t w = std::min(remaining, packet);
      output_bytes(ctx, ctx.pkt_table[slot], w);
      remaining -= w;
    }

    expected_id++;
    chunk_base += chunk_bytes;
    number++;
    if (ctx.callbacks.progress != nullptr) ctx.callbacks.progress(ctx.callbacks.user, chunk_base);
    if (chunk_id == -1) {
      output_flush(ctx);
      if (stats != nullptr) print_stats(*stats, false);
      done = true;
    }
  }

  // The whole stream, read through the source.
  void pull() {
    while (!done) {
      // The bytes of the chunks that used the slots last go out first.
      if (number % ctx.batch_chunks == 0) {
        output_flush(ctx);
        if (!ctx.config.input_is_pipe) read_batch(chunk_base);
      }
      step();
    }
  }

  // The pushed batch, whole or the input's end: its chunks, until the last one.
  void push_batch() {
    read_batch(chunk_base, arrived);
    for (int c = 0; c < ctx.batch_chunks && !done; c++) step();
    output_flush(ctx);
    arrived = 0;
  }

  void push(const uint8_t* data, size_t size) {
    const int64_t batch_bytes = int64_t{ctx.batch_chunks} * ctx.config.n * ctx.config.blocksize;
    while (size > 0 && !done) {
      const size_t take =
          static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(size), batch_bytes - arrived));
      memcpy(ctx.chunk_buffer + arrived, data, take);
      arrived += static_cast<int64_t>(take);
      data += take;
      size -= take;
      if (arrived == batch_bytes) push_batch();
    }
  }

  // The input's end: the rest of the batch, and the batches after it, which hold no block, until
  // the last chunk or a failure; a stream cut at a batch's end fails at the next chunk as a file
  // does.
  void end() {
    while (!done) push_batch();
  }
};

}  // namespace decoding

stream_decoder::stream_decoder(stream_context& ctx, const decode_source& source)
    : d_(std::make_unique<decoding::decoder>(decoding::decoder{ctx, source})) {
  d_->start();
}

stream_decoder::~stream_decoder() = default;

void stream_decoder::pull() { d_->pull(); }

void stream_decoder::push(const uint8_t* data, size_t size) { d_->push(data, size); }

void stream_decoder::end() { d_->end(); }

bool stream_decoder::done() const { return d_->done; }
