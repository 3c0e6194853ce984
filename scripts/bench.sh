#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The benchmark report: builds the benchmarks, runs korvane side by side with
# its peers on this machine and writes build/bench/report.md (the machine, one
# table of ratios against every peer, the commands) with build/bench/decode.png
# (decode throughput by peer), and the ratios of the README's plot into
# docs/pictures/bench-ratios.dat, rendered by scripts/pictures.sh.
#
# Usage: scripts/bench.sh [--rounds N] [--kernel] [--before BIN_DIR]
#   --rounds N      side-by-side rounds (default 5); every figure is a median
#   --kernel        also a 4 MiB NOR install in the kernel tier's VM against
#                   flash_erase + flashcp (bench/kernel-nor.sh; some minutes)
#   --before DIR    the programs of an earlier build (korvane-sim, and with
#                   --kernel korvane-static), measured beside this one
#
# Decoding is compared by CPU time (user + system) of whole processes, run
# one after another in a rotating order in every round, on two cypher1
# streams of 64 MiB each made once in build/bench/data: binaries (the
# machine's own ELF files) and half-erased firmware (those binaries in
# stretches of 4 to 64 KiB with as much 0xFF between). Ratios are korvane's
# median CPU time over the peer's: below 1 korvane is faster.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
rounds=5 kernel=0 before=
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds=$2; shift 2 ;;
    --kernel) kernel=1; shift ;;
    --before) before=$(cd "$2" && pwd); shift 2 ;;
    *) echo "bench.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
groups=(test bench)
[ $kernel = 1 ] && groups+=(kernel)
scripts/packages.sh "${groups[@]}"
cmake --preset default >/dev/null
targets=(korvane korvane-mkrom korvane-sim korvane_codec_bench korvane_bench_sdk_decode
  korvane_bench_cputime korvane_bench_decode_sink korvane_install_timed)
[ $kernel = 1 ] && targets+=(korvane-static)
cmake --build --preset default --target "${targets[@]}"

bin=$top/build/default/bin
out=$top/build/bench
data=$out/data
scratch=$out/scratch
mkdir -p "$data" "$scratch"
load_start=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the inputs, made once ---
mib64=67108864
if [ ! -f "$data/ready-1" ]; then
  echo "bench: making the inputs in $data (once; encoding takes a few minutes)" >&2
  arch=$(gcc -print-multiarch 2>/dev/null || echo x86_64-linux-gnu)
  find /usr/bin "/usr/lib/$arch" -maxdepth 1 -type f -size +16k | LC_ALL=C sort |
    while read -r f; do
      [ "$(head -c 4 "$f" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] && cat "$f"
    done >"$data/all.elf" || true
  head -c $mib64 "$data/all.elf" >"$data/bin.raw"
  rm -f "$data/all.elf"
  [ "$(stat -c %s "$data/bin.raw")" = $mib64 ] || { echo "bench: not 64 MiB of binaries" >&2; exit 1; }
  # Half-erased firmware: stretches of the binaries, each followed by as many
  # bytes of 0xFF, lengths 4 to 64 KiB from a fixed sequence.
  awk 'BEGIN { s = 12345; at = 0; done = 0
    while (done < 67108864) {
      s = (s * 1103515245 + 12345) % 4294967296; n = 4096 + int(s / 256) % 61440
      s = (s * 1103515245 + 12345) % 4294967296; e = 4096 + int(s / 256) % 61440
      print at, n, e; at += n; done += n + e } }' |
    while read -r at n e; do
      dd if="$data/bin.raw" iflag=skip_bytes,count_bytes skip="$at" count="$n" bs=65536 2>/dev/null
      head -c "$e" /dev/zero | tr '\0' '\377'
    done >"$data/fw.all"
  head -c $mib64 "$data/fw.all" >"$data/fw.raw"
  rm -f "$data/fw.all"
  for n in bin fw; do
    "$bin/korvane-mkrom" block "$data/$n.blk" "$data/$n.raw" -t bin -p cypher1 --name "$n" >/dev/null
    len=$("$bin/korvane" -i "$data/$n.blk" | sed -n 's/^blk lenght *:\([0-9]*\)$/\1/p')
    tail -c +129 "$data/$n.blk" | head -c "$len" >"$data/$n.lzma"
  done
  touch "$data/ready-1"
fi

# --- decoding, side by side ---
# name|what it does|command (run in $scratch; OUT is where standard output goes)
peers() {
  local n=$1
  cat <<EOF
korvane|korvane -x (decodes the block into a file)|korvane -x $data/$n.blk|/dev/null
sink|zentarc_decode_fd into a sink, the install's decode path|korvane_bench_decode_sink $data/$n.lzma own|/dev/null
sdk-sink|the same loop over the LZMA SDK 9.22 decoder (korvane before)|korvane_bench_decode_sink $data/$n.lzma sdk|/dev/null
sdk|the bare LZMA SDK 9.22 loop, 64 KiB in and out, into a file|korvane_bench_sdk_decode $data/$n.blk 128 sdk.out|/dev/null
7zz|7zz e -so into a file|7zz e -so $data/$n.lzma|7zz.out
7zz-null|7zz e -so into /dev/null|7zz e -so $data/$n.lzma|/dev/null
xz|xz --format=lzma -dc into a file|xz --format=lzma -dc $data/$n.lzma|xz.out
lzma_alone|lzma_alone d into a file|lzma_alone d $data/$n.lzma alone.out|/dev/null
cat|cat of the decoded bytes into a file|cat $data/$n.raw|cat.out
EOF
}
times=$out/times.txt
: >"$times"
for n in bin fw; do
  mapfile -t list < <(peers "$n")
  for ((r = 0; r < rounds; r++)); do
    for ((i = 0; i < ${#list[@]}; i++)); do
      IFS='|' read -r name _ cmd dest <<<"${list[$(((i + r) % ${#list[@]}))]}"
      rm -f "$scratch"/*
      # shellcheck disable=SC2086
      t=$(cd "$scratch" && PATH="$bin:$PATH" "$bin/korvane_bench_cputime" "$dest" $cmd) ||
        { echo "bench: $name failed on $n" >&2; exit 1; }
      echo "$n $name $t" >>"$times"
    done
  done
done
rm -f "$scratch"/*

# Median of column 3 + 4 (CPU) for input $1 and tool $2.
cpu() {
  awk -v n="$1" -v t="$2" '$1 == n && $2 == t { v[++k] = $3 + $4 }
    END { for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { x = v[i]; v[i] = v[j]; v[j] = x }
          printf "%.4f", k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2 }' "$times"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
mbps() { awk -v s="$1" 'BEGIN { printf "%.1f", 67108864 / s / 1e6 }'; }

# --- checksums and memcpy (Google Benchmark, repetitions interleaved) ---
csv=$out/checksums.csv
"$bin/korvane_codec_bench" --benchmark_filter='^BM_(crc32|zlib_crc32|sum32|memcpy)/' \
  --benchmark_repetitions="$rounds" --benchmark_enable_random_interleaving=true \
  --benchmark_format=csv 2>/dev/null >"$csv"
gbps() {  # median over the repetitions of benchmark $1's bytes per second, in GB/s
  awk -F, -v b="\"$1/min_time:0.500\"" '$1 == b { v[++k] = $6 }
    END { for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++) if (v[j] < v[i]) { x = v[i]; v[i] = v[j]; v[j] = x }
          printf "%.2f", (k % 2 ? v[(k + 1) / 2] : (v[k / 2] + v[k / 2 + 1]) / 2) / 1e9 }' "$csv"
}

# --- NOR write calls on the simulated board (4 MiB block of cypher none,
# the whole of its NOR partition, as in the kernel tier's install) ---
head -c 4194304 "$data/fw.raw" >"$scratch/nor.bin"
"$bin/korvane-mkrom" create "$scratch/nor.rom" >/dev/null
"$bin/korvane-mkrom" add "$scratch/nor.rom" "$scratch/nor.bin" -t nor -p none --id 1 --name env >/dev/null
nor_writes() {  # korvane-sim of $1: write calls to the NOR partition
  rm -rf "$scratch/state"
  "$1/korvane-sim" --state "$scratch/state" -- -e "$scratch/nor.rom" >/dev/null
  grep -c '^write mtd1 ' "$scratch/state/events.log"
}
writes_now=$(nor_writes "$bin")
writes_before=
[ -n "$before" ] && writes_before=$(nor_writes "$before")
rm -rf "$scratch"

# --- the flash time model: a 64 MiB NAND install and a NOR update onto a
# half-used partition, modelled by korvane-sim (bench/flash-time.sh) ---
mkdir -p "$data/flash"
[ -s "$data/flash/nor-new.raw" ] || head -c 4194304 "$data/fw.raw" >"$data/flash/nor-new.raw"
[ -s "$data/flash/nor-old.raw" ] || tail -c +1048577 "$data/bin.raw" | head -c 2097152 >"$data/flash/nor-old.raw"
bench/flash-time.sh "$bin" "$data/flash" "$data/bin.raw" "$data/flash/nor-new.raw" \
  "$data/flash/nor-old.raw" "$rounds" >/dev/null

# --- NOR install in the kernel tier ---
if [ $kernel = 1 ]; then
  old=
  [ -n "$before" ] && [ -x "$before/korvane-static" ] && old=$before/korvane-static
  bench/kernel-nor.sh "$bin" "$out/kernel-nor" "$rounds" $old >/dev/null
fi
load_end=$(cut -d' ' -f1-3 /proc/loadavg)

# --- the plot ---
plot=$out/decode.dat
{
  echo "# tool binaries firmware (MB/s)"
  for t in korvane sink sdk-sink sdk 7zz 7zz-null xz lzma_alone; do
    echo "$t $(mbps "$(cpu bin $t)") $(mbps "$(cpu fw $t)")"
  done
} >"$plot"
gnuplot <<EOF
set terminal pngcairo size 900,480 font "sans,10" noenhanced
set output "$out/decode.png"
set title "cypher1 decode throughput by CPU time (64 MiB decoded; higher is faster)"
set ylabel "MB/s"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set boxwidth 0.9
set grid ytics
set yrange [0:*]
set key top right
set xtics rotate by -20
plot "$plot" using 2:xtic(1) title "binaries", "" using 3 title "half-erased firmware"
EOF

# --- the report ---
model=$(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -n1)
row() {  # label, korvane tool, peer tool
  local b f
  b=$(ratio "$(cpu bin "$2")" "$(cpu bin "$3")")
  f=$(ratio "$(cpu fw "$2")" "$(cpu fw "$3")")
  echo "| $1 | $b | $f |"
}
{
  echo "# korvane benchmark report"
  echo
  echo "Machine: ${model:-unknown CPU}, $(nproc) cores, $(awk '/MemTotal/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)," \
    "Linux $(uname -r), Debian $(cat /etc/debian_version), $(gcc --version | head -n1)." \
    "Load average $load_start at the start, $load_end at the end."
  echo "Peers: $(7zz | sed -n 's/^7-Zip (z) \([^ ]*\).*/7-Zip \1/p'), $(xz --version | head -n1)," \
    "lzma_alone $(lzma_alone 2>&1 | sed -n 's/^LZMA \([^ ]*\).*/\1/p'), zlib $(dpkg-query -W -f '${Version}' "zlib1g-dev:$(dpkg --print-architecture)" 2>/dev/null)."
  echo
  echo "Reproduce: \`scripts/bench.sh --rounds $rounds$([ $kernel = 1 ] && echo ' --kernel')$([ -n "$before" ] && echo " --before ${before#"$top"/}")\`" \
    "($rounds rounds; medians; CPU time = user + system of the whole process)."
  echo
  echo "## Ratios (korvane's CPU time / the peer's; below 1.00 korvane is faster)"
  echo
  echo "| korvane against | binaries | half-erased firmware |"
  echo "|---|---|---|"
  row "\`korvane -x\` / \`7zz e -so\` into a file" korvane 7zz
  row "install decode path / \`7zz e -so\` into /dev/null" sink 7zz-null
  row "\`korvane -x\` / bare LZMA SDK 9.22 loop" korvane sdk
  row "install decode path / the same loop on the SDK 9.22 decoder" sink sdk-sink
  row "\`korvane -x\` / \`xz --format=lzma -d\`" korvane xz
  row "\`korvane -x\` / \`lzma_alone d\`" korvane lzma_alone
  row "\`korvane -x\` / \`cat\` of the decoded bytes" korvane cat
  echo "| crc32 / zlib crc32 (64 MiB, in process) | $(ratio "$(gbps BM_zlib_crc32)" "$(gbps BM_crc32)") | |"
  echo
  echo "## Throughput"
  echo
  echo "| what | binaries | half-erased firmware |"
  echo "|---|---|---|"
  while IFS='|' read -r name what _; do
    echo "| $name: $what | $(mbps "$(cpu bin "$name")") MB/s | $(mbps "$(cpu fw "$name")") MB/s |"
  done < <(peers bin)
  echo
  echo "Checksums over 64 MiB in memory: crc32 $(gbps BM_crc32) GB/s, zlib crc32 $(gbps BM_zlib_crc32) GB/s," \
    "sum32 $(gbps BM_sum32) GB/s, memcpy $(gbps BM_memcpy) GB/s."
  echo
  echo "![decode throughput](decode.png)"
  echo
  echo "## NOR writes"
  echo
  echo "A 4 MiB block of cypher none installed on korvane-sim's default board (NOR mtd1, 4 MiB," \
    "64 KiB erase blocks, writesize 1): $writes_now write calls$([ -n "$writes_before" ] && echo ", $writes_before with the earlier build")."
  echo
  echo "## Flash time (korvane-sim's model, default timings)"
  echo
  cat "$data/flash/summary.txt"
  if [ $kernel = 1 ]; then
    echo
    echo "A 4 MiB NOR install on the kernel tier's mtdram (in the VM; seconds per install):"
    echo
    echo '```'
    cat "$out/kernel-nor/summary.txt"
    echo '```'
  fi
} >"$out/report.md"

# --- the plot of the README's performance section: the decode ratios ---
ratio_row() {  # label, korvane tool, peer tool
  echo "\"$1\" $(ratio "$(cpu bin "$2")" "$(cpu bin "$3")") $(ratio "$(cpu fw "$2")" "$(cpu fw "$3")")"
}
{
  echo "# korvane's CPU time over each peer's for decoding a 64 MiB cypher1 stream"
  echo "# (medians; below 1 korvane is faster). Written by scripts/bench.sh from its"
  echo "# report: $rounds rounds, $(date -u +%F)."
  echo "# peer binaries half-erased-firmware"
  ratio_row "7zz e -so, into a file" korvane 7zz
  ratio_row "7zz e -so, /dev/null (install path)" sink 7zz-null
  ratio_row "LZMA SDK 9.22 loop" korvane sdk
  ratio_row "SDK 9.22 decoder (install path)" sink sdk-sink
  ratio_row "xz --format=lzma -d" korvane xz
  ratio_row "lzma_alone d" korvane lzma_alone
} >"$top/docs/pictures/bench-ratios.dat"
scripts/pictures.sh >/dev/null
echo "bench: wrote $out/report.md and $out/decode.png, and docs/pictures/bench-ratios.dat" \
  "with its picture docs/pictures/bench-ratios.svg" >&2
cat "$out/report.md"
