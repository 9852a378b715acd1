// SPDX-License-Identifier: MIT
// scan_tar_test.cpp - --tar on archives written by GNU tar and bsdtar, long names included, whose
// protected stream lost data packets: the report names exactly the members whose headers or data
// lost bytes, with the counts that the scan's own lost ranges give, and tells a member whose
// header is lost by where it starts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "tests/scan/scan_support.h"

namespace kestrune::test {
namespace {

const stream_geometry g{.blocksize = 512, .n = 6, .k = 4};

struct member_file {
  std::string path;
  size_t size;
};

// A long name (over 100 bytes: a GNU long-name header) and a longer path (over 255: no ustar
// header holds it, a pax path does).
const member_file files[] = {
    {"a.txt", 700},     {std::string(60, 'd') + "/" + std::string(80, 'f') + ".bin", 5000},
    {"big.bin", 40000}, {std::string(120, 'e') + "/" + std::string(140, 'g') + ".dat", 6000},
    {"z.txt", 3000},
};

// Where a member lies in the archive, found from its contents (which no other member shares):
// its headers from the end of the member before (padded to a record) up to its data.
struct member_place {
  int64_t start;
  int64_t data;
  int64_t data_end;
  int64_t end;
};

int64_t overlap(const std::vector<json_value>& ranges, int64_t from, int64_t to) {
  int64_t total = 0;
  for (const json_value& r : ranges) {
    const int64_t start = r["start"].number();
    const int64_t end = r["length"].is_null() ? INT64_MAX : start + r["length"].number();
    total += std::max<int64_t>(0, std::min(end, to) - std::max(start, from));
  }
  return total;
}

// Loses the data packet that holds user byte `at`, with two parity blocks of its chunk: too few
// blocks are left to rebuild it, and the packet's user bytes are lost.
void lose_packet_at(std::string& stream, int64_t at) {
  const int64_t capacity = static_cast<int64_t>(g.capacity());
  const int64_t packet = static_cast<int64_t>(g.payload_len());
  const uint64_t chunk = static_cast<uint64_t>(at / capacity);
  const int64_t in_chunk = at % capacity;
  const int position = in_chunk < packet - 8 ? 0 : static_cast<int>((in_chunk + 8) / packet);
  for (const int p : {position, g.n - 2, g.n - 1}) zero_block(stream, g, {chunk, p});
}

std::vector<std::string> without_tar_lines(const std::string& text) {
  std::vector<std::string> kept;
  for (const std::string& line : lines_of(text)) {
    if (line.rfind("tar: ", 0) != 0) kept.push_back(line);
  }
  return kept;
}

TEST(ScanTar, NamesExactlyTheDamagedMembersWithTheirLostBytes) {
  const temp_dir dir;
  std::vector<std::string> contents;
  for (size_t i = 0; i < std::size(files); i++) {
    const std::string path = dir.file(files[i].path);
    std::filesystem::create_directories(path.substr(0, path.rfind('/')));
    contents.push_back(pattern_bytes(files[i].size, test_seed() + i));
    write_file(path, contents.back());
  }
  struct archiver {
    const char* name;
    std::string program;
    const char* format;
  };
  const archiver archivers[] = {
      {"GNU tar, gnu", "/usr/bin/tar", "--format=gnu"},
      {"GNU tar, pax", "/usr/bin/tar", "--format=pax"},
      {"bsdtar, pax", "/usr/bin/bsdtar", "--format=pax"},
      {"bsdtar, gnutar", "/usr/bin/bsdtar", "--format=gnutar"},
  };
  for (const archiver& a : archivers) {
    SCOPED_TRACE(a.name);
    std::vector<std::string> args = {"-C", dir.path(), a.format, "-cf", dir.file("archive.tar")};
    for (const member_file& f : files) args.push_back(f.path);
    run_options archive_options;
    archive_options.program = a.program;
    const run_result made = run_program(args, archive_options);
    ASSERT_EQ(made.status, 0) << made.err;
    const std::string archive = read_file(dir.file("archive.tar"));

    std::vector<member_place> places;
    int64_t end = 0;
    for (size_t i = 0; i < std::size(files); i++) {
      const size_t data = archive.find(contents[i]);
      ASSERT_NE(data, std::string::npos);
      const int64_t data_end = static_cast<int64_t>(data + files[i].size);
      places.push_back({end, static_cast<int64_t>(data), data_end, (data_end + 511) / 512 * 512});
      end = places.back().end;
    }
    // The main header of the longest path, the middle of big.bin, the first extension header of
    // the long name, and the zeros after the end of the archive.
    std::string stream = encode(archive, g);
    lose_packet_at(stream, places[3].data - 500);
    lose_packet_at(stream, places[2].data + 20000);
    lose_packet_at(stream, places[1].start + 10);
    lose_packet_at(stream, static_cast<int64_t>(archive.size()) - 100);

    const run_result r = scan(stream, feed::file, {"--json", "--tar"});
    ASSERT_EQ(r.status, 3) << r.err;
    const json_value summary = read_json_report(r.out).summary;
    const std::vector<json_value>& lost = summary["lost_data"].array();
    const json_value& tar = summary["tar"];
    SCOPED_TRACE(tar.text());

    size_t next = 0;
    int64_t padding = 0;
    const std::vector<json_value>& damaged = tar["damaged"].array();
    for (size_t i = 0; i < places.size(); i++) {
      const member_place& p = places[i];
      const int64_t header_lost = overlap(lost, p.start, p.data);
      const int64_t data_lost = overlap(lost, p.data, p.data_end);
      const int64_t padding_lost = overlap(lost, p.data_end, p.end);
      if (header_lost == 0 && data_lost == 0) {
        padding += padding_lost;
        continue;
      }
      ASSERT_LT(next, damaged.size()) << files[i].path << " is not listed";
      const json_value& m = damaged[next++];
      EXPECT_EQ(m["header_offset"].number(), p.start);
      if (m["header_read"].boolean()) {
        EXPECT_EQ(m["name"].string(), files[i].path);
        EXPECT_EQ(m["size"].number(), static_cast<int64_t>(files[i].size));
        EXPECT_EQ(m["data_offset"].number(), p.data);
        EXPECT_EQ(m["header_lost"].number(), header_lost);
        EXPECT_EQ(m["data_lost"].number(), data_lost);
        padding += padding_lost;
      } else {
        // Known by the extension header or the intact fields of its own, or not at all; every
        // lost byte up to the next member's header is its.
        if (!m["name"].is_null() && m["name_complete"].boolean()) {
          EXPECT_EQ(m["name"].string(), files[i].path);
        }
        EXPECT_EQ(m["next_header"].number(), p.end);
        EXPECT_EQ(m["header_lost"].number() + m["data_lost"].number(),
                  header_lost + data_lost + padding_lost);
      }
    }
    EXPECT_EQ(next, damaged.size()) << "a member listed that lost nothing";
    EXPECT_GE(damaged.size(), 3u);
    EXPECT_EQ(tar["padding_lost"].number(), padding);
    EXPECT_EQ(tar["after_end_lost"].number(), overlap(lost, end, INT64_MAX));
    EXPECT_GT(tar["after_end_lost"].number(), 0);
    const int64_t headers_lost =
        std::count_if(damaged.begin(), damaged.end(),
                      [](const json_value& m) { return !m["header_read"].boolean(); });
    EXPECT_GE(headers_lost, 1);
    EXPECT_EQ(tar["members"].number() + headers_lost, static_cast<int64_t>(std::size(files)));
    EXPECT_TRUE(tar["end_found"].boolean());

    // From a pipe the walk is the same; the text report names big.bin with its count, and is the
    // report without --tar plus its "tar:" lines.
    const run_result piped = scan(stream, feed::pipe, {"--json", "--tar"});
    EXPECT_EQ(read_json_report(piped.out).summary["tar"].text(), tar.text());
    const run_result text = scan(stream, feed::pipe, {"--tar"});
    const member_place& big = places[2];
    const auto in_big = std::find_if(lost.begin(), lost.end(), [&](const json_value& range) {
      return range["start"].number() >= big.data && range["start"].number() < big.data_end;
    });
    ASSERT_NE(in_big, lost.end());
    const int64_t big_lost = overlap(lost, big.data, big.data_end);
    EXPECT_TRUE(has_line(text.out, "tar: member \"big.bin\" at " + std::to_string(big.start) +
                                       ": " + std::to_string(big_lost) +
                                       " of 40000 data bytes lost (" + std::to_string(big_lost) +
                                       " bytes at " + std::to_string((*in_big)["start"].number()) +
                                       ")"))
        << text.out;
    const run_result plain = scan(stream, feed::pipe, {});
    EXPECT_EQ(without_tar_lines(text.out), lines_of(plain.out));
    EXPECT_FALSE(read_json_report(scan(stream, feed::file, {"--json"}).out).summary.has("tar"));
  }
}

}  // namespace
}  // namespace kestrune::test
