// SPDX-License-Identifier: MIT
// probe.cpp - finding blocksize, n and k from intact blocks at the start of the stream.
//
// A blocksize fits when a block at a multiple of it has a correct digest. Small sizes are tried
// first, and among them those a user picks (powers of two, multiples of 1 KiB) before every other
// one; a size is digested only where its trailers look like a stream's: two neighbouring blocks
// whose indexes follow each other under the same k byte, or, as last resorts, block 0 with a chunk
// header that fits, or any of the first blocks at a likely size. A size is weighed, and once found
// judged, by walking the window block by block from its start; where the blocks stop being intact
// the walk searches the bytes ahead for intact blocks at other offsets (bytes lost or added shift
// every later block) and goes on from there. k and n are read from the intact blocks: k from their
// k byte, n from where their indexes restart, from the chunk numbers in their headers, or from the
// stream's length.
#include "stream/probe.h"

#include <algorithm>
#include <memory>

#include "stream/failure.h"
#include "stream/format.h"
#include "stream/rules.h"

namespace {

constexpr int likely_pair_blocks = 512;  // blocks searched for neighbour pairs at a likely size,
constexpr int64_t pair_search_bytes = int64_t{8} << 20;  // or as many as lie in this many bytes
constexpr int64_t max_probed_blocksize = int64_t{8} << 20;
constexpr int every_pair_blocks = 64;            // at every other size
constexpr int32_t small_size_limit = 64 * 1024;  // sizes searched before the larger ones
constexpr int32_t every_size_limit = 1 << 20;
constexpr int pair_tries = 16;  // pairs digested at one size before it is given up
constexpr int lone_blocks = 64;
constexpr int32_t lone_size_limit = 64 * 1024;
constexpr int confirm_blocks = 4096;
constexpr int64_t digest_budget = int64_t{256} << 20;
// The walk digests its blocks in batches of at most so many blocks and bytes (at least 16 blocks).
constexpr int walk_batch_blocks = 256;
constexpr int64_t walk_batch_bytes = int64_t{4} << 20;
// After two blocks in a row that are not intact, the offsets from the first of them on are searched
// this far (or 8 blocks, when more) for shifted blocks, each offset once a walk; a search digests
// this many candidates at most.
constexpr int64_t realign_reach = int64_t{1} << 20;
constexpr int realign_tries = 16;

// The probe window and the digests spent on it.
class window {
 public:
  explicit window(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  int64_t size() const { return static_cast<int64_t>(bytes_.size()); }
  int64_t blocks(int32_t blocksize) const { return size() / blocksize; }
  const uint8_t* block(int64_t j, int32_t blocksize) const { return bytes_.data() + j * blocksize; }
  const uint8_t* at(int64_t offset) const { return bytes_.data() + offset; }
  uint8_t index(int64_t j, int32_t blocksize) const {
    return get_block_index(block(j, blocksize), blocksize);
  }
  uint8_t k_byte(int64_t j, int32_t blocksize) const {
    return get_k_byte(block(j, blocksize), blocksize);
  }

  // Judges count blocks from j on; stops digesting for good once the budget is spent.
  void verify(int64_t j, int count, int32_t blocksize, bool* ok) {
    verify_at(j * blocksize, count, blocksize, ok);
  }
  // The same for count blocks from byte offset on.
  void verify_at(int64_t offset, int count, int32_t blocksize, bool* ok) {
    std::vector<const uint8_t*> blocks(static_cast<size_t>(count));
    for (int t = 0; t < count; t++) blocks[t] = at(offset + int64_t{t} * blocksize);
    verify_blocks(blocks.data(), count, blocksize, ok);
    digested_ += int64_t{count} * blocksize;
  }
  bool spent() const { return digested_ > digest_budget; }

 private:
  const std::vector<uint8_t>& bytes_;
  int64_t digested_ = 0;
};

// Whether two neighbouring blocks among the first `limit` have trailers that follow each other
// and one of them is intact.
bool pair_fits(window& w, int32_t blocksize, int limit) {
  const int64_t blocks = std::min<int64_t>(limit, w.blocks(blocksize));
  int tries = 0;
  for (int64_t j = 1; j < blocks; j++) {
    if (w.index(j, blocksize) != w.index(j - 1, blocksize) + 1 ||
        w.k_byte(j, blocksize) != w.k_byte(j - 1, blocksize)) {
      continue;
    }
    bool ok[2];
    w.verify(j - 1, 2, blocksize, ok);
    if (ok[0] || ok[1]) return true;
    if (++tries == pair_tries || w.spent()) return false;
  }
  return false;
}

// Whether block 0 could open a stream of this blocksize: index 0 and a chunk header that the
// encoder can have written (chunk 0, full; or the last chunk, within the capacity), and intact.
bool first_block_fits(window& w, int32_t blocksize) {
  if (w.blocks(blocksize) < 1 || w.index(0, blocksize) != 0) return false;
  const uint8_t* block = w.block(0, blocksize);
  const int k = w.k_byte(0, blocksize) == 0 ? 256 : w.k_byte(0, blocksize);
  const int64_t capacity = chunk_capacity(blocksize, k);
  const int64_t clen = get_clen(block);
  const int32_t chunk_id = get_chunk_id(block);
  const bool header_fits =
      (chunk_id == 0 && clen == capacity) || (chunk_id == -1 && clen >= 1 && clen <= capacity);
  if (!header_fits) return false;
  bool ok = false;
  w.verify(0, 1, blocksize, &ok);
  return ok;
}

// Whether any of the first few blocks is intact.
bool lone_block_fits(window& w, int32_t blocksize) {
  const int count = static_cast<int>(std::min<int64_t>(lone_blocks, w.blocks(blocksize)));
  if (count == 0) return false;
  bool ok[lone_blocks];
  w.verify(0, count, blocksize, ok);
  return std::find(ok, ok + count, true) != ok + count;
}

bool is_power_of_two(int32_t size) { return (size & (size - 1)) == 0; }

// Why a window does not tell the parameters, and what to give instead.
struct not_told {
  std::string why;
  const char* advice = "";
};

[[noreturn]] void not_found(const std::string& why, const char* advice) {
  throw not_told{why, advice};
}

// A byte count for messages: bytes, KiB or MiB.
std::string amount(int64_t bytes) {
  if (bytes < 4096) return std::to_string(bytes) + " bytes";
  if (bytes < (int64_t{4} << 20)) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes >> 20) + " MiB";
}

// The sizes a user picks (powers of two from 32, then the other multiples of 1 KiB) within
// [low, high].
std::vector<int32_t> likely_sizes(int64_t low, int64_t high) {
  std::vector<int32_t> sizes;
  for (int64_t b = 32; b <= high; b *= 2) {
    if (b >= low) sizes.push_back(static_cast<int32_t>(b));
  }
  for (int64_t b = 1024; b <= high; b += 1024) {
    if (b >= low && !is_power_of_two(static_cast<int32_t>(b))) {
      sizes.push_back(static_cast<int32_t>(b));
    }
  }
  return sizes;
}

bool is_likely(int32_t size) { return (size >= 32 && is_power_of_two(size)) || size % 1024 == 0; }

// A block judged on the walk through the window.
struct walked_block {
  int64_t at;   // where it starts in the window
  int stretch;  // 0 for the blocks at the multiples of the blocksize; each later stretch starts
                // where a search found intact blocks again at another offset
  int64_t j;    // its block number: from the start in stretch 0, the nearest one in a later one
  bool ok;      // intact
};

// The first offset from `from` on, among those not searched yet and within reach of `first` (where
// the blocks stopped being intact), at which an intact block lies out of step with first: its
// trailer and the next block's follow each other (the same k byte, k_byte when that is known, and
// the next index), and the digest of one of the two is correct. -1 when there is none; the
// offsets passed are not searched again.
int64_t find_shifted(window& w, int32_t blocksize, int64_t first, int k_byte,
                     int64_t& search_from) {
  const int64_t b = blocksize;
  const int64_t last = std::min(first + std::max(realign_reach, 8 * b), w.size() - 2 * b);
  int tries = 0;
  for (int64_t q = std::max(first + 1, search_from); q <= last; q++) {
    if ((q - first) % b == 0) continue;
    const uint8_t* block = w.at(q);
    const uint8_t k = get_k_byte(block, blocksize);
    if ((k_byte >= 0 && k != k_byte) || get_k_byte(block + b, blocksize) != k ||
        get_block_index(block + b, blocksize) != get_block_index(block, blocksize) + 1) {
      continue;
    }
    bool ok[2];
    w.verify_at(q, 2, blocksize, ok);
    if (ok[0] || ok[1]) {
      search_from = q + 1;
      return ok[0] ? q : q + b;
    }
    if (++tries == realign_tries || w.spent()) {
      search_from = q + 1;
      return -1;
    }
  }
  search_from = std::max(search_from, last + 1);
  return -1;
}

// Whether no block at the multiples of the blocksize from offset `from` up to `until` is intact:
// the blocks do not go on in step where a shifted one was found.
bool out_of_step(window& w, int32_t blocksize, int64_t from, int64_t until) {
  const int64_t fitting = from + blocksize <= w.size() ? (w.size() - from) / blocksize : 0;
  const int count = static_cast<int>(
      std::min<int64_t>(fitting, std::max<int64_t>(until - from, 0) / blocksize + 1));
  if (count == 0) return true;
  std::unique_ptr<bool[]> ok(new bool[static_cast<size_t>(count)]);
  w.verify_at(from, count, blocksize, ok.get());
  return std::find(ok.get(), ok.get() + count, true) == ok.get() + count;
}

// Judges up to confirm_blocks blocks of blocksize, from the start of the window on: at the
// multiples of the blocksize, and, after two blocks in a row that are not intact, from where a
// search finds intact ones at another offset while those in step go on failing.
std::vector<walked_block> walk(window& w, int32_t blocksize) {
  const int64_t b = blocksize;
  const int batch_limit =
      static_cast<int>(std::clamp<int64_t>(walk_batch_bytes / b, 16, walk_batch_blocks));
  std::vector<walked_block> walked;
  bool ok[walk_batch_blocks];
  int64_t at = 0;
  int stretch = 0;
  int misses = 0;           // blocks in a row that are not intact
  int64_t search_from = 0;  // the offsets before it were searched
  int k_byte = -1;          // the last intact block's
  while (static_cast<int64_t>(walked.size()) < confirm_blocks && at + b <= w.size()) {
    const int batch = static_cast<int>(std::min<int64_t>(
        {confirm_blocks - static_cast<int64_t>(walked.size()), (w.size() - at) / b, batch_limit}));
    w.verify_at(at, batch, blocksize, ok);
    int64_t next = at + batch * b;
    for (int t = 0; t < batch; t++) {
      const int64_t p = at + t * b;
      walked.push_back({p, stretch, stretch == 0 ? p / b : (p + b / 2) / b, ok[t]});
      if (ok[t]) {
        misses = 0;
        k_byte = get_k_byte(w.at(p), blocksize);
        continue;
      }
      if (++misses < 2) continue;
      // Bytes lost or added before here would shift every later block.
      const int64_t q = find_shifted(w, blocksize, p - b, k_byte, search_from);
      if (q >= 0 && out_of_step(w, blocksize, p + b, q)) {
        next = q;
        stretch++;
        misses = 0;
        break;
      }
    }
    at = next;
  }
  return walked;
}

// The share of the window that blocksize explains: its intact blocks on the walk, over the blocks
// walked.
double explained(window& w, int32_t blocksize) {
  const std::vector<walked_block> walked = walk(w, blocksize);
  if (walked.empty()) return 0;
  const int64_t intact =
      std::count_if(walked.begin(), walked.end(), [](const walked_block& b) { return b.ok; });
  return static_cast<double>(intact) / static_cast<double>(walked.size());
}

// A blocksize that explains this share of the window is taken without looking further.
constexpr double clearly_explained = 0.9;
// No blocksize is taken that explains less than this share: a few intact blocks at some size (a
// small stream inside the user data, a chunk whose first bytes happen to look like a header) are
// not the stream.
constexpr double least_explained = 1.0 / 16;
// Two blocksizes that each explain this share are an ambiguity, not a choice.
constexpr double ambiguous_share = 0.25;

std::string percent(double share) {
  return std::to_string(static_cast<int>(share * 100 + 0.5)) + "%";
}

int32_t find_blocksize(window& w) {
  const int64_t size = w.size();
  // Candidates in the order they are tried; each fitting one is weighed by how much of the window
  // it explains, and the search goes on past one that explains little.
  struct candidate {
    int32_t blocksize;
    double share;
  };
  std::vector<candidate> found;
  const auto consider = [&](int32_t b) {
    for (const candidate& c : found) {
      if (c.blocksize == b) return false;
    }
    found.push_back({b, explained(w, b)});
    return found.back().share >= clearly_explained;
  };
  // The likely sizes first, up to the largest block the probe reaches, their neighbour pairs
  // searched over the first pair_search_bytes of the window (a damaged head is skipped that way).
  for (const int32_t b :
       likely_sizes(MIN_BLOCKSIZE, std::min<int64_t>(max_probed_blocksize, size / 2))) {
    if (w.spent()) break;
    const int limit =
        static_cast<int>(std::max<int64_t>(likely_pair_blocks, pair_search_bytes / b));
    if (pair_fits(w, b, limit) && consider(b)) return b;
  }
  // Small sizes next, then the larger ones: a wrong size costs digests in proportion to its size.
  for (const int64_t high : {int64_t{small_size_limit}, int64_t{every_size_limit}}) {
    const int64_t low = high == small_size_limit ? MIN_BLOCKSIZE : small_size_limit + 1;
    for (int64_t b = low; b <= std::min(high, size / 2) && !w.spent(); b++) {
      const int32_t candidate_size = static_cast<int32_t>(b);
      if (!is_likely(candidate_size) && pair_fits(w, candidate_size, every_pair_blocks) &&
          consider(candidate_size)) {
        return candidate_size;
      }
    }
  }
  // Last resorts, for a stream whose neighbouring blocks are never both readable: block 0 alone
  // at every size, then any intact block among the first few at the likely sizes.
  if (found.empty()) {
    const int32_t first_limit = static_cast<int32_t>(std::min<int64_t>(every_size_limit, size));
    for (int32_t b = MIN_BLOCKSIZE; b <= first_limit && !w.spent() && found.empty(); b++) {
      if (first_block_fits(w, b)) consider(b);
    }
    for (const int32_t b :
         likely_sizes(MIN_BLOCKSIZE, std::min<int64_t>(max_probed_blocksize, size))) {
      if (w.spent() || !found.empty()) break;
      if ((b <= lone_size_limit || is_power_of_two(b)) && lone_block_fits(w, b)) consider(b);
    }
  }
  if (found.empty()) {
    if (w.spent()) {
      not_found("gave up after digesting " + amount(digest_budget) + " of candidate blocks",
                "give -b, -n and -k");
    }
    not_found("no block of any size from " + std::to_string(MIN_BLOCKSIZE) + " to " +
                  std::to_string(size) +
                  " bytes with a correct digest lies at the start of the input (" + amount(size) +
                  " examined)",
              "give -b, -n and -k");
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const candidate& x, const candidate& y) { return x.share > y.share; });
  const candidate& best = found[0];
  if (found.size() > 1 && found[1].share >= ambiguous_share) {
    not_found("blocksizes " + std::to_string(best.blocksize) + " and " +
                  std::to_string(found[1].blocksize) + " explain " + percent(best.share) + " and " +
                  percent(found[1].share) + " of the blocks at the start of the input",
              "give -b, -n and -k");
  }
  // A stream whose neighbouring blocks are never both intact explains little of the window but
  // is all there is when nothing else fits; a few intact blocks among many that fit nothing are
  // not.
  if (best.share < least_explained && w.blocks(best.blocksize) > 2 * lone_blocks) {
    not_found("blocksize " + std::to_string(best.blocksize) + " explains only " +
                  percent(best.share) + " of the blocks at the start of the input",
              "give -b, -n and -k");
  }
  return best.blocksize;
}

struct seen_block {
  int64_t j;  // block number in the stream (in a later stretch, the nearest one)
  int index;
  int stretch;  // as walked_block's
  int64_t at;   // where it starts in the window
};

// Whether each block fits n: its index is below n and its chunk starts at a multiple of n. In a
// stretch after bytes lost or added, whose blocks stand at no multiple of the blocksize, the
// chunks start where most of that stretch's blocks put them.
std::vector<bool> fitting(const std::vector<seen_block>& seen, int n) {
  std::vector<bool> fit(seen.size());
  const auto start = [n](const seen_block& b) { return ((b.j - b.index) % n + n) % n; };
  for (size_t first = 0; first < seen.size();) {
    size_t end = first;
    while (end < seen.size() && seen[end].stretch == seen[first].stretch) end++;
    int64_t phase = 0;
    if (seen[first].stretch > 0) {
      int64_t votes[256] = {};
      for (size_t i = first; i < end; i++) {
        if (seen[i].index < n) votes[start(seen[i])]++;
      }
      phase = std::max_element(votes, votes + n) - votes;
    }
    for (size_t i = first; i < end; i++) {
      const seen_block& b = seen[i];
      fit[i] = b.index < n &&
               (b.stretch > 0 ? start(b) == phase : b.j >= b.index && (b.j - b.index) % n == 0);
    }
    first = end;
  }
  return fit;
}

std::string list_of(const std::vector<int>& values) {
  std::string text;
  if (values.size() > 2 && values.back() - values.front() + 1 == static_cast<int>(values.size())) {
    return "any of " + std::to_string(values.front()) + " to " + std::to_string(values.back());
  }
  for (size_t i = 0; i < values.size() && i < 8; i++) {
    if (i > 0) text += i + 1 == values.size() ? " or " : ", ";
    text += std::to_string(values[i]);
  }
  if (values.size() > 8) text += ", ...";
  return text;
}

// Chooses n among those that fit most blocks, from the chunk headers and the stream length when
// the block indexes leave several.
void find_n(window& w, int64_t stream_size, const std::vector<seen_block>& seen, probe_result& r) {
  const int32_t blocksize = r.blocksize;
  // n is at least k; a block fits n when its index is below n and its chunk starts at a multiple
  // of n. A stray block (another stream's, with a large index) then fits fewer n than the stream's
  // own blocks do, instead of ruling out every n up to its index.
  const int lowest = std::max(2, r.k);

  // The stream is what starts at the start of the input: n is weighed by the intact blocks it
  // explains from there on, up to the first run of blocks it does not explain (the end of the
  // stream, where an older archive written over may go on with another n). A single block that
  // does not fit (another stream's) does not end the run.
  constexpr int misfit_run = 8;
  const auto explained_from_start = [&](int n) {
    const std::vector<bool> fit = fitting(seen, n);
    int64_t count = 0;
    int misfits = 0;
    for (size_t i = 0; i < seen.size(); i++) {
      if (fit[i]) {
        count++;
        misfits = 0;
      } else if (++misfits == misfit_run) {
        break;
      }
    }
    return count;
  };
  std::vector<int> best;
  int64_t best_count = -1;
  for (int n = lowest; n <= 256; n++) {
    const int64_t count = explained_from_start(n);
    if (count > best_count) best.clear();
    if (count >= best_count) {
      best_count = count;
      best.push_back(n);
    }
  }
  r.one_chunk =
      std::all_of(seen.begin(), seen.end(), [](const seen_block& b) { return b.j == b.index; });

  if (best.size() == 1) {
    r.n = best[0];
    r.n_from = r.one_chunk ? n_basis::bound : n_basis::period;
  } else {
    // Chunk headers: the block 0 of chunk c stands at block c * n.
    std::vector<int> by_headers;
    for (const int n : best) {
      const bool agree = std::all_of(seen.begin(), seen.end(), [&](const seen_block& b) {
        // A shifted block's number is not known exactly.
        if (b.index != 0 || b.stretch > 0) return true;
        const int32_t id = get_chunk_id(w.at(b.at));
        return id < 0 || int64_t{id} * n == b.j;
      });
      if (agree) by_headers.push_back(n);
    }
    // Headers that fit none belong elsewhere (chunks exchanged); they tell nothing here.
    if (by_headers.empty()) by_headers = best;

    std::vector<int> by_length;
    if (by_headers.size() > 1 && stream_size >= 0 && stream_size % blocksize == 0) {
      // The stream ends right after the last chunk; else it is a whole number of chunks.
      const int64_t total = stream_size / blocksize;
      for (const int n : by_headers) {
        const bool ends_here = std::any_of(seen.begin(), seen.end(), [&](const seen_block& b) {
          return b.index == 0 && get_chunk_id(w.at(b.at)) == -1 &&
                 b.at + int64_t{n} * blocksize == stream_size;
        });
        if (ends_here) by_length.push_back(n);
      }
      if (by_length.empty()) {
        // A chunk 0 that is not the last (its header says 0, not -1) has a chunk after it.
        const bool more_than_one = std::any_of(seen.begin(), seen.end(), [&](const seen_block& b) {
          return b.stretch == 0 && b.j == 0 && b.index == 0 &&
                 get_chunk_id(w.block(0, blocksize)) == 0;
        });
        for (const int n : by_headers) {
          if (total % n == 0 && (!more_than_one || total / n >= 2)) by_length.push_back(n);
        }
      }
    }

    if (by_headers.size() == 1) {
      r.n = by_headers[0];
      r.n_from = n_basis::chunk_numbers;
    } else if (by_length.size() == 1) {
      r.n = by_length[0];
      r.n_from = n_basis::stream_length;
    } else {
      // The narrowest list that is left, and why it is not narrower.
      std::string why = "n could be " + list_of(by_length.size() > 1 ? by_length : by_headers);
      why += r.one_chunk ? " (every intact block seen lies in the first chunk"
                         : " (the intact blocks fit each";
      if (by_length.size() > 1) {
        why += ", and the stream's length is a whole number of chunks for each";
      } else if (stream_size < 0) {
        why += ", and the stream's length is not known yet";
      } else if (stream_size % blocksize != 0) {
        why += ", and the stream ends inside a block";
      } else {
        why += ", and the stream's length is a whole number of chunks for none";
      }
      not_found(why + ")", "give -n");
    }
  }
}

probe_result probe_window_of(const std::vector<uint8_t>& head, int64_t stream_size,
                             const probe_request& given) {
  probe_result r;
  r.blocksize = given.blocksize;
  r.n = given.n;
  r.k = given.k;
  r.blocksize_given = given.blocksize != 0;
  r.k_given = given.k != 0;

  window w(head);
  if (w.size() == 0) not_found("the input is empty", "give -b, -n and -k");
  if (r.blocksize == 0) r.blocksize = find_blocksize(w);
  const int32_t blocksize = r.blocksize;

  // Every block of that size in the window is judged, along the stream.
  const std::vector<walked_block> walked = walk(w, blocksize);
  r.examined = static_cast<int64_t>(walked.size());
  r.intact =
      std::count_if(walked.begin(), walked.end(), [](const walked_block& b) { return b.ok; });
  if (r.intact == 0) {
    not_found("no block of " + std::to_string(blocksize) + " bytes at the start of the input (" +
                  std::to_string(r.examined) + " examined) is intact",
              "check -b, or give -b, -n and -k");
  }

  // k: the k byte most intact blocks carry.
  int64_t by_k_byte[256] = {};
  for (const walked_block& b : walked) {
    if (b.ok) by_k_byte[get_k_byte(w.at(b.at), blocksize)]++;
  }
  int k_byte = 0;
  if (r.k != 0) {
    k_byte = r.k % 256;
  } else {
    k_byte = static_cast<int>(std::max_element(by_k_byte, by_k_byte + 256) - by_k_byte);
    for (int other = 0; other < 256; other++) {
      if (other != k_byte && by_k_byte[other] == by_k_byte[k_byte]) {
        not_found("the intact blocks carry k bytes " + std::to_string(k_byte) + " and " +
                      std::to_string(other) + " equally often",
                  "give -k");
      }
    }
    r.k = k_byte == 0 ? 256 : k_byte;
  }
  r.k_agree = by_k_byte[k_byte];
  r.k_other = r.intact - r.k_agree;
  if (r.k_agree == 0) {
    not_found("no intact block at the start of the input carries k = " + std::to_string(r.k),
              "check -k");
  }

  // n: from the intact blocks that carry that k byte.
  std::vector<seen_block> seen;
  for (const walked_block& b : walked) {
    if (b.ok && get_k_byte(w.at(b.at), blocksize) == k_byte) {
      seen.push_back({b.j, get_block_index(w.at(b.at), blocksize), b.stretch, b.at});
    }
  }
  if (r.n == 0) {
    find_n(w, stream_size, seen, r);
  } else {
    r.n_from = n_basis::given;
    r.one_chunk =
        std::all_of(seen.begin(), seen.end(), [](const seen_block& b) { return b.j == b.index; });
  }
  // A combination kestrune refuses to write is no answer.
  if (params_error({r.blocksize, r.n, r.k}) != nullptr) {
    not_found("blocksize " + std::to_string(blocksize) + " with n " + std::to_string(r.n) +
                  " and k " + std::to_string(r.k) + " is no stream kestrune writes",
              "give -b, -n and -k");
  }
  const std::vector<bool> fit = fitting(seen, r.n);
  for (size_t i = 0; i < seen.size(); i++) {
    if (!fit[i]) {
      r.n_disagree++;
    } else if (seen[i].j > seen[i].index) {
      r.n_agree++;
    }
  }
  return r;
}

}  // namespace

probe_result probe_parameters(const probe_input& input, const probe_request& given) {
  if (given.blocksize != 0 && given.n != 0 && given.k != 0) {
    probe_result r;
    r.blocksize = given.blocksize;
    r.n = given.n;
    r.k = given.k;
    r.blocksize_given = true;
    r.k_given = true;
    return r;
  }
  // The first window tells for most streams; the larger one is read only when it does not.
  not_told failure;
  for (const size_t limit : {probe_first_window, probe_window}) {
    const std::vector<uint8_t>& head = input.head(limit);
    if (limit == probe_window && head.size() <= probe_first_window) break;
    try {
      return probe_window_of(head, input.size(), given);
    } catch (const not_told& f) {
      failure = f;
    }
  }
  fail(KESTRUNE_ERROR_NOT_FOUND, "parameters not found: %s; %s", failure.why.c_str(),
       failure.advice);
}
