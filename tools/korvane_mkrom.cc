// SPDX-License-Identifier: MIT
// korvane-mkrom: builds, lists, extracts and checks rom images on a PC
// (tools/mkrom.h).
#include "tools/mkrom.h"

int main(int argc, char **argv) { return korvane::mkrom::main(argc, argv); }
