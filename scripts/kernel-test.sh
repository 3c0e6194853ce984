#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The kernel tier alone: installs on the real Linux MTD stack. Boots
# Debian's kernel under qemu (software emulation) with nandsim and mtdram,
# runs a static korvane on /dev/mtdN and reads the flash back (tests/kernel/).
# Uses the default preset's build folder; the kernel is cached in .vm-cache/.
# Usage: scripts/kernel-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/packages.sh test kernel
cmake --preset default >/dev/null
cmake --build --preset default --target kernel_test
status=0
ctest --preset default -L kernel --no-tests=error || status=$?
echo "kernel tier: $((SECONDS - start)) s"
exit $status
