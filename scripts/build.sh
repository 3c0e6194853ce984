#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up the machine and builds everything with one CMake preset.
# Usage: scripts/build.sh [PRESET]   (default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/packages.sh test
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
