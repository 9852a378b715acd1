// digest_avx512.cpp - MD5 of many equal-length messages at once with AVX-512, sixteen to a vector.
//
// One lane per message: lane j of every vector holds message j's state (a, b, c or d), or word w of
// its current 64-byte block. For each block, the sixteen messages' 64-byte rows become sixteen
// vectors of words (sixteen loads and a 16 x 16 transpose of 32-bit words; gathering the words
// instead measured half as fast), then MD5's 64 steps run on all lanes at once: vpternlogd computes
// F, G, H or I of three vectors in one instruction and vprold rotates.
//
// A step waits on the one before it, so one group of sixteen lanes leaves the vector units idle
// much of the time: a pass interleaves the steps of two groups, 32 messages, which on Zen 4
// digests 1.4 times as fast as two passes of one group. Since the messages have the same length
// they all end alike: their full blocks are read where they lie, and the one or two padded final
// blocks are built per lane in a buffer on the stack and go through the same steps. Of a partial
// pass, the lanes past the last message digest message 0 again and their results are dropped.

// GCC 12 takes the deliberately undefined vectors inside the AVX-512 intrinsics for uninitialised
// variables (GCC bug 105593); the warning is about the header, not this file.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

#include <cstring>
#include <utility>

#include "stream/digest_variants.h"

namespace {

constexpr int LANES = 16;

// A single message left over goes to libmd: on Zen 4 a pass over 1008-byte messages takes
// 2.0 us however few lanes are in use, libmd 1.45 us a message.
constexpr int PARTIAL_PASS_MIN = 2;

struct state {
  __m512i a, b, c, d;
};

// words[w] = word w of the 64-byte rows at row[0] + offset .. row[15] + offset, lane j from row j.
__attribute__((always_inline)) inline void load_words(const uint8_t* const* row, size_t offset,
                                                      __m512i* words) {
  __m512i r[16];
#pragma GCC unroll 16
  for (int j = 0; j < 16; j++) r[j] = _mm512_loadu_si512(row[j] + offset);
  // Within each 128-bit quarter: rows 2i and 2i+1 interleaved by words, then rows 4i .. 4i+3
  // interleaved by pairs, so that u[4i + q] holds in quarter k word 4k + q of rows 4i .. 4i+3.
  __m512i t[16], u[16];
#pragma GCC unroll 16
  for (int i = 0; i < 8; i++) {
    t[2 * i] = _mm512_unpacklo_epi32(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_epi32(r[2 * i], r[2 * i + 1]);
  }
#pragma GCC unroll 16
  for (int i = 0; i < 4; i++) {
    u[4 * i] = _mm512_unpacklo_epi64(t[4 * i], t[4 * i + 2]);
    u[4 * i + 1] = _mm512_unpackhi_epi64(t[4 * i], t[4 * i + 2]);
    u[4 * i + 2] = _mm512_unpacklo_epi64(t[4 * i + 1], t[4 * i + 3]);
    u[4 * i + 3] = _mm512_unpackhi_epi64(t[4 * i + 1], t[4 * i + 3]);
  }
  // Then a 4 x 4 transpose of quarters among u[q], u[4 + q], u[8 + q] and u[12 + q].
#pragma GCC unroll 16
  for (int q = 0; q < 4; q++) {
    const __m512i v0 = _mm512_shuffle_i32x4(u[q], u[4 + q], _MM_SHUFFLE(2, 0, 2, 0));
    const __m512i v1 = _mm512_shuffle_i32x4(u[q], u[4 + q], _MM_SHUFFLE(3, 1, 3, 1));
    const __m512i v2 = _mm512_shuffle_i32x4(u[8 + q], u[12 + q], _MM_SHUFFLE(2, 0, 2, 0));
    const __m512i v3 = _mm512_shuffle_i32x4(u[8 + q], u[12 + q], _MM_SHUFFLE(3, 1, 3, 1));
    words[q] = _mm512_shuffle_i32x4(v0, v2, _MM_SHUFFLE(2, 0, 2, 0));
    words[4 + q] = _mm512_shuffle_i32x4(v1, v3, _MM_SHUFFLE(2, 0, 2, 0));
    words[8 + q] = _mm512_shuffle_i32x4(v0, v2, _MM_SHUFFLE(3, 1, 3, 1));
    words[12 + q] = _mm512_shuffle_i32x4(v1, v3, _MM_SHUFFLE(3, 1, 3, 1));
  }
}

// vpternlogd truth tables of F, G, H and I as functions of (b, c, d): F = (b & c) | (~b & d),
// G = (b & d) | (c & ~d), H = b ^ c ^ d, I = c ^ (b | ~d).
constexpr int round_function[4] = {0xca, 0xe4, 0x96, 0x39};

// Step i: a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s), then the roles move on by one: the new a
// is the old d, d the old c, c the old b and b the value just computed.
template <int i>
__attribute__((always_inline)) inline void step(state& x, const __m512i* words,
                                                const uint32_t* sine) {
  constexpr int word = md5_word(i);
  constexpr int shift = md5_shift(i);
  __m512i ahead = _mm512_add_epi32(
      x.a, _mm512_add_epi32(words[word], _mm512_set1_epi32(static_cast<int>(sine[i]))));
  // Left to itself the compiler adds f to the word first and the rest after, a longer chain.
  asm("" : "+v"(ahead));
  constexpr int function = round_function[i / 16];
  const __m512i f = _mm512_ternarylogic_epi32(x.b, x.c, x.d, function);
  const __m512i sum = _mm512_rol_epi32(_mm512_add_epi32(ahead, f), shift);
  x.a = x.d;
  x.d = x.c;
  x.c = x.b;
  x.b = _mm512_add_epi32(x.b, sum);
}

// Step i of every group.
template <int i, int G>
__attribute__((always_inline)) inline void step_groups(state* x, const __m512i (*words)[16],
                                                       const uint32_t* sine) {
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) step<i>(x[g], words[g], sine);
}

// The 64 steps on one block of G groups of sixteen lanes, their steps interleaved so that one
// group's work fills the other's waits.
template <int G, int... i>
__attribute__((always_inline)) inline void all_steps(state* s, const __m512i (*words)[16],
                                                     std::integer_sequence<int, i...>) {
  state x[G];
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) x[g] = s[g];
  // Through an opaque pointer, so that the sines are added from memory, not built in registers.
  const uint32_t* sine = md5_sine;
  asm("" : "+r"(sine));
  (step_groups<i, G>(x, words, sine), ...);
#pragma GCC unroll 4
  for (int g = 0; g < G; g++) {
    s[g].a = _mm512_add_epi32(s[g].a, x[g].a);
    s[g].b = _mm512_add_epi32(s[g].b, x[g].b);
    s[g].c = _mm512_add_epi32(s[g].c, x[g].c);
    s[g].d = _mm512_add_epi32(s[g].d, x[g].d);
  }
}

// Digests `blocks` 64-byte blocks of each of the 16 * G lanes, lane j's from row[j] on.
template <int G>
void compress(state* s, const uint8_t* const* row, size_t blocks) {
  for (size_t n = 0; n < blocks; n++) {
    __m512i words[G][16];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) load_words(row + LANES * g, 64 * n, words[g]);
    all_steps<G>(s, words, std::make_integer_sequence<int, 64>());
  }
}

// out[j] = MD5 of the len bytes at msgs[j], for j in 0 .. 16 * G - 1.
template <int G>
void digest_pass(const uint8_t* const* msgs, size_t len, uint8_t (*out)[DIGEST_LEN]) {
  state s[G];
  for (int g = 0; g < G; g++) {
    s[g] = {_mm512_set1_epi32(static_cast<int>(md5_initial_state[0])),
            _mm512_set1_epi32(static_cast<int>(md5_initial_state[1])),
            _mm512_set1_epi32(static_cast<int>(md5_initial_state[2])),
            _mm512_set1_epi32(static_cast<int>(md5_initial_state[3]))};
  }
  compress<G>(s, msgs, len / 64);

  alignas(64) uint8_t tail[G * LANES][128];
  const uint8_t* tail_row[G * LANES];
  int tail_blocks = 0;
  for (int j = 0; j < G * LANES; j++) {
    tail_blocks = digest_pad_tail(msgs[j], len, tail[j]);
    tail_row[j] = tail[j];
  }
  compress<G>(s, tail_row, tail_blocks);

  for (int g = 0; g < G; g++) {
    alignas(64) uint32_t words[4][LANES];
    _mm512_store_si512(words[0], s[g].a);
    _mm512_store_si512(words[1], s[g].b);
    _mm512_store_si512(words[2], s[g].c);
    _mm512_store_si512(words[3], s[g].d);
    for (int j = 0; j < LANES; j++) {
      for (int w = 0; w < 4; w++) memcpy(out[LANES * g + j] + 4 * w, &words[w][j], 4);
    }
  }
}

// Digests msgs[0 .. count-1], count at most 16 * G, in one pass of G groups.
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

void digest_many_avx512(const uint8_t* const* msgs, size_t len, int count,
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
