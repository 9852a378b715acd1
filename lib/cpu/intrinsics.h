// SPDX-License-Identifier: MIT
// intrinsics.h - <immintrin.h> for the files built for one instruction set.
//
// GCC 12 takes the deliberately undefined vectors inside the AVX-512 intrinsics for uninitialised
// variables (GCC bug 105593); the warning is about the header, not the files that include it.
#pragma once

#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
