// digest_avx2.cpp - MD5 of many equal-length messages at once with AVX2, eight to a vector.
//
// One lane per message: lane j of every vector holds message j's state (a, b, c or d), or word w of
// its current 64-byte block. For each block, the eight messages' 64-byte rows become sixteen
// vectors of words: for each 16-byte quarter of the block, rows i and i + 4 are loaded into the two
// halves of one vector, and a 4 x 4 transpose of words within each half finishes the job. Then
// MD5's 64 steps run on all lanes at once; AVX2 has neither a three-input logic instruction nor a
// rotate, so F, G, H and I take two or three instructions and a rotate three.
//
// A step waits on the one before it, so one group of eight lanes leaves the vector units idle much
// of the time: a pass interleaves the steps of two groups, 16 messages, which on Zen 4 digests 1.7
// times as fast as two passes of one group. Since the messages have the same length they all end
// alike: their full blocks are read where they lie, and the one or two padded final blocks are
// built per lane in a buffer on the stack and go through the same steps. Of a partial pass, the
// lanes past the last message digest message 0 again and their results are dropped.
#include <immintrin.h>

#include <cstring>
#include <utility>

#include "stream/digest_variants.h"

namespace {

constexpr int LANES = 8;

// A single message left over goes to libmd: on Zen 4 a pass over 1008-byte messages takes
// 1.8 us however few lanes are in use, libmd 1.45 us a message.
constexpr int PARTIAL_PASS_MIN = 2;

struct state {
  __m256i a, b, c, d;
};

// T[i] in all eight lanes, so that a step adds it straight from memory.
struct sine_vectors {
  alignas(32) uint32_t lane[64][LANES];
};
constexpr sine_vectors make_sine_vectors() {
  sine_vectors v{};
  for (int i = 0; i < 64; i++) {
    for (int j = 0; j < LANES; j++) v.lane[i][j] = md5_sine[i];
  }
  return v;
}
constexpr sine_vectors sine = make_sine_vectors();

__attribute__((always_inline)) inline __m128i load128(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// words[w] = word w of the 64-byte rows at row[0] + offset .. row[7] + offset, lane j from row j.
__attribute__((always_inline)) inline void load_words(const uint8_t* const* row, size_t offset,
                                                      __m256i* words) {
#pragma GCC unroll 4
  for (int quarter = 0; quarter < 4; quarter++) {
    const size_t at = offset + 16 * quarter;
    // r[i] holds words 4 * quarter .. 4 * quarter + 3 of row i in its low half, of row i + 4 in
    // its high half.
    __m256i r[4];
#pragma GCC unroll 4
    for (int i = 0; i < 4; i++) {
      r[i] = _mm256_inserti128_si256(_mm256_castsi128_si256(load128(row[i] + at)),
                                     load128(row[i + 4] + at), 1);
    }
    const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]);
    const __m256i t1 = _mm256_unpackhi_epi32(r[0], r[1]);
    const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]);
    const __m256i t3 = _mm256_unpackhi_epi32(r[2], r[3]);
    words[4 * quarter] = _mm256_unpacklo_epi64(t0, t2);
    words[4 * quarter + 1] = _mm256_unpackhi_epi64(t0, t2);
    words[4 * quarter + 2] = _mm256_unpacklo_epi64(t1, t3);
    words[4 * quarter + 3] = _mm256_unpackhi_epi64(t1, t3);
  }
}

__attribute__((always_inline)) inline __m256i add(__m256i x, __m256i y) {
  return _mm256_add_epi32(x, y);
}

// F = (b & c) | (~b & d), G = (b & d) | (c & ~d), H = b ^ c ^ d and I = c ^ (b | ~d), each written
// so that b, the value the previous step just computed, comes in as late as possible. G's two terms
// share no bit, so they are added to the sum separately.
template <int round>
__attribute__((always_inline)) inline __m256i add_round_function(__m256i sum, __m256i b, __m256i c,
                                                                 __m256i d) {
  if constexpr (round == 0) {
    return add(sum, _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d))));
  } else if constexpr (round == 1) {
    return add(add(sum, _mm256_andnot_si256(d, c)), _mm256_and_si256(b, d));
  } else if constexpr (round == 2) {
    return add(sum, _mm256_xor_si256(b, _mm256_xor_si256(c, d)));
  } else {
    const __m256i not_d = _mm256_xor_si256(d, _mm256_set1_epi32(-1));
    return add(sum, _mm256_xor_si256(c, _mm256_or_si256(b, not_d)));
  }
}

// Step i: a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s), then the roles move on by one: the new a
// is the old d, d the old c, c the old b and b the value just computed.
template <int i>
__attribute__((always_inline)) inline void step(state& x, const __m256i* words) {
  constexpr int s = md5_shift(i);
  const __m256i t = _mm256_load_si256(reinterpret_cast<const __m256i*>(sine.lane[i]));
  __m256i ahead = add(x.a, add(words[md5_word(i)], t));
  // Left to itself the compiler adds f to the word first and the rest after, a longer chain.
  asm("" : "+x"(ahead));
  const __m256i sum = add_round_function<i / 16>(ahead, x.b, x.c, x.d);
  const __m256i rotated =
      _mm256_or_si256(_mm256_slli_epi32(sum, s), _mm256_srli_epi32(sum, 32 - s));
  x.a = x.d;
  x.d = x.c;
  x.c = x.b;
  x.b = add(x.b, rotated);
}

// Step i of every group.
template <int i, int G>
__attribute__((always_inline)) inline void step_groups(state* x, const __m256i (*words)[16]) {
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) step<i>(x[g], words[g]);
}

// The 64 steps on one block of G groups of eight lanes, their steps interleaved so that one group's
// work fills the other's waits.
template <int G, int... i>
__attribute__((always_inline)) inline void all_steps(state* s, const __m256i (*words)[16],
                                                     std::integer_sequence<int, i...>) {
  state x[G];
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) x[g] = s[g];
  (step_groups<i, G>(x, words), ...);
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) {
    s[g].a = add(s[g].a, x[g].a);
    s[g].b = add(s[g].b, x[g].b);
    s[g].c = add(s[g].c, x[g].c);
    s[g].d = add(s[g].d, x[g].d);
  }
}

// Digests `blocks` 64-byte blocks of each of the 8 * G lanes, lane j's from row[j] on.
template <int G>
void compress(state* s, const uint8_t* const* row, size_t blocks) {
  for (size_t n = 0; n < blocks; n++) {
    __m256i words[G][16];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) load_words(row + LANES * g, 64 * n, words[g]);
    all_steps<G>(s, words, std::make_integer_sequence<int, 64>());
  }
}

// out[j] = MD5 of the len bytes at msgs[j], for j in 0 .. 8 * G - 1.
template <int G>
void digest_pass(const uint8_t* const* msgs, size_t len, uint8_t (*out)[DIGEST_LEN]) {
  state s[G];
  for (int g = 0; g < G; g++) {
    s[g] = {_mm256_set1_epi32(static_cast<int>(md5_initial_state[0])),
            _mm256_set1_epi32(static_cast<int>(md5_initial_state[1])),
            _mm256_set1_epi32(static_cast<int>(md5_initial_state[2])),
            _mm256_set1_epi32(static_cast<int>(md5_initial_state[3]))};
  }
  compress<G>(s, msgs, len / 64);

  alignas(32) uint8_t tail[G * LANES][128];
  const uint8_t* tail_row[G * LANES];
  int tail_blocks = 0;
  for (int j = 0; j < G * LANES; j++) {
    tail_blocks = digest_pad_tail(msgs[j], len, tail[j]);
    tail_row[j] = tail[j];
  }
  compress<G>(s, tail_row, tail_blocks);

  for (int g = 0; g < G; g++) {
    alignas(32) uint32_t words[4][LANES];
    _mm256_store_si256(reinterpret_cast<__m256i*>(words[0]), s[g].a);
    _mm256_store_si256(reinterpret_cast<__m256i*>(words[1]), s[g].b);
    _mm256_store_si256(reinterpret_cast<__m256i*>(words[2]), s[g].c);
    _mm256_store_si256(reinterpret_cast<__m256i*>(words[3]), s[g].d);
    for (int j = 0; j < LANES; j++) {
      for (int w = 0; w < 4; w++) memcpy(out[LANES * g + j] + 4 * w, &words[w][j], 4);
    }
  }
}

// Digests msgs[0 .. count-1], count at most 8 * G, in one pass of G groups.
template <int G>
void digest_up_to(const uint8_t* const* msgs, size_t len, int count, uint8_t (*out)[DIGEST_LEN]) {
  if (count == G * LANES) {
    digest_pass<G>(msgs, len, out);
    return;
  }
  const uint8_t* lane[G * LANES];
  for (int j = 0; j < G * LANES; j++) lane[j] = msgs[j < count ? j : 0];
  uint8_t digests[G * LANES][DIGEST_LEN];
  digest_pass<G>(lane, len, digests);
  memcpy(out, digests, static_cast<size_t>(count) * DIGEST_LEN);
}

}  // namespace

void digest_many_avx2(const uint8_t* const* msgs, size_t len, int count,
                      uint8_t (*out)[DIGEST_LEN]) {
  int done = 0;
  for (; count - done >= 2 * LANES; done += 2 * LANES) {
    digest_pass<2>(msgs + done, len, out + done);
  }
  const int left = count - done;
  if (left < PARTIAL_PASS_MIN) {
    digest_many_libmd(msgs + done, len, left, out + done);
  } else if (left > LANES) {
    digest_up_to<2>(msgs + done, len, left, out + done);
  } else if (left > 0) {
    digest_up_to<1>(msgs + done, len, left, out + done);
  }
}
