// The synthesis kernel for any processor. Where SSE2 is there (every x86-64,
// and the 32-bit Windows build), two output samples at a time in double lanes,
// each lane doing the plain loop's operations in the plain loop's order;
// elsewhere the plain loop's arithmetic, sample by sample, with the restart
// test taken out of the per-sample path.
#include "grain_run.h"

#if defined(__SSE2__)
#include <emmintrin.h>

#include "taps_x86.h"
#endif

namespace vorn::detail {

#if defined(__SSE2__)

namespace {

// What the two-sample body reads, in locals so that they stay in registers.
struct Pair {
    const float* samples;
    size_t stride;
    const float* window;
    float* out;
    __m128d gain;
};

// One sample's tap products, taps at -1, 0 times weights c0, c1 (lo) and
// taps at +1, +2 times c2, c3 (hi).
struct Products {
    __m128d lo, hi;
};

template <int S>
inline Products products(const Pair& b, uint64_t pos) {
    const __m128 taps = load_taps<S>(b.samples, b.stride, pos);
    const double* w = row_at(pos);
    return {_mm_mul_pd(_mm_cvtps_pd(taps), _mm_load_pd(w)),
            _mm_mul_pd(_mm_cvtps_pd(_mm_movehl_ps(taps, taps)), _mm_load_pd(w + 2))};
}

// Adds samples j and j+1 at positions pos and pos + step; both lie in the
// valid range. q is the first sample's grain phase.
template <int S>
inline void add_two(const Pair& b, uint64_t pos, uint64_t step, uint32_t q, uint32_t incr, int32_t j) {
    const Products a = products<S>(b, pos), c = products<S>(b, pos + step);
    // x_k holds product k of the two samples.
    const __m128d x0 = _mm_unpacklo_pd(a.lo, c.lo), x1 = _mm_unpackhi_pd(a.lo, c.lo);
    const __m128d x2 = _mm_unpacklo_pd(a.hi, c.hi), x3 = _mm_unpackhi_pd(a.hi, c.hi);
    const __m128 win = _mm_unpacklo_ps(_mm_load_ss(b.window + (q >> 19)), _mm_load_ss(b.window + ((q + incr) >> 19)));

    __m128d v = _mm_add_pd(_mm_add_pd(_mm_add_pd(x3, x2), x0), x1);
    v = _mm_mul_pd(v, _mm_cvtps_pd(win));
    v = _mm_mul_pd(v, b.gain);
    __m128i* out = reinterpret_cast<__m128i*>(b.out + j);
    const __m128d o = _mm_add_pd(_mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(out))), v);
    _mm_storel_epi64(out, _mm_castps_si128(_mm_cvtpd_ps(o)));
}

}  // namespace

uint32_t run_grain_portable(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Pair b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, _mm_set1_pd(c.gain)};
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
            return run_blocks<2, S>(c, pos, step, q, j, len, [&](uint64_t at, uint32_t phase, int32_t k) {
                add_two<S>(b, at, step, phase, incr, k);
            });
        });
    });
}

#else

uint32_t run_grain_portable(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
            for (const int32_t end = j + len; j < end; ++j, q += incr, pos += step) add_sample<S>(c, pos, q, j);
            return pos;
        });
    });
}

#endif

}  // namespace vorn::detail
