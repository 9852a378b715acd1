// SPDX-License-Identifier: MIT
// cpu.cpp - detecting the instruction-set level once, with an override for test builds.
#include "cpu/cpu.h"

#include <cstdlib>
#include <cstring>

namespace {

const char* const level_names[] = {"portable", "ssse3", "avx2", "avx512", "gfni"};

cpu_level detect() {
#if defined(__x86_64__) || defined(__i386__)
  // __builtin_cpu_supports also checks that the operating system saves the wide registers.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")) {
    return __builtin_cpu_supports("gfni") ? CPU_GFNI : CPU_AVX512;
  }
  if (__builtin_cpu_supports("avx2")) return CPU_AVX2;
  if (__builtin_cpu_supports("ssse3")) return CPU_SSSE3;
#endif
  return CPU_PORTABLE;
}

cpu_level choose() {
  cpu_level level = detect();
#ifdef KESTRUNE_LEVEL_OVERRIDE
  if (const char* wanted = getenv("KESTRUNE_CPU_LEVEL")) {
    for (int i = CPU_PORTABLE; i <= CPU_GFNI; i++) {
      if (strcmp(wanted, level_names[i]) == 0 && i < level) level = static_cast<cpu_level>(i);
    }
  }
#endif
  return level;
}

}  // namespace

cpu_level cpu_level_detected() {
  static const cpu_level level = detect();
  return level;
}

cpu_level cpu_level_in_use() {
  static const cpu_level level = choose();
  return level;
}

const char* cpu_level_name(cpu_level level) { return level_names[level]; }
