// SPDX-License-Identifier: MIT
// repair_out.h - where the repaired stream goes, and how it gets there without harming OUT.
//
// The stream is written to a file of its own while it is made, and put in place only once every
// chunk is restored; until then OUT stays as it was. OUT is followed through its symbolic links:
// the links stay, and the file they lead to receives the stream. A regular file (or a new one) is
// replaced by a rename, the new file keeping the old one's mode and, where allowed, its owner. A
// device, a FIFO or a socket is written in place, never replaced. For - the stream goes to
// standard output. The file being written has no name where the file system allows (O_TMPFILE), so
// that nothing of it stays when the program is killed; where it must have one, it is removed on
// exit and on the signals that end a program.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

struct repair_output {
  FILE* file = nullptr;    // the stream is written here; read back to copy it
  bool to_stdout = false;  // OUT is -
  bool in_place = false;   // OUT (or what it links to) is not a regular file: written through
  bool exists = false;     // the file OUT leads to exists
  struct stat old {};      // and what it is, when it does
  std::string target;      // OUT, its symbolic links followed
  std::string directory;   // where the file being written lies
  bool named = false;      // the file being written has a name (no O_TMPFILE here)
};

// Opens the file the stream for OUT (a path, or -) is written to. Dies with "can't write 'OUT'"
// when it cannot be made.
repair_output open_repair_output(const char* path);

// Puts the finished stream in place: renamed over the file OUT leads to, or copied into it when it
// is written in place, or to stdout_fd for -. Closes the file. Dies with "can't write 'OUT'" or a
// write error message when it fails; OUT is then as it was, but for a device or FIFO that took
// part of the stream.
void commit_repair_output(repair_output& out, const char* path, int stdout_fd);

// A file without a name, read and written, in $TMPDIR (/tmp when it is not set), which *directory
// receives: nothing of it stays when the program ends, however it ends. -1 when it cannot be made.
int open_temporary_file(std::string* directory);

// Drops an unfinished stream: nothing of it stays. Closes the file.
void discard_repair_output(repair_output& out);
