# SPDX-License-Identifier: MIT
# korvane's A/B updates through the shipped U-Boot side, one boot at a time
# ($BOOT). Every boot that comes up leaves cmdline.txt, env.txt
# (fw_printenv), status.json (korvane --status --json) and env.md5.
#   1 A good: an unsigned and a foreign image are refused and change
#     nothing; the good image goes into B (pending); reboot
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
korvane --config $config --status --json >status.json

# What an update may change: the environment and slot B.
digest() { cat /dev/mtd1 /dev/mtd2 /dev/mtd5 /dev/mtd6 | md5sum; }
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
    digest >refused.md5
    # The good image holds this very VM's initramfs: the host put it into
    # the spare partition (a line "korvane-test-image SIZE", then the image
    # from byte 512).
    size=$(head -c 64 /dev/mtd7 | sed -n 's/^korvane-test-image \([0-9]*\)$/\1/p')
    dd if=/dev/mtd7 bs=512 skip=1 2>/dev/null | head -c "$size" >/tmp/good.rom
    run update --update /tmp/good.rom
    rm /tmp/good.rom
    fw_printenv >env-updated.txt
    korvane --config $config --status --json >status-updated.json
    touch reboot ;;
  2)
    run confirm --confirm
    cat /dev/mtd1 /dev/mtd2 | md5sum >confirmed.md5
    run confirm-again --confirm
    cat /dev/mtd1 /dev/mtd2 | md5sum >stored.md5
    touch reboot ;;
  3)
    run update --update /t/images/bad.rom
    touch reboot ;;
esac
