#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The ARM build: cross-compiles the whole project for the board's 32-bit ARM
# (preset armhf, build/armhf), runs the unit and end-to-end tests under
# qemu-arm, and installs the static armhf korvane as build/armhf/dist/bin/korvane.
# Usage: scripts/armhf-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/packages.sh test armhf
cmake --preset armhf >/dev/null
cmake --build --preset armhf
status=0
ctest --preset armhf || status=$?
cmake --install build/armhf --prefix build/armhf/dist --strip >/dev/null
echo "static armhf korvane: build/armhf/dist/bin/korvane," \
  "$(stat -c %s build/armhf/dist/bin/korvane) bytes (stripped)"
echo "armhf tier: $((SECONDS - start)) s"
exit $status
