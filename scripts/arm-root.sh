#!/usr/bin/env bash
# A Debian root for an ARM target, made by debootstrap: the sysroot of the
# cross builds (libsndfile, CLI11, m_pd.h) and the system that their
# programs run in under QEMU (pd, libfaketime).
#
# Usage: scripts/arm-root.sh ARCH ROOT PACKAGE...
#   ARCH is a Debian architecture (arm64, armhf). The root is kept while its
#   description (architecture, suite, mirror, packages) is the one asked for;
#   otherwise it is made afresh. VORN_DEBIAN_MIRROR and VORN_DEBIAN_SUITE pick
#   another mirror or suite (default: deb.debian.org, this system's suite).
set -euo pipefail

arch=${1:?usage: arm-root.sh ARCH ROOT PACKAGE...}
root=${2:?usage: arm-root.sh ARCH ROOT PACKAGE...}
shift 2
here=$(cd "$(dirname "$0")" && pwd)

suite=${VORN_DEBIAN_SUITE:-$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")}
[[ -n $suite ]] || suite=bookworm
mirror=${VORN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
packages=$(printf '%s\n' "$@" | sort -u | paste -sd, -)
want="arch=$arch suite=$suite mirror=$mirror packages=$packages"
stamp=$root.stamp

if [[ -f $stamp && -d $root && "$(cat "$stamp")" == "$want" ]]; then
  exit 0
fi
[[ $(id -u) -eq 0 ]] || { echo "arm-root: making $root needs root (debootstrap, chroot)" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "arm-root: debootstrap is missing (scripts/install-deps.sh arm)" >&2; exit 1; }
# The second stage runs the target's programs in the root.
"$here/binfmt-qemu.sh" "$arch"

mkdir -p "$(dirname "$root")"
df_avail=$(df -Pm "$(dirname "$root")" | awk 'NR == 2 { print $4 }')
if [[ $df_avail -lt 2048 ]]; then
  echo "arm-root: only $df_avail MB free beside $root; a root takes about 1 GB" >&2
  exit 1
fi

echo "arm-root: making the $arch root $root ($suite, with $packages)"
# A second stage that was interrupted may have left /proc and /sys mounted
# in the old root: unmount them before removing it, and never remove across
# a mount.
if [[ -d $root ]]; then
  root_abs=$(realpath "$root")
  findmnt -rn -o TARGET | grep -F "$root_abs/" | sort -r | while read -r m; do umount -l "$m" || true; done
fi
rm -rf --one-file-system "$root" "$stamp"
start=$(date +%s)
debootstrap --arch="$arch" --variant=minbase --foreign --include="$packages" "$suite" "$root" "$mirror" \
  >"$root.log" 2>&1 || { tail -n 30 "$root.log"; echo "arm-root: debootstrap's first stage failed (log: $root.log)" >&2; exit 1; }
chroot "$root" /debootstrap/debootstrap --second-stage >>"$root.log" 2>&1 ||
  { tail -n 30 "$root.log"; echo "arm-root: debootstrap's second stage failed (log: $root.log)" >&2; exit 1; }
rm -rf "$root"/var/cache/apt/archives/*.deb

# Links that point at absolute paths would leave the root when it is used
# as a sysroot from outside: make them relative.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  dir=$(dirname "${link#"$root"}")
  ln -sfn "$(realpath -m --relative-to="$dir" "$target")" "$link"
done < <(find "$root" -xdev -type l -lname '/*' -print0)

echo "$want" >"$stamp"
echo "arm-root: $root made in $(( $(date +%s) - start )) s, $(du -sm "$root" | cut -f1) MB"
