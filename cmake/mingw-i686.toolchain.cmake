# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 toolchain
# (g++-mingw-w64-i686, binutils-mingw-w64-i686):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.toolchain.cmake
# The compilers with the win32 thread model come first: their libstdc++
# needs no winpthread DLL, so everything links to the C runtime alone.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VORN_MINGW_TRIPLET i686-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${VORN_MINGW_TRIPLET}-gcc-win32 ${VORN_MINGW_TRIPLET}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VORN_MINGW_TRIPLET}-g++-win32 ${VORN_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VORN_MINGW_TRIPLET}-windres)
find_program(CMAKE_DLLTOOL NAMES ${VORN_MINGW_TRIPLET}-dlltool REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${VORN_MINGW_TRIPLET}-objdump)

# Headers and libraries of the target only; programs of the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VORN_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
