// SPDX-License-Identifier: MIT
// driver.h - the kestrune program: command line, start-up, and one run of the encoder or decoder.
#pragma once

// Reads the command line, sets everything up and runs one of the two stream routines. Returns the
// exit status of a completed run; every failure ends the process itself.
int kestrune_main(int argc, char** argv);
