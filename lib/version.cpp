// SPDX-License-Identifier: MIT
// version.cpp - the version libkestrune reports: the one of the header it was built with.
#include "kestrune.h"

extern "C" {

unsigned kestrune_version_number(void) { return KESTRUNE_VERSION_NUMBER; }

const char* kestrune_version_string(void) { return KESTRUNE_VERSION_STRING; }
}
