#!/usr/bin/env bash
# An ARM build of vorn against the x86-64 build: the same renders
# (tests/render_scenarios.sh), with the same arguments and --seed, by the ARM
# vorn (loading the ARM vorn~.mxe through the ARM stand-in host) in the
# build's Debian root, run by the kernel through QEMU's user-mode emulator
# (binfmt_misc), and by the x86-64 vorn. The sound files must agree byte for
# byte, the console lines line for line, the warnings too, and the exit
# statuses. Both read the same float WAV sources, made by the x86-64 vorn.
#
# Usage: tests/arm/renders.sh ARCH BUILD_DIR X86_64_VORN
#   ARCH: arm64 or armhf; BUILD_DIR: its build (make arm), with its root.
set -uo pipefail

arch=${1:?usage: renders.sh ARCH BUILD_DIR X86_64_VORN}
build=$(cd "${2:?usage: renders.sh ARCH BUILD_DIR X86_64_VORN}" && pwd)
x86_vorn=$(realpath "${3:?usage: renders.sh ARCH BUILD_DIR X86_64_VORN}")
here=$(cd "$(dirname "$0")" && pwd)
root=$build/root
say() { echo "test-arm: $arch renders: $*"; }
fail() { say "$*"; exit 1; }

[[ -x $x86_vorn ]] || fail "$x86_vorn is missing (make build)"
[[ -x $build/bin/vorn ]] || fail "$build/bin/vorn is missing (make arm)"
[[ -x $root/usr/bin/env ]] || fail "no root at $root (make arm)"
"$here/../../scripts/binfmt-qemu.sh" "$arch" || fail "cannot let the kernel run $arch programs"

# The ARM build installed into the root, as on a board.
prefix=/opt/vorn
rm -rf "${root:?}$prefix"
DESTDIR=$root cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cannot install the build into $root"
in_root() {  # in_root DIR PROGRAM ARG...: runs PROGRAM in the root, in DIR (a path inside the root)
  local dir=$1
  shift
  chroot "$root" /usr/bin/env -C "$dir" "$@"
}
banner=$(in_root / "$prefix/bin/vorn" --version 2>&1) || fail "the $arch vorn does not run in its root: $banner"

work_in_root=/tmp/vorn-renders
work=$root$work_in_root
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# shellcheck source=../render_compare.sh
source "$here/../render_compare.sh"

# The sources, made by the x86-64 vorn.
why=$(render_sources "$x86_vorn" "$work") || fail "$why"

failures=0
compared=0

scenario() {
  local name=$1
  shift
  local x=$work/$name/x86-64 a=$work/$name/$arch
  mkdir -p "$x" "$a"
  cp "$work/src.wav" "$work/src2.wav" "$work/nonfinite.wav" "$x/"
  cp "$work/src.wav" "$work/src2.wav" "$work/nonfinite.wav" "$a/"
  local start=$SECONDS
  (cd "$x" && "$x86_vorn" render "$@" >stdout 2>stderr; echo $? >status)
  (in_root "$work_in_root/$name/$arch" "$prefix/bin/vorn" render "$@" >"$a/stdout" 2>"$a/stderr"; echo $? >"$a/status")
  compared=$((compared + 1))
  render_check "$name" "$x" x86-64 "$a" "$arch" "$((SECONDS - start)) s" || failures=$((failures + 1))
}

say "comparing renders of the $arch vorn ($banner) in $root with $x86_vorn"
# shellcheck source=../render_scenarios.sh
source "$here/../render_scenarios.sh"
render_scenarios

if [[ $failures -ne 0 ]]; then
  fail "$failures of $compared renders differ from the x86-64 renders"
fi
say "all $compared renders equal the x86-64 renders, byte for byte$( ((render_nan_bits)) && echo " but for the bits of NaN samples in $render_nan_bits")"
