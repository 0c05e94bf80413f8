#!/usr/bin/env bash
# One ARM build: the target's Debian root (scripts/arm-root.sh), then a CMake
# build with the target's toolchain file against it.
#
# Usage: scripts/build-arm.sh ARCH BUILD_DIR JOBS PACKAGE...
#   ARCH: arm64 or armhf. PACKAGEs go into the root.
set -euo pipefail

arch=${1:?usage: build-arm.sh ARCH BUILD_DIR JOBS PACKAGE...}
build=${2:?usage: build-arm.sh ARCH BUILD_DIR JOBS PACKAGE...}
jobs=${3:?usage: build-arm.sh ARCH BUILD_DIR JOBS PACKAGE...}
shift 3
src=$(cd "$(dirname "$0")/.." && pwd)
case $arch in
  arm64) toolchain=aarch64-linux-gnu ;;
  armhf) toolchain=arm-linux-gnueabihf ;;
  *) echo "build-arm: unknown architecture '$arch' (arm64, armhf)" >&2; exit 2 ;;
esac
mkdir -p "$build"
build=$(cd "$build" && pwd)

"$src/scripts/arm-root.sh" "$arch" "$build/root" "$@"

# A root made afresh may hold other libraries than the cache remembers.
if [[ -f $build/CMakeCache.txt && $build/root.stamp -nt $build/CMakeCache.txt ]]; then
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
cmake -S "$src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$src/cmake/$toolchain.toolchain.cmake" \
  -DVORN_ARM_ROOT="$build/root" -DCMAKE_BUILD_TYPE=Release -DVORN_BENCH=OFF -DVORN_ENGINE_TESTS_ONLY=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
cmake --build "$build" -j "$jobs"
