// The synthesis kernel for x86 processors with SSE2 (every x86-64, and the
// 32-bit Windows build): two output samples at a time in double lanes, each
// lane doing the plain loop's operations in the plain loop's order.
#if defined(__SSE2__)
#include <emmintrin.h>

#include "grain_run.h"
#include "taps_x86.h"

namespace vorn::detail {

namespace {

// What the two-sample body reads, in locals so that they stay in registers.
struct Pair {
    const float* samples;
    size_t stride;
    const float* window;
    float* out;
    __m128d gain;
    uint32_t incr;
};

// Two floats from p as doubles. GCC does not fold the load into the
// conversion by itself; one instruction instead of two counts here.
VORN_ALWAYS_INLINE __m128d two_at(const float* p) {
#if defined(__GNUC__) && !defined(__clang__)
    __m128d r;
    asm("cvtps2pd %1, %0" : "=x"(r) : "m"(*reinterpret_cast<const float(*)[2]>(p)));
    return r;
#else
    return _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
#endif
}

// One sample's tap products, taps at -1, 0 times weights c0, c1 (lo) and
// taps at +1, +2 times c2, c3 (hi).
struct Products {
    __m128d lo, hi;
};

template <int S>
VORN_ALWAYS_INLINE Products products(const Pair& b, uint64_t pos) {
    const double* w = row_at(pos);
    const float* t = taps_at<S>(b.samples, b.stride, pos);
    if constexpr (S == 1) {
        return {_mm_mul_pd(two_at(t), _mm_load_pd(w)), _mm_mul_pd(two_at(t + 2), _mm_load_pd(w + 2))};
    } else {
        const __m128 taps = load_taps<S>(b.samples, b.stride, pos);
        return {_mm_mul_pd(_mm_cvtps_pd(taps), _mm_load_pd(w)),
                _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(taps, taps)), _mm_load_pd(w + 2))};
    }
}

// Two samples' window entries, grain phases q0 and q1.
VORN_ALWAYS_INLINE __m128d window_pair(const Pair& b, uint32_t q0, uint32_t q1) {
    return _mm_cvtps_pd(_mm_unpacklo_ps(_mm_load_ss(b.window + (q0 >> kWindowShift)), _mm_load_ss(b.window + (q1 >> kWindowShift))));
}

// out[j], out[j + 1] + (v * window) * gain, rounded to float.
VORN_ALWAYS_INLINE void accumulate(const Pair& b, __m128d v, __m128d win, float* out) {
    v = _mm_mul_pd(v, win);
    v = _mm_mul_pd(v, b.gain);
    const __m128d o = _mm_add_pd(two_at(out), v);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_castps_si128(_mm_cvtpd_ps(o)));
}

// Two consecutive frames' values from p on, for the unit step.
template <int S>
VORN_ALWAYS_INLINE __m128d frames2(const float* p) {
    if constexpr (S == 1)
        return two_at(p);
    else
        return _mm_cvtps_pd(_mm_shuffle_ps(_mm_loadu_ps(p), _mm_loadu_ps(p), _MM_SHUFFLE(2, 0, 2, 0)));
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
        const __m128d c0 = _mm_set1_pd(row[0]), c1 = _mm_set1_pd(row[1]);
        const __m128d c2 = _mm_set1_pd(row[2]), c3 = _mm_set1_pd(row[3]);
        for (; out != end; out += 2, t += 2 * S, q += 2 * incr) {
            const __m128d x0 = _mm_mul_pd(frames2<S>(t), c0), x1 = _mm_mul_pd(frames2<S>(t + S), c1);
            const __m128d x2 = _mm_mul_pd(frames2<S>(t + 2 * S), c2), x3 = _mm_mul_pd(frames2<S>(t + 3 * S), c3);
            const __m128d v = _mm_add_pd(_mm_add_pd(_mm_add_pd(x3, x2), x0), x1);
            accumulate(b, v, window_pair(b, q, q + incr), out);
        }
        return;
    }
    for (; out != end; out += 2, pos += 2 * step, q += 2 * incr) {
        const Products a = products<S>(b, pos), c = products<S>(b, pos + step);
        // x_k holds product k of the two samples.
        const __m128d x0 = _mm_unpacklo_pd(a.lo, c.lo), x1 = _mm_unpackhi_pd(a.lo, c.lo);
        const __m128d x2 = _mm_unpacklo_pd(a.hi, c.hi), x3 = _mm_unpackhi_pd(a.hi, c.hi);
        const __m128d v = _mm_add_pd(_mm_add_pd(_mm_add_pd(x3, x2), x0), x1);
        accumulate(b, v, window_pair(b, q, q + incr), out);
    }
}

}  // namespace

uint32_t run_grains_sse2(Granulator& g, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Pair b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, _mm_set1_pd(c.gain), incr};
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
