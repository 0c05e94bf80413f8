# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-i686, binutils-mingw-w64-i686): the Max plug-in, the
# Windows stand-in host and renderer, the engine's tests, vorn~ for 32-bit Pd.
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.toolchain.cmake
set(CMAKE_SYSTEM_PROCESSOR x86)
set(VORN_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
