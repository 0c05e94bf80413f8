#!/usr/bin/env bash
# The Windows build against the Linux build: the same renders, with the same
# arguments and --seed, by vorn.exe under Wine (loading vorn~.mxe through
# MaxAPI.dll and MaxAudio.dll) and by the Linux vorn. The sound files must
# agree byte for byte, the console lines (banner, print, failed lookups) line
# for line, the warnings too, and the exit statuses.
#
# Where Wine cannot run a 32-bit program (no Wine, or a kernel that does not
# execute 32-bit code), it says so in one line and succeeds: the static
# checks (check_artefacts.sh) are then all that was tested.
#
# Usage: tests/windows/wine_renders.sh BUILD_WIN_DIR LINUX_VORN
#   WINE (default: wine) runs a Windows program; WINEPREFIX defaults to
#   BUILD_WIN_DIR/wine-prefix, a 32-bit prefix of its own.
set -uo pipefail

build_win=$(cd "${1:?usage: wine_renders.sh BUILD_WIN_DIR LINUX_VORN}" && pwd)
linux_vorn=$(realpath "${2:?usage: wine_renders.sh BUILD_WIN_DIR LINUX_VORN}")
here=$(cd "$(dirname "$0")" && pwd)
wine=${WINE:-wine}
cc=${CC_I686:-i686-w64-mingw32-gcc}
vorn_exe=$build_win/bin/vorn.exe

export WINEPREFIX=${WINEPREFIX:-$build_win/wine-prefix}
[[ -d $WINEPREFIX ]] || export WINEARCH=win32
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no offer to install Mono or Gecko

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

skip() {
  echo "test-windows: Wine cannot run 32-bit programs on this machine ($1); Wine renders not compared"
  exit 0
}

# --- Can Wine run a 32-bit program here? -------------------------------------
[[ -x $vorn_exe ]] || { echo "test-windows: $vorn_exe is missing (run make windows)"; exit 1; }
[[ -x $linux_vorn ]] || { echo "test-windows: $linux_vorn is missing (run make build)"; exit 1; }
"$cc" -O1 -o "$work/hello.exe" "$here/hello.c" || { echo "test-windows: cannot build hello.exe"; exit 1; }
command -v "$wine" >/dev/null 2>&1 || skip "Wine is not installed"
# A new prefix is set up first, which takes a while; then a 32-bit program
# has a short time to say hello.
if [[ ! -d $WINEPREFIX/drive_c ]]; then
  timeout "${WINE_SETUP_TIMEOUT:-180}" "$wine" wineboot --init >/dev/null 2>&1  # whether it worked, the probe tells
fi
hello=$(cd "$work" && timeout "${WINE_PROBE_TIMEOUT:-20}" "$wine" "$work/hello.exe" 2>"$work/hello.err" | tr -d '\r')
rc=$?  # the probe's status (pipefail)
if [[ $hello != "hello from 32-bit Windows" ]]; then
  if grep -q 'Exec format error' "$work/hello.err"; then
    skip "kernel without 32-bit support: $(grep -m1 'Exec format error' "$work/hello.err")"
  elif [[ $rc -eq 124 ]]; then
    skip "hello.exe did not finish within ${WINE_PROBE_TIMEOUT:-20} s"
  else
    skip "hello.exe under Wine ended with status $rc: $(head -c 300 "$work/hello.err" | tr '\n' ' ')"
  fi
fi
echo "test-windows: Wine runs 32-bit programs here; comparing renders of vorn.exe under Wine with $linux_vorn"

# --- The renders ---------------------------------------------------------------
# The source: a float WAV made by the Linux build, the same file for both
# sides (the built-in sound is computed with the platform's sin and exp,
# which are not the same functions on both).
(cd "$work" && "$linux_vorn" render -o src.wav -p scan:1 -d 3s -a "4 src 0 0 0 60" --seed 11 -q >/dev/null 2>&1) ||
  { echo "test-windows: the Linux vorn cannot make the source sound"; exit 1; }

failures=0
compared=0

# The lines of a console capture, without carriage returns.
lines() { tr -d '\r' <"$1"; }
# The renderer's own messages on standard error, without the summary (which
# holds the CPU time); Wine's own messages, if any, are left out.
messages() { tr -d '\r' <"$1" | grep '^vorn: ' | grep -v '^vorn: wrote '; }

scenario() {
  local name=$1
  shift
  local l=$work/$name/linux w=$work/$name/wine
  mkdir -p "$l" "$w"
  cp "$work/src.wav" "$l/"
  cp "$work/src.wav" "$w/"
  (cd "$l" && "$linux_vorn" render "$@" >stdout 2>stderr; echo $? >status)
  (cd "$w" && timeout 600 "$wine" "$vorn_exe" render "$@" >stdout 2>stderr; echo $? >status)
  local problems=()
  [[ $(cat "$l/status") == 0 ]] || problems+=("the Linux render failed ($(cat "$l/status")): $(messages "$l/stderr" | head -3)")
  [[ $(cat "$w/status") == "$(cat "$l/status")" ]] ||
    problems+=("exit status $(cat "$w/status") under Wine, $(cat "$l/status") on Linux: $(lines "$w/stderr" | head -3)")
  if [[ -f $l/out.wav && -f $w/out.wav ]]; then
    cmp -s "$l/out.wav" "$w/out.wav" || problems+=("the sound files differ: $(cmp "$l/out.wav" "$w/out.wav" | head -1)")
  else
    problems+=("out.wav missing (Linux: $([[ -f $l/out.wav ]] && echo yes || echo no), Wine: $([[ -f $w/out.wav ]] && echo yes || echo no))")
  fi
  grep -qx 'vorn~ 1.0.0: granular synthesis of a buffer~' <(lines "$l/stdout") ||
    problems+=("no banner on the Linux console")
  diff <(lines "$l/stdout") <(lines "$w/stdout") >"$work/$name.console.diff" ||
    problems+=("the console lines differ: $(head -6 "$work/$name.console.diff" | tr '\n' '|')")
  diff <(messages "$l/stderr") <(messages "$w/stderr") >"$work/$name.messages.diff" ||
    problems+=("the warnings differ: $(head -6 "$work/$name.messages.diff" | tr '\n' '|')")
  compared=$((compared + 1))
  if [[ ${#problems[@]} -eq 0 ]]; then
    echo "  ok: $name ($(lines "$l/stdout" | wc -l) console lines, $(stat -c %s "$l/out.wav") bytes)"
  else
    failures=$((failures + 1))
    echo "  FAILED: $name"
    printf '    %s\n' "${problems[@]}"
  fi
}

# Several boxes with creation arguments.
scenario boxes src.wav -o out.wav -a "3 src" -a "5 src 20 0 15 150" -a "2 src 0 -1200 0 40" \
  -p scan:0.5 -d 1.5s --seed 42 -q
# A transposition list, at another rate.
scenario transpositions src.wav -o out.wav -a "4 src 0 0 0 80" -m "init 2 0 700 1200 -1200 -500" \
  -p scan:0.25 -d 2s -r 48000 --seed 7 -q
# Position and transposition jitter, changed while it plays.
scenario jitters src.wav -o out.wav -a "5 src 30 0 25 100" -m "500 1 80" -m "900 3 200" -m "1200 2 300" \
  -p line:0:2500 -d 2s --seed 99 -q
# Timed messages: print, a failed buffer~ lookup, set, overlap, version, a
# period, loadbang, and a message vorn~ has no method for.
scenario messages src.wav -o out.wav -a "3 src 0 0 0 50" -a "2" -m "init 1:0 print" -m "init 2:0 print" \
  -m "200 1:0 set nosuch" -m "250 1:0 print" -m "300 2:0 set src 10 300" -m "400 2:0 print" \
  -m "500 1:0 overlap 5" -m "600 1:0 version" -m "700 1:4 30" -m "800 1:0 loadbang" -m "900 2:0 bogus" \
  -p 800 -d 1.2s --seed 3 -q
# Recompiling: the host's dsp and rate commands, with another vector size.
scenario recompile src.wav -o out.wav -a "4 src 10 0 10 60" -m "400 host dsp" -m "800 host rate 48000" \
  -m "1200 host rate 22050" -p scan:1 -d 2s --vector 32 --seed 5 -q
# Seeds: past 2^31 - 1 (a 32-bit clock reading wraps), and 0.
scenario seed-high src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s \
  --seed 4000000000 -q
scenario seed-zero src.wav -o out.wav -a "5 src 20 0 15 150" -m "init 2 0 -1200 700" -p scan:0.5 -d 1s --seed 0 -q

if [[ $failures -ne 0 ]]; then
  echo "test-windows: $failures of $compared Wine renders differ from the Linux renders"
  exit 1
fi
echo "test-windows: all $compared Wine renders equal the Linux renders"
