// SPDX-License-Identifier: MIT
// main.cpp - the kestrune program's entry point.
#include "programs/kestrune/driver.h"

int main(int argc, char** argv) { return kestrune_main(argc, argv); }
