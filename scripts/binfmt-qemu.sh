#!/usr/bin/env bash
# Lets the kernel run ARM programs through QEMU's user-mode emulator
# (qemu-user-static), as a chroot into an ARM root needs: mounts binfmt_misc
# if it is not mounted and registers the emulator for each architecture
# named (arm64, armhf) that is not registered yet, from the registration
# that qemu-user-static ships. Needs root the first time.
#
# Usage: scripts/binfmt-qemu.sh ARCH...
set -euo pipefail

dir=/proc/sys/fs/binfmt_misc
if [[ ! -e $dir/register ]]; then
  # Another run may be mounting it at the same moment.
  mount -t binfmt_misc binfmt_misc "$dir" 2>/dev/null || [[ -e $dir/register ]] ||
    { echo "binfmt-qemu: cannot mount binfmt_misc on $dir (as root: mount -t binfmt_misc binfmt_misc $dir)" >&2; exit 1; }
fi
for arch in "$@"; do
  case $arch in
    arm64) name=qemu-aarch64 ;;
    armhf) name=qemu-arm ;;
    *) echo "binfmt-qemu: unknown architecture '$arch'" >&2; exit 2 ;;
  esac
  if [[ -e $dir/$name ]]; then
    grep -qx enabled "$dir/$name" || echo 1 >"$dir/$name"
    continue
  fi
  conf=/usr/lib/binfmt.d/$name.conf
  [[ -f $conf ]] || { echo "binfmt-qemu: $conf is missing (qemu-user-static)" >&2; exit 1; }
  # F: the kernel opens the emulator now, so that it runs inside a chroot too.
  line=$(grep -v '^#' "$conf" | head -n 1)
  flags=${line##*:}
  [[ $flags == *F* ]] || line="${line}F"
  printf '%s' "$line" >"$dir/register" 2>/dev/null || [[ -e $dir/$name ]] ||
    { echo "binfmt-qemu: cannot register $name with binfmt_misc" >&2; exit 1; }
done
