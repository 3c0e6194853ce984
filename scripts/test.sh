#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the machine, builds with a preset and runs the whole test suite.
# With the default preset that includes the kernel tier (installs on the
# real Linux MTD stack in an x86-64 and a 32-bit ARM VM,
# scripts/kernel-test.sh); --no-kernel leaves it out. Other presets run
# their own build's tests only.
# Usage: scripts/test.sh [PRESET] [--no-kernel]   (default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default kernel=1
for arg in "$@"; do
  case "$arg" in
    --no-kernel) kernel=0 ;;
    -*) echo "test.sh: unknown option $arg" >&2; exit 2 ;;
    *) preset=$arg ;;
  esac
done
scripts/build.sh "$preset"
if [ "$preset" != default ]; then
  exec ctest --preset "$preset"
fi
status=0
ctest --preset default -LE kernel || status=$?
if [ $kernel = 1 ]; then
  scripts/kernel-test.sh || status=1
fi
exit $status
