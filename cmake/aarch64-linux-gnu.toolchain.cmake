# Cross-compiling for 64-bit ARM Linux (arm64: Raspberry Pi OS 64-bit,
# Debian on ARM boards) with Debian's g++-aarch64-linux-gnu:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.toolchain.cmake \
#     -DVORN_ARM_ROOT=$PWD/build-arm64/root
# `make arm` does this, with a root made by scripts/arm-root.sh. Tests run
# under qemu-aarch64-static.
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(VORN_CROSS_TRIPLET aarch64-linux-gnu)
set(VORN_QEMU qemu-aarch64-static)
# Armv8-A, which every 64-bit ARM processor runs; Advanced SIMD (NEON) with
# double lanes is part of it.
set(VORN_ARM_FLAGS "-march=armv8-a")
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
