// SPDX-License-Identifier: MIT
// Tests of decoding: moving data packets into their slots, rebuilding the missing ones from parity
// packets, the failures, running out of memory, and round trips over every choice of packets of
// small codes and random choices of large ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "fec/fec.h"
#include "fec/fec_internal.h"
#include "tests/fec/failing_malloc.h"
#include "tests/fec/fec_test_util.h"
#include "tests/support/capture_stderr.h"
#include "tests/support/random.h"

namespace {

using kestrune::test::capture_stderr;
using kestrune::test::CodePtr;
using kestrune::test::data_packet;
using kestrune::test::expected_packet;
using kestrune::test::MallocWatch;
using kestrune::test::Reports;
using kestrune::test::seeded_random;
using kestrune::test::text;

using Packet = std::vector<uint8_t>;
using Numbers = std::vector<int32_t>;

std::string numbers_text(const Numbers& numbers) {
  std::string out = "[";
  for (size_t i = 0; i < numbers.size(); i++) out += text(i == 0 ? "" : ",", numbers[i]);
  return out + "]";
}

// --- fec_reorder_pkts ---------------------------------------------------------------------------

struct ReorderCase {
  int k;
  Numbers numbers;
  int result;
  Numbers after;  // the numbers afterwards, when they are known exactly
};

void PrintTo(const ReorderCase& c, std::ostream* out) {
  *out << "k " << c.k << ", numbers " << numbers_text(c.numbers);
}

class FecReorderPkts : public ::testing::TestWithParam<ReorderCase> {};

// Each slot starts with its own marker "packet"; afterwards every data number sits in its own slot,
// and every packet is still beside the number it came with.
TEST_P(FecReorderPkts, MovesDataPacketsIntoTheirSlots) {
  const ReorderCase& c = GetParam();
  std::vector<uint8_t> markers(c.k);
  std::vector<uint8_t*> pkts(c.k);
  for (int j = 0; j < c.k; j++) pkts[j] = &markers[j];
  Numbers numbers = c.numbers;

  int result = -1;
  const std::string message =
      capture_stderr([&] { result = fec_reorder_pkts(pkts.data(), numbers.data(), c.k); });
  EXPECT_EQ(result, c.result);
  EXPECT_EQ(message, "");
  for (int j = 0; j < c.k; j++) {
    const auto came_from = pkts[j] - markers.data();
    ASSERT_TRUE(came_from >= 0 && came_from < c.k) << "slot " << j;
    EXPECT_EQ(numbers[j], c.numbers[came_from]) << "slot " << j << " lost its number";
    if (c.result == 0 && numbers[j] >= 0 && numbers[j] < c.k) {
      EXPECT_EQ(numbers[j], j) << "data packet " << numbers[j] << " not in its slot";
    }
  }
  std::vector<uint8_t*> sorted = pkts;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "a packet twice";
  if (!c.after.empty()) {
    EXPECT_EQ(numbers, c.after);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FecReorderPkts,
    ::testing::Values(ReorderCase{5, {0, 1, 3, 4, 5}, 0, {0, 1, 5, 3, 4}},
                      ReorderCase{4, {1, 1, 2, 3}, 1, {1, 1, 2, 3}},  // nothing exchanged
                      ReorderCase{4, {0, 1, 2, 3}, 0, {0, 1, 2, 3}},
                      ReorderCase{4, {3, 2, 1, 0}, 0, {0, 1, 2, 3}},
                      ReorderCase{4, {1, 2, 3, 0}, 0, {0, 1, 2, 3}},
                      ReorderCase{4, {7, 6, 5, 4}, 0, {7, 6, 5, 4}},
                      ReorderCase{4, {-1, 0, 9, 2}, 0, {}}, ReorderCase{4, {6, 3, -7, 1}, 0, {}},
                      ReorderCase{3, {1, 2, 1}, 1, {}}, ReorderCase{3, {2, 2, 5}, 1, {}},
                      ReorderCase{3, {4, 0, 0}, 1, {}}, ReorderCase{1, {0}, 0, {0}},
                      ReorderCase{1, {2}, 0, {2}}));

// --- fec_decode_pkts ----------------------------------------------------------------------------

// All n packets of a code for the data packets data_packet(0 .. k-1).
std::vector<Packet> all_packets(const fec_code& code, int pkt_size) {
  std::vector<Packet> packets;
  for (int r = 0; r < code.n; r++) packets.push_back(expected_packet(code, r, pkt_size));
  return packets;
}

// The k packets handed to fec_decode_pkts(), each in a heap block of exactly pkt_size bytes, and
// what was handed in. A number out of range gets a filler packet.
class Received {
 public:
  Received(const std::vector<Packet>& packets, const Numbers& numbers, int pkt_size)
      : numbers(numbers), original_numbers(numbers), pkt_size_(pkt_size) {
    for (size_t j = 0; j < numbers.size(); j++) {
      const int32_t number = numbers[j];
      Packet contents(pkt_size, static_cast<uint8_t>(0x40 + j));
      if (number >= 0 && number < static_cast<int32_t>(packets.size())) contents = packets[number];
      blocks_.push_back(std::make_unique<uint8_t[]>(pkt_size));
      std::copy(contents.begin(), contents.end(), blocks_.back().get());
      pkts.push_back(blocks_.back().get());
      original_contents.push_back(contents);
    }
    original_pkts = pkts;
  }

  Packet contents(const uint8_t* pkt) const { return Packet(pkt, pkt + pkt_size_); }
  // The slot the buffer was handed in at.
  int origin(const uint8_t* pkt) const {
    const auto at = std::find(original_pkts.begin(), original_pkts.end(), pkt);
    return at == original_pkts.end() ? -1 : static_cast<int>(at - original_pkts.begin());
  }

  // The arrays still hold every buffer once, each beside the number it came with.
  ::testing::AssertionResult arrays_consistent() const {
    for (size_t j = 0; j < pkts.size(); j++) {
      const int from = origin(pkts[j]);
      if (from < 0) return ::testing::AssertionFailure() << "slot " << j << " holds a new buffer";
      if (numbers[j] != original_numbers[from]) {
        return ::testing::AssertionFailure() << "slot " << j << " has number " << numbers[j]
                                             << " beside the buffer of " << original_numbers[from];
      }
    }
    std::vector<uint8_t*> sorted = pkts;
    std::sort(sorted.begin(), sorted.end());
    if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) {
      return ::testing::AssertionFailure() << "a buffer occurs twice";
    }
    return ::testing::AssertionSuccess();
  }

  std::vector<uint8_t*> pkts;
  Numbers numbers;
  std::vector<uint8_t*> original_pkts;
  Numbers original_numbers;
  std::vector<Packet> original_contents;

 private:
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  int pkt_size_;
};

// A codec whose messages go to `reports`.
struct TestCode {
  Reports reports;
  CodePtr code;

  TestCode(int k, int n) : code(fec_create(k, n, reports.reporter())) {}
};

// Decodes; *message is what the codec reported, which must be all it wrote: standard error stays
// empty.
int decode(TestCode& codec, Received& received, int pkt_size, std::string* message) {
  int result = -1;
  const std::string written = capture_stderr([&] {
    result =
        fec_decode_pkts(codec.code.get(), received.pkts.data(), received.numbers.data(), pkt_size);
  });
  *message = codec.reports.take();
  EXPECT_EQ(written, "") << "written to standard error";
  return result;
}

// Decodes `numbers` and checks everything a successful decode promises: slot i holds data packet i,
// data packets handed in were moved and not copied, every buffer is still beside its number, and
// encoding the rebuilt data packets gives back every parity packet that was handed in.
::testing::AssertionResult decodes(TestCode& codec, const std::vector<Packet>& packets,
                                   const Numbers& numbers, int pkt_size) {
  const fec_code& code = *codec.code;
  const int k = code.k;
  Received received(packets, numbers, pkt_size);
  std::string message;
  const int result = decode(codec, received, pkt_size, &message);
  if (result != 0 || !message.empty()) {
    return ::testing::AssertionFailure()
           << "result " << result << ", message \"" << message << "\"";
  }
  if (auto consistent = received.arrays_consistent(); !consistent) return consistent;
  for (int i = 0; i < k; i++) {
    if (received.contents(received.pkts[i]) != data_packet(i, pkt_size)) {
      return ::testing::AssertionFailure() << "slot " << i << " does not hold data packet " << i;
    }
  }
  for (size_t j = 0; j < numbers.size(); j++) {
    const int32_t number = numbers[j];
    if (number < k && received.pkts[number] != received.original_pkts[j]) {
      return ::testing::AssertionFailure() << "data packet " << number << " was copied, not moved";
    }
    if (number >= k) {
      Packet target(pkt_size + 1, 0xEE);  // never empty, so never a null pointer
      fec_encode_pkt(&code, received.pkts.data(), target.data(), number, pkt_size);
      target.pop_back();
      if (target != received.original_contents[j]) {
        return ::testing::AssertionFailure()
               << "re-encoding gives another parity packet " << number;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

struct DecodeCase {
  int k, n;
  Numbers numbers;
};

void PrintTo(const DecodeCase& c, std::ostream* out) {
  *out << "code (" << c.k << ", " << c.n << "), packets " << numbers_text(c.numbers);
}

class FecDecodePkts : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(FecDecodePkts, RebuildsTheDataPackets) {
  const DecodeCase& c = GetParam();
  TestCode codec(c.k, c.n);
  ASSERT_NE(codec.code, nullptr);
  for (const int pkt_size : {0, 1, 7, 33}) {
    EXPECT_TRUE(decodes(codec, all_packets(*codec.code, pkt_size), c.numbers, pkt_size))
        << "code (" << c.k << ", " << c.n << "), packets " << numbers_text(c.numbers) << ", size "
        << pkt_size;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, FecDecodePkts,
                         ::testing::Values(
                             // Only data packets, in several orders: pointer exchanges alone.
                             DecodeCase{5, 8, {0, 1, 2, 3, 4}}, DecodeCase{5, 8, {4, 3, 2, 1, 0}},
                             DecodeCase{5, 8, {2, 0, 4, 1, 3}}, DecodeCase{5, 5, {1, 2, 3, 4, 0}},
                             // Data and parity packets.
                             DecodeCase{5, 8, {0, 1, 3, 4, 5}}, DecodeCase{5, 8, {7, 4, 0, 6, 2}},
                             DecodeCase{3, 6, {5, 0, 3}},
                             DecodeCase{14, 18, {17, 1, 2, 3, 16, 5, 6, 7, 8, 15, 10, 11, 14, 13}},
                             // Only parity packets.
                             DecodeCase{4, 8, {4, 5, 6, 7}}, DecodeCase{4, 8, {7, 5, 4, 6}},
                             DecodeCase{3, 6, {5, 3, 4}}, DecodeCase{1, 3, {2}},
                             DecodeCase{1, 2, {1}},
                             // A single packet that is already data packet 0.
                             DecodeCase{1, 1, {0}}));

// Slot 2 holds parity packet 5 after the exchanges, and its buffer is overwritten with data
// packet 2.
TEST(FecDecodePktsExample, ParityBufferTakesTheMissingDataPacket) {
  const int pkt_size = 7;
  TestCode codec(5, 8);
  ASSERT_NE(codec.code, nullptr);
  Received received(all_packets(*codec.code, pkt_size), {0, 1, 3, 4, 5}, pkt_size);
  const std::vector<uint8_t*> p = received.original_pkts;  // P0, P1, P3, P4, P5
  std::string message;
  EXPECT_EQ(decode(codec, received, pkt_size, &message), 0);
  EXPECT_EQ(message, "");
  EXPECT_EQ(received.numbers, (Numbers{0, 1, 5, 3, 4}));
  EXPECT_EQ(received.pkts, (std::vector<uint8_t*>{p[0], p[1], p[4], p[2], p[3]}));
  EXPECT_EQ(received.contents(p[4]), data_packet(2, pkt_size));
  for (const int j : {0, 1, 2, 3}) {
    EXPECT_EQ(received.contents(p[j]), received.original_contents[j]) << "buffer " << j;
  }
}

struct FailureCase {
  int k, n;
  Numbers numbers;
  std::string message;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << "code (" << c.k << ", " << c.n << "), packets " << numbers_text(c.numbers);
}

class FecDecodePktsFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(FecDecodePktsFailure, ReportsAndLeavesEveryBuffer) {
  const FailureCase& c = GetParam();
  TestCode codec(c.k, c.n);
  ASSERT_NE(codec.code, nullptr);
  for (const int pkt_size : {1, 33}) {
    SCOPED_TRACE(text("packets ", numbers_text(c.numbers), ", size ", pkt_size));
    Received received(all_packets(*codec.code, pkt_size), c.numbers, pkt_size);
    std::string message;
    EXPECT_EQ(decode(codec, received, pkt_size, &message), 1);
    EXPECT_EQ(message, c.message);
    EXPECT_TRUE(received.arrays_consistent());
    for (size_t j = 0; j < c.numbers.size(); j++) {
      EXPECT_EQ(received.contents(received.original_pkts[j]), received.original_contents[j])
          << "buffer " << j << " changed";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FecDecodePktsFailure,
    ::testing::Values(
        FailureCase{4, 8, {1, 1, 2, 3}, ""}, FailureCase{4, 8, {3, 0, 2, 0}, ""},
        FailureCase{4, 8, {0, 5, 5, 3}, "XXX pivot not found!\n"},
        FailureCase{4, 8, {6, 4, 6, 7}, "XXX pivot not found!\n"},
        FailureCase{4, 8, {0, 9, 2, 3}, "decode: invalid index 9 (max 7)\n"},
        FailureCase{4, 8, {8, 1, 2, 3}, "decode: invalid index 8 (max 7)\n"},
        FailureCase{4, 8, {-1, 1, 2, 3}, "decode: invalid index -1 (max 7)\n"},
        FailureCase{4, 8, {0, 1, -7, 3}, "decode: invalid index -7 (max 7)\n"},
        FailureCase{4, 8, {2, -1, 0, 1}, "decode: invalid index -1 (max 7)\n"},
        FailureCase{4, 8, {5, INT32_MIN, 6, 7}, "decode: invalid index -2147483648 (max 7)\n"},
        FailureCase{4, 8, {5, INT32_MAX, 6, 7}, "decode: invalid index 2147483647 (max 7)\n"},
        FailureCase{2, 2, {0, 2}, "decode: invalid index 2 (max 1)\n"},
        FailureCase{1, 1, {-1}, "decode: invalid index -1 (max 0)\n"}));

// --- Running out of memory ----------------------------------------------------------------------

// The labels of a first decode's allocations that rebuilds packets, in order: the decoding matrix,
// the four work areas of its inversion, then the scratch area, the pointers to its packets and
// their rows of the inverse.
const char* const kDecodeLabels[] = {
    FEC_LINE_LABEL,     "indxc",       "indxr", "ipiv", FEC_LINE_LABEL, "new pkt buffer",
    "new pkt pointers", "new pkt rows"};
constexpr int kDecodeAllocations = 8;

// Each allocation of a decode made to fail in turn, on a fresh codec: FEC_OUT_OF_MEMORY with the
// allocation's message once, nothing on standard error, no allocation after the failed one, no
// buffer changed and every buffer still beside its number. The same codec then decodes the same
// packets, and once it is released nothing the calls allocated is left.
TEST(FecDecodePktsOutOfMemory, EachFailureReportsAndLeavesTheBuffers) {
  const int k = 14, n = 18, pkt_size = 33;
  const Numbers numbers = {17, 1, 2, 3, 16, 5, 6, 7, 8, 15, 10, 11, 14, 13};
  {
    TestCode codec(k, n);
    ASSERT_NE(codec.code, nullptr);
    Received received(all_packets(*codec.code, pkt_size), numbers, pkt_size);
    MallocWatch watch;
    ASSERT_EQ(
        fec_decode_pkts(codec.code.get(), received.pkts.data(), received.numbers.data(), pkt_size),
        0);
    ASSERT_EQ(watch.calls(), kDecodeAllocations);
  }
  for (int fail_at = 1; fail_at <= kDecodeAllocations; fail_at++) {
    SCOPED_TRACE(text("allocation ", fail_at, " fails"));
    TestCode codec(k, n);
    ASSERT_NE(codec.code, nullptr);
    const std::vector<Packet> packets = all_packets(*codec.code, pkt_size);
    Received received(packets, numbers, pkt_size);
    int result = -1, calls = 0, outstanding = -1;
    std::string written, message;
    int messages = 0;
    {
      MallocWatch watch(fail_at);
      written = capture_stderr([&] {
        result = fec_decode_pkts(codec.code.get(), received.pkts.data(), received.numbers.data(),
                                 pkt_size);
      });
      calls = watch.calls();
      messages = codec.reports.count();
      message = codec.reports.take();
      EXPECT_TRUE(decodes(codec, packets, numbers, pkt_size)) << "after the failure";
      codec.code.reset();
      outstanding = watch.outstanding();
      EXPECT_FALSE(watch.overflowed());
    }
    EXPECT_EQ(result, FEC_OUT_OF_MEMORY);
    EXPECT_EQ(calls, fail_at);
    EXPECT_EQ(messages, 1);
    EXPECT_EQ(message, text("-- malloc failure allocating ", kDecodeLabels[fail_at - 1], "\n"));
    EXPECT_EQ(written, "");
    EXPECT_EQ(outstanding, 0);
    EXPECT_TRUE(received.arrays_consistent());
    for (size_t j = 0; j < numbers.size(); j++) {
      EXPECT_EQ(received.contents(received.original_pkts[j]), received.original_contents[j])
          << "buffer " << j << " changed";
    }
  }
}

// --- Round trips --------------------------------------------------------------------------------

const int kPacketSizes[] = {1, 7, 33};

class FecRoundTripAllChoicesLong : public ::testing::TestWithParam<int> {};

// Every choice of k of the n packets of every code with this n, handed in ascending as a stream
// decoder would, and again shuffled.
TEST_P(FecRoundTripAllChoicesLong, EveryChoiceOfPacketsOfSmallCodes) {
  const int n = GetParam();
  seeded_random rng(0x100u + n);
  for (int k = 1; k <= n; k++) {
    TestCode codec(k, n);
    ASSERT_NE(codec.code, nullptr);
    std::vector<std::vector<Packet>> packets;
    for (const int pkt_size : kPacketSizes) packets.push_back(all_packets(*codec.code, pkt_size));
    int choice = 0;
    for (unsigned mask = 1; mask < (1u << n); mask++) {
      if (__builtin_popcount(mask) != k) continue;
      Numbers numbers;
      for (int r = 0; r < n; r++) {
        if ((mask >> r) & 1) numbers.push_back(r);
      }
      for (int order = 0; order < 2; order++, choice++) {
        if (order == 1) rng.shuffle(numbers);
        const int size_index = choice % 3;
        ASSERT_TRUE(decodes(codec, packets[size_index], numbers, kPacketSizes[size_index]))
            << "code (" << k << ", " << n << "), packets " << numbers_text(numbers) << ", size "
            << kPacketSizes[size_index];
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(CodesUpTo12, FecRoundTripAllChoicesLong, ::testing::Range(1, 13),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return text("n", info.param);
                         });

struct LargeCode {
  int k, n, patterns;
};

void PrintTo(const LargeCode& c, std::ostream* out) {
  *out << "code (" << c.k << ", " << c.n << "), " << c.patterns << " random choices";
}

class FecRoundTripRandomLong : public ::testing::TestWithParam<LargeCode> {};

// Random choices of k packets, plus the choice with as many parity packets as possible.
TEST_P(FecRoundTripRandomLong, RandomChoicesOfPackets) {
  const auto [k, n, patterns] = GetParam();
  seeded_random rng(static_cast<uint64_t>(k) << 16 | static_cast<uint64_t>(n));
  TestCode codec(k, n);
  ASSERT_NE(codec.code, nullptr);
  const int pkt_size = 33;
  const std::vector<Packet> packets = all_packets(*codec.code, pkt_size);

  Numbers everything(n);
  for (int r = 0; r < n; r++) everything[r] = r;
  for (int pattern = 0; pattern <= patterns; pattern++) {
    Numbers numbers;
    if (pattern == 0) {
      const int parity = std::min(k, n - k);
      for (int r = 0; r < k - parity; r++) numbers.push_back(r);
      for (int r = n - parity; r < n; r++) numbers.push_back(r);
    } else {
      Numbers shuffled = everything;
      rng.shuffle(shuffled);
      numbers.assign(shuffled.begin(), shuffled.begin() + k);
      if (pattern % 2 == 1) std::sort(numbers.begin(), numbers.end());
    }
    ASSERT_TRUE(decodes(codec, packets, numbers, pkt_size)) << "packets " << numbers_text(numbers);
  }
}

INSTANTIATE_TEST_SUITE_P(Codes, FecRoundTripRandomLong,
                         ::testing::Values(LargeCode{14, 18, 8}, LargeCode{32, 48, 6},
                                           LargeCode{128, 255, 4}, LargeCode{255, 256, 3},
                                           LargeCode{256, 256, 2}),
                         [](const ::testing::TestParamInfo<LargeCode>& info) {
                           return text("k", info.param.k, "_n", info.param.n);
                         });

}  // namespace
