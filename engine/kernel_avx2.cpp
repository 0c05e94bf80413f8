// The synthesis kernel for processors with AVX2: four output samples at a
// time in double lanes. Each lane does the plain loop's operations in the
// plain loop's order (no fused multiply-add), so the bits are the same.
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#include "grain_run.h"
#include "sums_avx.h"
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
    uint32_t incr;
    unsigned whole;       // 32 (first_tap)
};

// One sample's four tap products: taps at -1, 0, +1, +2 times weights c0..c3.
template <int S>
VORN_ALWAYS_INLINE __m256d products(const Block& b, uint64_t pos) {
    const float* t = first_tap<S>(b.samples, b.stride, pos, b.whole);
    __m128 four;
    if constexpr (S == 2) {
        // Eight floats from the first tap; the taps are the even ones.
        const __m256 eight = _mm256_loadu_ps(t);
        four = _mm256_castps256_ps128(_mm256_permutevar8x32_ps(eight, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
    } else {
        four = taps_from<S>(t, b.stride);
    }
    return _mm256_mul_pd(_mm256_cvtps_pd(four), _mm256_load_pd(weight_row(pos)));
}

// The interpolated values of four samples at positions p0..p3, each summed
// as the plain loop sums it: ((x3 + x2) + x0) + x1.
template <int S>
VORN_ALWAYS_INLINE __m256d interpolate(const Block& b, uint64_t p0, uint64_t p1, uint64_t p2, uint64_t p3) {
    const __m256d a = products<S>(b, p0), c = products<S>(b, p1);
    const __m256d d = products<S>(b, p2), e = products<S>(b, p3);
    return sum_transposed(a, c, d, e);
}

// Window entries of four samples, their grain phases q0..q3 (and as a
// vector, `phases`), none past the end of the period: all four within eight
// of the first, one load and a permute; each pair within eight of its first,
// two loads, two permutes and a blend; farther apart, one by one.
enum WindowForm { kSlide, kPairs, kApart };

template <int Form>
VORN_ALWAYS_INLINE __m128 window_at(const Block& b, uint32_t q0, uint32_t q1, uint32_t q2, uint32_t q3,
                                    __m128i phases) {
    const float* w = b.window;
    if constexpr (Form == kSlide) {
        const __m128i entries = _mm_srli_epi32(phases, kWindowShift);
        const __m128i offsets = _mm_sub_epi32(entries, _mm_shuffle_epi32(entries, 0));
        const float* first = w + static_cast<uint32_t>(_mm_cvtsi128_si32(entries));
        return _mm256_castps256_ps128(
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(first), _mm256_castsi128_si256(offsets)));
    } else if constexpr (Form == kPairs) {
        const __m128i entries = _mm_srli_epi32(phases, kWindowShift);
        const __m256i offsets =
            _mm256_castsi128_si256(_mm_sub_epi32(entries, _mm_shuffle_epi32(entries, _MM_SHUFFLE(2, 2, 0, 0))));
        const __m256 lo = _mm256_permutevar8x32_ps(_mm256_loadu_ps(w + (q0 >> kWindowShift)), offsets);
        const __m256 hi = _mm256_permutevar8x32_ps(_mm256_loadu_ps(w + (q2 >> kWindowShift)), offsets);
        return _mm256_castps256_ps128(_mm256_blend_ps(lo, hi, 0x0c));
    } else {
        return _mm_setr_ps(w[q0 >> kWindowShift], w[q1 >> kWindowShift], w[q2 >> kWindowShift], w[q3 >> kWindowShift]);
    }
}

// out + (v * window) * gain, rounded to float.
VORN_ALWAYS_INLINE __m128 accumulate(const Block& b, __m256d v, __m128 win, __m128 out) {
    v = _mm256_mul_pd(v, _mm256_cvtps_pd(win));
    v = _mm256_mul_pd(v, b.gain);
    return _mm256_cvtpd_ps(_mm256_add_pd(_mm256_cvtps_pd(out), v));
}

// Four consecutive frames' floats from p on, for the unit step.
template <int S>
VORN_ALWAYS_INLINE __m256d frames4(const float* p) {
    if constexpr (S == 1)
        return _mm256_cvtps_pd(_mm_loadu_ps(p));
    else  // each frame's value is the first of its two floats
        return _mm256_cvtps_pd(_mm256_castps256_ps128(
            _mm256_permutevar8x32_ps(_mm256_loadu_ps(p), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6))));
}

// add_blocks at the unit step: every sample has the same weight row, and
// tap k of four consecutive samples is four consecutive frames, so the
// products need no transpose. Frames 0..3 and 4..7 of a block give taps 1
// and 2 (frames 1..4 and 2..5) and 3 (3..6) by in-register shuffles, and
// frames 4..7 are the next block's frames 0..3: one load of four frames a
// block. Frame 7 lies past the block's last tap, so the run's last block
// loads its taps one by one.
template <int S, int Form>
VORN_ALWAYS_INLINE void add_unit_blocks(const Block& block, uint64_t pos, uint32_t q, int32_t j, int32_t count) {
    const Block b = block;  // in registers
    const float* t = first_tap<S>(b.samples, b.stride, pos, b.whole);
    const double* row = weight_row(pos);
    const __m256d c0 = _mm256_set1_pd(row[0]), c1 = _mm256_set1_pd(row[1]);
    const __m256d c2 = _mm256_set1_pd(row[2]), c3 = _mm256_set1_pd(row[3]);
    const uint32_t incr = b.incr;
    __m128i phases = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes);
    const __m128i advance = _mm_set1_epi32(static_cast<int32_t>(4 * incr));
    float* out = b.out + j;
    float* const last = out + 4 * (count - 1);
    const auto add = [&](__m256d f0, __m256d f1, __m256d f2, __m256d f3) {
        const __m256d x0 = _mm256_mul_pd(f0, c0), x1 = _mm256_mul_pd(f1, c1);
        const __m256d x2 = _mm256_mul_pd(f2, c2), x3 = _mm256_mul_pd(f3, c3);
        const __m256d v = sum_products(x0, x1, x2, x3);
        const __m128 win = window_at<Form>(b, q, q + incr, q + 2 * incr, q + 3 * incr, phases);
        _mm_storeu_ps(out, accumulate(b, v, win, _mm_loadu_ps(out)));
        if constexpr (Form != kSlide) q += 4 * incr;
        phases = _mm_add_epi32(phases, advance);
    };
    __m256d lo = frames4<S>(t);
    for (; out != last; out += 4, t += 4 * S) {
        const __m256d hi = frames4<S>(t + 4 * S);
        const __m256d mid = _mm256_permute2f128_pd(lo, hi, 0x21);  // frames 2..5
        add(lo, _mm256_shuffle_pd(lo, mid, 0x5), mid, _mm256_shuffle_pd(mid, hi, 0x5));
        lo = hi;
    }
    add(lo, frames4<S>(t + S), frames4<S>(t + 2 * S), frames4<S>(t + 3 * S));
}

// Adds `count` blocks of four samples from j on, from position pos and
// grain phase q; every position lies in the valid range.
template <int S, int Form>
VORN_ALWAYS_INLINE void add_blocks(const Block& block, uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t count) {
    if constexpr (S != 0)
        if (step == kUnitStep) return add_unit_blocks<S, Form>(block, pos, q, j, count);
    const Block b = block;  // in registers
    const uint64_t step2 = 2 * step;
    const uint32_t incr = b.incr;
    __m128i phases = _mm_add_epi32(_mm_set1_epi32(static_cast<int32_t>(q)), b.phase_lanes);
    const __m128i advance = _mm_set1_epi32(static_cast<int32_t>(4 * incr));
    float* out = b.out + j;
    float* const end = out + 4 * count;
    for (; out != end; out += 4) {
        const uint64_t p1 = pos + step, p2 = pos + step2, p3 = p1 + step2;
        const __m256d v = interpolate<S>(b, pos, p1, p2, p3);
        const __m128 win = window_at<Form>(b, q, q + incr, q + 2 * incr, q + 3 * incr, phases);
        _mm_storeu_ps(out, accumulate(b, v, win, _mm_loadu_ps(out)));
        if constexpr (Form != kSlide) q += 4 * incr;
        pos = p2 + step2;
        phases = _mm_add_epi32(phases, advance);
    }
}

// Adds the m < 4 samples from j on, from position pos and grain phase q, the
// last of a run; every position lies in the valid range. The lanes past
// them repeat the last one and are not stored.
template <int S, int Form>
VORN_ALWAYS_INLINE void add_part(const Block& b, uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t m) {
    const uint64_t p1 = m > 1 ? pos + step : pos, p2 = m > 2 ? p1 + step : p1;
    const uint32_t q1 = m > 1 ? q + b.incr : q, q2 = m > 2 ? q1 + b.incr : q1;
    const __m256d v = interpolate<S>(b, pos, p1, p2, p2);
    const __m128 win = window_at<Form>(b, q, q1, q2, q2,
                                       _mm_setr_epi32(static_cast<int32_t>(q), static_cast<int32_t>(q1),
                                                      static_cast<int32_t>(q2), static_cast<int32_t>(q2)));
    const __m128i mask = _mm_cmpgt_epi32(_mm_set1_epi32(m), _mm_setr_epi32(0, 1, 2, 3));
    float* out = b.out + j;
    _mm_maskstore_ps(out, mask, accumulate(b, v, win, _mm_maskload_ps(out, mask)));
}

}  // namespace

uint32_t run_grains_avx2(Granulator& g, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const Block b{c.samples,
                  static_cast<size_t>(c.stride),
                  c.window,
                  c.out,
                  _mm256_set1_pd(c.gain),
                  _mm_mullo_epi32(_mm_setr_epi32(0, 1, 2, 3), _mm_set1_epi32(static_cast<int32_t>(incr))),
                  incr,
                  hidden_32()};
    const auto all = [&](auto form, auto window) {
        constexpr int S = decltype(form)::value;
        constexpr int Form = decltype(window)::value;
        return run_grains_by_blocks<4, S>(
            g, P, c,
            [&](uint64_t at, uint64_t step, uint32_t phase, int32_t k, int32_t count) {
                add_blocks<S, Form>(b, at, step, phase, k, count);
            },
            [&](uint64_t at, uint64_t step, uint32_t phase, int32_t k, int32_t m) {
                add_part<S, Form>(b, at, step, phase, k, m);
            });
    };
    // The window's reading by how far apart a block's entries lie: all
    // four, or each pair, within one load of eight floats.
    const uint64_t apart = uint64_t{incr};
    const int form = 3 * apart < one_load_apart(8) ? kSlide : apart < one_load_apart(8) ? kPairs : kApart;
    return by_stride(c, [&](auto S) {
        switch (form) {
            case kSlide: return all(S, std::integral_constant<int, kSlide>{});
            case kPairs: return all(S, std::integral_constant<int, kPairs>{});
            default: return all(S, std::integral_constant<int, kApart>{});
        }
    });
}

}  // namespace vorn::detail
#endif
