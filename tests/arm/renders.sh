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

# The sources, made by the x86-64 vorn.
(cd "$work" && "$x86_vorn" render -o src.wav -p scan:1 -d 3s -a "4 src 0 0 0 60" --seed 11 -q >/dev/null 2>&1 &&
  "$x86_vorn" render -o src2.wav -p line:0:1800 -d 2s -a "3 src 10 700 40 35" --seed 12 -q >/dev/null 2>&1) ||
  fail "the x86-64 vorn cannot make the source sounds"

# The byte offset of the samples of a WAV file (its data chunk).
data_offset() {
  local f=$1 off=12 total id size
  total=$(stat -c %s "$f")
  while (( off + 8 <= total )); do
    id=$(dd if="$f" bs=1 skip="$off" count=4 2>/dev/null)
    size=$(od -An -tu4 -j $((off + 4)) -N4 "$f" | tr -d ' ')
    [[ $id == data ]] && { echo $((off + 8)); return 0; }
    off=$((off + 8 + size + (size & 1)))
  done
  return 1
}
# nonfinite.wav: src.wav with +-infinity, quiet and signalling NaNs of both
# signs and several payloads over pairs of samples every quarter second.
cp "$work/src.wav" "$work/nonfinite.wav"
data=$(data_offset "$work/nonfinite.wav") || fail "src.wav has no data chunk"
specials=(0000807f 000080ff 3412c07f 4200c0ff 0100807f 452381ff)
for ((k = 1; k < 12; ++k)); do
  for d in 0 1; do
    hex=${specials[$(( (k + d) % ${#specials[@]} ))]}
    printf "\\x${hex:0:2}\\x${hex:2:2}\\x${hex:4:2}\\x${hex:6:2}" |
      dd of="$work/nonfinite.wav" bs=1 seek=$((data + 4 * (11025 * k + d))) conv=notrunc 2>/dev/null
  done
done

# Two float WAV files that are the same bytes but where both hold a NaN
# sample, whichever NaN: the header and every other chunk byte for byte, the
# samples word for word. A NaN that arithmetic makes is 0xFFC00000 on x86
# and 0x7FC00000 on ARM, and where two NaNs meet each processor keeps one by
# its own rule. Says where they first differ, and fails, otherwise.
same_but_nans() {
  local a=$1 b=$2 off size
  cmp -s "$a" "$b" && return 0
  [[ $(stat -c %s "$a") == "$(stat -c %s "$b")" ]] || { echo "their sizes differ"; return 1; }
  off=$(data_offset "$a") || { echo "no data chunk in $a"; return 1; }
  size=$(od -An -tu4 -j $((off - 4)) -N4 "$a" | tr -d ' ')
  cmp -s -n "$off" "$a" "$b" || { echo "the headers differ: $(cmp -n "$off" "$a" "$b")"; return 1; }
  cmp -s -i $((off + size)) "$a" "$b" || { echo "the chunks after the samples differ"; return 1; }
  # Words as 8 hex digits; a NaN is one whose magnitude, the sign bit
  # cleared, is above infinity's 7f800000 (fixed-width hex compares as text).
  paste -d ' ' <(od -An -v -tx4 -w4 -j "$off" -N "$size" "$a") <(od -An -v -tx4 -w4 -j "$off" -N "$size" "$b") |
    awk '
      function nan(w) { return sprintf("%x", (index("0123456789abcdef", substr(w, 1, 1)) - 1) % 8) substr(w, 2) > "7f800000" }
      $1 != $2 && !(nan($1) && nan($2)) { printf "sample %d: %s against %s\n", NR - 1, $1, $2; exit 1 }'
}

failures=0
compared=0
nan_bits=0
messages() { grep '^vorn: ' "$1" | grep -v '^vorn: wrote '; }

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
  local problems=()
  [[ $(cat "$x/status") == 0 ]] || problems+=("the x86-64 render failed ($(cat "$x/status")): $(messages "$x/stderr" | head -3)")
  [[ $(cat "$a/status") == "$(cat "$x/status")" ]] ||
    problems+=("exit status $(cat "$a/status") on $arch, $(cat "$x/status") on x86-64: $(head -3 "$a/stderr")")
  local out why note=
  out=$(cd "$x" && ls out.* 2>/dev/null | head -1)
  if [[ -n $out && -f $a/$out ]]; then
    if [[ ${nans:-} == any ]]; then
      why=$(same_but_nans "$x/$out" "$a/$out") || problems+=("the sound files differ: $why")
      cmp -s "$x/$out" "$a/$out" || { note="; the same but for the bits of NaN samples"; nan_bits=$((nan_bits + 1)); }
    else
      cmp -s "$x/$out" "$a/$out" || problems+=("the sound files differ: $(cmp "$x/$out" "$a/$out" | head -1)")
    fi
  else
    problems+=("no output file (x86-64: ${out:-none}, $arch: $(cd "$a" && ls out.* 2>/dev/null | head -1))")
  fi
  grep -qx 'vorn~ 1.0.0: granular synthesis of a buffer~' "$x/stdout" || problems+=("no banner on the x86-64 console")
  diff "$x/stdout" "$a/stdout" >"$work/$name.console.diff" ||
    problems+=("the console lines differ: $(head -6 "$work/$name.console.diff" | tr '\n' '|')")
  diff <(messages "$x/stderr") <(messages "$a/stderr") >"$work/$name.messages.diff" ||
    problems+=("the warnings differ: $(head -6 "$work/$name.messages.diff" | tr '\n' '|')")
  compared=$((compared + 1))
  if [[ ${#problems[@]} -eq 0 ]]; then
    echo "  ok: $name ($(wc -l <"$x/stdout") console lines, $(messages "$x/stderr" | wc -l) warnings," \
      "$(stat -c %s "$x/$out") bytes$note; $((SECONDS - start)) s)"
  else
    failures=$((failures + 1))
    echo "  FAILED: $name"
    printf '    %s\n' "${problems[@]}"
  fi
}

say "comparing renders of the $arch vorn ($banner) in $root with $x86_vorn"
# shellcheck source=../render_scenarios.sh
source "$here/../render_scenarios.sh"
render_scenarios

if [[ $failures -ne 0 ]]; then
  fail "$failures of $compared renders differ from the x86-64 renders"
fi
say "all $compared renders equal the x86-64 renders, byte for byte$( ((nan_bits)) && echo " but for the bits of NaN samples in $nan_bits")"
