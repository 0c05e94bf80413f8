#!/usr/bin/env bash
# vorn~'s cost in Windows Pd (64-bit, under Wine) against Linux Pd, on the
# same patch, side by side: one vorn~ of 1024 grains of 100 ms reading a
# 10 s sound along a slow scan, 60 s of audio at 44.1 kHz, computed in batch
# mode as fast as the machine goes. Each Pd's start-up (the same patch with
# no audio computed) is measured too and taken off; the runs alternate, and
# the fastest of each is kept.
#
# Usage: bench/pd_speed.sh LINUX_BUILD WIN_BUILD WIN64_BUILD [RUNS]
#   (make bench-pd runs it with build, build-win and build-win64)
set -euo pipefail

usage="usage: pd_speed.sh LINUX_BUILD WIN_BUILD WIN64_BUILD [RUNS]"
linux_build=$(cd "${1:?$usage}" && pwd)
win_build=$(cd "${2:?$usage}" && pwd)
win64_build=$(cd "${3:?$usage}" && pwd)
runs=${4:-3}
say() { echo "bench-pd: $*"; }
die() { echo "bench-pd: $*" >&2; exit 1; }

pd_linux=$(command -v pd || true)
[[ -n $pd_linux ]] || die "pd is not on PATH (puredata-core)"
pd_win=$win_build/pd-windows/amd64/bin/pd.com
wine64=/usr/lib/wine/wine64
[[ -f $pd_win && -x $wine64 ]] || die "no Windows Pd amd64 or no wine64 (make windows)"
[[ -f $linux_build/pd/vorn~/vorn~.l_amd64 ]] || die "no vorn~.l_amd64 in $linux_build (make build)"
[[ -f $win64_build/pd/vorn~/vorn~.m_amd64 ]] || die "no vorn~.m_amd64 in $win64_build (make windows)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$linux_build/pd/vorn~/vorn~.l_amd64" "$win64_build/pd/vorn~/vorn~.m_amd64" "$work/"
export WINEPREFIX=$win_build/wine-prefix64 WINEARCH=win64 WINELOADER=$wine64 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv="
[[ -d $WINEPREFIX/drive_c ]] || "$wine64" wineboot --init >/dev/null 2>&1

# The sound: 10 s of partials, written by Pd itself into src.wav.
cat >"$work/make-src.pd" <<'EOF'
#N canvas 0 50 450 300 12;
#X obj 10 10 table src 441000;
#X obj 10 40 loadbang;
#X msg 10 70 \; src sinesum 441000 1 0.5 0.33 0.25 0.2 \; src normalize 0.8 \; writer write -wave -bytes 4 src.wav src \; pd quit;
#X obj 10 100 r writer;
#X obj 10 130 soundfiler;
#X connect 1 0 2 0;
#X connect 3 0 4 0;
EOF
(cd "$work" && "$pd_linux" -nogui -batch -noaudio -nomidi -noprefs -nostdpath make-src.pd >/dev/null 2>&1) ||
  die "Linux Pd could not write the sound"

# The patch: DSP on for MS of audio, then quit.
patch() {
  cat <<EOF
#N canvas 0 50 450 300 12;
#X obj 10 10 table src;
#X obj 10 40 loadbang;
#X obj 10 70 t b b b;
#X msg 10 100 read -resize src.wav src;
#X obj 10 130 soundfiler;
#X msg 10 160 \; pd dsp 1;
#X obj 10 190 delay $1;
#X msg 10 220 \; pd quit;
#X obj 10 250 phasor~ 0.01;
#X obj 10 280 *~ 8000;
#X obj 10 310 +~ 1000;
#X obj 10 340 vorn~ 10 src 20 0 0 100;
#X obj 10 370 env~ 8192;
#X connect 1 0 2 0;
#X connect 2 2 3 0;
#X connect 3 0 4 0;
#X connect 2 1 5 0;
#X connect 2 0 6 0;
#X connect 6 0 7 0;
#X connect 8 0 9 0;
#X connect 9 0 10 0;
#X connect 10 0 11 0;
#X connect 11 0 12 0;
EOF
}
patch 60000 >"$work/work.pd"
patch 0 >"$work/idle.pd"

# CPU seconds (user + system) of one run, with its children (Wine's
# server among them): Linux or Windows, work or idle.
cpu() {
  local which=$1 file=$2 t TIMEFORMAT='%U %S'
  local cmd=("$pd_linux")
  [[ $which == linux ]] || cmd=("$wine64" "$pd_win")
  t=$( { time (cd "$work" && "${cmd[@]}" -nogui -batch -noaudio -nomidi -noprefs -nostdpath -path . "$file" \
                 >/dev/null 2>&1); } 2>&1)
  awk '{ printf "%.3f\n", $1 + $2 }' <<<"$t"
}

best() { sort -n | head -n 1; }
declare -A times
for ((r = 0; r < runs; ++r)); do
  for which in linux windows; do
    for file in work idle; do
      times[$which.$file]+="$(cpu "$which" "$file.pd") "
    done
  done
done
# wineserver is shared by the Windows runs; it ends by itself after them.
"$wine64" wineserver -k >/dev/null 2>&1 || true

echo "bench-pd: one vorn~ of 1024 grains of 100 ms, 60 s of audio at 44.1 kHz, Pd in batch mode"
echo "bench-pd: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores; load $(cut -d' ' -f1-3 /proc/loadavg)"
for which in linux windows; do
  w=$(tr ' ' '\n' <<<"${times[$which.work]}" | grep . | best)
  i=$(tr ' ' '\n' <<<"${times[$which.idle]}" | grep . | best)
  net=$(awk -v w="$w" -v i="$i" 'BEGIN { printf "%.3f", w - i }')
  eval "net_$which=$net"
  printf 'bench-pd: %-22s %6.3f s of CPU, %6.3f s at start-up: %6.3f s for the audio (fastest of %d)\n' \
    "$([[ $which == linux ]] && echo "Linux Pd" || echo "Windows Pd amd64, Wine")" "$w" "$i" "$net" "$runs"
done
awk -v l="$net_linux" -v w="$net_windows" 'BEGIN { printf "bench-pd: Windows Pd over Linux Pd: %.2fx\n", w / l }'
