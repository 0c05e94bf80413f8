// The synthesis kernel for processors with AVX2: four output samples at a
// time in double lanes. Each lane does the plain loop's operations in the
// plain loop's order (no fused multiply-add), so the bits are the same.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "grain_run.h"
#include "taps_x86.h"

namespace vorn::detail {

namespace {

// What the four-sample body reads, in locals so that they stay in registers.
struct Block {
    const float* samples;
    size_t stride;
    const float* window;
    float* out;
    __m256d gain;
    __m128i phase_lanes;  // 0, incr, 2 incr, 3 incr
    bool slide;           // the four window entries lie within eight
};

// One sample's four tap products: taps at -1, 0, +1, +2 times weights c0..c3.
template <int S>
inline __m256d products(const Block& b, uint64_t pos) {
    __m128 four;
    if constexpr (S == 2) {
        // Eight floats from the first tap; the taps are the even ones.
        const __m256 eight = _mm256_loadu_ps(taps_at<2>(b.samples, 2, pos));
        four = _mm256_castps256_ps128(_mm256_permutevar8x32_ps(eight, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    } else {
        four = load_taps<S>(b.samples, b.stride, pos);
    }
    const __m256d taps = _mm256_cvtps_pd(four);
    return _mm256_mul_pd(taps, _mm256_load_pd(row_at(pos)));
}

// Adds samples j .. j+3 at positions pos, pos + step, ...; all lie in the
// valid range. q is the first sample's grain phase.
template <int S>
inline void add_four(const Block& b, uint64_t pos, uint64_t step, uint32_t q, uint32_t incr, int32_t j) {
    const uint64_t pos2 = pos + 2 * step;
    const __m256d p0 = products<S>(b, pos), p1 = products<S>(b, pos + step);
    const __m256d p2 = products<S>(b, pos2), p3 = products<S>(b, pos2 + step);
    // Transpose: x_k holds product k of the four samples.
    const __m256d u0 = _mm256_unpacklo_pd(p0, p1), u1 = _mm256_unpackhi_pd(p0, p1);
    const __m256d u2 = _mm256_unpacklo_pd(p2, p3), u3 = _mm256_unpackhi_pd(p2, p3);
    const __m256d x0 = _mm256_permute2f128_pd(u0, u2, 0x20), x2 = _mm256_permute2f128_pd(u0, u2, 0x31);
    const __m256d x1 = _mm256_permute2f128_pd(u1, u3, 0x20), x3 = _mm256_permute2f128_pd(u1, u3, 0x31);
    // Window: four entries close together (a small phase step) come from one
    // load of eight, others one by one.
    __m128 win;
    if (b.slide) {
        const __m128i phases = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes);
        const uint32_t first = q >> 19;
        const __m128i offsets = _mm_sub_epi32(_mm_srli_epi32(phases, 19), _mm_set1_epi32(static_cast<int32_t>(first)));
        win = _mm256_castps256_ps128(
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(b.window + first), _mm256_castsi128_si256(offsets)));
    } else {
        const float* w = b.window;
        win = _mm_setr_ps(w[q >> 19], w[(q + incr) >> 19], w[(q + 2 * incr) >> 19], w[(q + 3 * incr) >> 19]);
    }

    __m256d v = _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(x3, x2), x0), x1);
    v = _mm256_mul_pd(v, _mm256_cvtps_pd(win));
    v = _mm256_mul_pd(v, b.gain);
    const __m256d o = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(b.out + j)), v);
    _mm_storeu_ps(b.out + j, _mm256_cvtpd_ps(o));
}

}  // namespace

uint32_t run_grain_avx2(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Block b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, _mm256_set1_pd(c.gain),
                  _mm_mullo_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(static_cast<int32_t>(incr))),
                  3 * uint64_t{incr} < uint64_t{7} << 19};
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
            return run_blocks<4, S>(c, pos, step, q, j, len, [&](uint64_t at, uint32_t phase, int32_t k) {
                add_four<S>(b, at, step, phase, incr, k);
            });
        });
    });
}

}  // namespace vorn::detail
#endif
