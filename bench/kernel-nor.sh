#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A NOR install on the kernel's own MTD stack, timed against flash_erase +
# flashcp of the same data on the same device: boots the kernel tier's VM
# (tests/kernel/vm.sh) with a 4 MiB mtdram and, ROUNDS times in turn,
#   korvane -e of a block of cypher none, of the same block as cypher1,
#   flash_erase of the partition followed by flashcp of the data,
# each read back and compared with the data. A benchmark, not a test: it
# runs from scripts/bench.sh --kernel or by hand, never in CI.
#
# Usage: bench/kernel-nor.sh BIN_DIR OUT_DIR [ROUNDS] [OLD_KORVANE_STATIC]
#   BIN_DIR  the build's programs (korvane-static, korvane-mkrom)
#   OUT_DIR  receives times.txt (one line per timing: TOOL REAL USER SYS in
#            seconds per run; a timing covers KORVANE_BENCH_INNER runs, 5 by
#            default), verify.txt, summary.txt (medians and ratios to
#            flashcp) and the VM's files
#   OLD_KORVANE_STATIC  an earlier korvane-static, timed beside, one run a
#            round (before and after)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
bin=$(cd "${1:?usage: kernel-nor.sh BIN_DIR OUT_DIR [ROUNDS] [OLD_KORVANE_STATIC]}" && pwd)
out=${2:?usage: kernel-nor.sh BIN_DIR OUT_DIR [ROUNDS] [OLD_KORVANE_STATIC]}
rounds=${3:-5}
old=${4:-}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work="$out/work"
rm -rf "$work"
mkdir -p "$work/t/scenarios"

# 4 MiB of firmware-like data: code from the build's own programs with
# stretches of erased flash between.
data="$work/t/data"
{
  for f in "$bin/korvane-mkrom" "$bin/korvane-sim" "$bin/korvane-static"; do
    head -c 700000 "$f"
    head -c 300000 /dev/zero | tr '\0' '\377'
  done
  head -c 4194304 /dev/zero | tr '\0' '\377'
} >"$data.all"
head -c 4194304 "$data.all" >"$data"
rm "$data.all"
for c in none cypher1; do
  "$bin/korvane-mkrom" create "$work/t/$c.rom" >/dev/null
  "$bin/korvane-mkrom" add "$work/t/$c.rom" "$data" -t nor -p "$c" --id 2 --name nor >/dev/null
done
cp "$(command -v flashcp || echo /usr/sbin/flashcp)" "$work/t/flashcp"
[ -n "$old" ] && cp "$old" "$work/t/korvane-old"

# nandsim as one partition and the rest (mtd0, mtd1), so mtdram is mtd2.
cat >"$work/t/vm.conf" <<'EOF'
NANDSIM_ARGS="id_bytes=0xec,0xf1,0x00,0x15 parts=16"
MTDRAM_ARGS="total_size=4096 erase_size=64"
SCENARIO_TIMEOUT=1500
EOF
cat >"$work/t/scenarios/nor.sh" <<EOF
rounds=$rounds
inner=${KORVANE_BENCH_INNER:-5}
EOF
cat >>"$work/t/scenarios/nor.sh" <<'EOF'
dev=/dev/mtd2
[ "$(cat /sys/class/mtd/mtd2/name)" = "mtdram test device" ]
# timed TOOL N COMMAND: time -p of COMMAND run N times in a row, as one
# line "TOOL REAL USER SYS" per run in times.txt (time -p counts in
# hundredths of a second, hence the runs in a row).
timed() {
  tool=$1 n=$2
  shift 2
  time -p -o t.txt sh -c "for k in \$(seq $n); do $* || exit 1; done" >/dev/null 2>&1
  echo "$tool $(awk -v n="$n" '{printf "%.4f ", $2 / n}' t.txt)" >>times.txt
  dd if=$dev of=back bs=65536 2>/dev/null
  cmp -s back /t/data && echo "$tool same" >>verify.txt || echo "$tool differ" >>verify.txt
  rm -f back
}
: >times.txt
: >verify.txt
i=0
while [ $i -lt $rounds ]; do
  timed korvane-none "$inner" "korvane -e /t/none.rom"
  timed flashcp "$inner" "flash_erase -q $dev 0 0 && /t/flashcp /t/data $dev"
  timed korvane-cypher1 "$inner" "korvane -e /t/cypher1.rom"
  [ -x /t/korvane-old ] && timed korvane-old-none 1 "/t/korvane-old -e /t/none.rom"
  i=$((i + 1))
done
EOF

kernel=$("$top/tests/kernel/fetch-kernel.sh" "$top/.vm-cache")
"$top/tests/kernel/vm.sh" --kernel "$kernel" --korvane "$bin/korvane-static" \
  --payload "$work/t" --out "$work/vm" --timeout "${KORVANE_VM_TIMEOUT:-1800}"
res="$work/vm/results/nor"
[ "$(cat "$res/scenario.status")" = 0 ] || {
  echo "kernel-nor: the scenario failed; see $res/scenario.trace" >&2
  exit 1
}
cp "$res/times.txt" "$res/verify.txt" "$out/"
if grep -q differ "$out/verify.txt"; then
  echo "kernel-nor: a read-back differs from the data:" >&2
  grep differ "$out/verify.txt" >&2
  exit 1
fi

# Medians of the wall time (real) and of user + system time per tool.
awk '
  { real[$1] = real[$1] " " $2; cpu[$1] = cpu[$1] " " ($3 + $4) }
  function median(list,   n, a, i, j, t) {
    n = split(list, a, " ")
    for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
    return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
  }
  END {
    base = median(real["flashcp"])
    for (t in real) printf "%-18s %9.3f %9.3f %14.2f\n", t, median(real[t]), median(cpu[t]), median(real[t]) / base
  }' "$out/times.txt" | sort >"$out/summary.txt.rows"
{
  printf "%-18s %9s %9s %14s\n" tool "real (s)" "cpu (s)" "real / flashcp"
  cat "$out/summary.txt.rows"
} >"$out/summary.txt"
rm "$out/summary.txt.rows"
cat "$out/summary.txt"
