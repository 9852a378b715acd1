// SPDX-License-Identifier: MIT
// tar_map.h - which members of a tar archive the lost user bytes belong to: the restored bytes,
// the lost ones marked, walked header by header as they are salvaged.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kestrune.h"

// A member that lost bytes, or a stretch whose headers are lost (an unknown member, or several).
struct tar_member {
  std::string name;                 // as its headers give it; empty when not known
  const char* name_from = nullptr;  // "header", "pax header", "long name", "damaged header"; null
                                    // when the name is not known
  bool name_complete = true;  // false: a header's name field, where an extension header that may
                              // have held the whole name is lost
  char type = 0;              // the typeflag; 0 when not known
  int64_t header_offset = 0;  // its first header record (extension headers included)
  int64_t header_bytes = 0;   // the records of its headers read or expected
  int64_t header_lost = 0;
  int64_t data_offset = -1;  // -1: not known (its header is lost)
  int64_t size = -1;         // bytes of data in the archive; -1: not known
  int64_t data_lost = 0;     // for a member whose header is lost: every lost byte up to next_header
  bool header_read = true;   // false: its header is lost; the member runs to next_header
  int64_t next_header = -1;  // where the next valid header was found after a lost one; -1: none
  std::vector<kestrune_range> lost;
};

struct tar_map {
  int64_t members = 0;              // members whose header was read
  std::vector<tar_member> damaged;  // in archive order
  int64_t padding_lost = 0;         // lost in the padding after members' data: no member's
  int64_t after_end_lost = 0;       // lost after the end-of-archive record
  bool end_found = false;           // the end-of-archive record was read
  int64_t lost_from = -1;   // the archive is lost from here on, to an unknown end; -1: it is not
  int64_t not_tar_at = -1;  // the first intact record where a header belongs that is none; -1: none
};

// Walks a tar archive in order through the bytes given to it, and finds the members that the lost
// ones belong to.
class tar_walker {
 public:
  tar_walker();
  // The next count bytes of the archive; lost ones (data is ignored) are zeros in the salvage.
  void take(const uint8_t* data, int64_t count, bool lost);
  // Once every byte is taken: lost_data is the lost ranges, whose last may run to an unknown end.
  tar_map finish(std::span<const kestrune_range> lost_data);

 private:
  enum class state : uint8_t { header, extension, sparse, data, resync, end };

  void record(int length);
  void header_record(int64_t at);
  void start_data(int64_t at, int64_t size);
  void end_extension();
  void resync();
  bool own_extension(int64_t at);
  void close_member();
  void lose(int64_t at, int from, int to, bool as_header);
  bool intact(int from, int to) const;

  state state_ = state::header;
  int64_t offset_ = 0;  // of the next byte taken
  uint8_t record_[512];
  bool record_lost_[512];
  int filled_ = 0;
  bool open_ = false;  // member_ has a first header
  tar_member member_;
  int64_t data_left_ = 0;
  int64_t padding_left_ = 0;
  // The extension header being read ('L', 'K', 'x'), its data and which of it is lost.
  char extension_ = 0;
  int64_t extension_left_ = 0;
  std::string content_;
  std::vector<bool> content_lost_;
  // What the extension headers of the member being read said.
  std::string long_name_;
  bool long_name_known_ = false;
  std::string pax_path_;
  bool pax_path_known_ = false;
  int64_t pax_size_ = -1;
  bool name_extension_lost_ = false;  // an 'L' or 'x' header (or its data) is lost
  tar_map map_;
};
