// SPDX-License-Identifier: MIT
// damage.cpp - damaging protected streams held in memory or in files.
#include "tests/support/damage.h"

#include <fcntl.h>
#include <md5.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "fec/fec.h"

namespace kestrune::test {

namespace {

[[noreturn]] void out_of_range(const std::string& what, uint64_t offset, uint64_t count,
                               uint64_t size) {
  throw std::out_of_range(what + ": bytes " + std::to_string(offset) + " + " +
                          std::to_string(count) + " beyond the stream's " + std::to_string(size));
}

// The stream offset of bytes [offset, offset + count) of the block, checked against size.
uint64_t locate(const stream_geometry& g, block_ref where, size_t offset, size_t count,
                uint64_t size, const char* what) {
  if (where.position < 0 || where.position >= g.n || offset + count > size_t(g.blocksize)) {
    throw std::out_of_range(std::string(what) + ": no bytes " + std::to_string(offset) + " + " +
                            std::to_string(count) + " in block " + std::to_string(where.position) +
                            " of a chunk");
  }
  const uint64_t at = block_offset(g, where) + offset;
  if (at + count > size) out_of_range(what, at, count, size);
  return at;
}

void seal(uint8_t* block, size_t payload_len) {
  MD5_CTX context;
  MD5Init(&context);
  MD5Update(&context, block, payload_len + 2);
  MD5Final(block + payload_len + 2, &context);
}

uint64_t file_size(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) throw std::runtime_error("fstat failed");
  return static_cast<uint64_t>(st.st_size);
}

// Runs edit(bytes) on the count bytes of the file at offset.
template <typename Edit>
void edit_file(const std::string& path, const stream_geometry& g, block_ref where, size_t offset,
               size_t count, const char* what, Edit edit) {
  const int fd = open(path.c_str(), O_RDWR);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  std::string bytes(count, '\0');
  try {
    const uint64_t at = locate(g, where, offset, count, file_size(fd), what);
    if (pread(fd, bytes.data(), count, static_cast<off_t>(at)) != static_cast<ssize_t>(count)) {
      throw std::runtime_error("cannot read " + path);
    }
    edit(bytes);
    if (pwrite(fd, bytes.data(), count, static_cast<off_t>(at)) != static_cast<ssize_t>(count)) {
      throw std::runtime_error("cannot write " + path);
    }
  } catch (...) {
    close(fd);
    throw;
  }
  close(fd);
}

}  // namespace

uint64_t block_offset(const stream_geometry& g, block_ref where) {
  return g.chunk_offset(where.chunk) + uint64_t(where.position) * uint64_t(g.blocksize);
}

std::string_view block_bytes(const std::string& stream, const stream_geometry& g, block_ref where) {
  const uint64_t at = locate(g, where, 0, g.blocksize, stream.size(), "block_bytes");
  return std::string_view(stream).substr(at, g.blocksize);
}

void flip_bytes(std::string& stream, const stream_geometry& g, block_ref where, size_t offset,
                size_t count) {
  const uint64_t at = locate(g, where, offset, count, stream.size(), "flip_bytes");
  for (size_t i = 0; i < count; i++) stream[at + i] = static_cast<char>(~stream[at + i]);
}

void overwrite_bytes(std::string& stream, const stream_geometry& g, block_ref where, size_t offset,
                     std::string_view bytes) {
  const uint64_t at = locate(g, where, offset, bytes.size(), stream.size(), "overwrite_bytes");
  stream.replace(at, bytes.size(), bytes);
}

void zero_block(std::string& stream, const stream_geometry& g, block_ref where) {
  overwrite_bytes(stream, g, where, 0, std::string(g.blocksize, '\0'));
}

void drop_block(std::string& stream, const stream_geometry& g, block_ref where) {
  stream.erase(locate(g, where, 0, g.blocksize, stream.size(), "drop_block"), g.blocksize);
}

void swap_blocks(std::string& stream, const stream_geometry& g, block_ref a, block_ref b) {
  const std::string first(block_bytes(stream, g, a));
  const std::string second(block_bytes(stream, g, b));
  overwrite_bytes(stream, g, a, 0, second);
  overwrite_bytes(stream, g, b, 0, first);
}

void swap_chunks(std::string& stream, const stream_geometry& g, uint64_t a, uint64_t b) {
  const uint64_t size = g.chunk_bytes();
  for (const uint64_t chunk : {a, b}) {
    if (g.chunk_offset(chunk) + size > stream.size()) {
      out_of_range("swap_chunks", g.chunk_offset(chunk), size, stream.size());
    }
  }
  const std::string first = stream.substr(g.chunk_offset(a), size);
  stream.replace(g.chunk_offset(a), size, stream.substr(g.chunk_offset(b), size));
  stream.replace(g.chunk_offset(b), size, first);
}

void truncate_at(std::string& stream, uint64_t offset) {
  if (offset > stream.size()) out_of_range("truncate_at", offset, 0, stream.size());
  stream.resize(offset);
}

void append_bytes(std::string& stream, std::string_view bytes) { stream.append(bytes); }

void splice_block(std::string& stream, const stream_geometry& g, block_ref at,
                  const std::string& other, block_ref from) {
  overwrite_bytes(stream, g, at, 0, block_bytes(other, g, from));
}

void reseal_block(std::string& stream, const stream_geometry& g, block_ref where) {
  const uint64_t at = locate(g, where, 0, g.blocksize, stream.size(), "reseal_block");
  seal(reinterpret_cast<uint8_t*>(stream.data() + at), g.payload_len());
}

void set_chunk_header(std::string& stream, const stream_geometry& g, uint64_t chunk, uint32_t clen,
                      int32_t chunk_id) {
  const uint32_t id = static_cast<uint32_t>(chunk_id);
  std::string header(8, '\0');
  for (int i = 0; i < 4; i++) {
    header[i] = static_cast<char>(clen >> (24 - 8 * i));
    header[4 + i] = static_cast<char>(id >> (24 - 8 * i));
  }
  overwrite_bytes(stream, g, {chunk, 0}, 0, header);
  reseal_block(stream, g, {chunk, 0});

  // The parity blocks as an encoder that wrote this header computes them, so that the chunk stays
  // one codeword; those beyond the end of the stream stay missing.
  const uint64_t base = block_offset(g, {chunk, 0});
  if (base + uint64_t(g.k) * g.blocksize > stream.size()) return;
  std::vector<uint8_t*> packets(size_t(g.k));
  for (int i = 0; i < g.k; i++) {
    packets[i] = reinterpret_cast<uint8_t*>(stream.data() + base + uint64_t(i) * g.blocksize);
  }
  const fec_reporter to_stderr{[](void*, const char* message) { fputs(message, stderr); }, nullptr};
  fec_code* code = fec_create(g.k, g.n, &to_stderr);
  if (code == nullptr) throw std::runtime_error("set_chunk_header: no codec for the geometry");
  for (int index = g.k; index < g.n; index++) {
    const uint64_t at = base + uint64_t(index) * g.blocksize;
    if (at + g.blocksize > stream.size()) break;
    fec_encode_pkt(code, packets.data(), reinterpret_cast<uint8_t*>(stream.data() + at), index,
                   int(g.payload_len()));
    reseal_block(stream, g, {chunk, index});
  }
  fec_free(code, &to_stderr);
}

void flip_bytes_in_file(const std::string& path, const stream_geometry& g, block_ref where,
                        size_t offset, size_t count) {
  edit_file(path, g, where, offset, count, "flip_bytes_in_file", [](std::string& bytes) {
    for (char& c : bytes) c = static_cast<char>(~c);
  });
}

void zero_block_in_file(const std::string& path, const stream_geometry& g, block_ref where) {
  edit_file(path, g, where, 0, g.blocksize, "zero_block_in_file",
            [](std::string& bytes) { bytes.assign(bytes.size(), '\0'); });
}

}  // namespace kestrune::test
