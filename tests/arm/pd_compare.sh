#!/usr/bin/env bash
# The ARM Pd external in Debian's Pd for the same architecture against the
# x86-64 vorn: Pd, headless, in the build's root (run by the kernel through
# QEMU's user-mode emulator), plays the patch of tests/pd_play.sh with its
# clock fixed by libfaketime, so that vorn~'s random source starts from a
# known reading; the x86-64 vorn then renders the same source at the
# position Pd recorded, with the same messages, --vector 64 (Pd's block) and
# --seed at that reading: the samples must be the same, bit for bit.
#
# Usage: tests/arm/pd_compare.sh ARCH BUILD_DIR X86_64_VORN [FOLDER]
#   FOLDER: a folder that holds vorn~/ (an unpacked package, say), put on
#   Pd's path instead of the build's own BUILD_DIR/pd/vorn~.
set -uo pipefail

usage="usage: pd_compare.sh ARCH BUILD_DIR X86_64_VORN [FOLDER]"
arch=${1:?$usage}
build=$(cd "${2:?$usage}" && pwd)
x86_vorn=$(realpath "${3:?$usage}")
folder=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
root=$build/root
say() { echo "test-arm: $arch Pd: $*"; }
fail() { say "$*"; exit 1; }

# shellcheck source=../pd_play.sh
source "$here/../pd_play.sh"

case $arch in
  arm64) triplet=aarch64-linux-gnu external=vorn~.l_arm64 ;;
  armhf) triplet=arm-linux-gnueabihf external=vorn~.l_arm ;;
  *) fail "unknown architecture" ;;
esac
[[ -x $x86_vorn ]] || fail "$x86_vorn is missing (make build)"
if [[ -n $folder ]]; then
  [[ -f $folder/vorn~/$external ]] || fail "$folder/vorn~/$external is missing"
else
  [[ -f $build/pd/vorn~/$external ]] || fail "$build/pd/vorn~/$external is missing (make arm)"
fi
pd=$(cd "$root" && ls usr/bin/puredata usr/bin/pd 2>/dev/null | head -1)
[[ -n $pd ]] || fail "no pd in $root (puredata-core)"
faketime_lib=/usr/lib/$triplet/faketime/libfaketime.so.1
[[ -f $root$faketime_lib ]] || fail "no $faketime_lib in $root (faketime)"
"$here/../../scripts/binfmt-qemu.sh" "$arch" || fail "cannot let the kernel run $arch programs"

# The external as installed on a board, in a folder on Pd's search path
# that holds the folder vorn~.
extra=/opt/vorn-pd
rm -rf "${root:?}$extra"
mkdir -p "$root$extra"
if [[ -n $folder ]]; then
  cp -r "$folder/vorn~" "$root$extra/"
else
  cp -r "$build/pd/vorn~" "$root$extra/"
fi

work_in_root=/tmp/vorn-pd
work=$root$work_in_root
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work" "${root:?}$extra"' EXIT

pd_play_prepare "$x86_vorn" "$work" || fail "the x86-64 vorn cannot make the source sound"

# The clock reads SEED seconds.
seed=1000000000
say "vorn~ $pd_play_args in $pd -nogui -batch -noaudio -nostdpath -path $extra, $pd_play_frames samples, the clock at $seed s (libfaketime)"
start=$SECONDS
chroot "$root" /usr/bin/env -C "$work_in_root" TZ=UTC LD_PRELOAD="$faketime_lib" FAKETIME_FMT=%s FAKETIME="$seed" \
  FAKETIME_DONT_FAKE_MONOTONIC=1 /"$pd" -nogui -batch -noaudio -noprefs -nrt -nostdpath -verbose -r 44100 \
  -path "$extra" -open play.pd >"$work/pd.log" 2>&1
status=$?
[[ $status -eq 0 ]] || fail "pd ended with status $status: $(head -c 600 "$work/pd.log")"
why=$(pd_play_console "$work/pd.log") || fail "$why"
from=$(pd_play_loaded "$work/pd.log")
[[ $from == "$extra/vorn~/$external" ]] || fail "pd loaded vorn~ from ${from:-nowhere it said}, not $extra/vorn~/$external"
say "pd ran in $((SECONDS - start)) s and loaded $from${folder:+ (from $folder)}"

why=$(pd_play_compare "$x86_vorn" "$work" "$seed") || fail "$why"
say "all $pd_play_frames samples of vorn~ in $arch pd equal the x86-64 vorn's, bit for bit"
