#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages (scripts/package.sh) and checks them:
#   - lintian reports no error on either (its other findings are printed);
#   - the PC package, unpacked into a scratch root, holds the three programs,
#     the manual pages (rendered without a warning) and the bash completion,
#     and its programs run from there: version texts, an image built with
#     korvane-mkrom, shown by korvane and by korvane-sim on a simulated board;
#   - the board package holds a statically linked ARM korvane and korvane(1);
#   - `cmake --install` of the PC build into an empty prefix gives the
#     programs, the manual pages, the completions and the documents.
# Usage: scripts/package-test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
start=$SECONDS
scripts/package.sh

version=$(sed -n 's/^project(korvane VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
pc=build/packages/korvane-tools_${version}_$(dpkg --print-architecture).deb
board=build/packages/korvane_${version}_armhf.deb
scratch=$(mktemp -d /tmp/korvane-package-test.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() {
  echo "FAILED: $*" >&2
  failures=$((failures + 1))
}
# same WHAT EXPECTED ACTUAL
same() {
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: expected '$2', got '$3'"; fi
}

echo "--- lintian"
lintian_out=$(lintian --display-info "$pc" "$board" 2>&1 | grep -v '^running with root privileges' || true)
[ -z "$lintian_out" ] || echo "$lintian_out"
if grep -q '^E: ' <<<"$lintian_out"; then fail "lintian reports errors"; else echo "ok: no lintian errors"; fi

echo "--- the PC package"
same "$pc Depends from dpkg-shlibdeps" yes \
  "$(dpkg-deb -f "$pc" Depends | grep -q 'libc6 (>=' && echo yes || echo no)"
root=$scratch/root
dpkg -x "$pc" "$root"
bin=$root/usr/bin
for f in usr/bin/korvane usr/bin/korvane-mkrom usr/bin/korvane-sim \
  usr/share/man/man1/korvane.1.gz usr/share/man/man1/korvane-mkrom.1.gz \
  usr/share/man/man1/korvane-sim.1.gz usr/share/man/man5/korvane-image.5.gz \
  usr/share/bash-completion/completions/korvane usr/share/bash-completion/completions/korvane-mkrom \
  usr/share/bash-completion/completions/korvane-sim usr/share/doc/korvane-tools/copyright \
  usr/share/doc/korvane-tools/changelog.gz; do
  [ -e "$root/$f" ] || fail "$pc lacks /$f"
done
for page in "$root"/usr/share/man/man*/*.gz; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  same "$(basename "$page") renders without warnings" "" "$warnings"
done

same "korvane --version" "korvane 1.0.4.9 [none]" "$("$bin/korvane" --version | head -n 1)"
same "korvane-mkrom --version" "korvane-mkrom $version" "$("$bin/korvane-mkrom" --version)"
same "korvane-sim --version" "korvane-sim $version" "$("$bin/korvane-sim" --version)"
(
  cd "$scratch"
  head -c 20000 "$bin/korvane" >payload
  "$bin/korvane-mkrom" create pkg.rom --dev-name packaged >/dev/null
  "$bin/korvane-mkrom" add pkg.rom payload -t nand-raw -p cypher1 -f crc --id 0 --name kernel \
    >/dev/null
  "$bin/korvane" -f crc -i pkg.rom >show.txt
  "$bin/korvane-sim" --state st -- -f crc -i pkg.rom >sim.txt
  "$bin/korvane-sim" --state st -- -e pkg.rom >/dev/null
  "$bin/korvane-mkrom" extract pkg.rom 0 payload.out --decode
)
same "korvane -i shows the built image" yes \
  "$(grep -q '^rom dev name    :packaged$' "$scratch/show.txt" &&
    grep -q '^blk good verify ' "$scratch/show.txt" && echo yes || echo no)"
same "korvane-sim -- -i prints what korvane prints" "$(cat "$scratch/show.txt")" \
  "$(cat "$scratch/sim.txt")"
same "korvane-sim -- -e puts the block on the simulated mtd0" yes \
  "$(cmp -s -n 20000 "$scratch/payload" "$scratch/st/mtd0.data" && echo yes || echo no)"
same "korvane-mkrom extract --decode gives the input back" yes \
  "$(cmp -s "$scratch/payload" "$scratch/payload.out" && echo yes || echo no)"

# The completion as bash-completion loads it, for two command lines.
complete_words() {
  bash -c '
    source /usr/share/bash-completion/bash_completion
    source "$1"
    shift
    COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) COMP_LINE="$*" COMP_POINT=${#COMP_LINE}
    "$(complete -p "$1" | sed "s/.*-F \([^ ]*\).*/\1/")"
    echo "${COMPREPLY[*]}"' _ "$@" 2>/dev/null
}
completions=$root/usr/share/bash-completion/completions
same "completion: korvane-mkrom cr" create "$(complete_words "$completions/korvane-mkrom" korvane-mkrom cr)"
same "completion: korvane-mkrom ex" extract "$(complete_words "$completions/korvane-mkrom" korvane-mkrom ex)"
same "completion: korvane-mkrom check IMAGE --b" --board \
  "$(complete_words "$completions/korvane-mkrom" korvane-mkrom check pkg.rom --b)"
same "completion: korvane -t nand-r" nand-raw "$(complete_words "$completions/korvane" korvane -t nand-r)"

echo "--- the board package"
same "$board Architecture" armhf "$(dpkg-deb -f "$board" Architecture)"
same "$board Depends" "" "$(dpkg-deb -f "$board" Depends)"
board_root=$scratch/board
dpkg -x "$board" "$board_root"
kind=$(file -b "$board_root/usr/bin/korvane")
echo "usr/bin/korvane: $kind"
same "the board's korvane is a static ARM executable" yes \
  "$([[ $kind == "ELF 32-bit LSB executable, ARM,"*"statically linked"*stripped ]] && echo yes || echo no)"
[ -e "$board_root/usr/share/man/man1/korvane.1.gz" ] || fail "$board lacks korvane(1)"
for f in share/korvane/uboot/korvane.env share/korvane/uboot/fw_env.config \
  share/doc/korvane/uboot/README.md; do
  cmp -s "uboot/${f##*/}" "$board_root/usr/$f" || fail "$board lacks uboot/${f##*/} as usr/$f"
done
if command -v qemu-arm >/dev/null; then
  same "the board's korvane --version (qemu-arm)" "korvane 1.0.4.9 [none]" \
    "$(qemu-arm "$board_root/usr/bin/korvane" --version | head -n 1)"
fi

echo "--- cmake --install into an empty prefix"
DESTDIR=$scratch/dest cmake --install build/package-pc --prefix /opt/korvane >/dev/null
installed=$(cd "$scratch/dest/opt/korvane" && find . -type f | sort | tr '\n' ' ')
same "installed files" "./bin/korvane ./bin/korvane-mkrom ./bin/korvane-sim\
 ./share/bash-completion/completions/korvane ./share/bash-completion/completions/korvane-mkrom\
 ./share/bash-completion/completions/korvane-sim ./share/doc/korvane/LICENSE\
 ./share/doc/korvane/README.md ./share/man/man1/korvane-mkrom.1.gz\
 ./share/man/man1/korvane-sim.1.gz ./share/man/man1/korvane.1.gz\
 ./share/man/man5/korvane-image.5.gz " "$installed"

echo "package tier: $((SECONDS - start)) s, $failures failed"
[ $failures -eq 0 ]
