#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The house style (.clang-format) over every C and C++ source in git.
# Usage: scripts/format.sh           rewrite the files in place
#        scripts/format.sh --check   only report, exit 1 if any file differs
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/packages.sh format
mapfile -t files < <(git ls-files '*.cc' '*.h' '*.c')
case "${1:-}" in
  --check) clang-format --dry-run --Werror "${files[@]}" ;;
  "") clang-format -i "${files[@]}" ;;
  *) echo "format.sh: unknown option $1" >&2; exit 2 ;;
esac
