// gf_kernel.h - the variants of the multiply-accumulate kernel and the choice among them.
//
// Every variant computes target[i] ^= m * source[i] exactly as the plain table kernel does; the
// plain kernel is the fallback on every CPU and the oracle the others are tested against.
#pragma once

#include <cstdint>

using gf_kernel_fn = void (*)(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

struct gf_kernel {
  const char* name;     // short name, also the value that selects it in test builds
  gf_kernel_fn run;     // the kernel itself
  bool (*supported)();  // whether this CPU can run it
};

// The plain kernel: one look-up in the multiplier's product-table row and one XOR per byte.
void gf_mul_accumulate_table(uint8_t* target, const uint8_t* source, uint8_t m, int nbytes);

// All variants compiled into this build, best first; the last one is always the plain kernel.
const gf_kernel* gf_kernel_list(int* count);

// The kernel gf_mul_accumulate() runs now.
const gf_kernel* gf_active_kernel();

// Makes gf_mul_accumulate() run `kernel` from now on; the CPU must support it.
void gf_use_kernel(const gf_kernel* kernel);
