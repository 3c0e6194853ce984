// SPDX-License-Identifier: MIT
#include "cli/driver.h"

int main(int argc, char **argv) { return korvane::korvane_main(argc, argv); }
