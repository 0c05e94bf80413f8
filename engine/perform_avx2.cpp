// The synthesis kernel for processors with AVX2: four output samples at a
// time in double lanes. Each lane does the plain loop's operations in the
// plain loop's order (no fused multiply-add), so the bits are the same.
#if defined(__x86_64__)
#include <immintrin.h>

#include "grain_run.h"

namespace vorn::detail {

namespace {

// Adds samples j .. j+3; all four positions lie in the valid range.
inline void add_four(const VectorContext& c, const uint64_t pos[4], uint32_t q, uint32_t incr, int32_t j) {
    const float* s = c.samples;
    __m128 t0 = _mm_loadu_ps(s + whole_of(pos[0]) - 1);
    __m128 t1 = _mm_loadu_ps(s + whole_of(pos[1]) - 1);
    __m128 t2 = _mm_loadu_ps(s + whole_of(pos[2]) - 1);
    __m128 t3 = _mm_loadu_ps(s + whole_of(pos[3]) - 1);
    _MM_TRANSPOSE4_PS(t0, t1, t2, t3);  // t0: taps at -1, t1: at 0, t2: +1, t3: +2
    __m128 w0 = _mm_load_ps(interp_table[16 * (static_cast<uint32_t>(pos[0]) >> 26)]);
    __m128 w1 = _mm_load_ps(interp_table[16 * (static_cast<uint32_t>(pos[1]) >> 26)]);
    __m128 w2 = _mm_load_ps(interp_table[16 * (static_cast<uint32_t>(pos[2]) >> 26)]);
    __m128 w3 = _mm_load_ps(interp_table[16 * (static_cast<uint32_t>(pos[3]) >> 26)]);
    _MM_TRANSPOSE4_PS(w0, w1, w2, w3);  // w0: weights c0, ... w3: c3
    const __m128 win = _mm_setr_ps(c.window[q >> 19], c.window[(q + incr) >> 19], c.window[(q + 2 * incr) >> 19],
                                   c.window[(q + 3 * incr) >> 19]);

    const __m256d a = _mm256_mul_pd(_mm256_cvtps_pd(t3), _mm256_cvtps_pd(w3));
    const __m256d b = _mm256_mul_pd(_mm256_cvtps_pd(t2), _mm256_cvtps_pd(w2));
    const __m256d d = _mm256_mul_pd(_mm256_cvtps_pd(t0), _mm256_cvtps_pd(w0));
    const __m256d e = _mm256_mul_pd(_mm256_cvtps_pd(w1), _mm256_cvtps_pd(t1));
    __m256d v = _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(a, b), d), e);
    v = _mm256_mul_pd(v, _mm256_cvtps_pd(win));
    v = _mm256_mul_pd(v, _mm256_set1_pd(c.gain));
    const __m256d o = _mm256_add_pd(_mm256_cvtps_pd(_mm_loadu_ps(c.out + j)), v);
    _mm_storeu_ps(c.out + j, _mm256_cvtpd_ps(o));
}

}  // namespace

uint32_t run_grain_avx2(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
        const int32_t end = j + len;
        const uint64_t step2 = 2 * step, step4 = 4 * step;
        for (; j + 4 <= end; j += 4, q += 4 * incr, pos += step4) {
            const uint64_t pos2 = pos + step2;
            const uint64_t four[4] = {pos, pos + step, pos2, pos2 + step};
            const uint32_t lim = c.in_range;
            const bool in_range = (static_cast<uint32_t>(whole_of(four[0])) - 1u < lim) &
                                  (static_cast<uint32_t>(whole_of(four[1])) - 1u < lim) &
                                  (static_cast<uint32_t>(whole_of(four[2])) - 1u < lim) &
                                  (static_cast<uint32_t>(whole_of(four[3])) - 1u < lim);
            if (in_range)
                add_four(c, four, q, incr, j);
            else
                for (int k = 0; k < 4; ++k) add_sample(c, four[k], q + k * incr, j + k);
        }
        for (; j < end; ++j, q += incr, pos += step) add_sample(c, pos, q, j);
        return pos;
    });
}

}  // namespace vorn::detail
#endif
