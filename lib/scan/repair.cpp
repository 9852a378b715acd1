// SPDX-License-Identifier: MIT
// repair.cpp - the chunks of every copy gathered, placed by their numbers and rebuilt from the
// blocks that agree; the restored stream and the salvage written in order.
//
// The copies are walked in turns, the ones furthest behind first, so that the blocks of a chunk
// from all copies are at hand together and memory holds only the chunks near the walks. A chunk
// that k blocks of one copy rebuild is known by the number in its header; one with fewer is known
// by its place in the copy until the blocks of all copies for that place are put together. A
// place is settled once every copy has walked a little past it, so that a chunk exchanged with a
// neighbour, or pushed back by a last chunk moved forward, has been seen; a place whose chunk has
// not turned up waits while the walks go on, and is given up as lost once they are far past it.
#include "scan/repair.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_set>
#include <vector>

#include "scan/rewrite.h"
#include "scan/salvage.h"
#include "stream/agreement.h"
#include "stream/format.h"
#include "stream/rules.h"

namespace {

// Every copy walks this many places past a place before it is settled.
constexpr int64_t place_margin = 2;
// A place whose chunk has not turned up is given up once every copy has walked this many bytes
// past it; the chunks restored after it wait in memory until then.
constexpr int64_t reach_bytes = int64_t{64} << 20;
// The most ways tried of choosing among the different blocks that copies hold at the same positions
// of a chunk (every way, when there are no more; else one way per copy, preferring its blocks).
constexpr int max_choices = 64;
// Blocks of restored chunks remembered by their digests: 64 chunks of the most blocks at least,
// in under a MiB.
constexpr size_t restored_memory = 16384;

enum block_use : uint8_t { absent = 0, agrees = 1, left_out = 2 };

// A chunk rebuilt from the blocks of a group of chunk instances.
struct settled {
  bool ok = false;
  bool confirmed = false;  // more blocks agree than the k that rebuild it: the rebuild is checked
  bool disagree = false;   // (when not ok) the blocks disagree, rather than being too few
  std::vector<uint8_t> data;              // the k data packets, one after the other
  std::vector<std::vector<uint8_t>> use;  // per instance, per position: a block_use
  int whole = -1;  // an instance whose n blocks all agree: they are the chunk as it was written
  // (when not ok) the blocks make two or more consistent versions of the chunk; for each version,
  // per instance, how many of its blocks agree with it
  std::vector<std::vector<int>> versions;
};

// Blocks with the same packet at the same position, and the instances that hold them.
struct variant {
  const uint8_t* block;
  std::vector<int> holders;
};

// Rebuilds the chunk from the blocks of the group that agree. Identical blocks count once. Where
// the instances hold different blocks at one position, every way of choosing one of them is tried
// (or, beyond max_choices ways, one way per instance, preferring its blocks); for each, the
// blocks chosen either all agree, or the wrong ones that decoding finds are left out
// (settle_packets()). Two ways that rebuild different data are two consistent versions of the
// chunk: a conflict, which no count of blocks decides, and the chunk is not settled. Of the ways
// that rebuild the one version, the one that leaves out the fewest blocks names the blocks used.
// Given the place, rebuilds that carry another chunk's number are no versions of its chunk.
settled settle(stream_context& ctx, const std::vector<const chunk_instance*>& group,
               int64_t place = -1) {
  const int n = ctx.config.n;
  const int k = ctx.config.k;
  const int64_t b = ctx.config.blocksize;
  const size_t packet = static_cast<size_t>(ctx.payload_len);
  settled result;

  std::vector<std::vector<variant>> at(static_cast<size_t>(n));
  for (size_t m = 0; m < group.size(); m++) {
    const chunk_instance& c = *group[m];
    for (int p = 0; p < n; p++) {
      if (c.offsets[p] < 0) continue;
      const uint8_t* block = c.blocks.data() + p * b;
      std::vector<variant>& list = at[p];
      auto same = std::find_if(list.begin(), list.end(), [&](const variant& v) {
        return memcmp(v.block, block, packet) == 0;
      });
      if (same == list.end()) {
        list.push_back({block, {static_cast<int>(m)}});
      } else {
        same->holders.push_back(static_cast<int>(m));
      }
    }
  }
  std::vector<int> present;
  int64_t ways = 1;
  for (int p = 0; p < n; p++) {
    if (at[p].empty()) continue;
    present.push_back(p);
    ways = std::min<int64_t>(ways * static_cast<int64_t>(at[p].size()), max_choices + 1);
  }
  if (static_cast<int>(present.size()) < k) return result;

  // The choices: a variant per present position.
  std::vector<std::vector<int>> choices;
  if (ways <= max_choices) {
    std::vector<int> choice(present.size(), 0);
    for (;;) {
      choices.push_back(choice);
      size_t t = 0;
      while (t < present.size() && ++choice[t] == static_cast<int>(at[present[t]].size())) {
        choice[t++] = 0;
      }
      if (t == present.size()) break;
    }
  } else {
    for (size_t m = 0; m < group.size(); m++) {
      std::vector<int> choice(present.size(), 0);
      for (size_t t = 0; t < present.size(); t++) {
        const std::vector<variant>& list = at[present[t]];
        for (size_t v = 0; v < list.size(); v++) {
          const std::vector<int>& h = list[v].holders;
          if (std::find(h.begin(), h.end(), static_cast<int>(m)) != h.end()) {
            choice[t] = static_cast<int>(v);
          }
        }
      }
      if (std::find(choices.begin(), choices.end(), choice) == choices.end()) {
        choices.push_back(choice);
      }
    }
  }

  const int count = static_cast<int>(present.size());
  // A choice's blocks, settled: false when they are inconsistent; else the chunk is in pkt_table
  // and excluded marks the blocks decoding found wrong.
  const auto settle_choice = [&](const std::vector<int>& choice, bool* excluded) {
    const uint8_t* packets[256];
    int positions[256];
    for (int t = 0; t < count; t++) {
      packets[t] = at[present[t]][choice[t]].block;
      positions[t] = present[t];
    }
    return settle_packets(ctx, packets, positions, count, excluded) != settlement::inconsistent;
  };
  std::vector<uint8_t> data(static_cast<size_t>(k) * packet);
  const auto rebuilt = [&] {
    for (int j = 0; j < k; j++) memcpy(data.data() + j * packet, ctx.pkt_table[j], packet);
  };

  // The versions the choices rebuild.
  std::vector<std::vector<uint8_t>> found;
  for (const std::vector<int>& choice : choices) {
    bool excluded[256] = {};
    if (!settle_choice(choice, excluded)) {
      result.disagree = true;
      continue;
    }
    rebuilt();
    if (std::find(found.begin(), found.end(), data) == found.end()) found.push_back(data);
  }
  // Blocks that rebuild a chunk with another number are no version of this place's chunk: strays
  // of other chunks (with k = 1 a single block rebuilds one). The last chunk's (-1) stands only
  // where no chunk of the place's number does.
  if (place >= 0 && found.size() > 1) {
    const auto numbered = [place](const std::vector<uint8_t>& v) {
      return get_chunk_id(v.data()) == place;
    };
    const bool any_numbered = std::any_of(found.begin(), found.end(), numbered);
    std::erase_if(found, [&](const std::vector<uint8_t>& v) {
      return any_numbered ? !numbered(v) : get_chunk_id(v.data()) != -1;
    });
    result.disagree = true;
  }
  if (found.empty()) return result;

  // Of several versions, one stands when it alone is borne out: some instance holds k blocks of
  // it, or more blocks than k agree with it, which checks it. A version that only a mix of
  // instances' blocks makes, with none to check it, is no version anyone wrote: a stray block
  // beside a chunk of k blocks (a code without parity checks nothing) rebuilds one. Two versions
  // borne out, or several and none, are a conflict, which no count of blocks decides.
  const std::vector<uint8_t>* chosen = &found.front();
  if (found.size() > 1) {
    const int checked = k + (k >= 2 ? 1 : 2);
    std::vector<const std::vector<uint8_t>*> borne;
    for (const std::vector<uint8_t>& version : found) {
      for (int j = 0; j < k; j++) memcpy(ctx.pkt_table[j], version.data() + j * packet, packet);
      std::vector<int> counts(group.size(), 0);
      std::set<int> agreeing;
      for (size_t m = 0; m < group.size(); m++) {
        for (int p = 0; p < n; p++) {
          if (group[m]->offsets[p] < 0) continue;
          if (first_difference(ctx, group[m]->blocks.data() + p * b, p) < 0) {
            counts[m]++;
            agreeing.insert(p);
          }
        }
      }
      if (*std::max_element(counts.begin(), counts.end()) >= k ||
          static_cast<int>(agreeing.size()) >= checked) {
        borne.push_back(&version);
      }
      result.versions.push_back(std::move(counts));
    }
    result.disagree = true;
    if (borne.size() != 1) return result;
    chosen = borne.front();
    result.versions.clear();
  }

  // Of the ways that rebuild the version, the one that leaves out the fewest blocks.
  int64_t best_left_out = -1;
  std::vector<int> best_choice;
  bool best_excluded[256] = {};
  for (const std::vector<int>& choice : choices) {
    bool excluded[256] = {};
    if (!settle_choice(choice, excluded)) continue;
    rebuilt();
    if (data != *chosen) continue;
    int64_t left = 0;
    for (int t = 0; t < count; t++) {
      const std::vector<variant>& list = at[present[t]];
      for (size_t v = 0; v < list.size(); v++) {
        if (static_cast<int>(v) != choice[t] || excluded[t]) {
          left += static_cast<int64_t>(list[v].holders.size());
        }
      }
    }
    if (best_left_out < 0 || left < best_left_out) {
      best_left_out = left;
      best_choice = choice;
      std::copy(excluded, excluded + count, best_excluded);
      result.data = data;
    }
  }
  if (best_left_out < 0) {
    result.data.clear();
    return result;
  }
  // The rebuild of the version chosen is what pkt_table holds from here on.
  for (int j = 0; j < k; j++) memcpy(ctx.pkt_table[j], result.data.data() + j * packet, packet);

  result.ok = true;
  result.use.assign(group.size(), std::vector<uint8_t>(static_cast<size_t>(n), absent));
  int agreeing = 0;
  for (int t = 0; t < count; t++) {
    const std::vector<variant>& list = at[present[t]];
    if (!best_excluded[t]) agreeing++;
    for (size_t v = 0; v < list.size(); v++) {
      const bool kept = static_cast<int>(v) == best_choice[t] && !best_excluded[t];
      for (const int m : list[v].holders) result.use[m][present[t]] = kept ? agrees : left_out;
    }
  }
  // With k = 1 two blocks of another version would agree with each other alone; three never do
  // by chance.
  result.confirmed = agreeing >= k + (k >= 2 ? 1 : 2);
  for (size_t m = 0; m < group.size() && result.whole < 0; m++) {
    const std::vector<uint8_t>& u = result.use[m];
    if (std::all_of(u.begin(), u.end(), [](uint8_t x) { return x == agrees; })) {
      result.whole = static_cast<int>(m);
    }
  }
  return result;
}

// A chunk instance handed over by a walk, with what its own blocks tell.
struct held_chunk {
  chunk_instance chunk;
  std::unique_ptr<settled> own;  // its rebuild from its own blocks, when they make one
  int32_t chunk_id = 0;          // the number in that rebuild's header
};

class repairer {
 public:
  repairer(stream_context& ctx, const std::vector<scan_input*>& copies,
           const stream_sink* stream_out, const salvage_sink* salvage,
           const std::function<void(const repaired_chunk&)>& report)
      : ctx_(ctx), rewriter_(ctx, stream_out), salvage_(salvage), report_(report) {
    for (size_t c = 0; c < copies.size(); c++) {
      walkers_.push_back(std::make_unique<copy_walker>(ctx, *copies[c], static_cast<int>(c),
                                                       static_cast<int>(copies.size())));
    }
    capacity_ = chunk_capacity(ctx_.config.blocksize, ctx_.config.k);
    const int64_t chunk_bytes = int64_t{ctx_.config.n} * ctx_.config.blocksize;
    reach_ = std::max(place_margin + 1, reach_bytes / chunk_bytes);
    take_ = [this](chunk_instance&& c) { take(std::move(c)); };
  }
  repairer(const repairer&) = delete;
  repairer& operator=(const repairer&) = delete;

  repair_summary run() {
    for (;;) {
      const int64_t lowest = lowest_progress();
      if (lowest == INT64_MAX) break;
      // The walks furthest behind go on; the others wait for them.
      for (const std::unique_ptr<copy_walker>& w : walkers_) {
        if (!w->done() && w->progress() <= lowest + place_margin) w->step(take_);
      }
      settle_places(false);
    }
    settle_places(true);
    summary_.complete = summary_.last_found && summary_.lost == 0;
    if (summary_.complete) rewriter_.finish();
    summary_.stream_bytes = rewriter_.written();
    summary_.salvage_bytes = salvage_.written();
    for (size_t c = 0; c < walkers_.size(); c++) {
      copy_summary copy{walkers_[c]->size(), walkers_[c]->stats()};
      copy.restored_from = restored_from_[static_cast<int>(c)];
      copy.conflicting = conflicting_[static_cast<int>(c)];
      summary_.copies.push_back(copy);
    }
    for (const auto& [number, list] : by_number_)
      summary_.unplaced += static_cast<int64_t>(list.size());
    return summary_;
  }

 private:
  int64_t lowest_progress() const {
    int64_t lowest = INT64_MAX;
    for (const std::unique_ptr<copy_walker>& w : walkers_) lowest = std::min(lowest, w->progress());
    return lowest;
  }

  // Files a chunk instance by the number its own blocks rebuild to, or by its place when they do
  // not rebuild it, or rebuild it unchecked to a number that is not its place (an unchecked
  // rebuild with a block of another version in it can carry any number).
  void take(chunk_instance&& c) {
    highest_slot_ = std::max(highest_slot_, c.slot);
    held_chunk h;
    h.chunk = std::move(c);
    if (h.chunk.present >= ctx_.config.k) {
      auto own = std::make_unique<settled>(settle(ctx_, {&h.chunk}));
      if (own->ok) {
        h.chunk_id = get_chunk_id(own->data.data());
        h.own = std::move(own);
      }
    }
    const int64_t slot = h.chunk.slot;
    if (h.own && (h.own->confirmed || h.chunk_id == -1 || h.chunk_id == slot)) {
      const int32_t id = h.chunk_id;
      if (id == -1) {
        // Behind a last chunk of its copy with other data it is never this stream's (see
        // behind_a_last()), so it is not kept: a copy of many streams one after another costs no
        // more memory than one.
        if (behind_a_last(h, slot)) return;
        last_.push_back(std::move(h));
      } else if (id < 0 || id < next_ || id > highest_slot_ + reach_) {
        summary_.unplaced++;  // already written, or a number the stream cannot reach
      } else {
        by_number_[id].push_back(std::move(h));
      }
      return;
    }
    // Unchecked (no more blocks than k rebuild it), its number is still the best word on where
    // it belongs when the stream can reach that place, and when its header is one the encoder
    // writes (blocks of several chunks rebuild a header of noise): at its own slot it could only
    // conflict with the chunk there.
    if (h.own && h.chunk_id >= next_ && h.chunk_id <= highest_slot_ + reach_ &&
        as_written(h.own->data.data())) {
      by_number_[h.chunk_id].push_back(std::move(h));
      return;
    }
    // A chunk already written again (a chunk moved or repeated) has no place left.
    if (h.own && h.chunk_id >= 0 && h.chunk_id < next_) {
      summary_.unplaced++;
      return;
    }
    h.own.reset();
    // Too few blocks to rebuild it (or blocks that disagree), but a first data block, which holds
    // the header as written: its number says where the chunk belongs better than the count of
    // places, which chunks lost whole before it put off.
    if (h.chunk.offsets[0] >= 0 && as_written(h.chunk.blocks.data())) {
      const int32_t id = get_chunk_id(h.chunk.blocks.data());
      if (id >= 0 && id != slot) {
        if (id < next_) {
          summary_.unplaced++;
        } else if (id <= highest_slot_ + reach_) {
          by_number_[id].push_back(std::move(h));
        }
        if (id < next_ || id <= highest_slot_ + reach_) return;
      }
    }
    if (slot >= next_) by_slot_[slot].push_back(std::move(h));
  }

  // Whether a chunk's header (at the start of its first data packet) holds a length that the
  // encoder writes: no more than the chunk holds.
  bool as_written(const uint8_t* packet0) const {
    return get_clen(packet0) <= static_cast<uint32_t>(capacity_);
  }

  // Settles the places that every copy has walked far enough past, or at the end all of them.
  void settle_places(bool at_end) {
    for (;;) {
      const int64_t place = next_;
      const int64_t lowest = lowest_progress();
      // Once every walk is over, the end settles what is left.
      if (!at_end && (lowest == INT64_MAX || lowest <= place + place_margin)) return;
      if (restore(place, at_end)) {
        if (summary_.last_found) return;
        continue;
      }
      if (!at_end) {
        if (lowest > place + reach_) {
          write_lost(place, false);
          continue;
        }
        return;
      }
      // At the end: a place with numbered chunks or other blocks after it is a lost chunk; the
      // place after all of them is the last chunk's.
      if (more_after(place)) {
        write_lost(place, false);
        continue;
      }
      write_lost(place, true);
      return;
    }
  }

  // Whether chunks or blocks of places after this one are at hand (a numbered chunk for this one,
  // blocks at a later place, the last chunk found at a later place): then this place is not the
  // last chunk's.
  bool more_after(int64_t place) const {
    if (by_number_.lower_bound(place) != by_number_.end()) return true;
    // Blocks further on that rebuild no chunk count too: a chunk damaged beyond repair may stand
    // there. But not blocks enough for a chunk that disagree, behind a last chunk of their own
    // copy: that copy's stream ended before them, and they are its trailing data mixed up.
    // Nor blocks that all repeat blocks of chunks restored already: a copy that holds stretches
    // twice, whose walk then counts its places past the stream's own.
    for (auto at = by_slot_.upper_bound(place); at != by_slot_.end(); ++at) {
      for (const held_chunk& h : at->second) {
        const bool mixed = h.chunk.present >= ctx_.config.k;
        const bool trailing = std::any_of(last_.begin(), last_.end(), [&](const held_chunk& g) {
          return g.own && g.chunk.copy == h.chunk.copy && g.chunk.slot < h.chunk.slot &&
                 g.chunk.slot <= place;
        });
        if (!(mixed && trailing) && !repeats_restored(h.chunk)) return true;
      }
    }
    // A last chunk further on counts, unless it repeats one at or before this place (the last
    // chunk written twice): the decoder stops at the first.
    const auto repeats_earlier = [this, place](const held_chunk& later) {
      return std::any_of(last_.begin(), last_.end(), [&](const held_chunk& h) {
        return h.chunk.slot <= place && h.own && later.own && h.own->data == later.own->data;
      });
    };
    return std::any_of(last_.begin(), last_.end(), [&](const held_chunk& h) {
      return h.chunk.slot > place && !repeats_earlier(h) && !behind_a_last(h, place);
    });
  }

  // The digest in a block's trailer names it (its first 8 bytes are plenty to tell the blocks of
  // a few chunks apart): the blocks of the chunks restored last (a bounded number, the oldest
  // forgotten first) are remembered by it.
  uint64_t block_name(const uint8_t* block) const {
    uint64_t name = 0;
    memcpy(&name, block + ctx_.payload_len + 2, sizeof name);
    return name;
  }

  void remember_restored(const uint8_t* block) {
    const uint64_t name = block_name(block);
    if (!restored_names_.insert(name).second) return;
    if (restored_order_.size() == restored_memory) {
      restored_names_.erase(restored_order_[restored_next_]);
      restored_order_[restored_next_] = name;
    } else {
      restored_order_.push_back(name);
    }
    restored_next_ = (restored_next_ + 1) % restored_memory;
  }

  // Whether every block the instance holds is one of a chunk restored already, or of a last chunk
  // found.
  bool repeats_restored(const chunk_instance& c) const {
    if (c.present == 0) return false;
    const int64_t b = ctx_.config.blocksize;
    for (int p = 0; p < ctx_.config.n; p++) {
      if (c.offsets[p] < 0) continue;
      const uint8_t* block = c.blocks.data() + p * b;
      if (restored_names_.count(block_name(block)) > 0) continue;
      const bool of_last = std::any_of(last_.begin(), last_.end(), [&](const held_chunk& h) {
        return h.chunk.offsets[p] >= 0 &&
               memcmp(h.chunk.blocks.data() + p * b, block, static_cast<size_t>(b)) == 0;
      });
      if (!of_last) return false;
    }
    return true;
  }

  // Whether a last chunk lies behind another one of its own copy, at or before this place, that
  // rebuilds from its own blocks to other data: a stream has one last chunk, and the decoder stops
  // at the first, so what follows it in that copy is another stream's, or another version's,
  // trailing data. (The same chunk written twice is the stream's own, out of place.)
  bool behind_a_last(const held_chunk& h, int64_t place) const {
    return std::any_of(last_.begin(), last_.end(), [&](const held_chunk& g) {
      return &g != &h && g.own && g.chunk.copy == h.chunk.copy && g.chunk.slot < h.chunk.slot &&
             g.chunk.slot <= place && !(h.own && h.own->data == g.own->data);
    });
  }

  // The instances that may hold the chunk of this place, and whether the last chunk is expected
  // there.
  std::vector<held_chunk*> gather(int64_t place, bool at_end, bool* as_last) {
    std::vector<held_chunk*> group;
    *as_last = false;
    const auto numbered = by_number_.find(place);
    if (numbered != by_number_.end()) {
      for (held_chunk& h : numbered->second) group.push_back(&h);
    } else if (at_end && !more_after(place) && !last_.empty()) {
      *as_last = true;
      for (held_chunk& h : last_) {
        if (!behind_a_last(h, place)) group.push_back(&h);
      }
    }
    const auto partial = by_slot_.find(place);
    if (partial != by_slot_.end()) {
      for (held_chunk& h : partial->second) group.push_back(&h);
    }
    return group;
  }

  bool restore(int64_t place, bool at_end) {
    bool as_last = false;
    std::vector<held_chunk*> group = gather(place, at_end, &as_last);
    if (group.empty()) return false;
    settled merged;
    const settled* s = nullptr;
    if (group.size() == 1 && group[0]->own) {
      s = group[0]->own.get();
    } else {
      std::vector<const chunk_instance*> chunks;
      for (const held_chunk* h : group) chunks.push_back(&h->chunk);
      merged = settle(ctx_, chunks, place);
      s = &merged;
    }
    if (!s->ok) return false;
    const int32_t id = get_chunk_id(s->data.data());
    // Blocks of this place that rebuild the last chunk make it the last when nothing numbered
    // follows.
    const bool last_here = id == -1 && at_end && !more_after(place);
    if (id != place && !last_here) return false;
    write_restored(place, group, *s, id == -1);
    by_number_.erase(place);
    by_slot_.erase(place);
    if (as_last || id == -1) last_.clear();
    return true;
  }

  chunk_source source_of(const held_chunk& h, const std::vector<uint8_t>* use) const {
    const int64_t b = ctx_.config.blocksize;
    chunk_source src;
    src.copy = h.chunk.copy;
    src.slot = h.chunk.slot;
    for (int p = 0; p < ctx_.config.n; p++) {
      const int64_t offset = h.chunk.offsets[p];
      if (offset < 0) continue;
      if (src.used.empty() && src.inconsistent.empty()) src.offset = offset - p * b;
      if (use == nullptr || (*use)[p] == agrees) {
        src.used.push_back(p);
      } else {
        src.inconsistent.push_back(p);
        src.left_out.push_back(offset);
      }
    }
    return src;
  }

  void write_restored(int64_t place, std::vector<held_chunk*>& group, const settled& s, bool last) {
    const int n = ctx_.config.n;
    repaired_chunk r;
    r.number = place;
    r.header_known = true;
    r.clen = get_clen(s.data.data());
    r.chunk_id = get_chunk_id(s.data.data());
    r.data_offset = data_offset_;
    r.data_length = std::min<int64_t>(r.clen, capacity_);
    std::map<int, std::set<int>> used_by_copy;
    std::set<int> copies_whole;
    bool intact = true;
    for (size_t m = 0; m < group.size(); m++) {
      const held_chunk& h = *group[m];
      chunk_source src = source_of(h, &s.use[m]);
      for (const int p : src.used)
        remember_restored(h.chunk.blocks.data() + p * ctx_.config.blocksize);
      if (h.chunk.slot != place) r.out_of_place = true;
      if (!src.used.empty()) used_by_copy[src.copy].insert(src.used.begin(), src.used.end());
      const bool whole = static_cast<int>(src.used.size()) == n;
      if (!whole || h.chunk.slot != place || copies_whole.count(src.copy) > 0) intact = false;
      copies_whole.insert(src.copy);
      summary_.inconsistent += static_cast<int64_t>(src.inconsistent.size());
      r.sources.push_back(std::move(src));
    }
    if (copies_whole.size() != walkers_.size()) intact = false;
    // The original blocks are what the encoder writes for the data when all n agree and the data
    // area after the user bytes is zero, as the encoder leaves it. A chunk is intact only when
    // they also go out as they are: full, or the last one holding at least a byte; a repaired
    // stream made of intact chunks alone is then the input itself.
    const uint8_t* user = s.data.data() + HEADER_LEN;
    const int64_t area = static_cast<int64_t>(s.data.size()) - HEADER_LEN;
    const bool as_encoded =
        s.whole >= 0 && r.clen <= static_cast<uint64_t>(capacity_) &&
        std::all_of(user + r.data_length, user + area, [](uint8_t x) { return x == 0; });
    const bool in_layout = last ? r.clen >= 1 : r.data_length == capacity_;
    if (!as_encoded || !in_layout) intact = false;
    r.status = intact ? repair_status::intact : repair_status::repaired;
    // Restored thanks to several copies: none of them holds k agreeing blocks of it.
    size_t most = 0;
    for (const auto& [copy, positions] : used_by_copy) most = std::max(most, positions.size());
    if (used_by_copy.size() > 1 && static_cast<int>(most) < ctx_.config.k) summary_.merged++;
    for (const auto& [copy, positions] : used_by_copy) restored_from_[copy]++;
    std::stable_sort(r.sources.begin(), r.sources.end(),
                     [](const chunk_source& a, const chunk_source& b) { return a.copy < b.copy; });

    if (complete_so_far_) {
      std::vector<uint8_t> original;
      if (as_encoded) original = std::move(group[s.whole]->chunk.blocks);
      rewriter_.add(user, r.data_length, std::move(original), r.chunk_id);
    }
    salvage_.bytes(user, r.data_length);
    data_offset_ += r.data_length;
    if (last) summary_.last_found = true;
    next_++;
    account(r);
  }

  // A place whose chunk cannot be restored: its data packets that some copy holds are salvaged in
  // place, zeros elsewhere. Its length is the one in its header when a block 0 with this place's
  // number (or, for the last chunk, -1) is at hand, else the chunk's capacity; the place of a
  // last chunk not found at all has no length: everything from there on is lost.
  void write_lost(int64_t place, bool last) {
    const int n = ctx_.config.n;
    const int k = ctx_.config.k;
    const int64_t b = ctx_.config.blocksize;
    bool as_last = false;
    std::vector<held_chunk*> group = gather(place, true, &as_last);
    repaired_chunk r;
    r.number = place;
    r.status = repair_status::lost;
    r.data_offset = data_offset_;
    r.data_length = capacity_;
    std::set<int> positions;
    for (const held_chunk* h : group) {
      r.sources.push_back(source_of(*h, nullptr));
      if (h->chunk.slot != place) r.out_of_place = true;
      for (int p = 0; p < n; p++) {
        if (h->chunk.offsets[p] >= 0) positions.insert(p);
      }
      const uint8_t* block0 = h->chunk.blocks.data();
      const int32_t id = h->chunk.offsets[0] >= 0 ? get_chunk_id(block0) : -2;
      if (!r.header_known && (id == place || (id == -1 && (last || as_last)))) {
        r.header_known = true;
        r.clen = get_clen(block0);
        r.chunk_id = id;
        r.data_length = std::min<int64_t>(r.clen, capacity_);
      }
    }
    std::stable_sort(r.sources.begin(), r.sources.end(),
                     [](const chunk_source& a, const chunk_source& b) { return a.copy < b.copy; });
    r.why = group.empty()                            ? loss::missing
            : static_cast<int>(positions.size()) < k ? loss::too_few
                                                     : loss::inconsistent;
    if (r.why == loss::inconsistent && group.size() > 1) {
      std::vector<const chunk_instance*> chunks;
      for (const held_chunk* h : group) chunks.push_back(&h->chunk);
      const settled s = settle(ctx_, chunks, place);
      for (const std::vector<int>& counts : s.versions) {
        std::map<int, int> by_copy;
        for (size_t m = 0; m < group.size(); m++) {
          if (counts[m] > 0) by_copy[group[m]->chunk.copy] += counts[m];
        }
        r.versions.emplace_back(by_copy.begin(), by_copy.end());
      }
      if (!r.versions.empty()) {
        r.why = loss::versions;
        std::set<int> holders;
        for (const held_chunk* h : group) holders.insert(h->chunk.copy);
        for (const int copy : holders) conflicting_[copy]++;
      }
    }
    if (group.empty() && last) {
      // Nothing of the last chunk: the restored data ends at an unknown point from here on.
      add_range(summary_.lost_data, data_offset_, -1);
      complete_so_far_ = false;
      return;
    }
    {
      const int64_t packet = ctx_.payload_len;
      for (int i = 0; i < k; i++) {
        const int64_t start = i == 0 ? 0 : i * packet - HEADER_LEN;
        if (start >= r.data_length) break;
        const int64_t span = std::min(i == 0 ? packet - HEADER_LEN : packet, r.data_length - start);
        const held_chunk* holder = nullptr;
        for (const held_chunk* h : group) {
          if (holder == nullptr && h->chunk.offsets[i] >= 0) holder = h;
        }
        // Of two versions neither is known to be the data, nor is any of blocks that disagree
        // where decoding cannot tell the wrong ones (as the scan salvages such a chunk): lost.
        if (holder != nullptr && r.why == loss::too_few) {
          salvage_.bytes(holder->chunk.blocks.data() + i * b + (i == 0 ? HEADER_LEN : 0), span);
        } else {
          salvage_.zeros(span);
          add_range(r.lost, data_offset_ + start, span);
        }
      }
    }
    data_offset_ += r.data_length;
    // Unless this place holds the last chunk's header (-1), more chunks followed it, or may have:
    // the rest of the data is lost, to an unknown end.
    if (last && !(r.header_known && r.chunk_id == -1)) add_range(r.lost, data_offset_, -1);
    complete_so_far_ = false;
    by_number_.erase(place);
    by_slot_.erase(place);
    if (as_last) last_.clear();
    next_++;
    account(r);
  }

  void account(const repaired_chunk& r) {
    summary_.chunks++;
    switch (r.status) {
      case repair_status::intact:
        summary_.intact++;
        break;
      case repair_status::repaired:
        summary_.repaired++;
        break;
      case repair_status::lost:
        summary_.lost++;
        break;
    }
    if (r.out_of_place) summary_.out_of_place++;
    for (const byte_range& lost : r.lost) {
      add_range(summary_.lost_data, lost.start, lost.length);
      if (lost.length > 0) summary_.lost_bytes += lost.length;
    }
    report_(r);
  }

  stream_context& ctx_;
  std::vector<std::unique_ptr<copy_walker>> walkers_;
  std::function<void(chunk_instance&&)> take_;
  stream_rewriter rewriter_;
  salvage_writer salvage_;
  const std::function<void(const repaired_chunk&)>& report_;
  int64_t capacity_ = 0;
  int64_t reach_ = 0;  // places

  std::map<int64_t, std::vector<held_chunk>> by_number_;  // rebuilt: by their number
  std::vector<held_chunk> last_;                          // rebuilt, numbered -1
  std::map<int64_t, std::vector<held_chunk>> by_slot_;    // not rebuilt alone: by their place
  int64_t highest_slot_ = 0;
  int64_t next_ = 0;  // the next place to write
  int64_t data_offset_ = 0;
  bool complete_so_far_ = true;
  std::map<int, int64_t> restored_from_;         // per copy: chunks restored with its blocks
  std::unordered_set<uint64_t> restored_names_;  // blocks of the chunks restored last, by digest
  std::vector<uint64_t> restored_order_;         // the same, oldest at restored_next_ when full
  size_t restored_next_ = 0;
  std::map<int, int64_t> conflicting_;  // per copy: chunks lost as versions, holding its blocks
  repair_summary summary_;
};

}  // namespace

repair_summary repair_copies(stream_context& ctx, const std::vector<scan_input*>& copies,
                             const stream_sink* stream_out, const salvage_sink* salvage,
                             const std::function<void(const repaired_chunk&)>& on_chunk) {
  repairer r(ctx, copies, stream_out, salvage, on_chunk);
  return r.run();
}
