#!/usr/bin/env bash
# make test-arm: the ARM builds (make arm) checked statically, their engine
# tests run under QEMU's user-mode emulator, and renders by each ARM build's
# vorn and Pd external compared with the x86-64 vorn's, byte for byte.
# Each part runs even when an earlier one failed; the summary names every
# part that failed, and then the exit status is 1. A part that cannot run
# (no emulator, no root, binfmt_misc refused) fails, saying why.
#
# Usage: tests/arm/run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN
set -uo pipefail

arm64=${1:?usage: run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN}
armhf=${2:?usage: run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN}
x86_vorn=${3:?usage: run.sh ARM64_BUILD ARMHF_BUILD X86_64_VORN}
here=$(cd "$(dirname "$0")" && pwd)
jobs=${JOBS:-2}

failed=()
part() {  # part NAME COMMAND...
  local name=$1 start=$SECONDS
  shift
  echo
  echo "=== test-arm: $name"
  if "$@"; then
    echo "=== test-arm: $name: passed ($((SECONDS - start)) s)"
  else
    echo "=== test-arm: $name: FAILED ($((SECONDS - start)) s)"
    failed+=("$name")
  fi
}

engine_tests() {  # engine_tests ARCH BUILD: the engine's suites, each test in the emulator
  local arch=$1 build=$2 emulator
  # The toolchain file puts the emulator before every test's command.
  emulator=$(grep -ho '[^ ]*qemu-[a-z0-9]*-static -L [^ ]*' "$build"/tests/engine_tests*_tests.cmake 2>/dev/null | head -1)
  if [[ -z $emulator ]]; then
    echo "test-arm: $build runs its tests without an emulator (is qemu-user-static installed? make arm configures again)"
    return 1
  fi
  echo "test-arm: $arch engine tests under $emulator"
  ctest --test-dir "$build" --output-on-failure -j "$jobs" --no-tests=error
}

start=$SECONDS
part "arm64 build flags and machine code" "$here/check_build.sh" arm64 "$arm64"
part "armhf build flags and machine code" "$here/check_build.sh" armhf "$armhf"
part "arm64 engine tests (neon and plain kernels)" engine_tests arm64 "$arm64"
part "armhf engine tests" engine_tests armhf "$armhf"
part "arm64 vorn renders against x86-64" "$here/renders.sh" arm64 "$arm64" "$x86_vorn"
part "arm64 Pd external against x86-64 vorn" "$here/pd_compare.sh" arm64 "$arm64" "$x86_vorn"
part "armhf vorn renders against x86-64" "$here/renders.sh" armhf "$armhf" "$x86_vorn"
part "armhf Pd external against x86-64 vorn" "$here/pd_compare.sh" armhf "$armhf" "$x86_vorn"

echo
if [[ ${#failed[@]} -ne 0 ]]; then
  echo "test-arm: FAILED after $((SECONDS - start)) s: $(printf '%s; ' "${failed[@]}")"
  exit 1
fi
echo "test-arm: every part passed in $((SECONDS - start)) s"
