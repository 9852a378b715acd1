// SPDX-License-Identifier: MIT
// fec_test_util.h - what the codec tests share: a GF(2^8) worked out from its definition (never
// from the codec's tables), a buffer whose end touches an inaccessible page, a reporter that keeps
// the codec's messages, and the byte pattern of data packets.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fec/fec.h"

namespace kestrune::test {

// The parts written one after another, as by an ostream.
template <typename... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream out;
  (out << ... << parts);
  return out.str();
}

// --- The field, from its definition -------------------------------------------------------------

// a * b in GF(2^8): the carry-less product of the two bytes as polynomials over GF(2), reduced
// modulo x^8 + x^4 + x^3 + x^2 + 1 (0x11D).
constexpr uint8_t field_mul_slow(uint8_t a, uint8_t b) {
  unsigned product = 0;
  for (int bit = 0; bit < 8; bit++) {
    if ((b >> bit) & 1) product ^= static_cast<unsigned>(a) << bit;
  }
  for (int bit = 14; bit >= 8; bit--) {
    if ((product >> bit) & 1) product ^= 0x11Du << (bit - 8);
  }
  return static_cast<uint8_t>(product);
}

// Row a of field_mul_slow(): entry b is a * b. Worked out once for every pair.
inline const uint8_t* field_mul_row(uint8_t a) {
  using Table = std::array<std::array<uint8_t, 256>, 256>;
  static const std::unique_ptr<Table> table = [] {
    auto t = std::make_unique<Table>();
    for (int x = 0; x < 256; x++) {
      for (int y = 0; y < 256; y++) {
        (*t)[x][y] = field_mul_slow(static_cast<uint8_t>(x), static_cast<uint8_t>(y));
      }
    }
    return t;
  }();
  return (*table)[a].data();
}

inline uint8_t field_mul(uint8_t a, uint8_t b) { return field_mul_row(a)[b]; }

inline uint8_t field_pow(uint8_t base, int exponent) {
  uint8_t result = 1;
  for (int i = 0; i < exponent; i++) result = field_mul(result, base);
  return result;
}

// Row-major matrices of field elements.
using Matrix = std::vector<uint8_t>;

inline Matrix field_matrix_product(const Matrix& left, const Matrix& right, int rows, int inner,
                                   int cols) {
  Matrix product(static_cast<size_t>(rows) * cols, 0);
  for (int i = 0; i < rows; i++) {
    for (int l = 0; l < inner; l++) {
      const uint8_t a = left[static_cast<size_t>(i) * inner + l];
      if (a == 0) continue;
      const uint8_t* times_a = field_mul_row(a);
      const uint8_t* right_row = right.data() + static_cast<size_t>(l) * cols;
      uint8_t* product_row = product.data() + static_cast<size_t>(i) * cols;
      for (int j = 0; j < cols; j++) product_row[j] ^= times_a[right_row[j]];
    }
  }
  return product;
}

inline Matrix identity_matrix(int k) {
  Matrix m(static_cast<size_t>(k) * k, 0);
  for (int i = 0; i < k; i++) m[static_cast<size_t>(i) * k + i] = 1;
  return m;
}

// The rows x k matrix with row r = (1, p_r, p_r^2, ..., p_r^(k-1)); 0^0 is 1.
inline Matrix vandermonde(const std::vector<uint8_t>& points, int k) {
  Matrix m(points.size() * k);
  for (size_t r = 0; r < points.size(); r++) {
    uint8_t power = 1;
    for (int j = 0; j < k; j++, power = field_mul(power, points[r])) m[r * k + j] = power;
  }
  return m;
}

// --- Buffers ------------------------------------------------------------------------------------

// size bytes that end exactly where an inaccessible page starts: reading past the end faults, with
// or without a sanitizer.
class TailGuardedBytes {
 public:
  explicit TailGuardedBytes(size_t size) : size_(size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    span_ = (size + page - 1) / page * page + page;
    void* base = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) throw std::runtime_error("TailGuardedBytes: mmap failed");
    base_ = static_cast<uint8_t*>(base);
    if (mprotect(base_ + span_ - page, page, PROT_NONE) != 0) {
      munmap(base_, span_);
      throw std::runtime_error("TailGuardedBytes: mprotect failed");
    }
    data_ = base_ + span_ - page - size;
  }
  ~TailGuardedBytes() { munmap(base_, span_); }
  TailGuardedBytes(const TailGuardedBytes&) = delete;
  TailGuardedBytes& operator=(const TailGuardedBytes&) = delete;

  uint8_t* data() { return data_; }
  size_t size() const { return size_; }

 private:
  size_t size_;
  size_t span_;
  uint8_t* base_;
  uint8_t* data_;
};

// --- Codecs and packets -------------------------------------------------------------------------

struct FecFree {
  void operator()(fec_code* code) const { fec_free(code, nullptr); }
};
using CodePtr = std::unique_ptr<fec_code, FecFree>;

// A reporter that keeps the messages handed to it, for a codec or a call to check.
class Reports {
 public:
  Reports() = default;
  Reports(const Reports&) = delete;
  Reports& operator=(const Reports&) = delete;

  const fec_reporter* reporter() const { return &reporter_; }
  // The messages since the last take(), one after another, and how many there were; then none.
  std::string take() {
    count_ = 0;
    return std::exchange(text_, std::string());
  }
  int count() const { return count_; }

 private:
  static void keep(void* user, const char* message) {
    auto* self = static_cast<Reports*>(user);
    self->text_ += message;
    self->count_++;
  }

  std::string text_;
  int count_ = 0;
  fec_reporter reporter_{&Reports::keep, this};
};

// Byte j of data packet i. For a fixed j the 256 possible packet indices give 256 different bytes,
// so a data packet put back in any other slot differs from that slot's packet in every byte.
inline uint8_t data_byte(int i, int j) {
  return static_cast<uint8_t>((i * 167) ^ (j * 29 + 11) ^ (j >> 8));
}

inline std::vector<uint8_t> data_packet(int i, int pkt_size) {
  std::vector<uint8_t> packet(pkt_size);
  for (int j = 0; j < pkt_size; j++) packet[j] = data_byte(i, j);
  return packet;
}

// Packet `number` of `code` for the data packets data_packet(0 .. k-1): worked out with the field
// above from the code's encode_matrix row.
inline std::vector<uint8_t> expected_packet(const fec_code& code, int number, int pkt_size) {
  std::vector<uint8_t> packet(pkt_size, 0);
  const uint8_t* row = code.encode_matrix + static_cast<size_t>(number) * code.k;
  for (int i = 0; i < code.k; i++) {
    const uint8_t* times = field_mul_row(row[i]);
    for (int j = 0; j < pkt_size; j++) packet[j] ^= times[data_byte(i, j)];
  }
  return packet;
}

}  // namespace kestrune::test
