# SPDX-License-Identifier: MIT
# korvane's A/B updates through the shipped U-Boot side, one boot at a time
# ($BOOT). Every boot that comes up leaves cmdline.txt, env.txt
# (fw_printenv), status.json (korvane --status --json) and env.md5.
#   1 A good: an unsigned image, one signed with a foreign key and one
#     built for another board are refused and change nothing; the good
#     image goes into B (pending, update.seconds: how long it took); reboot
#   2 B pending: korvane --confirm; reboot
#   3 B good, the environment as the confirmation left it: an update into
#     A whose init fails; reboot
#   4-6 A pending: its init fails, the VM resets (no results)
#   7 B, A failed after U-Boot's last attempt
cp /t/fw_env.config /etc/fw_env.config
config=/t/korvane-ab.ini
cat /proc/cmdline >cmdline.txt
fw_printenv >env.txt
cat /dev/mtd1 /dev/mtd2 | md5sum >env.md5
korvane --config $config --status --json >status.json || true  # the host reads it

# The environment and both slots: what a refused update must leave alone.
digest() { cat /dev/mtd1 /dev/mtd2 /dev/mtd3 /dev/mtd4 /dev/mtd5 /dev/mtd6 | md5sum; }
# Runs korvane with ARGS, its output in TAG.out, TAG.err, TAG.status.
run() {
  tag=$1
  shift
  set +e
  korvane --config $config "$@" >"$tag.out" 2>"$tag.err"
  echo $? >"$tag.status"
  set -e
}

case $BOOT in
  1)
    digest >before.md5
    run unsigned --update /t/images/unsigned.rom
    run foreign --update /t/images/foreign.rom
    run other-board --update /t/images/other-board.rom
    digest >refused.md5
    # The good image holds this very VM's initramfs: the host put it, with
    # bad.rom, into the spare partition as a tar.
    mkdir -p /tmp/images
    tar -x -f /dev/mtd7 -C /tmp/images
    (cd /tmp/images && md5sum good.rom bad.rom) >images.md5
    start=$(cut -d' ' -f1 /proc/uptime)
    run update --update /tmp/images/good.rom
    end=$(cut -d' ' -f1 /proc/uptime)
    echo "$start $end" | awk '{ printf "%.2f\n", $2 - $1 }' >update.seconds
    fw_printenv >env-updated.txt
    korvane --config $config --status --json >status-updated.json || true
    touch reboot ;;
  2)
    run confirm --confirm
    cat /dev/mtd1 /dev/mtd2 | md5sum >confirmed.md5
    run confirm-again --confirm
    cat /dev/mtd1 /dev/mtd2 | md5sum >stored.md5
    touch reboot ;;
  3)
    mkdir -p /tmp/images
    tar -x -f /dev/mtd7 -C /tmp/images bad.rom
    run update --update /tmp/images/bad.rom
    touch reboot ;;
esac
