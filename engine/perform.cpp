// The synthesis loop: every active grain adds its windowed, interpolated
// reading of the source into the output vector.
#include <cstring>
#include <initializer_list>

#include "grain_run.h"

namespace vorn {

namespace detail {

namespace {

template <int S>
uint32_t plain_loop(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    uint64_t pos = fixed64(gr.index, gr.frac);
    uint64_t step = fixed64(gr.step, gr.step_frac);
    uint32_t p = P - gr.offset;
    for (int32_t j = 0; j < c.n; ++j) {
        p &= kPhaseMask;
        if (static_cast<int32_t>(p) < c.incr) {
            start_grain(g, static_cast<double>(c.in[j]) * g.ms_scale, gr);
            pos = fixed64(gr.index, gr.frac);
            step = fixed64(gr.step, gr.step_frac);
        }
        add_sample<S>(c, pos, p, j);
        pos += step;
        p += static_cast<uint32_t>(c.incr);
    }
    gr.index = whole_of(pos);
    gr.frac = static_cast<uint32_t>(pos);
    return p;
}

}  // namespace

uint32_t run_grain_plain(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    return by_stride(c, [&](auto form) { return plain_loop<decltype(form)::value>(g, gr, P, c); });
}

uint32_t run_grains_plain(Granulator& g, uint32_t P, const VectorContext& c) {
    return each_grain(g, P, [&](Grain& gr) { return run_grain_plain(g, gr, P, c); });
}

namespace {

GrainKernel function_of(Kernel k) {
    switch (k) {
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
        case Kernel::Plain: return run_grains_plain;
#else
        // No double lanes (32-bit ARM, say): the portable kernel is the plain
        // loop's arithmetic sample by sample, with the restart test taken out
        // of the per-sample path, the cheapest exact kernel there.
        case Kernel::Plain: return run_grains_portable;
#endif
#if defined(__x86_64__) || defined(__i386__)
        case Kernel::Avx2: return run_grains_avx2;
        case Kernel::Avx512: return run_grains_avx512;
#endif
#if defined(__aarch64__)
        case Kernel::Neon: return run_grains_neon;
#endif
        default: return run_grains_portable;
    }
}

// The kernels of this build, widest first, and VORN_KERNEL's answer to a
// name that is none of them.
#if defined(__x86_64__) || defined(__i386__)
constexpr Kernel kAll[] = {Kernel::Avx512, Kernel::Avx2, Kernel::Sse2, Kernel::Plain};
constexpr const char* kNotAKernel =
    "not a kernel (avx512, avx2, sse2 or plain); the widest this processor runs is used";
#elif defined(__aarch64__)
constexpr Kernel kAll[] = {Kernel::Neon, Kernel::Plain};
constexpr const char* kNotAKernel = "not a kernel (neon or plain); the widest this processor runs is used";
#else
constexpr Kernel kAll[] = {Kernel::Plain};
constexpr const char* kNotAKernel = "not a kernel (plain is the only one here); plain is used";
#endif

Kernel widest() {
    for (Kernel k : kAll)
        if (kernel_available(k)) return k;
    return Kernel::Plain;
}

// Set by select_kernel, or on first use.
bool chosen = false;
Kernel chosen_kernel = Kernel::Plain;

}  // namespace

GrainKernel fast_kernel() { return function_of(selected_kernel()); }

void perform_with(Granulator& g, const float* in, float* out, int32_t n, GrainKernel fast) {
    for (int32_t j = 0; j < n; ++j) out[j] = 0.0f;

    const SampleSource* src = g.source;
    if (!src || src->valid == 0 || !usable(g) || !window_table) return;

    // Everything but `overlap` is read once for the whole vector.
    const int64_t frames = src->frames;
    const int32_t stride = src->stride > 1 ? src->stride : 1;
    const VectorContext c{in, out, n, src->samples, stride, frames > 3 ? static_cast<uint32_t>(frames - 3) : 0u,
                          window_table, static_cast<double>(g.gain), g.phase_incr};
    // Without a positive step the phase may wrap without a restart: only
    // the plain loop follows that.
    const GrainKernel kernel = c.incr > 0 ? fast : run_grains_plain;
    g.phase = kernel(g, g.phase, c);
}

}  // namespace detail

void perform(Granulator& g, const float* in, float* out, int32_t n) {
    detail::perform_with(g, in, out, n, detail::fast_kernel());
}

bool kernel_available(Kernel k) {
    switch (k) {
        case Kernel::Plain: return true;
#if defined(__x86_64__) || defined(__i386__)
        case Kernel::Sse2: return __builtin_cpu_supports("sse2");
        // The wide kernels use BMI2's shifts and rotations too.
        case Kernel::Avx2: return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
        case Kernel::Avx512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("bmi2");
#endif
#if defined(__aarch64__)
        // Advanced SIMD, double lanes included, is part of every AArch64
        // processor that Linux, macOS and Windows run on.
        case Kernel::Neon: return true;
#endif
        default: return false;
    }
}

const char* kernel_name(Kernel k) {
    switch (k) {
        case Kernel::Plain: return "plain";
        case Kernel::Sse2: return "sse2";
        case Kernel::Avx2: return "avx2";
        case Kernel::Avx512: return "avx512";
        case Kernel::Neon: return "neon";
    }
    return "?";
}

Kernel selected_kernel() {
    if (!detail::chosen) {
        detail::chosen_kernel = detail::widest();
        detail::chosen = true;
    }
    return detail::chosen_kernel;
}

bool select_kernel(const char* name, const char** error) {
    detail::chosen = true;
    detail::chosen_kernel = detail::widest();
    if (!name || !*name) return true;
    for (Kernel k : detail::kAll) {
        if (std::strcmp(name, kernel_name(k)) != 0) continue;
        if (!kernel_available(k)) {
            if (error) *error = "this processor does not run that kernel; the widest it runs is used";
            return false;
        }
        detail::chosen_kernel = k;
        return true;
    }
    if (error) *error = detail::kNotAKernel;
    return false;
}

}  // namespace vorn
