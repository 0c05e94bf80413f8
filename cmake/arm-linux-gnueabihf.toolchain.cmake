# Cross-compiling for 32-bit ARM Linux with hardware floating point (armhf:
# Raspberry Pi OS 32-bit, Bela and BeagleBone) with Debian's
# g++-arm-linux-gnueabihf:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.toolchain.cmake \
#     -DVORN_ARM_ROOT=$PWD/build-armhf/root
# `make arm` does this. Tests run under qemu-arm-static.
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(VORN_CROSS_TRIPLET arm-linux-gnueabihf)
set(VORN_QEMU qemu-arm-static)
# Armv7-A with NEON, as Debian's armhf and these boards have. NEON has no
# double lanes, and its float lanes flush subnormals to zero: GCC uses it for
# no floating-point arithmetic without -ffast-math (never given here), so all
# of the engine's arithmetic stays in the VFP unit's IEEE doubles and floats.
# -Wno-psabi: GCC notes, for every function that takes a std::vector
# iterator by value, that GCC 7.1 changed how such arguments are passed on
# 32-bit ARM; it matters only when linking with code built by GCC 6 or
# older, which nothing here is.
set(VORN_ARM_FLAGS "-march=armv7-a -mfpu=neon -mfloat-abi=hard -Wno-psabi")
include(${CMAKE_CURRENT_LIST_DIR}/arm-linux.cmake)
