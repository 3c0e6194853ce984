#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The flash time model of korvane-sim, with its default timings: how long an
# install keeps a board busy. A benchmark, not a test: it runs from
# scripts/bench.sh or by hand, never in CI.
#
#   NAND: a 64 MiB cypher1 root file system (the benchmark's binaries) onto
#   a 128 MiB NAND partition (2 KiB pages, 128 KiB erase blocks): the
#   install's modelled time against decoding alone (korvane -z -e, its CPU
#   time), the flash alone (the chip's busy time) and the two one after the
#   other (a sequential install).
#   NOR: a 4 MiB cypher1 update (half-erased firmware) onto a 4 MiB NOR
#   partition of which an older 2 MiB image used half: erase count, programmed
#   units and modelled time, with and without the update's switch that
#   leaves erased blocks and units of 0xFF alone, and whether the flash ends
#   byte for byte the same.
#
# Usage: bench/flash-time.sh BIN_DIR OUT_DIR ROOTFS_RAW NOR_NEW_RAW NOR_OLD_RAW [ROUNDS]
#   ROOTFS_RAW   64 MiB to install on NAND; NOR_NEW_RAW 4 MiB, NOR_OLD_RAW 2 MiB
#   OUT_DIR      receives the images (made once), runs.txt (one line per
#                run) and summary.txt
set -euo pipefail
usage="usage: flash-time.sh BIN_DIR OUT_DIR ROOTFS_RAW NOR_NEW_RAW NOR_OLD_RAW [ROUNDS]"
bin=$(cd "${1:?$usage}" && pwd)
out=${2:?$usage}
rootfs=${3:?$usage} nor_new=${4:?$usage} nor_old=${5:?$usage}
rounds=${6:-5}
mkdir -p "$out"
out=$(cd "$out" && pwd)
mk=$bin/korvane-mkrom

image() {  # image FILE RAW TYPE ID: made once
  [ -s "$1" ] && return
  "$mk" create "$1.new" >/dev/null
  "$mk" add "$1.new" "$2" -t "$3" -p cypher1 --id "$4" --name fw >/dev/null
  mv "$1.new" "$1"
}
image "$out/rootfs.rom" "$rootfs" nand-raw 0
image "$out/nor-new.rom" "$nor_new" nor 1
image "$out/nor-old.rom" "$nor_old" nor 1
printf 'mtd0 nand size=128M erase=128K page=2048 oob=64\n' >"$out/nand.board"
printf 'mtd1 nor size=4M erase=64K\n' >"$out/nor.board"

# The model's figures of the last korvane-sim run in state folder $1.
figures() { sed -n 's/^flash-time //p' "$1/events.log" | tail -n1; }
field() { awk -v k="$2" '{ for (i = 1; i < NF; i++) if ($i == k) print $(i + 1) }' <<<"$1"; }

runs=$out/runs.txt
: >"$runs"
for ((r = 0; r < rounds; r++)); do
  # Alternate the two NAND runs between rounds.
  for what in $([ $((r % 2)) = 0 ] && echo "install decode" || echo "decode install"); do
    st=$out/state-$what
    rm -rf "$st"
    args=(-e "$out/rootfs.rom")
    [ "$what" = decode ] && args=(-z -e "$out/rootfs.rom")
    "$bin/korvane-sim" --board "$out/nand.board" --state "$st" --flash-time -- "${args[@]}" \
      >/dev/null 2>&1 || { echo "flash-time.sh: the NAND $what failed" >&2; exit 1; }
    echo "nand-$what $(figures "$st")" >>"$runs"
  done
done
for mode in plain skip-erased; do
  st=$out/state-nor-$mode
  rm -rf "$st"
  "$bin/korvane_install_timed" "$out/nor.board" "$st" "$out/nor-old.rom" >/dev/null 2>&1
  extra=()
  [ $mode = skip-erased ] && extra=(skip-erased)
  echo "nor-$mode $("$bin/korvane_install_timed" "$out/nor.board" "$st" "$out/nor-new.rom" \
    "${extra[@]}" 2>/dev/null)" >>"$runs"
done
same=no
cmp -s "$out/state-nor-plain/mtd1.data" "$out/state-nor-skip-erased/mtd1.data" && same=yes

# Median of field $2 over the lines of run $1.
median() {
  awk -v w="$1" -v k="$2" '$1 == w { for (i = 2; i < NF; i++) if ($i == k) v[++n] = $(i + 1) }
    END { for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (v[j] < v[i]) { x = v[i]; v[i] = v[j]; v[j] = x }
          printf "%.0f", n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2 }' "$runs"
}
s() { awk -v ns="$1" 'BEGIN { printf "%.3f s", ns / 1e9 }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
total=$(median nand-install total-ns) busy=$(median nand-install busy-ns)
cpu=$(median nand-install cpu-ns) decode=$(median nand-decode cpu-ns)
larger=$((decode > busy ? decode : busy))
sequential=$((decode + busy))
nor_line() {
  local l
  l=$(grep "^nor-$1 " "$runs")
  echo "| $1 | $(field "$l" erases) | $(field "$l" programs) | $(field "$l" reads) | $(s "$(field "$l" total-ns)") |"
}
{
  echo "NAND, 64 MiB cypher1 root file system, default timings (medians of $rounds runs):"
  echo
  echo "| figure | time |"
  echo "|---|---|"
  echo "| install, modelled | $(s "$total") |"
  echo "| decode alone (CPU time of korvane -z -e) | $(s "$decode") |"
  echo "| flash alone (the chip busy) | $(s "$busy") |"
  echo "| CPU time of the install between device calls | $(s "$cpu") |"
  echo "| sequential: decode, then erase and write | $(s "$sequential") |"
  echo
  echo "Install / larger of decode and flash: $(ratio "$total" "$larger");" \
    "install / sequential: $(ratio "$total" "$sequential")."
  echo
  echo "NOR, a 4 MiB cypher1 update onto a 4 MiB partition half used by a 2 MiB image:"
  echo
  echo "| install | erases | programmed 32-byte units | units read | modelled time |"
  echo "|---|---|---|---|---|"
  nor_line plain
  nor_line skip-erased
  echo
  echo "The flash after both is byte for byte the same: $same."
} >"$out/summary.txt"
cat "$out/summary.txt"
