// SPDX-License-Identifier: MIT
// numbers.h - reading the numbers of a command line.
#pragma once

#include <cstdint>

// Reads a decimal number as atoi does (leading blanks, a sign, the digits up to the first other
// character, no digits = 0), saturated to the signed 32-bit range instead of overflowing.
int32_t parse_int(const char* text);

// parse_int(), times 1024 when the text's last character is K or k; saturated like parse_int().
int32_t parse_size(const char* text);
