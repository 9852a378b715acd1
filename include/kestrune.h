// SPDX-License-Identifier: MIT
// kestrune.h - the interface of libkestrune, for C and C++: protecting a byte stream with a
// systematic erasure code over GF(2^8) and restoring it. So far: the library's version.
#ifndef KESTRUNE_H
#define KESTRUNE_H

// The functions libkestrune exports; everything else in it is hidden.
#if defined(__GNUC__) || defined(__clang__)
#define KESTRUNE_API __attribute__((visibility("default")))
#else
#define KESTRUNE_API
#endif

// The version of this header; the build checks that it is the project's. A program compares it
// with what the library it runs with reports.
#define KESTRUNE_VERSION_MAJOR 1
#define KESTRUNE_VERSION_MINOR 0
#define KESTRUNE_VERSION_PATCH 0
#define KESTRUNE_VERSION_NUMBER \
  (KESTRUNE_VERSION_MAJOR * 10000 + KESTRUNE_VERSION_MINOR * 100 + KESTRUNE_VERSION_PATCH)
#define KESTRUNE_VERSION_STRING "1.0.0"

#ifdef __cplusplus
extern "C" {
#endif

// The library's version as KESTRUNE_VERSION_NUMBER gives it: major * 10000 + minor * 100 + patch.
KESTRUNE_API unsigned kestrune_version_number(void);

// The library's version as KESTRUNE_VERSION_STRING gives it, "major.minor.patch"; static storage.
KESTRUNE_API const char* kestrune_version_string(void);

#ifdef __cplusplus
}
#endif

#endif
