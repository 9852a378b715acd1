// SPDX-License-Identifier: MIT
// report.h - the scan's report on standard output: readable text, or JSON lines (one object per
// chunk, then one summary object).
#pragma once

#include <string>
#include <vector>

#include "kestrune.h"
#include "programs/kestrune-scan/tar_map.h"

struct report_setup {
  bool json = false;
  const char* input_path = nullptr;  // null: standard input
  bool seekable = false;
  kestrune_detection params;
  int min_spare = -1;  // -1: not asked for
  const char* salvage_path = nullptr;
  // A repair (--repair, or several files): every copy's file (null: standard input) and whether
  // it is read with positioned reads, and the repaired stream's file.
  std::vector<const char*> copy_paths;
  std::vector<bool> copy_seekable;
  const char* repair_path = nullptr;
  bool tar = false;  // --tar: the user data is a tar archive, whose damaged members are listed
  bool all = false;  // --all: the text report lists intact chunks too
  // The realigning walk of --repair saves user data that the scan loses: bytes were inserted or
  // deleted, or chunks stand out of their places.
  bool repair_saves_more = false;
};

// The exit status and its word: 0 intact, 2 damaged but every chunk repairable or a spare below
// the minimum, 3 data lost (a lost or misplaced chunk, or a stream without its last chunk).
struct verdict_of_scan {
  int status;
  const char* result;  // "intact", "damaged", "low spare", "lost"
};
// params, when given, are the parameters the scan ran with: found by the probe, or given.
verdict_of_scan judge_scan(const kestrune_scan_summary& s, int min_spare,
                           const kestrune_detection* params = nullptr);

// Whether the probe found any of the parameters (rather than the command line giving them all).
bool probed(const kestrune_detection& p);

// The exit status of a repair and its word: 0 "intact" (no copy showed any damage), 2 "repaired",
// 3 "lost".
struct verdict_of_repair {
  int status;
  const char* result;
};
verdict_of_repair judge_repair(const kestrune_repair_summary& s);

// The kestrune command line that restores the stream.
std::string restore_command(const report_setup& setup);

void report_parameters(const report_setup& setup);
// --json only: the summary object of a scan that could not start because the parameters were not
// found; `message` is the failure kestrune-scan ends with.
void report_no_parameters(const report_setup& setup, const std::string& message);
void report_chunk(const report_setup& setup, const kestrune_chunk_report& chunk);
// `realigned`, when not null: the salvage was made as the repair makes it, with this account.
// `tar`, when not null (--tar): the members that the lost bytes belong to.
void report_summary(const report_setup& setup, const kestrune_scan_summary& summary,
                    int64_t input_size, const kestrune_repair_summary* realigned = nullptr,
                    const tar_map* tar = nullptr);

// The report of a repair: the copies and the parameters; a line or object per place of the
// restored stream; then per copy where its alignment shifted, and the summary. `written` tells
// whether the repaired stream was kept; `tar`, when not null, maps the lost bytes to tar members.
void report_repair_parameters(const report_setup& setup);
void report_repair_chunk(const report_setup& setup, const kestrune_repaired_chunk& chunk);
void report_repair_summary(const report_setup& setup, const kestrune_repair_summary& summary,
                           bool written, const tar_map* tar = nullptr);
