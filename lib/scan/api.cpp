// SPDX-License-Identifier: MIT
// api.cpp - the scan's entry points (kestrune.h): a scanner handle around the caller's sources, and
// the scan's and the repair's accounts handed out as the header's structs.
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "kestrune.h"
#include "scan/repair.h"
#include "scan/salvage.h"
#include "scan/scan.h"
#include "stream/buffers.h"
#include "stream/failure.h"
#include "stream/probe.h"
#include "stream/rules.h"

// The header's enumerations name the scan's values in the same order.
static_assert(static_cast<int>(verdict::inconsistent) == KESTRUNE_BLOCK_INCONSISTENT &&
              static_cast<int>(chunk_status::misplaced) == KESTRUNE_CHUNK_MISPLACED &&
              static_cast<int>(stream_end::empty) == KESTRUNE_END_EMPTY &&
              static_cast<int>(repair_status::lost) == KESTRUNE_REPAIR_LOST &&
              static_cast<int>(loss::versions) == KESTRUNE_LOSS_VERSIONS &&
              static_cast<int>(n_basis::bound) == KESTRUNE_N_BOUND);

struct kestrune_scanner {
  std::vector<std::unique_ptr<scan_input>> inputs;
  std::string message;
  // What the arrays of the last scan's summary point into, and those of the last repair's.
  std::vector<kestrune_range> scan_lost;
  std::string decoder_failure;
  std::vector<kestrune_range> repair_lost;
  std::vector<kestrune_copy_summary> copies;
  std::vector<std::vector<kestrune_shift>> shifts;
};

namespace {

std::vector<kestrune_range> ranges_of(const std::vector<byte_range>& ranges) {
  std::vector<kestrune_range> out;
  out.reserve(ranges.size());
  for (const byte_range& r : ranges) out.push_back({r.start, r.length});
  return out;
}

// Runs a scan or a repair: a failure becomes its result and the scanner's message.
template <typename Step>
kestrune_result guarded(kestrune_scanner* s, Step&& step) {
  if (s == nullptr) return KESTRUNE_ERROR_STATE;
  s->message.clear();
  try {
    step();
    return KESTRUNE_OK;
  } catch (const stream_failure& f) {
    s->message = f.message;
    return f.code;
  } catch (const std::exception&) {
    // Only the standard library's containers throw besides the stream code: short of memory.
    s->message = "can't malloc";
    return KESTRUNE_ERROR_MEMORY;
  }
}

// A context set up for the parameters, its buffers released when it goes.
struct scan_context {
  stream_context ctx;
  scan_context(const kestrune_params* params, const kestrune_scan_callbacks* callbacks, bool pipe) {
    if (params == nullptr) fail(KESTRUNE_ERROR_STATE, "no parameters");
    if (const char* error = params_error({params->blocksize, params->n, params->k})) {
      fail(KESTRUNE_ERROR_PARAMS, "%s", error);
    }
    ctx.config.blocksize = params->blocksize;
    ctx.config.n = params->n;
    ctx.config.k = params->k;
    ctx.config.input_is_pipe = pipe ? 1 : 0;
    if (callbacks != nullptr) {
      ctx.callbacks.user = callbacks->user;
      ctx.callbacks.report = callbacks->report;
    }
    setup_buffers(ctx);
  }
  ~scan_context() { release_buffers(ctx); }
  scan_context(const scan_context&) = delete;
  scan_context& operator=(const scan_context&) = delete;
};

// The salvage and the repaired stream, to the caller's callbacks.
struct sinks {
  salvage_sink salvage;
  stream_sink stream;
  explicit sinks(const kestrune_scan_callbacks* c) {
    if (c != nullptr && c->salvage != nullptr) {
      salvage = [c](const uint8_t* data, int64_t count) {
        return c->salvage(c->user, data, count) == 0;
      };
    }
    if (c != nullptr && c->stream != nullptr) {
      stream = [c](const uint8_t* data, size_t count) {
        return c->stream(c->user, data, count) == 0;
      };
    }
  }
};

void report_chunk(const kestrune_scan_callbacks* c, const chunk_result& r) {
  if (c == nullptr || c->chunk == nullptr) return;
  std::vector<kestrune_rejected> rejected;
  rejected.reserve(r.rejected.size());
  for (const auto& [position, why] : r.rejected) {
    rejected.push_back({position, static_cast<kestrune_verdict>(why)});
  }
  const std::vector<kestrune_range> lost = ranges_of(r.lost);
  const kestrune_chunk_report out{r.number,
                                  r.offset,
                                  r.accepted,
                                  rejected.data(),
                                  rejected.size(),
                                  static_cast<kestrune_chunk_status>(r.status),
                                  r.header_known ? 1 : 0,
                                  r.clen,
                                  r.chunk_id,
                                  r.data_offset,
                                  r.data_length,
                                  lost.data(),
                                  lost.size(),
                                  r.decoder_failure.c_str()};
  c->chunk(c->user, &out);
}

void report_repaired(const kestrune_scan_callbacks* c, const repaired_chunk& r) {
  if (c == nullptr || c->repaired == nullptr) return;
  std::vector<kestrune_chunk_source> sources;
  sources.reserve(r.sources.size());
  for (const chunk_source& s : r.sources) {
    sources.push_back({s.copy, s.slot, s.offset, s.used.data(), s.used.size(),
                       s.inconsistent.data(), s.inconsistent.size(), s.left_out.data(),
                       s.left_out.size()});
  }
  std::vector<std::vector<kestrune_copy_blocks>> holders(r.versions.size());
  std::vector<kestrune_version> versions;
  versions.reserve(r.versions.size());
  for (size_t v = 0; v < r.versions.size(); v++) {
    for (const auto& [copy, blocks] : r.versions[v]) holders[v].push_back({copy, blocks});
    versions.push_back({holders[v].data(), holders[v].size()});
  }
  const std::vector<kestrune_range> lost = ranges_of(r.lost);
  const kestrune_repaired_chunk out{r.number,
                                    static_cast<kestrune_repair_status>(r.status),
                                    static_cast<kestrune_loss>(r.why),
                                    r.header_known ? 1 : 0,
                                    r.clen,
                                    r.chunk_id,
                                    r.out_of_place ? 1 : 0,
                                    sources.data(),
                                    sources.size(),
                                    r.data_offset,
                                    r.data_length,
                                    lost.data(),
                                    lost.size(),
                                    versions.data(),
                                    versions.size()};
  c->repaired(c->user, &out);
}

}  // namespace

extern "C" {

kestrune_scanner* kestrune_scanner_create(const kestrune_source* sources, int count) {
  if (sources == nullptr || count < 1) return nullptr;
  try {
    auto s = std::make_unique<kestrune_scanner>();
    for (int i = 0; i < count; i++) s->inputs.push_back(std::make_unique<scan_input>(sources[i]));
    return s.release();
  } catch (const std::exception&) {
    return nullptr;
  }
}

void kestrune_scanner_free(kestrune_scanner* scanner) { delete scanner; }

const char* kestrune_scanner_message(const kestrune_scanner* scanner) {
  return scanner != nullptr ? scanner->message.c_str() : "";
}

int64_t kestrune_scanner_size(const kestrune_scanner* scanner, int source) {
  if (scanner == nullptr || source < 0 || source >= static_cast<int>(scanner->inputs.size())) {
    return -1;
  }
  return scanner->inputs[static_cast<size_t>(source)]->size();
}

kestrune_result kestrune_scanner_detect(kestrune_scanner* scanner, const kestrune_params* params,
                                        unsigned given, kestrune_detection* found) {
  if (params == nullptr || found == nullptr) return KESTRUNE_ERROR_STATE;
  const probe_request request{(given & KESTRUNE_GIVEN_BLOCKSIZE) != 0 ? params->blocksize : 0,
                              (given & KESTRUNE_GIVEN_N) != 0 ? params->n : 0,
                              (given & KESTRUNE_GIVEN_K) != 0 ? params->k : 0};
  return guarded(scanner, [&] {
    // The parameters from the first source that tells them; else the first one's reason.
    std::string first_failure;
    for (const std::unique_ptr<scan_input>& input : scanner->inputs) {
      try {
        const probe_result p = probe_parameters(probe_source(*input), request);
        *found = {{p.blocksize, p.n, p.k},
                  p.blocksize_given ? 1 : 0,
                  p.k_given ? 1 : 0,
                  static_cast<kestrune_n_basis>(p.n_from),
                  p.examined,
                  p.intact,
                  p.k_agree,
                  p.k_other,
                  p.n_agree,
                  p.n_disagree,
                  p.one_chunk ? 1 : 0};
        return;
      } catch (const stream_failure& f) {
        if (f.code != KESTRUNE_ERROR_NOT_FOUND) throw;
        if (first_failure.empty()) first_failure = f.message;
      }
    }
    fail(KESTRUNE_ERROR_NOT_FOUND, "%s", first_failure.c_str());
  });
}

kestrune_result kestrune_scan(kestrune_scanner* scanner, const kestrune_params* params,
                              const kestrune_scan_callbacks* callbacks,
                              kestrune_scan_summary* summary) {
  return guarded(scanner, [&] {
    scan_input& input = *scanner->inputs[0];
    scan_context run(params, callbacks, !input.seekable());
    const sinks out(callbacks);
    const scan_summary s =
        scan_stream(run.ctx, input, out.salvage ? &out.salvage : nullptr,
                    [callbacks](const chunk_result& c) { report_chunk(callbacks, c); });
    if (summary == nullptr) return;
    scanner->scan_lost = ranges_of(s.lost_data);
    scanner->decoder_failure = s.decoder_failure;
    *summary = {s.chunks,
                s.blocks,
                s.bad_blocks,
                s.intact,
                s.repairable,
                s.lost,
                s.misplaced,
                s.worst_spare,
                s.worst_spare_chunk,
                static_cast<kestrune_stream_end>(s.end),
                s.trailing_bytes,
                s.trailing_at_least ? 1 : 0,
                scanner->scan_lost.data(),
                scanner->scan_lost.size(),
                s.lost_bytes,
                s.decoder_fails_at,
                scanner->decoder_failure.c_str(),
                s.salvage_bytes,
                bytes_saved(s.salvage_bytes, s.lost_data)};
  });
}

kestrune_result kestrune_repair(kestrune_scanner* scanner, const kestrune_params* params,
                                const kestrune_scan_callbacks* callbacks,
                                kestrune_repair_summary* summary) {
  return guarded(scanner, [&] {
    scan_context run(params, callbacks, false);
    const sinks out(callbacks);
    std::vector<scan_input*> copies;
    for (const std::unique_ptr<scan_input>& input : scanner->inputs) copies.push_back(input.get());
    const repair_summary s = repair_copies(
        run.ctx, copies, out.stream ? &out.stream : nullptr, out.salvage ? &out.salvage : nullptr,
        [callbacks](const repaired_chunk& c) { report_repaired(callbacks, c); });
    if (summary == nullptr) return;
    scanner->repair_lost = ranges_of(s.lost_data);
    scanner->shifts.assign(s.copies.size(), {});
    scanner->copies.clear();
    for (size_t i = 0; i < s.copies.size(); i++) {
      const copy_summary& c = s.copies[i];
      for (const alignment_shift& a : c.walk.shifts) {
        scanner->shifts[i].push_back({a.from, a.to, a.bytes, a.slot});
      }
      scanner->copies.push_back({c.size, c.walk.accepted, c.walk.missing, c.walk.searched,
                                 c.walk.end_of_blocks, scanner->shifts[i].data(),
                                 scanner->shifts[i].size(), c.restored_from, c.conflicting,
                                 c.foreign() ? 1 : 0});
    }
    *summary = {s.chunks,
                s.intact,
                s.repaired,
                s.lost,
                s.out_of_place,
                s.merged,
                s.inconsistent,
                s.unplaced,
                s.last_found ? 1 : 0,
                scanner->copies.data(),
                scanner->copies.size(),
                scanner->repair_lost.data(),
                scanner->repair_lost.size(),
                s.lost_bytes,
                s.complete ? 1 : 0,
                s.stream_bytes,
                s.salvage_bytes,
                bytes_saved(s.salvage_bytes, s.lost_data)};
  });
}

}  // extern "C"
