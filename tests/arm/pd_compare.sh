#!/usr/bin/env bash
# The ARM Pd external in Debian's Pd for the same architecture against the
# x86-64 vorn: Pd, headless, in the build's root (run by the kernel through
# QEMU's user-mode emulator), reads a source into an array, plays a moving
# position into vorn~ and sends it timed messages, records vorn~'s output and
# the position with tabwrite~ and writes both with soundfiler. Its clock is
# fixed by libfaketime, so vorn~'s random source starts from a known reading.
# The x86-64 vorn then renders the same source at the position Pd recorded,
# with the same messages, --vector 64 (Pd's block) and --seed at that
# reading: the samples must be the same, bit for bit.
#
# Usage: tests/arm/pd_compare.sh ARCH BUILD_DIR X86_64_VORN
set -uo pipefail

arch=${1:?usage: pd_compare.sh ARCH BUILD_DIR X86_64_VORN}
build=$(cd "${2:?usage: pd_compare.sh ARCH BUILD_DIR X86_64_VORN}" && pwd)
x86_vorn=$(realpath "${3:?usage: pd_compare.sh ARCH BUILD_DIR X86_64_VORN}")
here=$(cd "$(dirname "$0")" && pwd)
root=$build/root
say() { echo "test-arm: $arch Pd: $*"; }
fail() { say "$*"; exit 1; }

case $arch in
  arm64) triplet=aarch64-linux-gnu external=vorn~.l_arm64 ;;
  armhf) triplet=arm-linux-gnueabihf external=vorn~.l_arm ;;
  *) fail "unknown architecture" ;;
esac
[[ -x $x86_vorn ]] || fail "$x86_vorn is missing (make build)"
[[ -f $build/pd/vorn~/$external ]] || fail "$build/pd/vorn~/$external is missing (make arm)"
pd=$(cd "$root" && ls usr/bin/puredata usr/bin/pd 2>/dev/null | head -1)
[[ -n $pd ]] || fail "no pd in $root (puredata-core)"
faketime_lib=/usr/lib/$triplet/faketime/libfaketime.so.1
[[ -f $root$faketime_lib ]] || fail "no $faketime_lib in $root (faketime)"
"$here/../../scripts/binfmt-qemu.sh" "$arch" || fail "cannot let the kernel run $arch programs"

# The external as installed on a board, in Pd's search path.
extra=/opt/vorn-pd
rm -rf "${root:?}$extra"
mkdir -p "$root$extra"
cp -r "$build/pd/vorn~" "$root$extra/"

work_in_root=/tmp/vorn-pd
work=$root$work_in_root
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

# The source, made by the x86-64 vorn: 3 s of float WAV.
(cd "$work" && "$x86_vorn" render -o src.wav -p scan:1 -d 3s -a "4 src 0 0 0 60" --seed 11 -q >/dev/null 2>&1) ||
  fail "the x86-64 vorn cannot make the source sound"

# What is played: 2 s at 44100 Hz, blocks of 64. The clock reads SEED seconds.
frames=88200
seed=1000000000
args="5 src 20 0 15 90"
# Timed messages: milliseconds from the start, inlet, message. Pd delivers a
# message that falls inside a block before that block, as vorn does for the
# vector that holds sample round(t × 44.1); none of these times lies within
# half a sample of a block's end.
messages=("400 2 0 -1200 700 1200" "900 0 overlap 3" "1300 3 40" "1600 4 45" "1750 0 overlap 5")

# The patch. Objects are numbered from 0 in the order written.
patch=$work/play.pd
{
  echo "#N canvas 0 0 900 700 12;"
  echo "#X obj 10 10 table src;"                                        # 0
  echo "#X obj 10 40 table out $frames;"                                # 1
  echo "#X obj 10 70 table position $frames;"                           # 2
  echo "#X obj 10 100 loadbang;"                                        # 3
  echo "#X obj 10 130 t b b b b;"                                       # 4
  echo "#X msg 300 160 read -resize src.wav src;"                       # 5
  echo "#X obj 300 190 soundfiler;"                                     # 6
  echo "#X obj 10 220 phasor~ 0.4;"                                     # 7
  echo "#X obj 10 250 *~ 2600;"                                         # 8
  echo "#X obj 10 280 +~ 150;"                                          # 9
  echo "#X obj 10 400 vorn~ $args;"                                     # 10
  echo "#X obj 10 450 tabwrite~ out;"                                   # 11
  echo "#X obj 200 450 tabwrite~ position;"                             # 12
  echo "#X msg 200 160 \; pd dsp 1;"                                    # 13
  echo "#X obj 100 160 delay $(( frames * 1000 / 44100 + 100 ));"       # 14
  echo "#X obj 100 190 t b b;"                                          # 15
  echo "#X msg 300 250 write -wave -bytes 4 out.wav out \, write -wave -bytes 4 position.wav position;"  # 16
  echo "#X msg 100 250 \; pd quit;"                                     # 17
  n=18
  for m in "${messages[@]}"; do
    read -r t inlet words <<<"$m"
    echo "#X obj 500 $((160 + 30 * (n - 18))) delay $t;"
    echo "#X msg 600 $((160 + 30 * (n - 18))) $words;"
    n=$((n + 2))
  done
  echo "#X connect 3 0 4 0;"
  echo "#X connect 4 3 5 0;"
  echo "#X connect 5 0 6 0;"
  echo "#X connect 4 2 11 0;"
  echo "#X connect 4 2 12 0;"
  echo "#X connect 4 1 13 0;"
  echo "#X connect 4 0 14 0;"
  echo "#X connect 7 0 8 0;"
  echo "#X connect 8 0 9 0;"
  echo "#X connect 9 0 10 0;"
  echo "#X connect 9 0 12 0;"
  echo "#X connect 10 0 11 0;"
  echo "#X connect 14 0 15 0;"
  echo "#X connect 15 1 16 0;"
  echo "#X connect 16 0 6 0;"
  echo "#X connect 15 0 17 0;"
  n=18
  for m in "${messages[@]}"; do
    read -r t inlet words <<<"$m"
    echo "#X connect 4 0 $n 0;"
    echo "#X connect $n 0 $((n + 1)) 0;"
    echo "#X connect $((n + 1)) 0 10 $inlet;"
    n=$((n + 2))
  done
} >"$patch"

say "vorn~ $args in $pd -nogui -batch -noaudio, $frames samples, the clock at $seed s (libfaketime)"
start=$SECONDS
chroot "$root" /usr/bin/env -C "$work_in_root" TZ=UTC LD_PRELOAD="$faketime_lib" FAKETIME_FMT=%s FAKETIME="$seed" \
  FAKETIME_DONT_FAKE_MONOTONIC=1 /"$pd" -nogui -batch -noaudio -noprefs -nrt -r 44100 -path "$extra/vorn~" \
  -open play.pd >"$work/pd.log" 2>&1
status=$?
[[ $status -eq 0 ]] || fail "pd ended with status $status: $(head -c 600 "$work/pd.log")"
grep -q '^vorn~ 1.0.0: granular synthesis of a buffer~' "$work/pd.log" ||
  fail "vorn~ did not load in pd: $(head -c 600 "$work/pd.log")"
if grep -qiE 'error|couldn.t create|vorn~: ' "$work/pd.log"; then
  fail "pd reported problems: $(grep -iE 'error|couldn.t create|vorn~: ' "$work/pd.log" | head -5 | tr '\n' '|')"
fi
[[ -f $work/out.wav && -f $work/position.wav ]] || fail "pd wrote no out.wav or position.wav: $(head -c 600 "$work/pd.log")"
say "pd ran in $((SECONDS - start)) s"

# The x86-64 vorn, from the position that Pd played.
render_args=(src.wav -o vorn.wav -a "$args" -p file:position.wav --vector 64 --seed "$seed" -d "$frames" -q)
for m in "${messages[@]}"; do
  read -r t inlet words <<<"$m"
  render_args+=(-m "$t $inlet $words")
done
(cd "$work" && "$x86_vorn" render "${render_args[@]}" >vorn.stdout 2>vorn.stderr) ||
  fail "the x86-64 vorn failed: $(head -3 "$work/vorn.stderr")"

# The samples of a float WAV file: its data chunk, after checking that it
# holds one channel of 32-bit floats.
samples() {
  local f=$1 off=12 total id size fmt=
  total=$(stat -c %s "$f")
  while (( off + 8 <= total )); do
    id=$(dd if="$f" bs=1 skip="$off" count=4 2>/dev/null)
    size=$(od -An -tu4 -j $((off + 4)) -N4 "$f" | tr -d ' ')
    case $id in
      "fmt ") fmt=$(od -An -tu2 -j $((off + 8)) -N4 "$f" | tr -s ' ')
              fmt="$fmt $(od -An -tu2 -j $((off + 22)) -N2 "$f" | tr -d ' ')" ;;
      data) read -r tag channels bits <<<"$fmt"
            if [[ ! ($tag == 3 || $tag == 65534) || $channels != 1 || $bits != 32 ]]; then
              echo "$f: not one channel of 32-bit floats (format $tag, $channels channels, $bits bits)" >&2
              return 1
            fi
            tail -c +$((off + 9)) "$f" | head -c "$size"
            return 0 ;;
    esac
    off=$((off + 8 + size + (size & 1)))
  done
  echo "$f: no data chunk" >&2
  return 1
}
samples "$work/out.wav" >"$work/pd.f32" || fail "cannot read Pd's out.wav"
samples "$work/vorn.wav" >"$work/vorn.f32" || fail "cannot read vorn's output"
[[ $(stat -c %s "$work/pd.f32") -eq $((4 * frames)) ]] ||
  fail "Pd recorded $(( $(stat -c %s "$work/pd.f32") / 4 )) samples, not $frames"
[[ $(stat -c %s "$work/vorn.f32") -eq $((4 * frames)) ]] ||
  fail "vorn rendered $(( $(stat -c %s "$work/vorn.f32") / 4 )) samples, not $frames"
if ! cmp -s "$work/pd.f32" "$work/vorn.f32"; then
  first=$(cmp "$work/pd.f32" "$work/vorn.f32" | awk '{ print $5 }' | tr -d ,)
  fail "the samples differ, first at sample $(( (first - 1) / 4 )) of $frames"
fi
# Silence would prove little.
if [[ -z $(tr -d '\0' <"$work/pd.f32" | head -c 1) ]]; then
  fail "Pd's recording is silent"
fi
say "all $frames samples of vorn~ in $arch pd equal the x86-64 vorn's, bit for bit"
