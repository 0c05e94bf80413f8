# Shared by the ARM Linux toolchain files (aarch64-linux-gnu.toolchain.cmake,
# arm-linux-gnueabihf.toolchain.cmake): Debian's cross compilers
# (g++-aarch64-linux-gnu, g++-arm-linux-gnueabihf), a Debian root of the
# target (scripts/arm-root.sh) as the sysroot for the libraries that the
# cross toolchain lacks (libsndfile, CLI11, m_pd.h), and QEMU's user-mode
# emulator to run what is built (tests, and GoogleTest's discovery of them).
#
# Before including this file: VORN_CROSS_TRIPLET, VORN_QEMU and
# CMAKE_SYSTEM_PROCESSOR. -DVORN_ARM_ROOT=DIR names the root; without it the
# cross toolchain's own folder (/usr/TRIPLET) is all there is, which is
# enough for the engine and its tests.
set(CMAKE_SYSTEM_NAME Linux)

find_program(CMAKE_C_COMPILER NAMES ${VORN_CROSS_TRIPLET}-gcc-12 ${VORN_CROSS_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VORN_CROSS_TRIPLET}-g++-12 ${VORN_CROSS_TRIPLET}-g++ REQUIRED)

# GCC contracts a*b + c into one fused multiply-add on ARM unless told not
# to, which changes results. CMakeLists.txt says so for the project's files;
# said here as well, it reaches every file compiled in the build, GoogleTest's
# and CMake's own checks included.
set(CMAKE_C_FLAGS_INIT "${VORN_ARM_FLAGS} -ffp-contract=off")
set(CMAKE_CXX_FLAGS_INIT "${VORN_ARM_FLAGS} -ffp-contract=off")

# The root reaches try_compile's projects too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VORN_ARM_ROOT)

set(CMAKE_FIND_ROOT_PATH /usr/${VORN_CROSS_TRIPLET})
set(vorn_run_root /usr/${VORN_CROSS_TRIPLET})
if(VORN_ARM_ROOT)
  if(NOT IS_DIRECTORY "${VORN_ARM_ROOT}/usr/lib/${VORN_CROSS_TRIPLET}")
    message(FATAL_ERROR "VORN_ARM_ROOT=${VORN_ARM_ROOT} is not a root for ${VORN_CROSS_TRIPLET} (scripts/arm-root.sh makes one)")
  endif()
  # The compiler keeps its own C library and libstdc++ headers first
  # (Debian's cross compilers look for them outside the sysroot); the root
  # adds what they lack.
  set(CMAKE_SYSROOT ${VORN_ARM_ROOT})
  list(PREPEND CMAKE_FIND_ROOT_PATH ${VORN_ARM_ROOT})
  set(vorn_run_root ${VORN_ARM_ROOT})
  # pkg-config of the build machine, reading the root's .pc files.
  set(ENV{PKG_CONFIG_SYSROOT_DIR} ${VORN_ARM_ROOT})
  set(ENV{PKG_CONFIG_LIBDIR}
      "${VORN_ARM_ROOT}/usr/lib/${VORN_CROSS_TRIPLET}/pkgconfig:${VORN_ARM_ROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_PATH} "")
endif()
# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests (ctest) and GoogleTest's listing of them run under the emulator,
# with the target's dynamic loader and libraries taken from the root.
find_program(VORN_QEMU_PROGRAM NAMES ${VORN_QEMU})
if(VORN_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VORN_QEMU_PROGRAM} -L ${vorn_run_root})
endif()
