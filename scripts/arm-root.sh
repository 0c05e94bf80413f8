#!/usr/bin/env bash
# A Debian root for an ARM target: the sysroot of the cross builds (libsndfile,
# CLI11, MPFR, m_pd.h) and the system that their programs run in under QEMU
# (pd, libfaketime, coreutils' env).
#
# apt, with a configuration of its own beside the root, reads the target's
# package list from the Debian mirror, resolves the packages named and all
# they depend on for the target's architecture, and downloads them (about
# 12 MB); dpkg-deb unpacks each into the root. Nothing of the target's runs
# while the root is made, so it takes about as long as the download: no
# emulated second stage, as debootstrap has, and no maintainer scripts, which
# libraries do not need in order to be found and loaded. The root is no
# system to boot or to install packages into: it holds these packages' files,
# and /dev/null, /dev/zero, /dev/random, /dev/urandom and /tmp.
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
# apt reads relative paths in its configuration as relative to its own.
root=$(realpath -m "$root")

suite=${VORN_DEBIAN_SUITE:-$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")}
[[ -n $suite ]] || suite=bookworm
mirror=${VORN_DEBIAN_MIRROR:-http://deb.debian.org/debian}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
packages=$(printf '%s\n' "$@" | sort -u | paste -sd, -)
want="unpacked arch=$arch suite=$suite mirror=$mirror packages=$packages"
stamp=$root.stamp

if [[ -f $stamp && -d $root && "$(cat "$stamp")" == "$want" ]]; then
  exit 0
fi
[[ $(id -u) -eq 0 ]] || { echo "arm-root: making $root needs root (the root's files belong to root, /dev nodes)" >&2; exit 1; }
for tool in apt-get dpkg-deb; do
  command -v "$tool" >/dev/null || { echo "arm-root: $tool is missing (a Debian system has it)" >&2; exit 1; }
done
[[ -f $keyring ]] || { echo "arm-root: $keyring is missing (debian-archive-keyring)" >&2; exit 1; }

mkdir -p "$(dirname "$root")"
df_avail=$(df -Pm "$(dirname "$root")" | awk 'NR == 2 { print $4 }')
if [[ $df_avail -lt 512 ]]; then
  echo "arm-root: only $df_avail MB free beside $root; a root takes about 150 MB" >&2
  exit 1
fi

echo "arm-root: making the $arch root $root ($suite, with $packages)"
# A root made by debootstrap, as earlier versions did, may have /proc and
# /sys mounted if it was interrupted: unmount them before removing it, and
# never remove across a mount.
if [[ -d $root ]]; then
  findmnt -rn -o TARGET | grep -F "$root/" | sort -r | while read -r m; do umount -l "$m" || true; done
fi
apt_dir=$root.apt
rm -rf --one-file-system "$root" "$stamp" "$apt_dir"
start=$(date +%s)
log=$root.log
: >"$log"

# apt's own configuration: the target's architecture only, no state of this
# system's, nothing installed (so that every dependency is fetched).
mkdir -p "$apt_dir"/{etc/apt.conf.d,etc/preferences.d,etc/sources.list.d,lists/partial,archives/partial,state}
: >"$apt_dir/state/status"
echo "deb [arch=$arch signed-by=$keyring] $mirror $suite main" >"$apt_dir/etc/sources.list"
apt=(apt-get -q -o "Dir::Etc=$apt_dir/etc" -o "Dir::Etc::sourcelist=$apt_dir/etc/sources.list"
  -o "Dir::Etc::sourceparts=$apt_dir/etc/sources.list.d" -o "Dir::Etc::parts=$apt_dir/etc/apt.conf.d"
  -o "Dir::Etc::preferencesparts=$apt_dir/etc/preferences.d" -o "Dir::State=$apt_dir" -o "Dir::State::lists=$apt_dir/lists"
  -o "Dir::State::status=$apt_dir/state/status" -o "Dir::Cache=$apt_dir" -o "Dir::Cache::archives=$apt_dir/archives"
  -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch" -o APT::Install-Recommends=false
  -o Acquire::Languages=none -o Debug::NoLocking=true -o APT::Sandbox::User=root)
"${apt[@]}" update >>"$log" 2>&1 ||
  { tail -n 20 "$log"; echo "arm-root: cannot read the $arch package list of $mirror $suite (log: $log)" >&2; exit 1; }
"${apt[@]}" install --download-only -y "$@" >>"$log" 2>&1 ||
  { tail -n 20 "$log"; echo "arm-root: cannot download the $arch packages (log: $log)" >&2; exit 1; }

debs=("$apt_dir"/archives/*.deb)
[[ -f ${debs[0]} ]] || { echo "arm-root: apt downloaded no package (log: $log)" >&2; exit 1; }
mkdir -p "$root"
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root" || { echo "arm-root: cannot unpack $deb" >&2; exit 1; }
  basename "$deb" >>"$log"
done
mkdir -p "$root/dev" "$root/tmp"
chmod 1777 "$root/tmp"
for node in "null 1 3" "zero 1 5" "random 1 8" "urandom 1 9"; do
  read -r name major minor <<<"$node"
  mknod -m 666 "$root/dev/$name" c "$major" "$minor"
done

# Links that point at absolute paths would leave the root when it is used
# as a sysroot from outside: make them relative.
while IFS= read -r -d '' link; do
  target=$(readlink "$link")
  dir=$(dirname "${link#"$root"}")
  ln -sfn "$(realpath -m --relative-to="$dir" "$target")" "$link"
done < <(find "$root" -xdev -type l -lname '/*' -print0)

mb=$(du -sm "$apt_dir/archives" | cut -f1)
rm -rf "$apt_dir"
echo "$want" >"$stamp"
echo "arm-root: $root made in $(( $(date +%s) - start )) s from ${#debs[@]} packages ($mb MB), $(du -sm "$root" | cut -f1) MB"
