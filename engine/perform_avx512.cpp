// The synthesis kernel for processors with AVX-512 (F, DQ, VL): eight output
// samples at a time in double lanes. Each lane does the plain loop's
// operations in the plain loop's order (no fused multiply-add), so the bits
// are the same.
#if defined(__x86_64__) || defined(__i386__)
// GCC 12's AVX-512 header leaves the unused upper lanes of its casts
// undefined in a way that its own -Wmaybe-uninitialized mistakes for a read
// of an uninitialised value (fixed in GCC 13); the header alone is exempt.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif

#include "grain_run.h"
#include "taps_x86.h"

namespace vorn::detail {

namespace {

// What the eight-sample body reads, in locals so that they stay in registers.
struct Block {
    const float* samples;
    size_t stride;
    const float* window;
    float* out;
    __m512d gain;
    __m256i phase_lanes;  // 0, incr, 2 incr, ... 7 incr
    bool slide;           // the eight window entries lie within sixteen
};

// The tap products of two samples, a in the low half and b in the high
// half: taps at -1, 0, +1, +2 times weights c0..c3.
template <int S>
inline __m512d products(const Block& blk, uint64_t a, uint64_t b) {
    __m256 taps;
    if constexpr (S == 2) {
        // Eight floats from each sample's first tap; the taps are the even
        // ones: [a0 a1 b0 b1 | a2 a3 b2 b3] by 64-bit pairs, then reordered.
        const __m256 ta = _mm256_loadu_ps(taps_at<2>(blk.samples, 2, a));
        const __m256 tb = _mm256_loadu_ps(taps_at<2>(blk.samples, 2, b));
        const __m256 even = _mm256_shuffle_ps(ta, tb, _MM_SHUFFLE(2, 0, 2, 0));
        taps = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(even), _MM_SHUFFLE(3, 1, 2, 0)));
    } else {
        taps = _mm256_insertf128_ps(_mm256_castps128_ps256(load_taps<S>(blk.samples, blk.stride, a)),
                                    load_taps<S>(blk.samples, blk.stride, b), 1);
    }
    const __m512d weights =
        _mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_load_pd(row_at(a))),
                           _mm256_load_pd(row_at(b)), 1);
    return _mm512_mul_pd(_mm512_cvtps_pd(taps), weights);
}

// Adds samples j .. j+7 at positions pos, pos + step, ...; all lie in the
// valid range. q is the first sample's grain phase.
template <int S>
inline void add_eight(const Block& b, uint64_t pos, uint64_t step, uint32_t q, int32_t j) {
    const uint64_t pos2 = pos + 2 * step, pos4 = pos + 4 * step, pos6 = pos2 + 4 * step;
    // Pairs (0, 2), (1, 3), (4, 6), (5, 7), so that the transpose below
    // leaves the samples in order.
    const __m512d p0 = products<S>(b, pos, pos2), p1 = products<S>(b, pos + step, pos2 + step);
    const __m512d p2 = products<S>(b, pos4, pos6), p3 = products<S>(b, pos4 + step, pos6 + step);
    const __m512d u0 = _mm512_unpacklo_pd(p0, p1), u1 = _mm512_unpackhi_pd(p0, p1);
    const __m512d u2 = _mm512_unpacklo_pd(p2, p3), u3 = _mm512_unpackhi_pd(p2, p3);
    // x_k holds product k of the eight samples.
    const __m512d x0 = _mm512_shuffle_f64x2(u0, u2, 0x88), x2 = _mm512_shuffle_f64x2(u0, u2, 0xdd);
    const __m512d x1 = _mm512_shuffle_f64x2(u1, u3, 0x88), x3 = _mm512_shuffle_f64x2(u1, u3, 0xdd);
    // Window: eight entries close together (a small phase step) come from
    // one load of sixteen, others are gathered.
    const __m256i phases = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes);
    const __m256i entries = _mm256_srli_epi32(phases, 19);
    __m256 win;
    if (b.slide) {
        const uint32_t first = q >> 19;
        const __m256i offsets = _mm256_sub_epi32(entries, _mm256_set1_epi32(static_cast<int32_t>(first)));
        win = _mm512_castps512_ps256(
            _mm512_permutexvar_ps(_mm512_zextsi256_si512(offsets), _mm512_loadu_ps(b.window + first)));
    } else {
        win = _mm256_i32gather_ps(b.window, entries, 4);
    }

    __m512d v = _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(x3, x2), x0), x1);
    v = _mm512_mul_pd(v, _mm512_cvtps_pd(win));
    v = _mm512_mul_pd(v, b.gain);
    const __m512d o = _mm512_add_pd(_mm512_cvtps_pd(_mm256_loadu_ps(b.out + j)), v);
    _mm256_storeu_ps(b.out + j, _mm512_cvtpd_ps(o));
}

}  // namespace

uint32_t run_grain_avx512(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Block b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, _mm512_set1_pd(c.gain),
                  _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                     _mm256_set1_epi32(static_cast<int32_t>(incr))),
                  7 * uint64_t{incr} < uint64_t{15} << 19};
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
            return run_blocks<8, S>(c, pos, step, q, j, len,
                                    [&](uint64_t at, uint32_t phase, int32_t k) { add_eight<S>(b, at, step, phase, k); });
        });
    });
}

}  // namespace vorn::detail
#endif
