// SPDX-License-Identifier: MIT
// cpu_levels.h - what the tests know of the instruction-set levels: the name KESTRUNE_CPU_LEVEL
// gives each, the level a process runs at for a setting of that variable, and a check run in a
// fresh process at every setting.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cpu/cpu.h"

namespace kestrune::test {

struct named_level {
  const char* name;
  cpu_level level;
};

inline constexpr named_level level_names[] = {
    {"portable", CPU_PORTABLE}, {"ssse3", CPU_SSSE3}, {"avx2", CPU_AVX2},
    {"avx512", CPU_AVX512},     {"gfni", CPU_GFNI},
};

// The level a process of this build runs at when KESTRUNE_CPU_LEVEL is `setting` (null: unset): in
// builds made with KESTRUNE_LEVEL_OVERRIDE a level's name lowers the detected level to it; anything
// else leaves the detected level.
inline cpu_level level_for_setting(const char* setting) {
  const cpu_level detected = cpu_level_detected();
#ifdef KESTRUNE_LEVEL_OVERRIDE
  for (const named_level& named : level_names) {
    if (setting != nullptr && std::strcmp(setting, named.name) == 0) {
      return std::min(named.level, detected);
    }
  }
#else
  (void)setting;
#endif
  return detected;
}

// Runs check(setting) in a fresh process with KESTRUNE_CPU_LEVEL set to each level's name and to a
// name of no level; check() returns whether all is well and may tell why not on standard error.
// The level is read once per process, so each setting needs a process of its own: the threadsafe
// death test style starts the test program again, with the environment set here.
template <typename Check>
void check_in_fresh_process_at_every_setting(Check check) {
  const std::string style = GTEST_FLAG_GET(death_test_style);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* saved = std::getenv("KESTRUNE_CPU_LEVEL");
  const std::string restore = saved != nullptr ? saved : "";
  std::vector<const char*> settings;
  for (const named_level& named : level_names) settings.push_back(named.name);
  settings.push_back("no-such-level");
  for (const char* setting : settings) {
    SCOPED_TRACE(std::string("KESTRUNE_CPU_LEVEL=") + setting);
    setenv("KESTRUNE_CPU_LEVEL", setting, 1);
    EXPECT_EXIT(std::exit(check(setting) ? 0 : 1), ::testing::ExitedWithCode(0), "");
  }
  if (saved != nullptr) {
    setenv("KESTRUNE_CPU_LEVEL", restore.c_str(), 1);
  } else {
    unsetenv("KESTRUNE_CPU_LEVEL");
  }
  GTEST_FLAG_SET(death_test_style, style);
}

}  // namespace kestrune::test
