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
#include "sums_avx.h"
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
    uint32_t incr;
    unsigned whole;       // 32 (first_tap)
};

// ---------------------------------------------------------------------------
// Interpolation.

// One sample's four tap products in a 256-bit register.
template <int S>
VORN_ALWAYS_INLINE __m256d products4(const Block& b, uint64_t pos) {
    const float* t = first_tap<S>(b.samples, b.stride, pos, b.whole);
    __m128 four;
    if constexpr (S == 2) {
        const __m256 eight = _mm256_loadu_ps(t);
        four = _mm256_castps256_ps128(_mm256_permutexvar_ps(_mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6), eight));
    } else {
        four = taps_from<S>(t, b.stride);
    }
    return _mm256_mul_pd(_mm256_cvtps_pd(four), _mm256_load_pd(weight_row(pos)));
}

// Four samples' sums ((x3 + x2) + x0) + x1 of their tap products.
template <int S>
VORN_ALWAYS_INLINE __m256d sums4(const Block& b, uint64_t p0, uint64_t p1, uint64_t p2, uint64_t p3) {
    const __m256d a = products4<S>(b, p0), c = products4<S>(b, p1);
    const __m256d d = products4<S>(b, p2), e = products4<S>(b, p3);
    return sum_transposed(a, c, d, e);
}

// The interpolated values of eight samples at positions p[0..7]: two
// halves of four, each sample's products in a 256-bit register, transposed
// within the half. (Pairs of samples in 512-bit registers take fewer
// instructions but more of the vector units' cycles, and come out slower.)
template <int S>
VORN_ALWAYS_INLINE __m512d interpolate(const Block& b, const uint64_t (&p)[8]) {
    const __m256d lo = sums4<S>(b, p[0], p[1], p[2], p[3]), hi = sums4<S>(b, p[4], p[5], p[6], p[7]);
    return _mm512_insertf64x4(_mm512_castpd256_pd512(lo), hi, 1);
}

// ---------------------------------------------------------------------------
// Window entries of eight samples, their grain phases qs[0..7] (and as a
// vector, `phases`), none past the end of the period. By how far apart the
// entries lie (the shorter the grain, the farther): all within sixteen of
// the first, one load and a permute; each half within sixteen of its first,
// two loads and a two-source permute; each pair, four loads, two permutes
// and a blend; farther, one by one. Zen 4's gather is slow: with it in
// place of the others, 512 grains at the original pitch cost 0.69 instead
// of 0.52 ns per grain-sample at 10 ms, 0.63 instead of 0.39 at 40 ms and
// 0.61 instead of 0.37 at 100 ms, and 0.80 instead of 0.60 at 5 ms in place
// of the loads one by one.

enum WindowForm { kSlide, kHalves, kQuarters, kApart };

template <int Form>
VORN_ALWAYS_INLINE __m256 window_at(const Block& b, const uint32_t (&qs)[8], __m256i phases) {
    const float* w = b.window;
    if constexpr (Form == kApart) {
        (void)phases;
        const __m128 lo = _mm_setr_ps(w[qs[0] >> kWindowShift], w[qs[1] >> kWindowShift], w[qs[2] >> kWindowShift], w[qs[3] >> kWindowShift]);
        const __m128 hi = _mm_setr_ps(w[qs[4] >> kWindowShift], w[qs[5] >> kWindowShift], w[qs[6] >> kWindowShift], w[qs[7] >> kWindowShift]);
        return _mm256_setr_m128(lo, hi);
    }
    const __m256i entries = _mm256_srli_epi32(phases, kWindowShift);
    if constexpr (Form == kSlide) {
        // All eight within sixteen from the first.
        const __m256i offsets = _mm256_sub_epi32(entries, _mm256_broadcastd_epi32(_mm256_castsi256_si128(entries)));
        const float* first = w + static_cast<uint32_t>(_mm256_cvtsi256_si32(entries));
        return _mm512_castps512_ps256(_mm512_permutexvar_ps(_mm512_castsi256_si512(offsets), _mm512_loadu_ps(first)));
    } else if constexpr (Form == kHalves) {
        // Each half within sixteen from its first.
        const __m256i firsts = _mm256_permutexvar_epi32(_mm256_setr_epi32(0, 0, 0, 0, 4, 4, 4, 4), entries);
        const __m256i offsets =
            _mm256_add_epi32(_mm256_sub_epi32(entries, firsts), _mm256_setr_epi32(0, 0, 0, 0, 16, 16, 16, 16));
        const __m512 lo = _mm512_loadu_ps(w + (qs[0] >> kWindowShift));
        const __m512 hi = _mm512_loadu_ps(w + (qs[4] >> kWindowShift));
        return _mm512_castps512_ps256(_mm512_permutex2var_ps(lo, _mm512_castsi256_si512(offsets), hi));
    } else if constexpr (Form == kQuarters) {
        // Each pair within sixteen from its first.
        const __m256i firsts = _mm256_permutexvar_epi32(_mm256_setr_epi32(0, 0, 2, 2, 4, 4, 6, 6), entries);
        const __m256i offsets =
            _mm256_add_epi32(_mm256_sub_epi32(entries, firsts), _mm256_setr_epi32(0, 0, 16, 16, 0, 0, 16, 16));
        const __m512 t0 = _mm512_loadu_ps(w + (qs[0] >> kWindowShift)), t1 = _mm512_loadu_ps(w + (qs[2] >> kWindowShift));
        const __m512 t2 = _mm512_loadu_ps(w + (qs[4] >> kWindowShift)), t3 = _mm512_loadu_ps(w + (qs[6] >> kWindowShift));
        const __m512i idx = _mm512_castsi256_si512(offsets);
        const __m512 lo = _mm512_permutex2var_ps(t0, idx, t1);
        const __m512 hi = _mm512_permutex2var_ps(t2, idx, t3);
        return _mm512_castps512_ps256(_mm512_mask_blend_ps(0xf0, lo, hi));
    }
}

// The grain phases of a block's eight samples from q on.
VORN_ALWAYS_INLINE void block_phases(uint32_t (&qs)[8], uint32_t q, uint32_t incr) {
    for (int k = 0; k < 8; ++k) qs[k] = q + static_cast<uint32_t>(k) * incr;
}

// out + (v * window) * gain, rounded to float.
VORN_ALWAYS_INLINE __m256 accumulate(const Block& b, __m512d v, __m256 win, __m256 out) {
    v = _mm512_mul_pd(v, _mm512_cvtps_pd(win));
    v = _mm512_mul_pd(v, b.gain);
    return _mm512_cvtpd_ps(_mm512_add_pd(_mm512_cvtps_pd(out), v));
}

// Eight consecutive frames' floats from p on, for the unit step.
template <int S>
VORN_ALWAYS_INLINE __m512d frames8(const float* p) {
    if constexpr (S == 1)
        return _mm512_cvtps_pd(_mm256_loadu_ps(p));
    else  // each frame's value is the low half of its 64 bits
        return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm512_cvtepi64_epi32(_mm512_loadu_si512(p))));
}

// add_blocks at the unit step: every sample has the same weight row, and
// tap k of eight consecutive samples is eight consecutive frames, so the
// products need no transpose.
template <int S, int Form>
VORN_ALWAYS_INLINE void add_unit_blocks(const Block& block, uint64_t pos, uint32_t q, int32_t j, int32_t count) {
    const Block b = block;  // in registers
    const float* t = first_tap<S>(b.samples, b.stride, pos, b.whole);
    const double* row = weight_row(pos);
    const __m512d c0 = _mm512_set1_pd(row[0]), c1 = _mm512_set1_pd(row[1]);
    const __m512d c2 = _mm512_set1_pd(row[2]), c3 = _mm512_set1_pd(row[3]);
    __m256i phases = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes);
    const __m256i advance = _mm256_set1_epi32(static_cast<int32_t>(8 * b.incr));
    float* out = b.out + j;
    float* const end = out + 8 * count;
    for (; out != end; out += 8, t += 8 * S) {
        const __m512d x0 = _mm512_mul_pd(frames8<S>(t), c0), x1 = _mm512_mul_pd(frames8<S>(t + S), c1);
        const __m512d x2 = _mm512_mul_pd(frames8<S>(t + 2 * S), c2), x3 = _mm512_mul_pd(frames8<S>(t + 3 * S), c3);
        const __m512d v = _mm512_add_pd(_mm512_add_pd(_mm512_add_pd(x3, x2), x0), x1);
        uint32_t qs[8];
        block_phases(qs, q, b.incr);
        const __m256 win = window_at<Form>(b, qs, phases);
        _mm256_storeu_ps(out, accumulate(b, v, win, _mm256_loadu_ps(out)));
        if constexpr (Form != kSlide) q += 8 * b.incr;
        phases = _mm256_add_epi32(phases, advance);
    }
}

// Adds `count` blocks of eight samples from j on, from position pos and
// grain phase q; every position lies in the valid range.
template <int S, int Form>
VORN_ALWAYS_INLINE void add_blocks(const Block& block, uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t count) {
    if constexpr (S != 0)
        if (step == kUnitStep) return add_unit_blocks<S, Form>(block, pos, q, j, count);
    const Block b = block;  // in registers
    const uint64_t step2 = 2 * step, step4 = 4 * step;
    __m256i phases = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes);
    const __m256i advance = _mm256_set1_epi32(static_cast<int32_t>(8 * b.incr));
    float* out = b.out + j;
    float* const end = out + 8 * count;
    for (; out != end; out += 8) {
        const uint64_t p1 = pos + step, p2 = pos + step2, p3 = p1 + step2;
        const uint64_t p[8] = {pos, p1, p2, p3, pos + step4, p1 + step4, p2 + step4, p3 + step4};
        const __m512d v = interpolate<S>(b, p);
        uint32_t qs[8];
        block_phases(qs, q, b.incr);
        const __m256 win = window_at<Form>(b, qs, phases);
        _mm256_storeu_ps(out, accumulate(b, v, win, _mm256_loadu_ps(out)));
        pos = p[4] + step4;
        q += 8 * b.incr;
        phases = _mm256_add_epi32(phases, advance);
    }
}

// Adds the m < 8 samples from j on, from position pos and grain phase q, the
// last of a run; every position lies in the valid range. The lanes past
// them repeat the last one and are not stored.
template <int S, int Form>
VORN_ALWAYS_INLINE void add_part(const Block& b, uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t m) {
    uint64_t p[8];
    uint32_t qs[8];
    for (int k = 0; k < 8; ++k) p[k] = pos + static_cast<uint64_t>(k < m ? k : m - 1) * step;
    for (int k = 0; k < 8; ++k) qs[k] = q + static_cast<uint32_t>(k < m ? k : m - 1) * b.incr;
    const __m512d v = interpolate<S>(b, p);
    const __m256i last = _mm256_set1_epi32(static_cast<int32_t>(q + static_cast<uint32_t>(m - 1) * b.incr));
    const __m256i phases =
        _mm256_min_epu32(_mm256_add_epi32(_mm256_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes), last);
    const __mmask8 mask = static_cast<__mmask8>((1u << m) - 1u);
    float* out = b.out + j;
    _mm256_mask_storeu_ps(out, mask, accumulate(b, v, window_at<Form>(b, qs, phases), _mm256_maskz_loadu_ps(mask, out)));
}

}  // namespace

uint32_t run_grains_avx512(Granulator& g, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Block b{c.samples, static_cast<size_t>(c.stride), c.window, c.out, _mm512_set1_pd(c.gain),
                  _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7),
                                     _mm256_set1_epi32(static_cast<int32_t>(incr))),
                  incr, hidden_32()};
    const auto all = [&](auto form, auto window) {
        constexpr int S = decltype(form)::value;
        constexpr int Form = decltype(window)::value;
        return run_grains_by_blocks<8, S>(
            g, P, c,
            [&](uint64_t at, uint64_t step, uint32_t phase, int32_t k, int32_t count) {
                add_blocks<S, Form>(b, at, step, phase, k, count);
            },
            [&](uint64_t at, uint64_t step, uint32_t phase, int32_t k, int32_t m) {
                add_part<S, Form>(b, at, step, phase, k, m);
            });
    };
    // The window's reading by how far apart a block's entries lie: all
    // eight, each half, or each pair within one load of sixteen floats.
    const uint64_t apart = uint64_t{incr};
    const int form = 7 * apart < one_load_apart(16)   ? kSlide
                     : 3 * apart < one_load_apart(16) ? kHalves
                     : apart < one_load_apart(16)     ? kQuarters
                                                      : kApart;
    return by_stride(c, [&](auto S) {
        switch (form) {
            case kSlide: return all(S, std::integral_constant<int, kSlide>{});
            case kHalves: return all(S, std::integral_constant<int, kHalves>{});
            case kQuarters: return all(S, std::integral_constant<int, kQuarters>{});
            default: return all(S, std::integral_constant<int, kApart>{});
        }
    });
}

}  // namespace vorn::detail
#endif
