// SPDX-License-Identifier: MIT
// cpu.h - which instruction-set level the fast kernels may use on this CPU.
//
// The levels are ordered: each one includes what the levels below it need. Kernels and digests
// choose their variant once, from cpu_level_in_use().
#pragma once

enum cpu_level {
  CPU_PORTABLE = 0,  // plain C++ only
  CPU_SSSE3 = 1,     // pshufb
  CPU_AVX2 = 2,      // 256-bit integer vectors
  CPU_AVX512 = 3,    // AVX-512F and AVX-512BW
  CPU_GFNI = 4,      // AVX-512 with the Galois-field instructions
};

// The highest level this CPU and operating system support.
cpu_level cpu_level_detected();

// The level in use: the detected one, lowered in builds made with KESTRUNE_LEVEL_OVERRIDE by the
// environment variable KESTRUNE_CPU_LEVEL (portable, ssse3, avx2, avx512 or gfni), so that tests
// can run every variant this machine has. Read once.
cpu_level cpu_level_in_use();

// The lower-case name of a level, as KESTRUNE_CPU_LEVEL spells it.
const char* cpu_level_name(cpu_level level);
