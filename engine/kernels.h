// The synthesis kernels: which code renders the grains on this machine.
//
// Every kernel gives the same bits: each does the plain loop's operations in
// the plain loop's order, for every sample; they differ in how many samples
// they take at a time. One is chosen once per load of the library
// (load_library in library.h: the widest this processor runs, or the one the
// VORN_KERNEL setting names) and renders every instance.
//
//   VORN_KERNEL  code                                  built for, runs where
//   avx512       kernel_avx512.cpp: 8 samples a block   x86; AVX-512 F, DQ, VL and BMI2
//   avx2         kernel_avx2.cpp: 4 samples a block     x86; AVX2 and BMI2
//   sse2         kernel_sse2.cpp: 2 samples a block     x86; SSE2 (every x86-64)
//   neon         kernel_neon.cpp: 2 samples a block     64-bit ARM (every one)
//   simd128      kernel_wasm.cpp: 2 samples a block     WebAssembly built with its
//                                                      128-bit SIMD (and a browser
//                                                      that runs it; the other build
//                                                      has the plain loop alone)
//   plain        x86 and 64-bit ARM: kernel_plain.cpp, the per-sample loop
//                with its restart test at every sample, the reading the
//                others are held to; 32-bit ARM, whose NEON has no double
//                lanes: kernel_scalar.cpp, sample by sample with the restarts
//                found once per run, the cheapest exact kernel there
//
// The table in kernels.cpp lists, per build, the kernels and their order.
#pragma once

#include <cstdint>

#include "granulator.h"

namespace vorn {

enum class Kernel { Plain, Sse2, Avx2, Avx512, Neon, Simd128 };

// Whether this build has `k` and this processor runs it.
bool kernel_available(Kernel k);
// "plain", "sse2", "avx2", "avx512", "neon", "simd128": the names
// VORN_KERNEL takes.
const char* kernel_name(Kernel k);
// The kernel that perform uses: the widest available until select_kernel.
Kernel selected_kernel();

// Chooses perform's kernel, once per library, before any instance renders:
// by name, or the widest available for null or an empty name. False, with
// a reason in *error naming the choices, when the name is not a kernel of
// this build or this processor does not run it; the widest available is
// used then.
inline constexpr const char* kKernelVariable = "VORN_KERNEL";
bool select_kernel(const char* name, const char** error);

namespace detail {

struct VectorContext;

// A kernel: every active grain of `g` through one vector from master phase
// P; returns the new master phase.
using GrainKernel = uint32_t (*)(Granulator& g, uint32_t P, const VectorContext& c);

uint32_t run_grains_plain(Granulator& g, uint32_t P, const VectorContext& c);
uint32_t run_grains_scalar(Granulator& g, uint32_t P, const VectorContext& c);
#if defined(__x86_64__) || defined(__i386__)
uint32_t run_grains_sse2(Granulator& g, uint32_t P, const VectorContext& c);
uint32_t run_grains_avx2(Granulator& g, uint32_t P, const VectorContext& c);
uint32_t run_grains_avx512(Granulator& g, uint32_t P, const VectorContext& c);
#endif
#if defined(__aarch64__)
uint32_t run_grains_neon(Granulator& g, uint32_t P, const VectorContext& c);
#endif
#if defined(__wasm_simd128__)
uint32_t run_grains_simd128(Granulator& g, uint32_t P, const VectorContext& c);
#endif

// The code of `k` in this build; the plain loop for a kernel it lacks.
GrainKernel kernel_function(Kernel k);
// The code of the selected kernel.
GrainKernel fast_kernel();

}  // namespace detail

}  // namespace vorn
