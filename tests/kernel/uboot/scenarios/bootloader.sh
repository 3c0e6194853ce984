# SPDX-License-Identifier: MIT
# The boot loader's side of the A/B scheme alone, driven from Linux with
# flashcp and fw_setenv as korvane would drive it, one boot at a time
# ($BOOT). Every boot leaves what the host checks: cmdline.txt, env.txt
# (fw_printenv at the start), env.md5 (both copies' raw bytes at the start).
#   1 A good: copy slot A into B, make B pending (one store), reboot
#   2 B pending, counted once: confirm B (one store), reboot
#   3 B good, the environment as the confirmation left it: make A pending, reboot
#   4-6 A pending, counted 1, 2, 3: never confirmed, reboot
#   7 B, after U-Boot's altbootcmd marked A failed: erase A's kernel, make
#     A pending again, reboot
#   8 B again: A did not boot, U-Boot fell back to the good slot at once
cp /t/fw_env.config /etc/fw_env.config
cat /proc/cmdline >cmdline.txt
fw_printenv >env.txt
cat /dev/mtd1 /dev/mtd2 | md5sum >env.md5

# One store of NAME=VALUE lines.
store() {
  printf '%s\n' "$@" >/tmp/store.txt
  fw_setenv -s /tmp/store.txt
  cat /dev/mtd1 /dev/mtd2 | md5sum >stored.md5
}

case $BOOT in
  1)
    dd if=/dev/mtd3 of=/tmp/kernel bs=65536 2>/dev/null
    dd if=/dev/mtd4 of=/tmp/root bs=65536 2>/dev/null
    flashcp /tmp/kernel /dev/mtd5
    flashcp /tmp/root /dev/mtd6
    rm /tmp/kernel /tmp/root
    store "korvane_B=pending" "korvane_B_rec=version=test key=none" "korvane_next=B" \
      "upgrade_available=1" "bootcount=0" "bootlimit=3"
    touch reboot ;;
  2)
    store "korvane_B=good" "korvane_good=B" "korvane_next=B" "upgrade_available=0" "bootcount=0"
    touch reboot ;;
  3)
    store "korvane_A=pending" "korvane_next=A" "upgrade_available=1" "bootcount=0"
    touch reboot ;;
  4 | 5 | 6) touch reboot ;;
  7)
    flash_erase -q /dev/mtd3 0 0
    store "korvane_A=pending" "korvane_next=A" "upgrade_available=1" "bootcount=0"
    touch reboot ;;
esac
