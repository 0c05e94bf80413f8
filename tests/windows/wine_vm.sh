#!/usr/bin/env bash
# Wine in a small virtual machine, for machines whose kernel does not execute
# 32-bit code: Debian's own amd64 kernel, whose IA32 emulation runs an i386
# user space, booted by QEMU under software emulation (TCG) with an i386
# Debian root file system holding Wine as its initramfs. A folder of the host
# is shared with the guest over virtio 9p: the guest runs the script that the
# host put there, writes its results beside it, and powers off.
#
# Usage:
#   wine_vm.sh prepare CACHE_DIR
#       builds the kernel and the root file system into CACHE_DIR, unless the
#       ones there were built by this same script (its hash is the key).
#   wine_vm.sh boot CACHE_DIR SHARE_DIR LOG
#       boots them; the guest runs SHARE_DIR/guest.sh with bash, its console
#       goes to LOG. Status 0 when the guest got as far as powering off.
#
# Building needs root (debootstrap), the Debian mirror that apt is configured
# with, qemu-system-x86, debootstrap and cpio (scripts/install-deps.sh
# windows). It takes a few minutes: about one for debootstrap, two for Wine to
# set up its prefix in the guest, which is then kept in the root file system.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
self=$here/$(basename "$0")

# What the guest holds: Wine for i386 and kmod, to load the 9p modules.
VM_PACKAGES="wine,wine32,libwine,fonts-wine,kmod"
# The kernel's modules for a 9p folder over virtio PCI, in load order.
VM_MODULES="drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_legacy_dev
  drivers/virtio/virtio_pci_modern_dev drivers/virtio/virtio_pci fs/netfs/netfs fs/fscache/fscache
  net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p"
# Memory and processors of the guest. TCG runs one host thread per processor.
VM_MEMORY=${VORN_VM_MEMORY:-6144}
VM_CPUS=${VORN_VM_CPUS:-2}

say() { echo "wine-vm: $*"; }
die() { echo "wine-vm: $*" >&2; exit 1; }

# The cache's key: this script (with its package list and the guest's /init)
# and the guest's part of the build.
cache_key() { cat "$self" "$here/wine_prefix_guest.sh" | sha256sum | cut -d' ' -f1; }

# The guest's /init, in the root file system: it mounts the shared folder and
# hands over to the script the host left there. A failure says so on the
# console and powers off, so that the host never waits for a timeout.
write_init() {
  cat >"$1" <<'EOF'
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
ln -s /proc/self/fd /dev/fd
off() { sync; echo o >/proc/sysrq-trigger; sleep 60; }
for m in $(cat /vm/modules/order); do
  insmod "/vm/modules/$m.ko" || { echo "vm-init: cannot load the module $m"; off; }
done
mkdir -p /share
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share /share ||
  { echo "vm-init: cannot mount the shared folder"; off; }
[ -f /share/guest.sh ] || { echo "vm-init: no guest.sh in the shared folder"; off; }
/bin/bash /share/guest.sh
echo "vm-init: guest.sh ended with status $?"
off
EOF
  chmod 755 "$1"
}

need() {
  local missing=()
  for tool in "$@"; do command -v "$tool" >/dev/null 2>&1 || missing+=("$tool"); done
  [[ ${#missing[@]} -eq 0 ]] ||
    die "cannot build or boot the VM: ${missing[*]} not found (scripts/install-deps.sh windows installs them)"
}

prepare() {
  local cache=$1
  if [[ -f $cache/key && $(cat "$cache/key") == "$(cache_key)" && -f $cache/vmlinuz && -f $cache/root.cpio ]]; then
    say "kernel and root file system cached in $cache"
    return 0
  fi
  need qemu-system-x86_64 debootstrap cpio dpkg-deb apt-get apt-cache
  [[ $(id -u) -eq 0 ]] || die "building the VM's root file system needs root (debootstrap); run make test-windows as root once"
  local started=$SECONDS
  local tmp=$cache/build
  rm -rf "$tmp" "$cache/key"
  mkdir -p "$tmp"
  local log=$cache/build.log
  : >"$log"
  say "building the VM into $cache (log: $log)"

  # The suite and the mirror that apt uses for it.
  local suite mirror
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [[ -n $suite ]] || die "no VERSION_CODENAME in /etc/os-release"
  mirror=$(apt-get indextargets --format '$(RELEASE) $(TARGET_OF) $(REPO_URI)' 2>/dev/null |
           awk -v s="$suite" '$1 == s && $2 == "deb" { print $3; exit }')
  if [[ -z $mirror ]]; then
    apt-get update -qq >>"$log" 2>&1 || true
    mirror=$(apt-get indextargets --format '$(RELEASE) $(TARGET_OF) $(REPO_URI)' 2>/dev/null |
             awk -v s="$suite" '$1 == s && $2 == "deb" { print $3; exit }')
  fi
  [[ -n $mirror ]] || die "apt has no source for $suite: no mirror to bootstrap from"

  # The kernel: the package that linux-image-amd64 depends on.
  local kpkg
  kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
  if [[ -z $kpkg ]]; then
    apt-get update -qq >>"$log" 2>&1 || true
    kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }')
  fi
  [[ -n $kpkg ]] || die "apt knows no linux-image-amd64"
  say "kernel: $kpkg"
  mkdir -p "$tmp/kernel"
  (cd "$tmp/kernel" && apt-get download -q "$kpkg" >>"$log" 2>&1) || die "cannot download $kpkg (see $log)"
  dpkg-deb -x "$tmp"/kernel/*.deb "$tmp/kernel/x"
  local vmlinuz moddir
  vmlinuz=$(ls "$tmp"/kernel/x/boot/vmlinuz-* | head -1)
  moddir=$(ls -d "$tmp"/kernel/x/lib/modules/* | head -1)/kernel

  # The root file system. debootstrap's first stage fetches every package
  # and unpacks the essential ones; its second stage would configure them in
  # the guest, which takes some ten minutes under emulation. Instead every
  # package is unpacked here, keeping the merged /usr links, and the two
  # things Wine needs from the maintainer scripts are done by hand below.
  local root=$tmp/root
  say "debootstrap $suite (i386, $VM_PACKAGES) from $mirror"
  debootstrap --foreign --arch=i386 --variant=minbase --include="$VM_PACKAGES" "$suite" "$root" "$mirror" >>"$log" 2>&1 ||
    die "debootstrap failed: $(tail -3 "$log" | tr '\n' ' ')"
  local deb
  for deb in "$root"/var/cache/apt/archives/*.deb; do
    dpkg-deb --fsys-tarfile "$deb" | tar -C "$root" --keep-directory-symlink -xf - ||
      die "cannot unpack $(basename "$deb")"
  done
  # base-passwd: the user and group databases.
  cp "$root/usr/share/base-passwd/passwd.master" "$root/etc/passwd"
  cp "$root/usr/share/base-passwd/group.master" "$root/etc/group"
  # libwine: zlib1.dll from libz-mingw-w64, marked as a Wine builtin DLL.
  local in out
  in=$root/usr/i686-w64-mingw32/lib/zlib1.dll
  out=$root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll
  [[ -f $in ]] || die "no $in in the root file system"
  { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } >"$out"
  # /proc is a link to the host's in the first stage.
  rm -f "$root/proc" && mkdir -p "$root/proc"
  rm -rf "$root"/var/cache/apt/archives/*.deb "$root/debootstrap" "$root"/usr/share/{doc,man,locale,info}
  mkdir -p "$root/vm/modules"
  local m
  for m in $VM_MODULES; do
    cp "$moddir/$m.ko" "$root/vm/modules/" || die "the kernel package has no $m.ko"
    basename "$m" >>"$root/vm/modules/order"
  done
  write_init "$root/init"
  pack "$root" "$tmp/root.cpio"
  cp "$vmlinuz" "$tmp/vmlinuz"

  # Wine's prefix, made once in the guest and kept in the root file system.
  local share=$tmp/share
  mkdir -p "$share"
  cp "$here/wine_prefix_guest.sh" "$share/guest.sh"
  say "making Wine's prefix in the guest"
  boot "$tmp" "$share" "$cache/prefix-console.log" || die "the VM did not finish making Wine's prefix (see $cache/prefix-console.log)"
  [[ -s $share/prefix.tar ]] || die "the VM made no Wine prefix: $(grep -a '^vm' "$cache/prefix-console.log" | tr '\n' ' ')"
  tar -C "$root/vm" -xf "$share/prefix.tar"
  local path name
  while IFS=$'\t' read -r path name; do
    ln "$root/usr/lib/i386-linux-gnu/wine/i386-windows/$name" "$root/vm/$path" || die "cannot link $path"
  done <"$share/prefix-links"
  pack "$root" "$tmp/root.cpio"

  mv "$tmp/root.cpio" "$cache/root.cpio"
  mv "$tmp/vmlinuz" "$cache/vmlinuz"
  echo "$kpkg" >"$cache/kernel-package"
  rm -rf "$tmp"
  cache_key >"$cache/key"
  say "built in $((SECONDS - started)) s: $(du -h "$cache/root.cpio" | cut -f1) root file system, kernel from $kpkg"
}

pack() {
  (cd "$1" && find . -print0 | LC_ALL=C sort -z | cpio --null -o -H newc --quiet) >"$2.tmp"
  mv "$2.tmp" "$2"
}

# Boots CACHE_DIR's kernel and root file system with SHARE_DIR shared. -cpu
# max lets the guest see what TCG emulates, AVX2 included, but not SMAP:
# QEMU 7.2 takes the stack reads of a 32-bit user-mode iret, which Wine
# executes when it switches contexts, for supervisor accesses, and the guest
# kernel then faults on them. KVM is not used: guests hang at start under it
# on these machines. Wall time is limited by VORN_VM_TIMEOUT (seconds).
boot() {
  local dir=$1 share=$2 log=$3
  need qemu-system-x86_64
  local status=0
  timeout "${VORN_VM_TIMEOUT:-3000}" qemu-system-x86_64 -accel tcg,thread=multi -cpu max,-smap \
    -smp "$VM_CPUS" -m "$VM_MEMORY" -no-reboot -nodefaults -display none -serial stdio \
    -kernel "$dir/vmlinuz" -initrd "$dir/root.cpio" \
    -append "console=ttyS0 rdinit=/init quiet panic=-1" \
    -virtfs "local,path=$share,mount_tag=share,security_model=none,id=share" \
    </dev/null >"$log" 2>&1 || status=$?
  if [[ $status -eq 124 ]]; then
    echo "wine-vm: the VM was stopped after ${VORN_VM_TIMEOUT:-3000} s" >>"$log"
    return 1
  fi
  [[ $status -eq 0 ]] || { echo "wine-vm: qemu-system-x86_64 ended with status $status" >>"$log"; return 1; }
  grep -aq 'sysrq: Power Off' "$log"
}

case ${1:-} in
  prepare) [[ $# -eq 2 ]] || die "usage: wine_vm.sh prepare CACHE_DIR"; mkdir -p "$2"; prepare "$(cd "$2" && pwd)" ;;
  boot) [[ $# -eq 4 ]] || die "usage: wine_vm.sh boot CACHE_DIR SHARE_DIR LOG"; boot "$2" "$3" "$4" ;;
  *) die "usage: wine_vm.sh prepare CACHE_DIR | boot CACHE_DIR SHARE_DIR LOG" ;;
esac
