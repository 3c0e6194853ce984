# SPDX-License-Identifier: MIT
# Helpers for the scenario scripts run in the test VM (sourced; busybox sh;
# also by process 1 itself, so they leave its shell options as they were).
# Every helper works in the current folder, $OUT, whose files go back to the
# host. Expected bytes come from the host in /t/expect/SCENARIO/: for a file
# NAME there may be NAME.meaning (what the block means) and NAME.sim (what
# korvane-sim left on its simulated board); each is compared with NAME and
# the verdicts are written to NAME.cmp ("meaning same", "sim differ 123 ...").
# A file that matches everything is deleted; one that differs goes back
# gzipped as NAME.gz for the host to explain.

scenario=$(basename "$OUT")
expect=/t/expect/$scenario

# Erases partition N and writes FILE at its start: on NAND with nandwrite,
# which skips bad blocks and pads the last page, elsewhere with dd.
marker() {
  flash_erase -q "/dev/mtd$1" 0 0 2>/dev/null || true
  if [ "$(cat "/sys/class/mtd/mtd$1/type")" = nand ]; then
    nandwrite -q -p "/dev/mtd$1" "$2"
  else
    dd if="$2" of="/dev/mtd$1" bs=65536 2>/dev/null
  fi
}

# Runs korvane with ARGS: standard output in TAG.out, standard error in
# TAG.err, exit status in TAG.status.
run() {
  tag=$1
  shift
  case $- in *e*) errexit=1 ;; *) errexit=0 ;; esac
  set +e
  korvane "$@" >"$tag.out" 2>"$tag.err"
  echo $? >"$tag.status"
  [ $errexit = 0 ] || set -e
}

# Reads NAND partition N into NAME, skipping bad blocks; with --oob each
# page is followed by its OOB bytes. nanddump's summary (ECC failed, ECC
# corrected, bad blocks) goes to NAME.stats.
dump_nand() {
  n=$1 name=$2
  shift 2
  nanddump --bb=skipbad "$@" -f "$name" "/dev/mtd$n" 2>"$name.stats"
  check "$name"
}

# Reads the whole of a NOR or RAM partition N into NAME.
dump_mtd() {
  dd if="/dev/mtd$1" of="$2" bs=65536 2>/dev/null
  check "$2"
}

# Compares NAME with what the host expects of it.
check() {
  name=$1 differs=0
  : >"$name.cmp"
  for want in "$expect/$name".*; do
    [ -f "$want" ] || continue
    kind=${want##*.}
    if [ ! -f "$name" ]; then
      echo "$kind missing" >>"$name.cmp"
      differs=1
    elif cmp -s "$name" "$want"; then
      echo "$kind same" >>"$name.cmp"
    else
      echo "$kind differ $(stat -c %s "$name") $(cmp "$name" "$want" 2>&1 | head -n1)" >>"$name.cmp"
      differs=1
    fi
  done
  [ -s "$name.cmp" ] || { echo "nothing to compare with" >>"$name.cmp"; differs=1; }
  if [ -f "$name" ]; then
    if [ $differs = 1 ]; then gzip -1 "$name"; else rm -f "$name"; fi
  fi
}

# Starts a process that sleeps until killed, as a child of this shell, and
# remembers it as NAME.
sleeper() {
  sleep 100000 &
  eval "sleeper_$1=$!"
  sleepers="$sleepers $1"
}

# For each sleeper, "NAME STATUS" in FILE: the status it ended with (137:
# SIGKILL), or "alive" (it is then ended here).
sleepers_report() {
  : >"$1"
  for s in $sleepers; do
    eval "pid=\$sleeper_$s"
    state=$(sed 's/.*) \(.\).*/\1/' "/proc/$pid/stat" 2>/dev/null || echo gone)
    if [ "$state" = Z ] || [ "$state" = gone ]; then
      wait "$pid"
      echo "$s $?" >>"$1"
    else
      echo "$s alive" >>"$1"
      kill -9 "$pid"
      wait "$pid"
    fi
  done
  sleepers=
}

# Loads nandsim again with the VM's parameters and ARGS (bitflips=,
# weakpages=, ...): the flash starts erased, with only the VM's bad blocks.
# Waits for the partitions' device nodes.
nandsim_reload() {
  . /t/vm.conf
  rmmod nandsim
  # shellcheck disable=SC2086
  insmod /lib/modules/nandsim.ko $NANDSIM_ARGS "$@"
  n=0
  while [ ! -c /dev/mtd5 ] && [ $n -lt 100 ]; do
    sleep 0.1
    n=$((n + 1))
  done
  [ -c /dev/mtd5 ]
}

