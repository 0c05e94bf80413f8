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
#include "kernels.h"
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

// The kernels' block bodies are inlined into their loops whatever the
// compiler's size limits say: a call per block would cost more than the block.
#if defined(__GNUC__)
#define VORN_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define VORN_ALWAYS_INLINE inline
#endif


// Below this phase step (a whole step under 256 samples) a few consecutive
// positions of a run rise without passing 2^64 from a valid index, so they
// all lie in the valid range when the first and the last do.
inline constexpr uint64_t kMonotoneStep = uint64_t{1} << 40;

// A step of exactly one frame (a grain at its original pitch): a run's
// positions are its first plus 0, 1, 2, ... frames, all with the first one's
// fraction and so its weight row.
inline constexpr uint64_t kUnitStep = uint64_t{1} << 32;

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

// At an in-range position: where its four taps start (the frame before its
// whole part), and its weight row (the top bits of its fraction).
template <int S>
static inline const float* taps_at(const float* samples, size_t stride, uint64_t pos) {
    return samples + (static_cast<size_t>(pos >> 32) - 1) * stride_of<S>(stride);
}
static inline const double* row_at(uint64_t pos) { return interp_table[static_cast<uint32_t>(pos) >> kRowShift]; }

// The window entry of a grain phase (below 2^31).
static inline float window_at_phase(const float* window, uint32_t q) { return window[q >> kWindowShift]; }

// One grain's contribution to one output sample, as the plain loop forms it:
// ((t3 c3 + t2 c2) + t0 c0) + c1 t1, times the window, times the gain, each
// step rounded to double, and the sum into out rounded to float.
//
// Each tap times its weight is exact in double (two 24-bit significands make
// at most 48 bits, which a double's 53 hold), so only the three additions
// and the two products after them round, and a kernel may form the tap
// products in any double lanes. The order of the additions is not free:
// addition does not associate, and the sound is defined by this order (the
// engine tests' source of cancelling +-1e30 samples catches any other).
template <int S>
static inline void add_sample(const VectorContext& c, uint64_t pos, uint32_t q, int32_t j) {
    const int32_t idx = whole_of(pos);
    if (static_cast<uint32_t>(idx) - 1u >= c.in_range) return;
    const double* w = row_at(pos);
    const size_t s = stride_of<S>(static_cast<size_t>(c.stride));
    const float* t = taps_at<S>(c.samples, s, pos);  // the tap before idx
    double v = ((static_cast<double>(t[3 * s]) * w[3] + static_cast<double>(t[2 * s]) * w[2]) +
                static_cast<double>(t[0]) * w[0]) +
               w[1] * static_cast<double>(t[s]);
    v = v * window_at_phase(c.window, q);
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
        // (2^31 - q + incr - 1 is below 2^32: a 32-bit division.)
        const uint64_t rest = static_cast<uint64_t>(c.n - j);
        const int32_t len = q + (rest - 1) * incr < kPeriodPhase
                                ? static_cast<int32_t>(rest)
                                : static_cast<int32_t>(static_cast<uint32_t>(kPeriodPhase - q + incr - 1) / incr);
        pos = body(pos, step, q, j, len);
        p = q + static_cast<uint32_t>(len) * incr;
        j += len;
    }
    gr.index = whole_of(pos);
    gr.frac = static_cast<uint32_t>(pos);
    return p;
}

// Below this many samples a run's span, (len - 1) * step with a small step,
// stays under 2^63: from a valid position the run cannot pass 2^64.
inline constexpr int32_t kLongestRun = int32_t{1} << 23;

// A wide kernel's body: samples j .. j+len-1 of a run. Where the run's first
// and last positions lie in the valid range (with a small step, every one
// between them does too), `blocks(pos, q, j, count)` adds `count` blocks of W
// samples and `part(pos, q, j, m)` the m < W samples after them, with no
// further test. Elsewhere, near the ends of the source, W at a time through
// `blocks` where a block's first and last positions lie in range, one by one
// otherwise. Returns the position after them.
template <int W, int S, class Blocks, class Part>
static inline uint64_t run_blocks(const VectorContext& c, uint64_t pos, uint64_t step, uint32_t q, int32_t j,
                                  int32_t len, Blocks&& blocks, Part&& part) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    const int32_t end = j + len;
    if (step < kMonotoneStep) {
        const uint32_t lim = c.in_range;
        if (len <= kLongestRun) {
            const uint64_t last = pos + static_cast<uint64_t>(len - 1) * step;
            const unsigned first_in = static_cast<uint32_t>(whole_of(pos)) - 1u < lim;
            const unsigned last_in = static_cast<uint32_t>(whole_of(last)) - 1u < lim;
            // A run that ends before the first valid position, or starts
            // after the last, adds nothing (a grain off the source). Ending
            // at or after its start, the run did not pass 2^63 on the way.
            const int32_t from = whole_of(pos), to = whole_of(last);
            if ((to <= 0 && from <= to) || int64_t{from} > int64_t{lim}) return last + step;
            if (first_in & last_in) {
                const int32_t count = len / W, m = len % W;
                if (count > 0) blocks(pos, q, j, count);
                if (m == 0) return last + step;
                const int32_t done = count * W;
                const uint64_t at = pos + static_cast<uint64_t>(done) * step;
                part(at, q + static_cast<uint32_t>(done) * incr, j + done, m);
                return last + step;
            }
        }
        const uint64_t last = (W - 1) * step, stride = W * step;
        for (; j + W <= end; j += W, q += W * incr, pos += stride) {
            const unsigned first_in = static_cast<uint32_t>(whole_of(pos)) - 1u < lim;
            const unsigned last_in = static_cast<uint32_t>(whole_of(pos + last)) - 1u < lim;
            if (first_in & last_in)
                blocks(pos, q, j, 1);
            else
                for (int k = 0; k < W; ++k) add_sample<S>(c, pos + k * step, q + k * incr, j + k);
        }
    }
    for (; j < end; ++j, q += incr, pos += step) add_sample<S>(c, pos, q, j);
    return pos;
}

// Every active grain of the vector through `grain(gr)`, which returns the
// grain's phase after the vector; grain 0's (offset 0) is the new master
// phase. P if there is none.
template <class PerGrain>
static inline uint32_t each_grain(Granulator& g, uint32_t P, PerGrain&& grain) {
    uint32_t phase = P;
    Grain* grains = g.grains;
    const int32_t count = g.overlap;
    for (int32_t i = 0; i < count; ++i) {
        const uint32_t p = grain(grains[i]);
        if (i == 0) phase = p;
    }
    return phase;
}

// Every active grain of the vector, run by run, W samples a block:
// `blocks(pos, step, q, j, count)` adds `count` blocks from sample j on and
// `part(pos, step, q, j, m)` the m < W samples that end a run (see
// run_blocks). Returns the new master phase.
template <int W, int S, class Blocks, class Part>
static inline uint32_t run_grains_by_blocks(Granulator& g, uint32_t P, const VectorContext& c, Blocks&& blocks,
                                            Part&& part) {
    return each_grain(g, P, [&](Grain& gr) {
        return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
            return run_blocks<W, S>(
                c, pos, step, q, j, len,
                [&](uint64_t at, uint32_t phase, int32_t k, int32_t count) { blocks(at, step, phase, k, count); },
                [&](uint64_t at, uint32_t phase, int32_t k, int32_t m) { part(at, step, phase, k, m); });
        });
    });
}

// The plain per-sample loop for one grain: used when the phase step is not
// positive, where the phase may wrap without a restart.
uint32_t run_grain_plain(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c);

// perform with a given kernel for grains whose phase step is positive; the
// tests run every kernel against the plain loop.
void perform_with(Granulator& g, const float* in, float* out, int32_t n, GrainKernel kernel);

}  // namespace vorn::detail
