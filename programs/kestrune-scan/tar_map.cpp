// SPDX-License-Identifier: MIT
// tar_map.cpp - finding the tar members that lost user bytes belong to.
//
// The headers are parsed here rather than read with libarchive, which would serve for an intact
// archive but not for this one: its reader gives no archive offset of a member's data (only of
// its header, and after read-ahead), takes the first record of zeros for the end of the archive
// (the salvage has zeros wherever data is lost), and on a damaged header either stops or skips to
// a later one without telling where it went on, so that the bytes in between could be given to
// no member. The walk needs every byte's place: ustar, GNU and pax headers are a few fixed fields
// and "length key=value" records, and every byte outside the lost ranges is the archive's own (the
// scan accepted it by its digest), so a field that no lost byte touches can be read even in a
// damaged header.
#include "programs/kestrune-scan/tar_map.h"

#include <algorithm>
#include <cstring>

namespace {

// Appends [start, start + length) to a member's lost ranges, merged with the last one when they
// touch.
void add_lost(std::vector<kestrune_range>& ranges, int64_t start, int64_t length) {
  if (length == 0) return;
  if (!ranges.empty() && ranges.back().start + ranges.back().length == start) {
    ranges.back().length += length;
    return;
  }
  ranges.push_back({start, length});
}

constexpr int record_size = 512;
// Fields of a ustar header, [at, at + length).
constexpr int name_at = 0;
constexpr int name_length = 100;
constexpr int size_at = 124;
constexpr int size_length = 12;
constexpr int checksum_at = 148;
constexpr int checksum_length = 8;
constexpr int type_at = 156;
constexpr int magic_at = 257;   // "ustar\0" and "00" (POSIX), or "ustar  \0" (GNU)
constexpr int prefix_at = 345;  // POSIX only
constexpr int prefix_length = 155;
constexpr int gnu_sparse_extended_at = 482;  // GNU 'S': records of the sparse map follow
constexpr int sparse_extended_at = 504;      // in each such record: more of them follow
// Extension data kept to read names from; a longer one is not read past this.
constexpr size_t content_limit = 1 << 20;
// The bytes kept after a lost header while the next one is sought, to tell whether they were the
// data of its extension header.
constexpr size_t resync_kept = 8 * record_size;

int64_t padded(int64_t n) { return (n + record_size - 1) / record_size * record_size; }

// A numeric field: octal digits after optional spaces, ended by a space, a NUL or the field's end;
// or, when the first byte is 0x80, the rest of it in base 256. -1 when it is neither.
int64_t number_field(const uint8_t* field, int length) {
  int64_t value = 0;
  if (field[0] == 0x80) {
    for (int i = 1; i < length; i++) {
      if (value > (INT64_MAX >> 8)) return -1;
      value = value << 8 | field[i];
    }
    return value;
  }
  int i = 0;
  while (i < length && field[i] == ' ') i++;
  for (; i < length && field[i] >= '0' && field[i] <= '7'; i++) {
    if (value > (INT64_MAX >> 3)) return -1;
    value = value << 3 | (field[i] - '0');
  }
  if (i < length && field[i] != ' ' && field[i] != '\0') return -1;
  return value;
}

std::string text_field(const uint8_t* field, int length) {
  const void* end = memchr(field, 0, static_cast<size_t>(length));
  const int used =
      end != nullptr ? static_cast<int>(static_cast<const uint8_t*>(end) - field) : length;
  return std::string(reinterpret_cast<const char*>(field), static_cast<size_t>(used));
}

// The checksum: the sum of the record's bytes, the checksum field counted as spaces; old writers
// summed them as signed chars.
bool checksum_ok(const uint8_t* record) {
  const int64_t stored = number_field(record + checksum_at, checksum_length);
  int64_t sum = 0;
  int64_t signed_sum = 0;
  for (int i = 0; i < record_size; i++) {
    const bool in_field = i >= checksum_at && i < checksum_at + checksum_length;
    const uint8_t byte = in_field ? ' ' : record[i];
    sum += byte;
    signed_sum += static_cast<int8_t>(byte);
  }
  return stored == sum || stored == signed_sum;
}

// A record that is a ustar, GNU or pax header by its magic and checksum.
bool valid_header(const uint8_t* record) {
  return memcmp(record + magic_at, "ustar", 5) == 0 && checksum_ok(record);
}

bool posix_magic(const uint8_t* record) { return record[magic_at + 5] == '\0'; }

// Types whose size field says nothing of data in the archive: links, devices, directories, FIFOs.
bool without_data(char type) { return type >= '1' && type <= '6'; }

bool extension_type(char type) { return type == 'L' || type == 'K' || type == 'x' || type == 'X'; }

}  // namespace

tar_walker::tar_walker() {
  memset(record_, 0, sizeof record_);
  memset(record_lost_, 0, sizeof record_lost_);
}

void tar_walker::take(const uint8_t* data, int64_t count, bool lost) {
  while (count > 0) {
    // Member data and whatever follows the end of the archive go by in spans, not records.
    if (filled_ == 0 && (state_ == state::data || state_ == state::end)) {
      const int64_t span =
          state_ == state::data ? std::min(count, data_left_ + padding_left_) : count;
      const int64_t in_data = state_ == state::data ? std::min(span, data_left_) : 0;
      if (lost && state_ == state::end) {
        map_.after_end_lost += span;
      } else if (lost) {
        if (in_data > 0) add_lost(member_.lost, offset_, in_data);
        member_.data_lost += in_data;
        map_.padding_lost += span - in_data;
      }
      if (state_ == state::data) {
        data_left_ -= in_data;
        padding_left_ -= span - in_data;
      }
      offset_ += span;
      count -= span;
      if (data != nullptr) data += span;
      if (state_ == state::data && data_left_ == 0 && padding_left_ == 0) {
        close_member();
        state_ = state::header;
      }
      continue;
    }
    const int piece = static_cast<int>(std::min<int64_t>(count, record_size - filled_));
    if (lost || data == nullptr) {
      memset(record_ + filled_, 0, static_cast<size_t>(piece));
    } else {
      memcpy(record_ + filled_, data, static_cast<size_t>(piece));
    }
    std::fill(record_lost_ + filled_, record_lost_ + filled_ + piece, lost);
    filled_ += piece;
    count -= piece;
    if (data != nullptr) data += piece;
    if (filled_ == record_size) record(record_size);
  }
}

bool tar_walker::intact(int from, int to) const {
  return std::none_of(record_lost_ + from, record_lost_ + to, [](bool b) { return b; });
}

// The lost bytes of the record within [from, to), for the member being read.
void tar_walker::lose(int64_t at, int from, int to, bool as_header) {
  for (int i = from; i < to;) {
    if (!record_lost_[i]) {
      i++;
      continue;
    }
    int j = i;
    while (j < to && record_lost_[j]) j++;
    add_lost(member_.lost, at + i, j - i);
    (as_header ? member_.header_lost : member_.data_lost) += j - i;
    i = j;
  }
}

// A record (or, at the end, what there is of one) where headers are read or sought.
void tar_walker::record(int length) {
  const int64_t at = offset_;
  switch (state_) {
    case state::header:
      if (length == record_size) {
        header_record(at);
      } else {
        if (!open_) {
          member_ = tar_member{};
          member_.header_offset = at;
          open_ = true;
        }
        member_.header_bytes += length;
        lose(at, 0, length, true);
      }
      break;
    case state::extension: {
      const int in_data = static_cast<int>(std::min<int64_t>(length, extension_left_));
      for (int i = 0; i < in_data && content_.size() < content_limit; i++) {
        content_.push_back(static_cast<char>(record_[i]));
        content_lost_.push_back(record_lost_[i]);
      }
      member_.header_bytes += length;
      lose(at, 0, length, true);
      extension_left_ -= in_data;
      if (extension_left_ == 0) end_extension();
      break;
    }
    case state::sparse:
      member_.header_bytes += length;
      lose(at, 0, length, true);
      if (length < record_size || !intact(sparse_extended_at, sparse_extended_at + 1)) {
        resync();
      } else if (record_[sparse_extended_at] == 0) {
        start_data(at + record_size, member_.size);
      }
      break;
    case state::resync:
      if (length == record_size && intact(0, record_size) && valid_header(record_)) {
        if (!own_extension(at)) {
          member_.next_header = at;
          close_member();
        }
        state_ = state::header;
        header_record(at);
      } else {
        lose(at, 0, length, false);
        for (int i = 0; i < length && content_.size() < resync_kept; i++) {
          content_.push_back(static_cast<char>(record_[i]));
          content_lost_.push_back(record_lost_[i]);
        }
      }
      break;
    case state::data:
    case state::end:
      break;
  }
  offset_ += length;
  filled_ = 0;
}

// The record where a header belongs. Fields that no lost byte touches are the archive's own, so a
// damaged header still gives the name, the size and the type when they are intact.
void tar_walker::header_record(int64_t at) {
  if (!open_) {
    member_ = tar_member{};
    member_.header_offset = at;
    open_ = true;
  }
  const bool whole = intact(0, record_size);
  // The end of the archive: a record of zeros. A damaged one is told by its first byte, which
  // starts the name of any header, and every other byte that is left.
  bool zeros = !record_lost_[name_at] && record_[name_at] == 0;
  for (int i = 0; i < record_size && zeros; i++) zeros = record_lost_[i] || record_[i] == 0;
  if (zeros) {
    for (int i = 0; i < record_size; i++) map_.after_end_lost += record_lost_[i] ? 1 : 0;
    map_.end_found = true;
    close_member();
    state_ = state::end;
    return;
  }
  member_.header_bytes += record_size;
  lose(at, 0, record_size, true);
  const bool magic_known = intact(magic_at, magic_at + 6);
  if ((magic_known && memcmp(record_ + magic_at, "ustar", 5) != 0) ||
      (whole && !checksum_ok(record_))) {
    // Not a header where one belongs: not a tar archive, or not one from here on.
    if (map_.not_tar_at < 0) map_.not_tar_at = at;
    resync();
    return;
  }
  // Old writers mark a regular file with a NUL type; 0 here is a type that is lost.
  const char flag = static_cast<char>(record_[type_at]);
  const char type = !intact(type_at, type_at + 1) ? 0 : flag == '\0' ? '0' : flag;
  const int64_t size =
      intact(size_at, size_at + size_length) ? number_field(record_ + size_at, size_length) : -1;
  if (extension_type(type) && size >= 0) {
    extension_ = type;
    extension_left_ = size;
    content_.clear();
    content_lost_.clear();
    if (size == 0) end_extension();
    if (size > 0) state_ = state::extension;
    return;
  }
  member_.type = type;
  // The name: a pax path, else a GNU long name, else the header's fields.
  const bool posix = magic_known && posix_magic(record_);
  const bool name_intact = intact(name_at, name_at + name_length) && record_[name_at] != 0 &&
                           (!posix || intact(prefix_at, prefix_at + prefix_length));
  if (pax_path_known_) {
    member_.name = pax_path_;
    member_.name_from = "pax header";
  } else if (long_name_known_) {
    member_.name = long_name_;
    member_.name_from = "long name";
  } else if (name_intact) {
    member_.name = text_field(record_ + name_at, name_length);
    const std::string prefix = posix ? text_field(record_ + prefix_at, prefix_length) : "";
    if (!prefix.empty()) member_.name = prefix + "/" + member_.name;
    member_.name_from = whole ? "header" : "damaged header";
    // An extension that may have held the whole name is lost, or the magic that tells whether a
    // prefix belongs to it.
    member_.name_complete = !name_extension_lost_ && magic_known;
  }
  if (type == 0 || size < 0 ||
      (type == 'S' && !intact(gnu_sparse_extended_at, gnu_sparse_extended_at + 1))) {
    resync();
    return;
  }
  map_.members++;
  member_.size = without_data(type) ? 0 : pax_size_ >= 0 ? pax_size_ : size;
  if (type == 'S' && record_[gnu_sparse_extended_at] != 0) {
    state_ = state::sparse;
    return;
  }
  start_data(at + record_size, member_.size);
}

void tar_walker::start_data(int64_t at, int64_t size) {
  member_.data_offset = at;
  data_left_ = size;
  padding_left_ = padded(size) - size;
  state_ = state::data;
  if (size == 0) {
    close_member();
    state_ = state::header;
  }
}

// The data of an extension header is read: the long name, or the pax records, whose path and size
// stand for the header's. A record touched by a lost byte is not read; one whose length is lost
// ends the reading.
void tar_walker::end_extension() {
  state_ = state::header;
  const size_t size = content_.size();
  const bool any_lost =
      std::any_of(content_lost_.begin(), content_lost_.end(), [](bool b) { return b; });
  if (extension_ == 'L') {
    const size_t end = std::min(content_.find('\0'), size);
    const bool lost =
        std::any_of(content_lost_.begin(),
                    content_lost_.begin() + static_cast<std::ptrdiff_t>(std::min(end + 1, size)),
                    [](bool b) { return b; });
    if (lost || end == 0) {
      name_extension_lost_ = true;
    } else {
      long_name_ = content_.substr(0, end);
      long_name_known_ = true;
    }
    return;
  }
  if (extension_ != 'x' && extension_ != 'X') return;
  bool sparse_name = false;
  for (size_t at = 0; at < size;) {
    size_t p = at;
    int64_t length = 0;
    while (p < size && !content_lost_[p] && content_[p] >= '0' && content_[p] <= '9' &&
           length < static_cast<int64_t>(size)) {
      length = length * 10 + (content_[p] - '0');
      p++;
    }
    if (p >= size || content_lost_[p] || content_[p] != ' ' ||
        length <= static_cast<int64_t>(p - at) || at + static_cast<size_t>(length) > size) {
      break;
    }
    const size_t end = at + static_cast<size_t>(length);
    const bool lost = std::any_of(content_lost_.begin() + static_cast<std::ptrdiff_t>(at),
                                  content_lost_.begin() + static_cast<std::ptrdiff_t>(end),
                                  [](bool b) { return b; });
    const size_t equals = content_.find('=', p + 1);
    if (!lost && content_[end - 1] == '\n' && equals < end) {
      const std::string key = content_.substr(p + 1, equals - p - 1);
      const std::string value = content_.substr(equals + 1, end - 1 - equals - 1);
      if (key == "GNU.sparse.name" || (key == "path" && !sparse_name)) {
        pax_path_ = value;
        pax_path_known_ = true;
        sparse_name = sparse_name || key == "GNU.sparse.name";
      } else if (key == "size") {
        pax_size_ = -1;
        if (!value.empty() && value.size() < 19 &&
            value.find_first_not_of("0123456789") == std::string::npos) {
          pax_size_ = std::stoll(value);
        }
      }
    }
    at = end;
  }
  if (any_lost && !pax_path_known_) name_extension_lost_ = true;
}

// The member's headers are lost (or are not headers): the records from here on are searched for
// the next valid one, and the lost bytes on the way are the member's.
void tar_walker::resync() {
  member_.header_read = false;
  state_ = state::resync;
  content_.clear();
  content_lost_.clear();
}

// The valid header at `at` ends a search that began at a lost header of unknown name. When every
// record between them was kept and they start as the data of an extension header of this one (a
// long name whose first 100 bytes are its name field, or pax records), the lost header was that
// extension header: the member starts at it, and its name comes from the extension's data.
bool tar_walker::own_extension(int64_t at) {
  if (member_.name_from != nullptr || extension_type(static_cast<char>(record_[type_at])) ||
      at - member_.header_offset - record_size != static_cast<int64_t>(content_.size()) ||
      content_.empty()) {
    return false;
  }
  const auto lost_in = [&](size_t from, size_t to) {
    return std::any_of(
        content_lost_.begin() + static_cast<std::ptrdiff_t>(from),
        content_lost_.begin() + static_cast<std::ptrdiff_t>(std::min(to, content_.size())),
        [](bool b) { return b; });
  };
  char kind = 0;
  if (record_[name_length - 1] != 0 && content_.size() > name_length && !lost_in(0, name_length) &&
      memcmp(content_.data(), record_, name_length) == 0) {
    kind = 'L';
  } else {
    // One whole pax record at the start: "length key=value\n".
    size_t p = 0;
    size_t length = 0;
    while (p < content_.size() && p < 12 && content_[p] >= '0' && content_[p] <= '9') {
      length = length * 10 + static_cast<size_t>(content_[p] - '0');
      p++;
    }
    if (p > 0 && p < content_.size() && content_[p] == ' ' && length > p + 2 &&
        length <= content_.size() && !lost_in(0, length) && content_[length - 1] == '\n' &&
        content_.find('=', p) < length) {
      kind = 'x';
    }
  }
  if (kind == 0) return false;
  member_.header_lost += member_.data_lost;
  member_.data_lost = 0;
  member_.header_read = true;
  member_.header_bytes = at - member_.header_offset;
  extension_ = kind;
  end_extension();
  return true;
}

void tar_walker::close_member() {
  if (open_ && (member_.header_lost > 0 || member_.data_lost > 0)) map_.damaged.push_back(member_);
  open_ = false;
  member_ = tar_member{};
  long_name_.clear();
  long_name_known_ = false;
  pax_path_.clear();
  pax_path_known_ = false;
  pax_size_ = -1;
  name_extension_lost_ = false;
}

tar_map tar_walker::finish(std::span<const kestrune_range> lost_data) {
  if (filled_ > 0) record(filled_);
  if (!lost_data.empty() && lost_data.back().length < 0 && state_ != state::end) {
    // The archive goes on beyond what is known: the member being read loses the rest of it.
    map_.lost_from = lost_data.back().start;
    if (state_ == state::data && data_left_ > 0) {
      add_lost(member_.lost, offset_, data_left_);
      member_.data_lost += data_left_;
    } else if (open_ && state_ != state::data) {
      member_.header_read = false;
      if (member_.header_lost == 0 && member_.data_lost == 0) map_.damaged.push_back(member_);
    }
  }
  close_member();
  return map_;
}
