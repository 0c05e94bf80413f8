// The synthesis kernel for WebAssembly with its 128-bit SIMD: two output
// samples at a time in f64x2 lanes, the SSE2 kernel's shape, each lane doing
// the plain loop's operations in the plain loop's order. WebAssembly's SIMD
// has no fused multiply-add (only the relaxed SIMD proposal has, which this
// build does not use), so the bits are the plain loop's.
#if defined(__wasm_simd128__)
#include <wasm_simd128.h>

#include "grain_run.h"

namespace vorn::detail {

namespace {

// What the two-sample body reads, in locals so that they stay in registers.
struct Pair {
    const float* samples;
    size_t stride;
    const float* window;
    float* out;
    v128_t gain;
    uint32_t incr;
};

// Two floats from p as doubles.
VORN_ALWAYS_INLINE v128_t two_at(const float* p) { return wasm_f64x2_promote_low_f32x4(wasm_v128_load64_zero(p)); }

// One sample's tap products, taps at -1, 0 times weights c0, c1 (lo) and
// taps at +1, +2 times c2, c3 (hi).
struct Products {
    v128_t lo, hi;
};

template <int S>
VORN_ALWAYS_INLINE Products products(const Pair& b, uint64_t pos) {
    const double* w = row_at(pos);
    const float* t = taps_at<S>(b.samples, b.stride, pos);
    const size_t s = stride_of<S>(b.stride);
    v128_t lo, hi;
    if constexpr (S == 1) {
        lo = two_at(t);
        hi = two_at(t + 2);
    } else {
        lo = wasm_f64x2_make(t[0], t[s]);
        hi = wasm_f64x2_make(t[2 * s], t[3 * s]);
    }
    return {wasm_f64x2_mul(lo, wasm_v128_load(w)), wasm_f64x2_mul(hi, wasm_v128_load(w + 2))};
}

// Two samples' window entries, grain phases q0 and q1.
VORN_ALWAYS_INLINE v128_t window_pair(const Pair& b, uint32_t q0, uint32_t q1) {
    // Both floats into one vector, then one promote: fewer instructions
    // than promoting each and pairing the doubles.
    const v128_t w = wasm_v128_load32_zero(&b.window[q0 >> kWindowShift]);
    return wasm_f64x2_promote_low_f32x4(wasm_v128_load32_lane(&b.window[q1 >> kWindowShift], w, 1));
}

// out[j], out[j + 1] + (v * window) * gain, rounded to float.
VORN_ALWAYS_INLINE void accumulate(const Pair& b, v128_t v, v128_t win, float* out) {
    v = wasm_f64x2_mul(v, win);
    v = wasm_f64x2_mul(v, b.gain);
    const v128_t o = wasm_f64x2_add(two_at(out), v);
    v128_t f = wasm_f32x4_demote_f64x2_zero(o);
    // Only the low two lanes are stored, and without this the compiler
    // demotes them one at a time (two extracts, two demotes, a splat and a
    // replace); the empty statement keeps the one vector demote.
    __asm__("" : "+r"(f));
    wasm_v128_store64_lane(out, f, 0);
}

// Two consecutive frames' values from p on, for the unit step.
template <int S>
VORN_ALWAYS_INLINE v128_t frames2(const float* p) {
    if constexpr (S == 1)
        return two_at(p);
    else
        return wasm_f64x2_make(p[0], p[S]);
}

// Adds `count` pairs of samples from j on, from position pos and grain
// phase q; every position lies in the valid range.
template <int S>
VORN_ALWAYS_INLINE void add_pairs(const Pair& pair, uint64_t pos, uint64_t step, uint32_t q, int32_t j,
                                  int32_t count) {
    const Pair b = pair;  // in registers
    const uint32_t incr = b.incr;
    float* out = b.out + j;
    float* const end = out + 2 * count;
    if (S != 0 && step == kUnitStep) {
        // Every sample has the same weight row, and tap k of two consecutive
        // samples is two consecutive frames: no transpose.
        const float* t = taps_at<S>(b.samples, b.stride, pos);
        const double* row = row_at(pos);
        const v128_t c0 = wasm_f64x2_splat(row[0]), c1 = wasm_f64x2_splat(row[1]);
        const v128_t c2 = wasm_f64x2_splat(row[2]), c3 = wasm_f64x2_splat(row[3]);
        for (; out != end; out += 2, t += 2 * S, q += 2 * incr) {
            const v128_t x0 = wasm_f64x2_mul(frames2<S>(t), c0), x1 = wasm_f64x2_mul(frames2<S>(t + S), c1);
            const v128_t x2 = wasm_f64x2_mul(frames2<S>(t + 2 * S), c2);
            const v128_t x3 = wasm_f64x2_mul(frames2<S>(t + 3 * S), c3);
            const v128_t v = wasm_f64x2_add(wasm_f64x2_add(wasm_f64x2_add(x3, x2), x0), x1);
            accumulate(b, v, window_pair(b, q, q + incr), out);
        }
        return;
    }
    for (; out != end; out += 2, pos += 2 * step, q += 2 * incr) {
        const Products a = products<S>(b, pos), c = products<S>(b, pos + step);
        // x_k holds product k of the two samples.
        const v128_t x0 = wasm_i64x2_shuffle(a.lo, c.lo, 0, 2), x1 = wasm_i64x2_shuffle(a.lo, c.lo, 1, 3);
        const v128_t x2 = wasm_i64x2_shuffle(a.hi, c.hi, 0, 2), x3 = wasm_i64x2_shuffle(a.hi, c.hi, 1, 3);
        const v128_t v = wasm_f64x2_add(wasm_f64x2_add(wasm_f64x2_add(x3, x2), x0), x1);
        accumulate(b, v, window_pair(b, q, q + incr), out);
    }
}

}  // namespace

uint32_t run_grains_simd128(Granulator& g, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Pair b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, wasm_f64x2_splat(c.gain), incr};
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return run_grains_by_blocks<2, S>(
            g, P, c,
            [&](uint64_t at, uint64_t step, uint32_t phase, int32_t k, int32_t count) {
                add_pairs<S>(b, at, step, phase, k, count);
            },
            [&](uint64_t at, uint64_t, uint32_t phase, int32_t k, int32_t) { add_sample<S>(c, at, phase, k); });
    });
}

}  // namespace vorn::detail
#endif
