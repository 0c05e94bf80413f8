// The synthesis kernel for 64-bit ARM (AArch64, whose Advanced SIMD has
// double lanes): two output samples at a time in float64x2_t lanes, each
// lane doing the plain loop's operations in the plain loop's order. Every
// multiply and add is its own instruction (no fused multiply-add: the build
// gives -ffp-contract=off), so the bits are the plain loop's.
#if defined(__aarch64__)
#include <arm_neon.h>

#include "grain_run.h"

namespace vorn::detail {

namespace {

// What the two-sample body reads, in locals so that they stay in registers.
struct Pair {
    const float* samples;
    size_t stride;
    const float* window;
    float* out;
    float64x2_t gain;
};

// The four taps around an in-range position, one frame apart: taps at -1,
// 0, +1, +2 in lanes 0..3.
template <int S>
inline float32x4_t load_taps(const Pair& b, uint64_t pos) {
    const float* t = taps_at<S>(b.samples, b.stride, pos);
    if constexpr (S == 1) {
        return vld1q_f32(t);
    } else if constexpr (S == 2) {
        // Eight floats from the first tap, split into even and odd ones: the
        // taps are the even ones. The last float read is the second of the
        // last tap's frame.
        return vld2q_f32(t).val[0];
    } else {
        const size_t s = b.stride;
        float32x4_t taps = vld1q_dup_f32(t);
        taps = vld1q_lane_f32(t + s, taps, 1);
        taps = vld1q_lane_f32(t + 2 * s, taps, 2);
        return vld1q_lane_f32(t + 3 * s, taps, 3);
    }
}

// One sample's tap products, taps at -1, 0 times weights c0, c1 (lo) and
// taps at +1, +2 times c2, c3 (hi).
struct Products {
    float64x2_t lo, hi;
};

template <int S>
inline Products products(const Pair& b, uint64_t pos) {
    const float32x4_t taps = load_taps<S>(b, pos);
    const double* w = row_at(pos);
    return {vmulq_f64(vcvt_f64_f32(vget_low_f32(taps)), vld1q_f64(w)),
            vmulq_f64(vcvt_high_f64_f32(taps), vld1q_f64(w + 2))};
}

// Adds samples j and j+1 at positions pos and pos + step; both lie in the
// valid range. q is the first sample's grain phase.
template <int S>
inline void add_two(const Pair& b, uint64_t pos, uint64_t step, uint32_t q, uint32_t incr, int32_t j) {
    const Products a = products<S>(b, pos), c = products<S>(b, pos + step);
    // x_k holds product k of the two samples.
    const float64x2_t x0 = vzip1q_f64(a.lo, c.lo), x1 = vzip2q_f64(a.lo, c.lo);
    const float64x2_t x2 = vzip1q_f64(a.hi, c.hi), x3 = vzip2q_f64(a.hi, c.hi);
    float32x2_t win = vld1_dup_f32(b.window + (q >> kWindowShift));
    win = vld1_lane_f32(b.window + ((q + incr) >> kWindowShift), win, 1);

    float64x2_t v = vaddq_f64(vaddq_f64(vaddq_f64(x3, x2), x0), x1);
    v = vmulq_f64(v, vcvt_f64_f32(win));
    v = vmulq_f64(v, b.gain);
    float* out = b.out + j;
    const float64x2_t o = vaddq_f64(vcvt_f64_f32(vld1_f32(out)), v);
    vst1_f32(out, vcvt_f32_f64(o));
}

}  // namespace

uint32_t run_grains_neon(Granulator& g, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Pair b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, vdupq_n_f64(c.gain)};
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return run_grains_by_blocks<2, S>(
            g, P, c,
            [&](uint64_t at, uint64_t step, uint32_t phase, int32_t k, int32_t count) {
                for (const int32_t end = k + 2 * count; k != end; k += 2, at += 2 * step, phase += 2 * incr)
                    add_two<S>(b, at, step, phase, incr, k);
            },
            [&](uint64_t at, uint64_t, uint32_t phase, int32_t k, int32_t) { add_sample<S>(c, at, phase, k); });
    });
}

}  // namespace vorn::detail
#endif
