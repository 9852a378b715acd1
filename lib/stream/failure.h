// SPDX-License-Identifier: MIT
// failure.h - how the stream code gives up: a failure carries the result and the text that the
// caller gets back, and is caught where the library's entry points return.
#pragma once

#include <string>

#include "kestrune.h"

struct stream_failure {
  kestrune_result code;
  std::string message;
};

// Throws a stream_failure with the text printf would make of the format.
[[noreturn]] void fail(kestrune_result code, const char* format, ...)
    __attribute__((format(printf, 2, 3)));
