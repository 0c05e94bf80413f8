// The 256-bit kernels' sums of tap products: four samples' interpolated
// values, each summed in the plain loop's order. Internal linkage, like
// taps_x86.h: each kernel file is compiled for its own extensions.
#pragma once

#include <immintrin.h>

#include "grain_run.h"

namespace vorn::detail {

// Four samples' values from their products x0..x3 (x_k: product k of each
// sample), summed as the plain loop sums them: ((x3 + x2) + x0) + x1.
static VORN_ALWAYS_INLINE __m256d sum_products(__m256d x0, __m256d x1, __m256d x2, __m256d x3) {
    return _mm256_add_pd(_mm256_add_pd(_mm256_add_pd(x3, x2), x0), x1);
}

// The same from four samples' products a, c, d, e, one sample a register:
// transposed first, so that x_k holds product k of the four samples.
static VORN_ALWAYS_INLINE __m256d sum_transposed(__m256d a, __m256d c, __m256d d, __m256d e) {
    const __m256d u0 = _mm256_unpacklo_pd(a, c), u1 = _mm256_unpackhi_pd(a, c);
    const __m256d u2 = _mm256_unpacklo_pd(d, e), u3 = _mm256_unpackhi_pd(d, e);
    const __m256d x0 = _mm256_permute2f128_pd(u0, u2, 0x20), x2 = _mm256_permute2f128_pd(u0, u2, 0x31);
    const __m256d x1 = _mm256_permute2f128_pd(u1, u3, 0x20), x3 = _mm256_permute2f128_pd(u1, u3, 0x31);
    return sum_products(x0, x1, x2, x3);
}

}  // namespace vorn::detail
