// SPDX-License-Identifier: MIT
// version.c - prints the version of the libkestrune it runs with, and fails when that is not the
// version of the kestrune.h it was built with.
#include <kestrune.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  const char* version = kestrune_version_string();
  unsigned number = kestrune_version_number();
  printf("libkestrune %s (%u)\n", version, number);
  if (strcmp(version, KESTRUNE_VERSION_STRING) != 0 || number != KESTRUNE_VERSION_NUMBER) {
    fprintf(stderr, "version: built with libkestrune %s (%u), runs with %s (%u)\n",
            KESTRUNE_VERSION_STRING, (unsigned)KESTRUNE_VERSION_NUMBER, version, number);
    return 1;
  }
  return 0;
}
