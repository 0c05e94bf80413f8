// Shared by the synthesis loop's kernels: how one grain runs through a
// vector. The vector is cut into runs at the grain's restarts; inside a run
// the phase never wraps, so the body needs no restart test and its window
// index is a plain sum. Every kernel gives the same bits as the plain
// per-sample loop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "granulator.h"
#include "tables.h"

namespace vorn::detail {

// What every grain of one vector shares.
struct VectorContext {
    const float* in;         // read position, ms
    float* out;
    int32_t n;
    const float* samples;
    int32_t stride;          // floats from one frame to the next, 1 or more
    uint32_t in_range;       // a position idx contributes when idx - 1 < in_range (unsigned): 0 < idx < F - 2
    const float* window;
    double gain;
    int32_t incr;            // master phase step, > 0 in the run-cutting kernels
};

inline constexpr uint32_t kPhaseMask = 0x7fffffffu;
inline constexpr uint64_t kPeriod = uint64_t{1} << 31;

// Below this phase step (a whole step under 256 samples) a few consecutive
// positions of a run rise without passing 2^64 from a valid index, so they
// all lie in the valid range when the first and the last do.
inline constexpr uint64_t kMonotoneStep = uint64_t{1} << 40;

// The helpers below have internal linkage: the AVX2 and AVX-512 kernels'
// files are compiled for those extensions, and their copies must never stand
// in for the other files' copies.

// The 32.32 read position or increment as one 64-bit word: adding two of
// them modulo 2^64 is the fixed-point sum with its carry.
static inline uint64_t fixed64(int32_t whole, uint32_t frac) {
    return (uint64_t{static_cast<uint32_t>(whole)} << 32) | frac;
}
static inline int32_t whole_of(uint64_t x) { return static_cast<int32_t>(static_cast<uint32_t>(x >> 32)); }

// The kernels come in three forms by the source's stride: S = 1 and S = 2
// fixed when compiled, S = 0 for any stride, given at run time.
template <int S>
static inline size_t stride_of(size_t stride) {
    return S > 0 ? static_cast<size_t>(S) : stride;
}

// Calls f with the stride form that suits the context: f(std::integral_constant<int, S>).
template <class F>
static inline auto by_stride(const VectorContext& c, F&& f) {
    if (c.stride == 1) return f(std::integral_constant<int, 1>{});
    if (c.stride == 2) return f(std::integral_constant<int, 2>{});
    return f(std::integral_constant<int, 0>{});
}

// For the wide kernels, at an in-range position: where its four taps start
// (the frame before its whole part), and its weight row widened to double
// (the top six bits of the fraction, four doubles a row).
template <int S>
static inline const float* taps_at(const float* samples, size_t stride, uint64_t pos) {
    return samples + (static_cast<size_t>(pos >> 32) - 1) * stride_of<S>(stride);
}
static inline const double* row_at(uint64_t pos) { return interp_rows[(pos >> 26) & (kReadRows - 1)]; }

// One grain's contribution to one output sample, as the plain loop forms it.
template <int S>
static inline void add_sample(const VectorContext& c, uint64_t pos, uint32_t q, int32_t j) {
    const int32_t idx = whole_of(pos);
    if (static_cast<uint32_t>(idx) - 1u >= c.in_range) return;
    const float* w = interp_table[16 * (static_cast<uint32_t>(pos) >> 26)];
    const size_t s = stride_of<S>(static_cast<size_t>(c.stride));
    const float* t = taps_at<S>(c.samples, s, pos);  // the tap before idx
    double v = ((static_cast<double>(t[3 * s]) * w[3] + static_cast<double>(t[2 * s]) * w[2]) +
                static_cast<double>(t[0]) * w[0]) +
               static_cast<double>(w[1]) * t[s];
    v = v * c.window[q >> 19];
    v = v * c.gain;
    c.out[j] = static_cast<float>(c.out[j] + v);
}

// Runs grain `gr` through the vector from master phase P. `body(pos, step,
// q, j, len)` adds samples j .. j+len-1, whose grain phases are q, q + incr,
// ... without a wrap, and returns the position after them. Returns the
// grain's phase after the last sample, unmasked, as the plain loop leaves it.
template <class Body>
static inline uint32_t run_grain(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c, Body&& body) {
    uint64_t pos = fixed64(gr.index, gr.frac);
    uint64_t step = fixed64(gr.step, gr.step_frac);
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    uint32_t p = P - gr.offset;
    for (int32_t j = 0; j < c.n;) {
        const uint32_t q = p & kPhaseMask;
        if (q < incr) {  // the grain restarts when its phase wraps
            start_grain(g, static_cast<double>(c.in[j]) * g.ms_scale, gr);
            pos = fixed64(gr.index, gr.frac);
            step = fixed64(gr.step, gr.step_frac);
        }
        // Samples up to the next wrap, at most to the end of the vector; most
        // grains do not wrap within a vector, and those need no division.
        const uint64_t rest = static_cast<uint64_t>(c.n - j);
        const int32_t len = q + (rest - 1) * incr < kPeriod ? static_cast<int32_t>(rest)
                                                            : static_cast<int32_t>((kPeriod - q + incr - 1) / incr);
        pos = body(pos, step, q, j, len);
        p = q + static_cast<uint32_t>(len) * incr;
        j += len;
    }
    gr.index = whole_of(pos);
    gr.frac = static_cast<uint32_t>(pos);
    return p;
}

// A wide kernel's body: samples j .. j+len-1 of a run, W at a time through
// `add_block(pos, q, j)` where all W positions lie in the valid range, one by
// one elsewhere. Returns the position after them.
template <int W, int S, class AddBlock>
static inline uint64_t run_blocks(const VectorContext& c, uint64_t pos, uint64_t step, uint32_t q, int32_t j,
                                  int32_t len, AddBlock&& add_block) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const int32_t end = j + len;
    if (step < kMonotoneStep) {
        const uint32_t lim = c.in_range;
        const uint64_t last = (W - 1) * step, stride = W * step;
        for (; j + W <= end; j += W, q += W * incr, pos += stride) {
            const unsigned first_in = static_cast<uint32_t>(whole_of(pos)) - 1u < lim;
            const unsigned last_in = static_cast<uint32_t>(whole_of(pos + last)) - 1u < lim;
            if (first_in & last_in)
                add_block(pos, q, j);
            else
                for (int k = 0; k < W; ++k) add_sample<S>(c, pos + k * step, q + k * incr, j + k);
        }
    }
    for (; j < end; ++j, q += incr, pos += step) add_sample<S>(c, pos, q, j);
    return pos;
}

// The plain per-sample loop for one grain: used when the phase step is not
// positive, where the phase may wrap without a restart.
uint32_t run_grain_plain(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c);

uint32_t run_grain_portable(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c);
#if defined(__x86_64__) || defined(__i386__)
uint32_t run_grain_avx2(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c);
uint32_t run_grain_avx512(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c);
#endif
#if defined(__aarch64__)
uint32_t run_grain_neon(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c);
#endif

using GrainKernel = uint32_t (*)(Granulator&, Grain&, uint32_t, const VectorContext&);

// The kernel that perform uses on this processor.
GrainKernel fast_kernel();

// perform with a given kernel for grains whose phase step is positive; the
// tests run every kernel against the plain loop.
void perform_with(Granulator& g, const float* in, float* out, int32_t n, GrainKernel kernel);

}  // namespace vorn::detail
