#!/usr/bin/env bash
# Sets up the machine, builds with a preset and runs the whole test suite.
# Usage: scripts/test.sh [PRESET]   (default: default)
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
scripts/build.sh "$preset"
ctest --preset "$preset"
