# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64): vorn~ for 64-bit Pd.
#   cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.toolchain.cmake -DVORN_PD_ONLY=ON
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(VORN_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
