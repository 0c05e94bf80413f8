// The wide kernels' tap loads on x86: the four taps around a position, one
// frame apart, as one SSE register, for each stride form. Internal linkage,
// like grain_run.h's helpers: each kernel file is compiled for its own
// extensions.
#pragma once

#include <xmmintrin.h>

#include "grain_run.h"

namespace vorn::detail {

template <int S>
static inline __m128 load_taps(const float* samples, size_t stride, uint64_t pos) {
    const float* t = taps_at<S>(samples, stride, pos);
    if constexpr (S == 1) {
        return _mm_loadu_ps(t);
    } else if constexpr (S == 2) {
        // Eight floats from the first tap: the taps are the even ones. The
        // last float read is the second of the last tap's frame.
        return _mm_shuffle_ps(_mm_loadu_ps(t), _mm_loadu_ps(t + 4), _MM_SHUFFLE(2, 0, 2, 0));
    } else {
        return _mm_setr_ps(t[0], t[stride], t[2 * stride], t[3 * stride]);
    }
}

}  // namespace vorn::detail
