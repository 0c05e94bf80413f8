// The wide kernels' tap loads on x86: the four taps around a position, one
// frame apart, as one SSE register, for each stride form; and where a
// position's taps and weight row lie, in few instructions. Internal linkage,
// like grain_run.h's helpers: each kernel file is compiled for its own
// extensions.
#pragma once

#include <xmmintrin.h>

#include <bit>

#include "grain_run.h"

namespace vorn::detail {

// The first tap of a position: `whole` is 32, held where the compiler cannot
// see it, so that with BMI2 the shift takes one instruction and leaves the
// position in place.
template <int S>
static VORN_ALWAYS_INLINE const float* first_tap(const float* samples, size_t stride, uint64_t pos, unsigned whole) {
    return samples + (static_cast<size_t>(pos >> whole) - 1) * stride_of<S>(stride);
}

// A position's weight row: the top kRowBits bits of its fraction times the
// row's bytes, from one rotation and one mask (BMI2's rorx leaves the
// position in place, where a shift would take a copy first).
inline constexpr int kRowRotation = kRowShift - kRowBytesLog2;
inline constexpr uint32_t kRowOffsetMask = uint32_t{kReadRows - 1} << kRowBytesLog2;
static VORN_ALWAYS_INLINE const double* weight_row(uint64_t pos) {
    const uint32_t offset = static_cast<uint32_t>(std::rotr(pos, kRowRotation)) & kRowOffsetMask;
    return reinterpret_cast<const double*>(reinterpret_cast<const char*>(interp_table) + offset);
}

// How a block's window entries are fetched depends on how far apart they
// lie. The entries of grain phases q and q + d (no wrap between them) lie
// within one load of L floats from q's entry when d < (L - 1) entries:
// (q + d) >> s - q >> s <= (d + 2^s - 1) >> s, which is at most L - 1 for
// d <= (L - 1) 2^s - 1. The window's pad keeps such a load inside the table.
static constexpr uint64_t one_load_apart(int floats) { return uint64_t(floats - 1) << kWindowShift; }
static_assert(kWindowPad >= 16 - 1, "a 16-float load from the last entry stays in the table");

// 32, hidden from the optimiser (see first_tap).
static inline unsigned hidden_32() {
    unsigned v = 32;
#if defined(__GNUC__)
    asm("" : "+r"(v));
#endif
    return v;
}

// Four taps from where first_tap points.
template <int S>
static VORN_ALWAYS_INLINE __m128 taps_from(const float* t, size_t stride) {
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

// The four taps around a position.
template <int S>
static inline __m128 load_taps(const float* samples, size_t stride, uint64_t pos) {
    return taps_from<S>(taps_at<S>(samples, stride, pos), stride);
}

}  // namespace vorn::detail
