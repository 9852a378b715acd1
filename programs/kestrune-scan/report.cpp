// SPDX-License-Identifier: MIT
// report.cpp - writing the scan's findings as text or as JSON lines.
#include "programs/kestrune-scan/report.h"

#include <cstdio>
#include <cstring>
#include <span>

namespace {

// The count items of a report's array.
template <typename T>
std::span<const T> all(const T* items, size_t count) {
  return {items, count};
}

// The report's word for each value of the library's enumerations, in their order.
template <size_t count>
const char* word(const char* const (&words)[count], int value) {
  return value >= 0 && static_cast<size_t>(value) < count ? words[value] : "";
}

const char* verdict_name(kestrune_verdict v) {
  static constexpr const char* words[] = {"accepted", "digest", "index",       "short",
                                          "missing",  "k",      "inconsistent"};
  return word(words, v);
}

const char* status_name(kestrune_chunk_status s) {
  static constexpr const char* words[] = {"intact", "repairable", "lost", "misplaced"};
  return word(words, s);
}

const char* end_name(kestrune_stream_end e) {
  static constexpr const char* words[] = {"last chunk", "truncated", "after lost chunk", "empty"};
  return word(words, e);
}

const char* repair_status_name(kestrune_repair_status s) {
  static constexpr const char* words[] = {"intact", "repaired", "lost"};
  return word(words, s);
}

const char* loss_name(kestrune_loss l) {
  static constexpr const char* words[] = {"", "missing", "too few blocks", "inconsistent blocks",
                                          "versions"};
  return word(words, l);
}

const char* n_basis_name(kestrune_n_basis basis) {
  static constexpr const char* words[] = {"given", "period", "chunk numbers", "stream length",
                                          "bound"};
  return word(words, basis);
}

std::string quoted_for_shell(const std::string& word) {
  bool plain = !word.empty();
  for (const char c : word) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      std::string_view("_./+-:@%,=").find(c) != std::string_view::npos;
    plain = plain && safe;
  }
  std::string text = plain ? word : "'";
  if (!plain) {
    for (const char c : word) text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    text += "'";
  }
  // A name that looks like an option follows "--", which ends them.
  if (word.size() > 1 && word[0] == '-') text.insert(0, "-- ");
  return text;
}

// The length of the well-formed UTF-8 sequence at text[i], or 0 when there is none.
size_t utf8_length(const std::string& text, size_t i) {
  const auto byte = [&](size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char c = byte(i);
  size_t length = 0;
  uint32_t lowest = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    lowest = 0x80;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    lowest = 0x800;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    lowest = 0x10000;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  uint32_t code = c & (0x7F >> length);
  for (size_t t = 1; t < length; t++) {
    if ((byte(i + t) & 0xC0) != 0x80) return 0;
    code = code << 6 | (byte(i + t) & 0x3F);
  }
  if (code < lowest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

// A JSON string of the bytes. A byte that is not part of well-formed UTF-8 (a file name may hold
// any) becomes the escape \udcXX of its value, as Python's "surrogateescape" writes it, so that the
// output stays JSON and the name can be told back.
std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (size_t i = 0; i < text.size(); i++) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = utf8_length(text, i);
      if (length == 0) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\udc%02x", c);
        out += escaped;
      } else {
        out.append(text, i, length);
        i += length - 1;
      }
      continue;
    }
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// One flat JSON object, field after field.
class json_object {
 public:
  json_object& field(const char* name, int64_t value) { return raw(name, std::to_string(value)); }
  json_object& field(const char* name, const std::string& value) {
    return raw(name, json_string(value));
  }
  json_object& field(const char* name, const char* value) {
    return raw(name, value == nullptr ? "null" : json_string(value));
  }
  json_object& flag(const char* name, bool value) { return raw(name, value ? "true" : "false"); }
  json_object& null(const char* name) { return raw(name, "null"); }
  // The value when it is known, else null.
  json_object& field_if(const char* name, bool known, int64_t value) {
    return known ? field(name, value) : null(name);
  }
  json_object& raw(const char* name, const std::string& json) {
    text_ += text_.size() == 1 ? "\"" : ",\"";
    text_ += name;
    text_ += "\":";
    text_ += json;
    return *this;
  }
  void print() const { printf("%s}\n", text_.c_str()); }
  std::string text() const { return text_ + "}"; }

 private:
  std::string text_ = "{";
};

std::string json_ranges(std::span<const kestrune_range> ranges) {
  std::string text = "[";
  for (const kestrune_range& r : ranges) {
    if (text.size() > 1) text += ",";
    text += "{\"start\":" + std::to_string(r.start) +
            ",\"length\":" + (r.length < 0 ? std::string("null") : std::to_string(r.length)) + "}";
  }
  return text + "]";
}

std::string text_ranges(std::span<const kestrune_range> ranges) {
  std::string text;
  for (const kestrune_range& r : ranges) {
    if (!text.empty()) text += ", ";
    if (r.length < 0) {
      text += "everything from byte " + std::to_string(r.start) + " on";
    } else {
      text += std::to_string(r.length) + " bytes at " + std::to_string(r.start);
    }
  }
  return text;
}

// A member's name in the text report: in double quotes, with backslashes, quotes and control
// characters escaped (octal), so that every name stays on its line.
std::string text_name(const std::string& name) {
  std::string text = "\"";
  for (const char c : name) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      text += '\\';
      text += c;
    } else if (u < 0x20 || u == 0x7F) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\%03o", u);
      text += escaped;
    } else {
      text += c;
    }
  }
  return text + "\"";
}

const char* name_source_words(const tar_member& m) {
  if (m.name_from == nullptr) return "";
  if (strcmp(m.name_from, "pax header") == 0) return "; name from its pax header";
  if (strcmp(m.name_from, "long name") == 0) return "; name from its long-name header";
  if (strcmp(m.name_from, "damaged header") == 0)
    return "; name from the intact part of its header";
  return "";
}

// One line per damaged member, then what the lost bytes outside members are, a count, and what to
// do with a salvage.
void text_tar(const tar_map& t, bool salvaged) {
  int64_t data_lost = 0;
  int64_t header_lost = 0;
  int64_t unknown = 0;
  for (const tar_member& m : t.damaged) {
    data_lost += m.data_lost;
    header_lost += m.header_lost;
    std::string line = "tar: ";
    if (m.name_from == nullptr) {
      unknown++;
      line += "unknown member (or members) at " + std::to_string(m.header_offset);
    } else {
      line += "member " + text_name(m.name) + " at " + std::to_string(m.header_offset);
    }
    line += ": ";
    if (m.header_read) {
      line += std::to_string(m.data_lost) + " of " + std::to_string(m.size) + " data bytes lost";
      if (m.header_lost > 0) {
        line += ", " + std::to_string(m.header_lost) + " of " + std::to_string(m.header_bytes) +
                " header bytes";
      }
    } else {
      line += "its header is lost (" + std::to_string(m.header_lost) + " bytes), " +
              std::to_string(m.data_lost) + " bytes lost after it";
      line += m.next_header >= 0 ? " up to the next header, at " + std::to_string(m.next_header)
                                 : " and no valid header follows (the end of the archive, or "
                                   "members that cannot be told)";
    }
    line += name_source_words(m);
    if (!m.name_complete) line += ", which may be cut short";
    line += " (" + text_ranges(m.lost) + ")";
    printf("%s\n", line.c_str());
  }
  if (t.not_tar_at >= 0) {
    printf("tar: no tar header at %ld where one belongs: not a tar archive from there on\n",
           static_cast<long>(t.not_tar_at));
  }
  if (t.lost_from >= 0) {
    printf("tar: lost from %ld on, to an unknown end: the members there are not known\n",
           static_cast<long>(t.lost_from));
  }
  if (t.padding_lost > 0) {
    printf("tar: %ld lost bytes of padding after members' data, no member's\n",
           static_cast<long>(t.padding_lost));
  }
  if (t.after_end_lost > 0) {
    printf("tar: %ld lost bytes after the end of the archive, no member's\n",
           static_cast<long>(t.after_end_lost));
  }
  printf("tar: %ld members read%s; ", static_cast<long>(t.members),
         t.end_found ? " to the end of the archive" : "");
  if (t.damaged.empty()) {
    printf("none damaged\n");
  } else {
    printf("%ld damaged (%ld unknown): %ld data bytes and %ld header bytes lost\n",
           static_cast<long>(t.damaged.size()), static_cast<long>(unknown),
           static_cast<long>(data_lost), static_cast<long>(header_lost));
  }
  if (salvaged && (!t.damaged.empty() || t.lost_from >= 0)) {
    printf(
        "tar: extract the salvage with tar xif (--ignore-zeros), and distrust the damaged members "
        "above: they hold zeros where data was lost\n");
  }
}

// The "tar" object of the summary.
std::string json_tar(const tar_map& t) {
  std::string damaged = "[";
  int64_t data_lost = 0;
  int64_t header_lost = 0;
  int64_t unknown = 0;
  for (const tar_member& m : t.damaged) {
    data_lost += m.data_lost;
    header_lost += m.header_lost;
    if (m.name_from == nullptr) unknown++;
    json_object o;
    if (m.name_from != nullptr) {
      o.field("name", m.name).field("name_from", m.name_from);
    } else {
      o.null("name").null("name_from");
    }
    o.flag("name_complete", m.name_complete);
    if (m.type != 0) {
      o.field("type", std::string(1, m.type));
    } else {
      o.null("type");
    }
    o.field("header_offset", m.header_offset).flag("header_read", m.header_read);
    o.field("header_bytes", m.header_bytes).field("header_lost", m.header_lost);
    o.field_if("data_offset", m.data_offset >= 0, m.data_offset);
    o.field_if("size", m.header_read, m.size).field("data_lost", m.data_lost);
    o.field_if("next_header", m.next_header >= 0, m.next_header);
    o.raw("lost", json_ranges(m.lost));
    if (damaged.size() > 1) damaged += ",";
    damaged += o.text();
  }
  damaged += "]";
  json_object o;
  o.field("members", t.members).raw("damaged", damaged);
  o.field("damaged_members", static_cast<int64_t>(t.damaged.size()));
  o.field("unknown_members", unknown).field("data_lost", data_lost);
  o.field("header_lost", header_lost).field("padding_lost", t.padding_lost);
  o.field("after_end_lost", t.after_end_lost).flag("end_found", t.end_found);
  o.field_if("lost_from", t.lost_from >= 0, t.lost_from);
  o.field_if("not_tar_at", t.not_tar_at >= 0, t.not_tar_at);
  return o.text();
}

// "3 digest, 5-6 short": runs of positions rejected for the same reason.
std::string text_rejected(const kestrune_chunk_report& c) {
  const std::span<const kestrune_rejected> rejected = all(c.rejected, c.rejected_count);
  std::string text;
  for (size_t i = 0; i < rejected.size();) {
    size_t j = i;
    while (j + 1 < rejected.size() && rejected[j + 1].position == rejected[j].position + 1 &&
           rejected[j + 1].verdict == rejected[i].verdict) {
      j++;
    }
    if (!text.empty()) text += ", ";
    text += std::to_string(rejected[i].position);
    if (j > i) {
      text += '-';
      text += std::to_string(rejected[j].position);
    }
    text += " ";
    text += verdict_name(rejected[i].verdict);
    i = j + 1;
  }
  return text;
}

std::string blocksize_evidence(const kestrune_detection& p) {
  std::string text = p.blocksize_given ? "given" : "found";
  if (p.examined > 0) {
    text += ": " + std::to_string(p.intact) + " of " + std::to_string(p.examined) +
            " blocks at its multiples at the start are intact";
  }
  return text;
}

std::string n_evidence(const kestrune_detection& p) {
  std::string text;
  switch (p.n_from) {
    case KESTRUNE_N_GIVEN:
      text = "given";
      break;
    case KESTRUNE_N_PERIOD:
      text = "found: the block indexes restart every " + std::to_string(p.params.n) + " blocks";
      break;
    case KESTRUNE_N_CHUNK_NUMBERS:
      text = "found: from the chunk numbers in the chunk headers";
      break;
    case KESTRUNE_N_STREAM_LENGTH:
      text = p.one_chunk
                 ? "found: from the stream length, one chunk of " + std::to_string(p.params.n) +
                       " blocks (trailing parity blocks lost from it would not show)"
                 : "found: from the stream length";
      break;
    case KESTRUNE_N_BOUND:
      text = "found: the most there can be";
      break;
  }
  if (p.examined > 0 && (p.n_agree > 0 || p.n_disagree > 0)) {
    text += "; " + std::to_string(p.n_agree) + " intact blocks of later chunks agree";
    if (p.n_disagree > 0) text += ", " + std::to_string(p.n_disagree) + " do not";
  }
  return text;
}

std::string k_evidence(const kestrune_detection& p) {
  std::string text = p.k_given ? "given" : "found";
  if (p.examined > 0) {
    text += ": the k byte of " + std::to_string(p.k_agree) + " intact blocks";
    if (p.k_other > 0) text += "; " + std::to_string(p.k_other) + " carry another";
  }
  return text;
}

}  // namespace

verdict_of_scan judge_scan(const kestrune_scan_summary& s, int min_spare,
                           const kestrune_detection* params) {
  if (s.lost > 0 || s.misplaced > 0 || s.end != KESTRUNE_END_LAST_CHUNK) return {3, "lost"};
  // Parameters found by the probe that leave most of the input after the last chunk may be those
  // of a small stream inside the user data: no promise of a restore then.
  if (params != nullptr && probed(*params) &&
      s.trailing_bytes > s.blocks * int64_t{params->params.blocksize}) {
    return {3, "unexplained"};
  }
  // Exit 0 and 2 promise that the restore command gives the data back.
  if (s.decoder_fails_at >= 0) return {3, "decoder fails"};
  if (s.repairable > 0) return {2, "damaged"};
  if (min_spare >= 0 && s.worst_spare < min_spare) return {2, "low spare"};
  return {0, "intact"};
}

bool probed(const kestrune_detection& p) {
  return p.blocksize_given == 0 || p.k_given == 0 || p.n_from != KESTRUNE_N_GIVEN;
}

verdict_of_repair judge_repair(const kestrune_repair_summary& s) {
  if (s.complete == 0) return {3, "lost"};
  bool damaged = s.repaired > 0 || s.unplaced > 0;
  for (const kestrune_copy_summary& c : all(s.copies, s.copy_count)) {
    damaged = damaged || c.shift_count > 0;
  }
  return damaged ? verdict_of_repair{2, "repaired"} : verdict_of_repair{0, "intact"};
}

std::string restore_command(const report_setup& setup) {
  const kestrune_params& p = setup.params.params;
  std::string text = "kestrune -d -b " + std::to_string(p.blocksize) + " -n " +
                     std::to_string(p.n) + " -k " + std::to_string(p.k);
  if (setup.input_path != nullptr) {
    text += ' ';
    text += quoted_for_shell(setup.input_path);
  }
  return text;
}

void report_parameters(const report_setup& setup) {
  if (setup.json) return;
  const kestrune_detection& p = setup.params;
  if (setup.input_path != nullptr) {
    printf("input: %s (%s)\n", setup.input_path, setup.seekable ? "file" : "read in order");
  } else {
    printf("input: standard input (%s)\n", setup.seekable ? "file" : "read in order");
  }
  printf("blocksize %d (%s)\n", p.params.blocksize, blocksize_evidence(p).c_str());
  printf("n %d (%s)\n", p.params.n, n_evidence(p).c_str());
  printf("k %d (%s)\n", p.params.k, k_evidence(p).c_str());
  printf("restore with: %s\n", restore_command(setup).c_str());
}

void report_no_parameters(const report_setup& setup, const std::string& message) {
  if (!setup.json) return;
  json_object o;
  o.field("type", "summary").field("input", setup.input_path).flag("seekable", setup.seekable);
  o.field("result", "parameters not found").field("reason", message).field("exit", 1);
  o.print();
  fflush(stdout);
}

void report_chunk(const report_setup& setup, const kestrune_chunk_report& c) {
  const int n = setup.params.params.n;
  const int k = setup.params.params.k;
  const std::span<const kestrune_range> lost = all(c.lost, c.lost_count);
  if (setup.json) {
    std::string rejected = "[";
    for (const kestrune_rejected& r : all(c.rejected, c.rejected_count)) {
      if (rejected.size() > 1) rejected += ",";
      rejected += "{\"position\":" + std::to_string(r.position) + ",\"reason\":\"" +
                  verdict_name(r.verdict) + "\"}";
    }
    rejected += "]";
    json_object o;
    o.field("type", "chunk").field("chunk", c.number).field("offset", c.offset);
    o.field("status", status_name(c.status)).field("blocks", n).field("accepted", c.accepted);
    o.field("k", k).field("spare", c.accepted - k).raw("rejected", rejected);
    if (c.header_known) {
      o.field("clen", int64_t{c.clen}).field("chunk_id", c.chunk_id);
    } else {
      o.null("clen").null("chunk_id");
    }
    o.field("data_offset", c.data_offset).field("data_length", c.data_length);
    o.raw("lost", json_ranges(lost));
    o.field("decoder_failure", c.decoder_failure[0] == '\0' ? nullptr : c.decoder_failure);
    o.print();
    return;
  }
  // An intact chunk is the rule: listed only when asked for.
  if (c.status == KESTRUNE_CHUNK_INTACT && !setup.all) return;
  printf("chunk %ld at %ld: %s, %d of %d blocks (k %d, spare %d)", static_cast<long>(c.number),
         static_cast<long>(c.offset), status_name(c.status), c.accepted, n, k, c.accepted - k);
  if (c.header_known) {
    printf(", clen %u, id %d", c.clen, c.chunk_id);
  } else {
    printf(", header lost");
  }
  if (c.status == KESTRUNE_CHUNK_MISPLACED) {
    printf(" where chunk %ld belongs", static_cast<long>(c.number));
  }
  printf("\n");
  if (c.rejected_count > 0) printf("  rejected: %s\n", text_rejected(c).c_str());
  if (!lost.empty()) printf("  lost user data: %s\n", text_ranges(lost).c_str());
}

void report_summary(const report_setup& setup, const kestrune_scan_summary& s, int64_t input_size,
                    const kestrune_repair_summary* realigned, const tar_map* tar) {
  const kestrune_detection& p = setup.params;
  const verdict_of_scan v = judge_scan(s, setup.min_spare, &p);
  const bool spare_low = s.chunks > 0 && setup.min_spare >= 0 && s.worst_spare < setup.min_spare;
  const std::span<const kestrune_range> lost_data = all(s.lost_data, s.lost_data_count);
  const bool lost_open = !lost_data.empty() && lost_data.back().length < 0;
  if (setup.json) {
    json_object o;
    o.field("type", "summary").field("input", setup.input_path).flag("seekable", setup.seekable);
    o.field_if("size", input_size >= 0, input_size);
    o.field("blocksize", p.params.blocksize).field("n", p.params.n).field("k", p.params.k);
    o.field("blocksize_from", p.blocksize_given ? "given" : "probe");
    o.field("n_from", n_basis_name(p.n_from));
    o.field("k_from", p.k_given ? "given" : "k byte");
    o.field("probe_examined", p.examined).field("probe_intact", p.intact);
    o.field("k_agree", p.k_agree).field("k_other", p.k_other);
    o.field("n_agree", p.n_agree).field("n_disagree", p.n_disagree);
    o.field("restore", restore_command(setup));
    o.field("chunks", s.chunks).field("blocks", s.blocks).field("bad_blocks", s.bad_blocks);
    o.field("intact", s.intact).field("repairable", s.repairable).field("lost", s.lost);
    o.field("misplaced", s.misplaced);
    if (s.chunks > 0) {
      o.field("worst_spare", s.worst_spare).field("worst_spare_chunk", s.worst_spare_chunk);
    } else {
      o.null("worst_spare").null("worst_spare_chunk");
    }
    o.field("end", end_name(s.end)).field("trailing_bytes", s.trailing_bytes);
    o.flag("trailing_bytes_at_least", s.trailing_at_least);
    o.raw("lost_data", json_ranges(lost_data)).field("lost_bytes", s.lost_bytes);
    if (s.decoder_fails_at >= 0) {
      o.field("decoder_fails_at", s.decoder_fails_at).field("decoder_failure", s.decoder_failure);
    } else {
      o.null("decoder_fails_at").null("decoder_failure");
    }
    o.field_if("min_spare", setup.min_spare >= 0, setup.min_spare);
    o.flag("spare_below_minimum", spare_low);
    o.field("salvage", setup.salvage_path);
    if (setup.salvage_path != nullptr) {
      o.field("salvage_bytes", realigned != nullptr ? realigned->salvage_bytes : s.salvage_bytes);
      o.flag("salvage_realigned", realigned != nullptr);
      o.raw("salvage_lost_data",
            json_ranges(realigned != nullptr ? all(realigned->lost_data, realigned->lost_data_count)
                                             : lost_data));
      o.field("salvage_lost_bytes", realigned != nullptr ? realigned->lost_bytes : s.lost_bytes);
    }
    if (tar != nullptr) o.raw("tar", json_tar(*tar));
    o.field("result", v.result).field("exit", v.status);
    o.print();
    return;
  }

  printf(
      "summary: %ld chunks, %ld blocks, %ld bad; %ld intact, %ld repairable, %ld lost, %ld "
      "misplaced",
      static_cast<long>(s.chunks), static_cast<long>(s.blocks), static_cast<long>(s.bad_blocks),
      static_cast<long>(s.intact), static_cast<long>(s.repairable), static_cast<long>(s.lost),
      static_cast<long>(s.misplaced));
  if (s.chunks > 0) {
    printf("; worst spare %d (chunk %ld)", s.worst_spare, static_cast<long>(s.worst_spare_chunk));
  }
  printf("\n");
  switch (s.end) {
    case KESTRUNE_END_LAST_CHUNK:
      printf("end: chunk %ld is the last (id -1)\n", static_cast<long>(s.chunks - 1));
      break;
    case KESTRUNE_END_TRUNCATED:
      printf("end: truncated: the input ends after chunk %ld, before the last chunk\n",
             static_cast<long>(s.chunks - 1));
      break;
    case KESTRUNE_END_AFTER_LOST:
      printf(
          "end: the input ends after chunk %ld, whose header is lost; unless it was the last, "
          "chunks are missing too\n",
          static_cast<long>(s.chunks - 1));
      break;
    case KESTRUNE_END_EMPTY:
      printf("end: the input holds no chunk\n");
      break;
  }
  if (s.trailing_bytes > 0) {
    printf("trailing: %s%ld bytes follow the last chunk (kestrune -d ignores them)\n",
           s.trailing_at_least ? "at least " : "", static_cast<long>(s.trailing_bytes));
  }
  if (lost_data.empty()) {
    printf("lost user data: none\n");
  } else {
    printf("lost user data: %s (%ld bytes%s)\n", text_ranges(lost_data).c_str(),
           static_cast<long>(s.lost_bytes), lost_open ? " and all that followed" : "");
  }
  if (s.decoder_fails_at < 0) {
    printf("kestrune -d: restores the whole stream\n");
  } else {
    printf("kestrune -d: stops at chunk %ld: %s\n", static_cast<long>(s.decoder_fails_at),
           s.decoder_failure);
  }
  if (setup.salvage_path != nullptr) {
    const int64_t written = realigned != nullptr ? realigned->salvage_bytes : s.salvage_bytes;
    const int64_t zeros = realigned != nullptr ? realigned->lost_bytes : s.lost_bytes;
    printf("salvage: %ld bytes written to %s, %ld of them zeros for lost data\n",
           static_cast<long>(written), setup.salvage_path, static_cast<long>(zeros));
  }
  if (setup.salvage_path != nullptr && realigned != nullptr) {
    const kestrune_repair_summary& r = *realigned;
    printf(
        "salvage: realigned, chunks placed by their numbers, as --repair does; lost in it: %s%s\n",
        r.lost_data_count == 0 ? "none" : text_ranges(all(r.lost_data, r.lost_data_count)).c_str(),
        r.complete != 0 ? " (--repair restores the whole stream)" : "");
  }
  // Chunks out of their places, or data lost where a realigned salvage saves more: the input
  // may have lost or gained bytes, which --repair realigns.
  if (s.misplaced > 0 || setup.repair_saves_more ||
      (realigned != nullptr && realigned->lost_bytes < s.lost_bytes)) {
    printf(
        "try: kestrune-scan --repair OUT %s (realigns shifted bytes and puts chunks in their "
        "places)\n",
        setup.input_path != nullptr ? setup.input_path : "-");
  }
  if (spare_low) {
    printf("spare: %d in chunk %ld, below the minimum of %d\n", s.worst_spare,
           static_cast<long>(s.worst_spare_chunk), setup.min_spare);
  }
  if (tar != nullptr) text_tar(*tar, setup.salvage_path != nullptr);
  const char* words = "every chunk intact";
  if (strcmp(v.result, "unexplained") == 0) {
    words = "most of the input lies after the last chunk; check the parameters (-b, -n, -k)";
  } else if (v.status == 3 && lost_data.empty()) {
    words = "kestrune -d cannot restore it; --salvage saves the data";
  } else if (v.status == 3) {
    words = "data lost";
  } else if (s.repairable > 0) {
    words = "damaged, every chunk repairable";
  } else if (v.status == 2) {
    words = "spare below the minimum";
  }
  printf("result: %s (exit %d)\n", words, v.status);
}

namespace {

// "0-9, 11, 13-17": runs of positions.
std::string text_positions(std::span<const int> positions) {
  std::string text;
  for (size_t i = 0; i < positions.size();) {
    size_t j = i;
    while (j + 1 < positions.size() && positions[j + 1] == positions[j] + 1) j++;
    if (!text.empty()) text += ", ";
    text += std::to_string(positions[i]);
    if (j > i) {
      text += '-';
      text += std::to_string(positions[j]);
    }
    i = j + 1;
  }
  return text;
}

std::string json_numbers(std::span<const int> numbers) {
  std::string text = "[";
  for (const int x : numbers) {
    if (text.size() > 1) text += ",";
    text += std::to_string(x);
  }
  return text + "]";
}

std::string copy_name(const report_setup& setup, int copy) {
  const char* path = setup.copy_paths[static_cast<size_t>(copy)];
  return path != nullptr ? path : "standard input";
}

}  // namespace

void report_repair_parameters(const report_setup& setup) {
  if (setup.json) return;
  for (size_t c = 0; c < setup.copy_paths.size(); c++) {
    printf("copy %zu: %s (%s)\n", c + 1, copy_name(setup, static_cast<int>(c)).c_str(),
           setup.copy_seekable[c] ? "file" : "read in order");
  }
  const kestrune_detection& p = setup.params;
  printf("blocksize %d (%s)\n", p.params.blocksize, blocksize_evidence(p).c_str());
  printf("n %d (%s)\n", p.params.n, n_evidence(p).c_str());
  printf("k %d (%s)\n", p.params.k, k_evidence(p).c_str());
}

void report_repair_chunk(const report_setup& setup, const kestrune_repaired_chunk& c) {
  const std::span<const kestrune_chunk_source> copies = all(c.sources, c.source_count);
  const std::span<const kestrune_version> versions = all(c.versions, c.version_count);
  const std::span<const kestrune_range> lost = all(c.lost, c.lost_count);
  if (setup.json) {
    std::string sources = "[";
    for (const kestrune_chunk_source& s : copies) {
      if (sources.size() > 1) sources += ",";
      std::string left = "[";
      for (size_t i = 0; i < s.inconsistent_count; i++) {
        if (left.size() > 1) left += ",";
        left += "{\"position\":" + std::to_string(s.inconsistent[i]) +
                ",\"offset\":" + std::to_string(s.left_out[i]) + "}";
      }
      sources += "{\"copy\":" + std::to_string(s.copy + 1) +
                 ",\"place\":" + std::to_string(s.slot) +
                 ",\"offset\":" + std::to_string(s.offset) +
                 ",\"blocks\":" + json_numbers(all(s.used, s.used_count)) +
                 ",\"inconsistent\":" + left + "]}";
    }
    sources += "]";
    json_object o;
    o.field("type", "chunk").field("chunk", c.number).field("status", repair_status_name(c.status));
    if (c.why == KESTRUNE_LOSS_NONE) {
      o.null("why");
    } else {
      o.field("why", loss_name(c.why));
    }
    if (c.header_known) {
      o.field("clen", int64_t{c.clen}).field("chunk_id", c.chunk_id);
    } else {
      o.null("clen").null("chunk_id");
    }
    o.flag("out_of_place", c.out_of_place).raw("sources", sources);
    o.field("data_offset", c.data_offset).field("data_length", c.data_length);
    o.raw("lost", json_ranges(lost));
    if (!versions.empty()) {
      std::string text = "[";
      for (const kestrune_version& version : versions) {
        text += text.size() > 1 ? ",[" : "[";
        for (size_t i = 0; i < version.count; i++) {
          text += (i > 0 ? ",{\"copy\":" : "{\"copy\":") +
                  std::to_string(version.copies[i].copy + 1) +
                  ",\"blocks\":" + std::to_string(version.copies[i].blocks) + "}";
        }
        text += "]";
      }
      o.raw("versions", text + "]");
    }
    o.print();
    return;
  }
  if (c.status == KESTRUNE_REPAIR_INTACT && !setup.all) return;
  printf("chunk %ld: %s", static_cast<long>(c.number), repair_status_name(c.status));
  if (c.why != KESTRUNE_LOSS_NONE) printf(" (%s)", loss_name(c.why));
  if (c.header_known) {
    printf(", clen %u, id %d", c.clen, c.chunk_id);
  } else {
    printf(", header lost");
  }
  if (c.out_of_place) printf(", out of place");
  for (const kestrune_chunk_source& s : copies) {
    printf("; copy %d at %ld", s.copy + 1, static_cast<long>(s.offset));
    if (s.slot != c.number) printf(" (place %ld)", static_cast<long>(s.slot));
    printf(": blocks %s",
           s.used_count == 0 ? "none" : text_positions(all(s.used, s.used_count)).c_str());
    if (s.inconsistent_count > 0) {
      printf(", left out as inconsistent %s",
             text_positions(all(s.inconsistent, s.inconsistent_count)).c_str());
    }
  }
  if (copies.empty()) printf("; no block found");
  // Two consistent versions: which copies hold which, so that the user can tell the archives.
  for (size_t v = 0; v < versions.size(); v++) {
    printf("; version %zu in", v + 1);
    for (size_t i = 0; i < versions[v].count; i++) {
      printf("%s copy %d (%d blocks)", i > 0 ? "," : "", versions[v].copies[i].copy + 1,
             versions[v].copies[i].blocks);
    }
  }
  printf("\n");
  if (!lost.empty()) printf("  lost user data: %s\n", text_ranges(lost).c_str());
}

void report_repair_summary(const report_setup& setup, const kestrune_repair_summary& s,
                           bool written, const tar_map* tar) {
  const verdict_of_repair v = judge_repair(s);
  const kestrune_detection& p = setup.params;
  const std::span<const kestrune_range> lost_data = all(s.lost_data, s.lost_data_count);
  const bool lost_open = !lost_data.empty() && lost_data.back().length < 0;
  const char* end = s.last_found != 0 ? "last chunk" : "not found";
  report_setup restored = setup;
  restored.input_path = setup.repair_path != nullptr && strcmp(setup.repair_path, "-") != 0
                            ? setup.repair_path
                            : nullptr;
  if (setup.json) {
    for (size_t c = 0; c < s.copy_count; c++) {
      const kestrune_copy_summary& copy = s.copies[c];
      std::string shifts = "[";
      for (const kestrune_shift& shift : all(copy.shifts, copy.shift_count)) {
        if (shifts.size() > 1) shifts += ",";
        shifts += "{\"from\":" + std::to_string(shift.from) +
                  ",\"to\":" + std::to_string(shift.to) +
                  ",\"bytes\":" + std::to_string(shift.bytes) + ",\"change\":\"" +
                  (shift.bytes > 0 ? "inserted" : "deleted") +
                  "\",\"place\":" + std::to_string(shift.slot) + "}";
      }
      shifts += "]";
      json_object o;
      o.field("type", "copy").field("copy", static_cast<int64_t>(c + 1));
      o.field("input", setup.copy_paths[c]).flag("seekable", setup.copy_seekable[c]);
      o.field_if("size", copy.size >= 0, copy.size);
      o.field("accepted", copy.accepted).field("missing", copy.missing);
      o.field("searched", copy.searched).field("end_of_blocks", copy.end_of_blocks);
      o.raw("shifts", shifts);
      o.field("conflicting", copy.conflicting).flag("not_a_copy", c > 0 && copy.foreign != 0);
      o.print();
    }
    json_object o;
    o.field("type", "summary").field("mode", "repair");
    o.field("blocksize", p.params.blocksize).field("n", p.params.n).field("k", p.params.k);
    o.field("blocksize_from", p.blocksize_given ? "given" : "probe");
    o.field("n_from", n_basis_name(p.n_from));
    o.field("k_from", p.k_given ? "given" : "k byte");
    o.field("chunks", s.chunks).field("intact", s.intact).field("repaired", s.repaired);
    o.field("lost", s.lost).field("out_of_place", s.out_of_place).field("merged", s.merged);
    o.field("inconsistent", s.inconsistent).field("unplaced", s.unplaced);
    o.field("end", end);
    o.raw("lost_data", json_ranges(lost_data)).field("lost_bytes", s.lost_bytes);
    o.field("repair", setup.repair_path).flag("repair_written", written);
    if (written) {
      o.field("repair_bytes", s.stream_bytes).field("restore", restore_command(restored));
    } else {
      o.null("repair_bytes").null("restore");
    }
    o.field("salvage", setup.salvage_path);
    o.field_if("salvage_bytes", setup.salvage_path != nullptr, s.salvage_bytes);
    if (tar != nullptr) o.raw("tar", json_tar(*tar));
    o.field("result", v.result).field("exit", v.status);
    o.print();
    return;
  }

  for (size_t c = 0; c < s.copy_count; c++) {
    const kestrune_copy_summary& copy = s.copies[c];
    for (const kestrune_shift& shift : all(copy.shifts, copy.shift_count)) {
      printf("copy %zu: %ld bytes %s between %ld and %ld; realigned from %ld on (place %ld)\n",
             c + 1, static_cast<long>(shift.bytes > 0 ? shift.bytes : -shift.bytes),
             shift.bytes > 0 ? "inserted" : "deleted", static_cast<long>(shift.from),
             static_cast<long>(shift.to), static_cast<long>(shift.to),
             static_cast<long>(shift.slot));
    }
    printf("copy %zu: %ld blocks accepted, %ld missing between them, %ld bytes searched", c + 1,
           static_cast<long>(copy.accepted), static_cast<long>(copy.missing),
           static_cast<long>(copy.searched));
    if (copy.size > copy.end_of_blocks) {
      printf("; %ld bytes after its last block", static_cast<long>(copy.size - copy.end_of_blocks));
    }
    if (c > 0 && copy.foreign != 0) {
      printf("; not a copy of this stream: every chunk it holds is another version");
    } else if (copy.conflicting > 0) {
      printf("; %ld chunks in conflict with another version", static_cast<long>(copy.conflicting));
    }
    printf("\n");
  }
  printf(
      "summary: %ld chunks; %ld intact, %ld repaired, %ld lost; %ld out of place, %ld from "
      "several copies, %ld blocks left out as inconsistent, %ld chunks without a place\n",
      static_cast<long>(s.chunks), static_cast<long>(s.intact), static_cast<long>(s.repaired),
      static_cast<long>(s.lost), static_cast<long>(s.out_of_place), static_cast<long>(s.merged),
      static_cast<long>(s.inconsistent), static_cast<long>(s.unplaced));
  if (s.last_found != 0) {
    printf("end: chunk %ld is the last (id -1)\n", static_cast<long>(s.chunks - 1));
  } else {
    printf("end: the last chunk was not restored\n");
  }
  if (lost_data.empty()) {
    printf("lost user data: none\n");
  } else {
    printf("lost user data: %s (%ld bytes%s)\n", text_ranges(lost_data).c_str(),
           static_cast<long>(s.lost_bytes), lost_open ? " and all that followed" : "");
  }
  if (setup.repair_path != nullptr && written) {
    printf("repaired stream: %ld bytes written to %s\n", static_cast<long>(s.stream_bytes),
           setup.repair_path);
    printf("restore with: %s\n", restore_command(restored).c_str());
  } else if (setup.repair_path != nullptr) {
    printf("repaired stream: not written, data is lost (--salvage saves what can be saved)\n");
  }
  if (setup.salvage_path != nullptr) {
    printf("salvage: %ld bytes written to %s, %ld of them zeros for lost data\n",
           static_cast<long>(s.salvage_bytes), setup.salvage_path, static_cast<long>(s.lost_bytes));
  }
  if (tar != nullptr) text_tar(*tar, setup.salvage_path != nullptr);
  const char* words = v.status == 0   ? "every chunk intact"
                      : v.status == 2 ? "repaired, every chunk restored"
                                      : "data lost";
  printf("result: %s (exit %d)\n", words, v.status);
}
