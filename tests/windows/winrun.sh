#!/usr/bin/env bash
# Runs a folder of Windows jobs (made with winjob.sh) under Wine: on this
# machine where its kernel runs 32-bit programs, otherwise in a small virtual
# machine under QEMU's software emulation (wine_vm.sh). VORN_WINE_VM=1 takes
# the virtual machine in any case, so that both ways can be tried anywhere.
# Either way the jobs are run by winjobs.sh and their results are laid out
# alike (see there).
#
# Usage: winrun.sh BUILD_WIN_DIR JOBS RESULTS [amd64]
#   BUILD_WIN_DIR holds the Wine prefixes of this machine (wine-prefix, and
#   wine-prefix64 for 64-bit programs) and the virtual machine's cache
#   (wine-vm: kernel, root file system, console logs).
#   amd64: the jobs' programs are 64-bit. Wine's 64-bit loader runs them on
#   every kernel, so they always run here, in a 64-bit prefix.
# Status 0 when every job ran to its end (whatever its own exit status), 1
# when they could not be run, with the reason.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build_win=$(cd "${1:?usage: winrun.sh BUILD_WIN_DIR JOBS RESULTS}" && pwd)
jobs_dir=$(cd "${2:?usage: winrun.sh BUILD_WIN_DIR JOBS RESULTS}" && pwd)
results=${3:?usage: winrun.sh BUILD_WIN_DIR JOBS RESULTS}
bits=${4:-i386}
wine=${WINE:-wine}
[[ $bits == i386 || $bits == amd64 ]] || { echo "winrun: the fourth argument is amd64 or nothing, not '$bits'"; exit 1; }
cc=${CC_I686:-i686-w64-mingw32-gcc}

say() { echo "winrun: $*"; }
fail() { echo "winrun: $*"; exit 1; }

count=$(find "$jobs_dir" -mindepth 2 -maxdepth 2 -name job | wc -l)
rm -rf "$results"

# Can Wine run a 32-bit program here? Sets `reason` when it cannot.
reason=""
native_wine_works() {
  local probe
  probe=$(mktemp -d)
  "$cc" -O1 -o "$probe/hello.exe" "$here/hello.c" || { reason="cannot build hello.exe"; rm -rf "$probe"; return 1; }
  if ! command -v "$wine" >/dev/null 2>&1; then
    reason="Wine is not installed"; rm -rf "$probe"; return 1
  fi
  # A new prefix is set up first, which takes a while; then a 32-bit program
  # has a short time to say hello.
  if [[ ! -d $WINEPREFIX/drive_c ]]; then
    timeout "${WINE_SETUP_TIMEOUT:-180}" "$wine" wineboot --init >/dev/null 2>&1  # whether it worked, the probe tells
  fi
  local hello rc
  hello=$(cd "$probe" && timeout "${WINE_PROBE_TIMEOUT:-20}" "$wine" "$probe/hello.exe" 2>"$probe/err" | tr -d '\r')
  rc=$?
  if [[ $hello != "hello from 32-bit Windows" ]]; then
    if grep -q 'Exec format error' "$probe/err"; then
      reason="the kernel does not execute 32-bit code: $(grep -m1 'Exec format error' "$probe/err")"
    elif [[ $rc -eq 124 ]]; then
      reason="hello.exe did not finish within ${WINE_PROBE_TIMEOUT:-20} s"
    else
      reason="hello.exe under Wine ended with status $rc: $(head -c 300 "$probe/err" | tr '\n' ' ')"
    fi
    rm -rf "$probe"
    return 1
  fi
  rm -rf "$probe"
}

export WINEDEBUG=-all
# No offer to install Mono or Gecko; no sound driver, whose probing of
# ALSA only prints errors where there is no sound card.
export WINEDLLOVERRIDES="mscoree,mshtml=;winealsa.drv="

started=$SECONDS
if [[ $bits == amd64 ]]; then
  export WINEPREFIX=${WINEPREFIX64:-$build_win/wine-prefix64}
  export WINEARCH=win64
  wine=${WINE64:-/usr/lib/wine/wine64}
  export WINELOADER=$wine
  [[ -x $wine ]] || fail "$wine is missing (wine64; scripts/install-deps.sh windows installs it)"
  if [[ ! -d $WINEPREFIX/drive_c ]]; then
    timeout "${WINE_SETUP_TIMEOUT:-180}" "$wine" wineboot --init >/dev/null 2>&1 ||
      fail "Wine could not set up the 64-bit prefix $WINEPREFIX"
  fi
  mode=native
  say "64-bit programs: running $count jobs with $wine, $(nproc) at a time"
else
  export WINEPREFIX=${WINEPREFIX:-$build_win/wine-prefix}
  [[ -d $WINEPREFIX ]] || export WINEARCH=win32
fi
if [[ $bits == amd64 ]]; then
  :
elif [[ ${VORN_WINE_VM:-0} == 1 ]]; then
  mode=vm
  say "VORN_WINE_VM=1: running $count jobs in the virtual machine"
elif native_wine_works; then
  mode=native
  say "Wine runs 32-bit programs here: running $count jobs with $wine, $(nproc) at a time"
else
  mode=vm
  say "Wine cannot run 32-bit programs on this machine ($reason): running $count jobs in the virtual machine"
fi

if [[ $mode == native ]]; then
  work=$(mktemp -d)
  bash "$here/winjobs.sh" "$jobs_dir" "$results" "$work" "$(nproc)" "$wine" >"$build_win/winjobs.log" 2>&1
  status=$?
  rm -rf "$work"
  [[ $status -eq 0 ]] || fail "winjobs.sh ended with status $status: $(tail -3 "$build_win/winjobs.log" | tr '\n' ' ')"
else
  cache=$build_win/wine-vm
  vm_started=$SECONDS
  bash "$here/wine_vm.sh" prepare "$cache" || fail "the virtual machine could not be built (see above)"
  [[ $((SECONDS - vm_started)) -lt 2 ]] || say "the virtual machine was built in $((SECONDS - vm_started)) s"
  share=$cache/run
  rm -rf "$share"
  mkdir -p "$share/results"
  cp -a "$jobs_dir" "$share/jobs"
  cp "$here/winjobs.sh" "$share/winjobs.sh"
  cp "$here/wine_guest.sh" "$share/guest.sh"
  console=$cache/console.log
  boot_started=$SECONDS
  bash "$here/wine_vm.sh" boot "$cache" "$share" "$console"
  booted=$?
  grep -a '^vm: ' "$console" | tr -d '\r' | sed 's/^/  /'
  mv "$share/results" "$results"
  rm -rf "$share"
  if [[ $booted -ne 0 || ! -f $results/done ]]; then
    echo "winrun: the virtual machine did not finish its jobs; the end of its console ($console):"
    tr -d '\r' <"$console" | tail -n 25 | sed 's/^/  | /'
    [[ $booted -eq 0 ]] && fail "the guest powered off before the jobs were done"
    fail "the virtual machine failed"
  fi
  rm -f "$results/done"
  say "the virtual machine ran for $((SECONDS - boot_started)) s"
fi

missing=()
for d in "$jobs_dir"/*/; do
  name=$(basename "$d")
  [[ -f $d/job && ! -f $results/$name/status ]] && missing+=("$name")
done
[[ ${#missing[@]} -eq 0 ]] || fail "${#missing[@]} of $count jobs did not finish: ${missing[*]}"
say "$count jobs run in $((SECONDS - started)) s ($mode)"
