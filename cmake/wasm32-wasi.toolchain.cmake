# Cross-compiling for WebAssembly (wasm32) with Debian's clang-16 and
# lld-16, against Debian's wasi-libc (the C library) and libc++ for wasm32
# (libc++-16-dev-wasm32, libc++abi-16-dev-wasm32, libclang-rt-16-dev-wasm32):
#   cmake -S . -B build-wasm -DCMAKE_TOOLCHAIN_FILE=cmake/wasm32-wasi.toolchain.cmake
# `make wasm` does this, twice: with WebAssembly's 128-bit SIMD (the engine's
# simd128 kernel) and without (VORN_WASM_SIMD=OFF), for a browser that lacks
# it. The browser's module has no start function (a reactor); what runs it
# supplies the few WASI functions that the C library calls.
set(CMAKE_SYSTEM_NAME WASI)
set(CMAKE_SYSTEM_PROCESSOR wasm32)
set(CMAKE_CROSSCOMPILING ON)

set(VORN_WASM_LLVM /usr/lib/llvm-16/bin CACHE PATH "clang-16 and lld-16")
set(CMAKE_C_COMPILER ${VORN_WASM_LLVM}/clang)
set(CMAKE_CXX_COMPILER ${VORN_WASM_LLVM}/clang++)
set(CMAKE_AR ${VORN_WASM_LLVM}/llvm-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${VORN_WASM_LLVM}/llvm-ranlib CACHE FILEPATH "")
set(CMAKE_C_COMPILER_TARGET wasm32-wasi)
set(CMAKE_CXX_COMPILER_TARGET wasm32-wasi)
set(CMAKE_SYSROOT /usr)

option(VORN_WASM_SIMD "Build with WebAssembly's 128-bit SIMD" ON)
# libc++'s headers for wasm32 are where Debian puts them; no exceptions, no
# threads (wasi-libc has neither).
set(vorn_wasm_flags "-isystem /usr/include/wasm32-wasi/c++/v1 -fno-exceptions")
if(VORN_WASM_SIMD)
  string(APPEND vorn_wasm_flags " -msimd128")
endif()
set(CMAKE_C_FLAGS_INIT "${vorn_wasm_flags}")
set(CMAKE_CXX_FLAGS_INIT "${vorn_wasm_flags}")
# Test programs are WASI commands with a main, run by node (tests/wasm).
set(CMAKE_CROSSCOMPILING_EMULATOR node;${CMAKE_CURRENT_LIST_DIR}/../tests/wasm/run_wasi.mjs)

set(CMAKE_FIND_ROOT_PATH /usr/lib/wasm32-wasi /usr/include/wasm32-wasi)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
