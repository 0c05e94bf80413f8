#!/usr/bin/env bash
# make test-arm: the ARM builds (make arm) checked statically, their engine
# tests run under QEMU's user-mode emulator, and renders by each ARM build's
# vorn and Pd external compared with the x86-64 vorn's, byte for byte.
# The arm64 and the armhf parts run side by side, one after another within
# each architecture (each mostly keeps one processor busy); their reports
# are shown once both are done. Each part runs even when an earlier one
# failed; the summary names every part that failed, and then the exit
# status is 1. A part that cannot run (no emulator, no root, binfmt_misc
# refused) fails, saying why.
#
# Usage: tests/arm/run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN
set -uo pipefail

arm64=${1:?usage: run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN}
armhf=${2:?usage: run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN}
x86_vorn=${3:?usage: run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN}
here=$(cd "$(dirname "$0")" && pwd)

part() {  # part NAME COMMAND...: prints its report; "FAILED: NAME" to fd 3 if it fails
  local name=$1 start=$SECONDS
  shift
  echo
  echo "=== test-arm: $name"
  if "$@"; then
    echo "=== test-arm: $name: passed ($((SECONDS - start)) s)"
  else
    echo "=== test-arm: $name: FAILED ($((SECONDS - start)) s)"
    echo "$name" >&3
  fi
}

engine_tests() {  # engine_tests ARCH BUILD: the engine's suites, each run whole in the emulator
  local arch=$1 build=$2 emulator
  # The toolchain file puts the emulator before every test's command.
  emulator=$(grep -ho '[^ ]*qemu-[a-z0-9]*-static" "-L" "[^ ]*' "$build"/tests/CTestTestfile.cmake 2>/dev/null |
    tr -d '"' | head -1)
  if [[ -z $emulator ]]; then
    echo "test-arm: $build runs its tests without an emulator (is qemu-user-static installed? make arm configures again)"
    return 1
  fi
  echo "test-arm: $arch engine tests under $emulator"
  ctest --test-dir "$build" --output-on-failure -j 2 --no-tests=error || return 1
  # What each run passed, from GoogleTest's own summary.
  awk '/^[0-9]+\/[0-9]+ Testing: / { name = $3 }
       /^\[  PASSED  \] [0-9]+ tests?\./ { print "test-arm: " name ": " $4 " tests passed" }
       /^\[  SKIPPED \] [0-9]+ tests?,/ { print "test-arm: " name ": " $4 " tests skipped" }' \
    "$build/Testing/Temporary/LastTest.log"
}

lane() {  # lane ARCH BUILD: every part for one architecture
  local arch=$1 build=$2 what
  case $arch in
    arm64) what="neon and plain kernels" ;;
    *) what="plain kernel" ;;
  esac
  part "$arch build flags and machine code" "$here/check_build.sh" "$arch" "$build"
  part "$arch engine tests ($what)" engine_tests "$arch" "$build"
  part "$arch vorn renders against x86-64" "$here/renders.sh" "$arch" "$build" "$x86_vorn"
  part "$arch Pd external against x86-64 vorn" "$here/pd_compare.sh" "$arch" "$build" "$x86_vorn"
}

start=$SECONDS
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
lane arm64 "$arm64" >"$logs/arm64.log" 2>&1 3>"$logs/arm64.failed" &
lane armhf "$armhf" >"$logs/armhf.log" 2>&1 3>"$logs/armhf.failed"
wait
cat "$logs/arm64.log" "$logs/armhf.log"

echo
failed=$(cat "$logs/arm64.failed" "$logs/armhf.failed" | paste -sd ';' - | sed 's/;/; /g')
if [[ -n $failed ]]; then
  echo "test-arm: FAILED after $((SECONDS - start)) s: $failed"
  exit 1
fi
echo "test-arm: every part passed in $((SECONDS - start)) s"
