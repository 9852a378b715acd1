// main.cpp - the kestrune program's entry point.
#include "frontend/program.h"

int main(int argc, char** argv) { return kestrune_main(argc, argv); }
