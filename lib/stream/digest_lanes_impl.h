// SPDX-License-Identifier: MIT
// digest_lanes_impl.h - multi-lane MD5 written once, instantiated by each vector variant's file.
//
// One lane per message: lane j of every vector holds message j's state (a, b, c or d), or word w of
// its current 64-byte block. For each block, ops::load_words turns the 64-byte rows of one vector's
// worth of messages into sixteen vectors of words; then MD5's 64 steps run on all lanes at once.
//
// A step waits on the one before it, so one group of lanes leaves the vector units idle much of the
// time: a pass interleaves the steps of two groups. Since the messages have the same length they
// all end alike: their full blocks are read where they lie, and the one or two padded final blocks
// are built per lane in a buffer on the stack and go through the same steps. Of a partial pass, the
// lanes past the last message digest message 0 again and their results are dropped.
//
// Everything here is a template over `ops`, one instruction set's operations on 32-bit lanes, so
// that the intrinsics all stay in the file that defines the struct and instantiates md5_lanes with
// it, the only file built for that instruction set. That file declares the struct in an anonymous
// namespace: every function instantiated from here then has internal linkage, and no copy built for
// one instruction set can be merged with, and run in place of, another's. The struct has:
//   vec                      the vector type, LANES lanes of 32 bits
//   PARTIAL_PASS_MIN         the fewest messages worth a pass; fewer go to libmd
//   FULL_PASS_GROUPS         the groups of a full pass (2 or 3): the most that still run faster per
//                            lane with this instruction set's registers
//   TERNARY_LOGIC            whether ternary<table>(b, c, d) computes any function of three vectors
//   set1(x), add(x, y)       x in every lane; lane-wise sum
//   rotl<s>(x)               each lane rotated left by s
//   bit_and, bit_or, bit_xor, and_not(x, y) = ~x & y and sub(x, y), unless TERNARY_LOGIC
//   ternary<table>(b, c, d)  if TERNARY_LOGIC, lane-wise the function with that truth table
//   opaque(x)                makes x, in a vector register, a value the compiler cannot see through
//   store(p, x)              x to the LANES words at p, aligned to sizeof(vec)
//   load_words(row, offset, words)
//                            words[w] = word w of the 64-byte rows at row[0] + offset ..
//                            row[LANES - 1] + offset, lane j from row j
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "stream/digest_variants.h"

template <class ops>
struct md5_lanes {
  using vec = typename ops::vec;
  static constexpr int LANES = ops::LANES;

  struct state {
    vec a, b, c, d;
  };

  // F = (b & c) | (~b & d), G = (b & d) | (c & ~d), H = b ^ c ^ d and I = c ^ (b | ~d), added to
  // sum. With three-input logic each is one operation; otherwise each is written so that b, the
  // value the previous step just computed, comes in as late as possible, and G's two terms, which
  // share no bit, are added to the sum separately.
  template <int round>
  __attribute__((always_inline)) static vec add_round_function(vec sum, vec b, vec c, vec d) {
    if constexpr (ops::TERNARY_LOGIC) {
      // The truth tables of F, G, H and I as functions of (b, c, d).
      constexpr int truth_table[4] = {0xca, 0xe4, 0x96, 0x39};
      return ops::add(sum, ops::template ternary<truth_table[round]>(b, c, d));
    } else if constexpr (round == 0) {
      return ops::add(sum, ops::bit_xor(d, ops::bit_and(b, ops::bit_xor(c, d))));
    } else if constexpr (round == 1) {
      return ops::add(ops::add(sum, ops::and_not(d, c)), ops::bit_and(b, d));
    } else if constexpr (round == 2) {
      return ops::add(sum, ops::bit_xor(b, ops::bit_xor(c, d)));
    } else {
      // I = ~(c ^ (~b & d)), and sum + ~y = sum - y - 1: the 1 is taken off T[i] in advance
      // (step_constant), which saves the NOT.
      return ops::sub(sum, ops::bit_xor(c, ops::and_not(b, d)));
    }
  }

  // T[i] as the steps add it: less 1 in the last round when I's NOT is folded into the sum.
  static constexpr std::array<uint32_t, 64> step_constant = [] {
    std::array<uint32_t, 64> t{};
    for (int i = 0; i < 64; i++) t[i] = md5_sine[i] - (i >= 48 && !ops::TERNARY_LOGIC ? 1 : 0);
    return t;
  }();

  // Step i: a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s), then the roles move on by one: the new
  // a is the old d, d the old c, c the old b and b the value just computed.
  template <int i>
  __attribute__((always_inline)) static void step(state& x, const vec* words,
                                                  const uint32_t* sine) {
    constexpr int word = md5_word(i);
    constexpr int shift = md5_shift(i);
    vec ahead = ops::add(x.a, ops::add(words[word], ops::set1(sine[i])));
    // Left to itself the compiler adds f to the word first and the rest after, a longer chain.
    ops::opaque(ahead);
    const vec sum = add_round_function<i / 16>(ahead, x.b, x.c, x.d);
    const vec rotated = ops::template rotl<shift>(sum);
    x.a = x.d;
    x.d = x.c;
    x.c = x.b;
    x.b = ops::add(x.b, rotated);
  }

  // Step i of every group.
  template <int i, int G>
  __attribute__((always_inline)) static void step_groups(state* x, const vec (*words)[16],
                                                         const uint32_t* sine) {
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) step<i>(x[g], words[g], sine);
  }

  // The 64 steps on one block of G groups, their steps interleaved so that one group's work fills
  // the other's waits.
  template <int G, int... i>
  __attribute__((always_inline)) static void all_steps(state* s, const vec (*words)[16],
                                                       std::integer_sequence<int, i...>) {
    state x[G];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) x[g] = s[g];
    // Through an opaque pointer, so that each T[i] is broadcast from memory as a step needs it, not
    // built in a register or kept as a vector constant.
    const uint32_t* sine = step_constant.data();
    asm("" : "+r"(sine));
    (step_groups<i, G>(x, words, sine), ...);
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) {
      s[g].a = ops::add(s[g].a, x[g].a);
      s[g].b = ops::add(s[g].b, x[g].b);
      s[g].c = ops::add(s[g].c, x[g].c);
      s[g].d = ops::add(s[g].d, x[g].d);
    }
  }

  // Digests `blocks` 64-byte blocks of each of the LANES * G lanes, lane j's from row[j] on.
  template <int G>
  static void compress(state* s, const uint8_t* const* row, size_t blocks);

  // out[j] = MD5 of the len bytes at msgs[j], for j in 0 .. LANES * G - 1.
  template <int G>
  static void digest_pass(const uint8_t* const* msgs, size_t len, uint8_t (*out)[DIGEST_LEN]);

  // Digests msgs[0 .. count-1], count at most LANES * G, in one pass of G groups.
  template <int G>
  static void digest_up_to(const uint8_t* const* msgs, size_t len, int count,
                           uint8_t (*out)[DIGEST_LEN]);

  // digest_many()'s contract: passes of two groups until what is left fits in three, then that in
  // one pass of one, two or three groups, or by libmd if that is fewer than ops::PARTIAL_PASS_MIN
  // messages. (A chunk of 18 blocks takes one pass of three groups of 8 lanes, in less time than
  // two groups and then one.)
  static void digest_many(const uint8_t* const* msgs, size_t len, int count,
                          uint8_t (*out)[DIGEST_LEN]);
};

// Defined out of the class, so not implicitly inline: the compiler inlines these only where it
// would any other function, rather than copying a whole pass into each caller.

template <class ops>
template <int G>
void md5_lanes<ops>::compress(state* s, const uint8_t* const* row, size_t blocks) {
  for (size_t n = 0; n < blocks; n++) {
    vec words[G][16];
#pragma GCC unroll 4
    for (int g = 0; g < G; g++) ops::load_words(row + LANES * g, 64 * n, words[g]);
    all_steps<G>(s, words, std::make_integer_sequence<int, 64>());
  }
}

template <class ops>
template <int G>
void md5_lanes<ops>::digest_pass(const uint8_t* const* msgs, size_t len,
                                 uint8_t (*out)[DIGEST_LEN]) {
  state s[G];
  for (int g = 0; g < G; g++) {
    s[g] = {ops::set1(md5_initial_state[0]), ops::set1(md5_initial_state[1]),
            ops::set1(md5_initial_state[2]), ops::set1(md5_initial_state[3])};
  }
  compress<G>(s, msgs, len / 64);

  alignas(sizeof(vec)) uint8_t tail[G * LANES][128];
  const uint8_t* tail_row[G * LANES];
  int tail_blocks = 0;
  for (int j = 0; j < G * LANES; j++) {
    tail_blocks = digest_pad_tail(msgs[j], len, tail[j]);
    tail_row[j] = tail[j];
  }
  compress<G>(s, tail_row, tail_blocks);

  for (int g = 0; g < G; g++) {
    alignas(sizeof(vec)) uint32_t words[4][LANES];
    ops::store(words[0], s[g].a);
    ops::store(words[1], s[g].b);
    ops::store(words[2], s[g].c);
    ops::store(words[3], s[g].d);
    for (int j = 0; j < LANES; j++) {
      for (int w = 0; w < 4; w++) memcpy(out[LANES * g + j] + 4 * w, &words[w][j], 4);
    }
  }
}

template <class ops>
template <int G>
void md5_lanes<ops>::digest_up_to(const uint8_t* const* msgs, size_t len, int count,
                                  uint8_t (*out)[DIGEST_LEN]) {
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

template <class ops>
void md5_lanes<ops>::digest_many(const uint8_t* const* msgs, size_t len, int count,
                                 uint8_t (*out)[DIGEST_LEN]) {
  int done = 0;
  if constexpr (ops::FULL_PASS_GROUPS == 3) {
    for (; count - done >= 3 * LANES; done += 3 * LANES) {
      digest_pass<3>(msgs + done, len, out + done);
    }
  } else {
    for (; count - done > 3 * LANES; done += 2 * LANES) {
      digest_pass<2>(msgs + done, len, out + done);
    }
  }
  const int left = count - done;
  if (left < ops::PARTIAL_PASS_MIN) {
    digest_many_libmd(msgs + done, len, left, out + done);
  } else if (left > 2 * LANES) {
    digest_up_to<3>(msgs + done, len, left, out + done);
  } else if (left > LANES) {
    digest_up_to<2>(msgs + done, len, left, out + done);
  } else if (left > 0) {
    digest_up_to<1>(msgs + done, len, left, out + done);
  }
}
