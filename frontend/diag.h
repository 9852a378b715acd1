// diag.h - diagnostics and small utilities shared by the front end and the stream code.
#pragma once

#include <cstdint>
#include <cstdio>

// The invocation name, prefix of every fatal message; null until the driver sets it.
extern const char* program_name;

// Writes "<program_name>: ", the message and a newline to standard error, then exits with status 1
// (or calls the fatal handler, when one is set).
[[noreturn]] void die(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For callers that run the program's code in-process (fuzzers, tests): die() calls the handler
// after its message instead of exiting. The handler must not return: it throws or jumps away. The
// program itself never sets one.
using fatal_handler = void (*)();
void set_fatal_handler(fatal_handler handler);

// Writes the message to standard error exactly as formatted (no prefix, no added newline).
void note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// malloc(nbytes), or die with "can't malloc(%d)". The block is not cleared.
void* alloc_or_die(uint64_t nbytes);

// fopen(path, mode), or die with "can't open '<path>'" ("write" for a mode not starting with r).
FILE* open_or_die(const char* path, const char* mode);

// Reads a decimal number as atoi does (leading blanks, a sign, the digits up to the first other
// character, no digits = 0), saturated to the signed 32-bit range instead of overflowing.
int32_t parse_int(const char* text);

// parse_int(), times 1024 when the text's last character is K or k; saturated like parse_int().
int32_t parse_size(const char* text);
