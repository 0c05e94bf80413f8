// The kernel registry: the kernels of this build, widest first, and the
// choice among them (see kernels.h).
#include "kernels.h"

#include <cstring>
#include <iterator>

namespace vorn {

namespace {

struct Entry {
    Kernel kernel;
    detail::GrainKernel code;
};

#if defined(__x86_64__) || defined(__i386__)
constexpr Entry kBuilt[] = {
    {Kernel::Avx512, detail::run_grains_avx512},
    {Kernel::Avx2, detail::run_grains_avx2},
#if defined(__SSE2__)
    {Kernel::Sse2, detail::run_grains_sse2},
#endif
    {Kernel::Plain, detail::run_grains_plain},
};
constexpr const char* kNotAKernel =
    "not a kernel (avx512, avx2, sse2 or plain); the widest this processor runs is used";
#elif defined(__aarch64__)
constexpr Entry kBuilt[] = {
    {Kernel::Neon, detail::run_grains_neon},
    {Kernel::Plain, detail::run_grains_plain},
};
constexpr const char* kNotAKernel = "not a kernel (neon or plain); the widest this processor runs is used";
#elif defined(__wasm_simd128__)
// WebAssembly with its 128-bit SIMD: a module built with it runs only where
// the browser has it, so the kernel is always there to run.
constexpr Entry kBuilt[] = {
    {Kernel::Simd128, detail::run_grains_simd128},
    {Kernel::Plain, detail::run_grains_plain},
};
constexpr const char* kNotAKernel = "not a kernel (simd128 or plain); simd128 is used";
#elif defined(__wasm__)
constexpr Entry kBuilt[] = {
    {Kernel::Plain, detail::run_grains_plain},
};
constexpr const char* kNotAKernel = "not a kernel (plain is the only one here); plain is used";
#else
// No double lanes (32-bit ARM, say): "plain" is sample by sample with the
// restarts found once per run, which gives the per-sample loop's bits for
// less.
constexpr Entry kBuilt[] = {
    {Kernel::Plain, detail::run_grains_scalar},
};
constexpr const char* kNotAKernel = "not a kernel (plain is the only one here); plain is used";
#endif

static_assert(kBuilt[std::size(kBuilt) - 1].kernel == Kernel::Plain, "the plain kernel comes last: it runs anywhere");

const Entry* entry_of(Kernel k) {
    for (const Entry& e : kBuilt)
        if (e.kernel == k) return &e;
    return nullptr;
}

bool processor_runs(Kernel k) {
    switch (k) {
#if defined(__x86_64__) || defined(__i386__)
        case Kernel::Sse2: return __builtin_cpu_supports("sse2");
        // The wide kernels use BMI2's shifts and rotations too.
        case Kernel::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
        case Kernel::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
#endif
        // Advanced SIMD, double lanes included, is part of every AArch64
        // processor that Linux, macOS and Windows run on; the plain kernel
        // runs anywhere.
        default: return true;
    }
}

// The last entry, the plain kernel, runs anywhere.
const Entry* widest() {
    for (const Entry& e : kBuilt)
        if (processor_runs(e.kernel)) return &e;
    return &kBuilt[std::size(kBuilt) - 1];
}

// Set by select_kernel, or on first use.
const Entry* chosen = nullptr;

const Entry& chosen_entry() {
    if (!chosen) chosen = widest();
    return *chosen;
}

}  // namespace

bool kernel_available(Kernel k) { return entry_of(k) != nullptr && processor_runs(k); }

const char* kernel_name(Kernel k) {
    switch (k) {
        case Kernel::Plain: return "plain";
        case Kernel::Sse2: return "sse2";
        case Kernel::Avx2: return "avx2";
        case Kernel::Avx512: return "avx512";
        case Kernel::Neon: return "neon";
        case Kernel::Simd128: return "simd128";
    }
    return "?";
}

Kernel selected_kernel() { return chosen_entry().kernel; }

bool select_kernel(const char* name, const char** error) {
    chosen = widest();
    if (!name || !*name) return true;
    for (const Entry& e : kBuilt) {
        if (std::strcmp(name, kernel_name(e.kernel)) != 0) continue;
        if (!processor_runs(e.kernel)) {
            if (error) *error = "this processor does not run that kernel; the widest it runs is used";
            return false;
        }
        chosen = &e;
        return true;
    }
    if (error) *error = kNotAKernel;
    return false;
}

namespace detail {

GrainKernel kernel_function(Kernel k) {
    const Entry* e = entry_of(k);
    return e ? e->code : run_grains_plain;
}

GrainKernel fast_kernel() { return chosen_entry().code; }

}  // namespace detail

}  // namespace vorn
