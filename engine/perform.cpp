// The synthesis loop: every active grain adds its windowed, interpolated
// reading of the source into the output vector.
#include "granulator.h"
#include "tables.h"

namespace vorn {

void perform(Granulator& g, const float* in, float* out, int32_t n) {
    for (int32_t j = 0; j < n; ++j) out[j] = 0.0f;

    const SampleSource* src = g.source;
    const float* window = window_table;
    if (!src || src->valid == 0 || !usable(g) || !window) return;

    const uint32_t P = g.phase;
    const int32_t incr = g.phase_incr;
    const double gain = g.gain;
    Grain* grains = g.grains;
    const float* s = src->samples;
    // A position contributes when all four taps lie inside the frames.
    const int64_t last = static_cast<int64_t>(src->frames) - 2;

    for (int32_t i = 0; i < g.overlap; ++i) {
        Grain& gr = grains[i];
        int32_t idx = gr.index;
        uint32_t fr = gr.frac;
        int32_t st = gr.step;
        uint32_t sf = gr.step_frac;
        uint32_t p = P - gr.offset;

        for (int32_t j = 0; j < n; ++j) {
            p &= 0x7fffffffu;
            // A grain restarts when its phase wraps; it keeps the part of
            // the period it has run past the wrap, so it stays locked to
            // the master phase.
            if (static_cast<int32_t>(p) < incr) {
                start_grain(g, static_cast<double>(in[j]) * g.ms_scale, gr);
                idx = gr.index;
                fr = gr.frac;
                st = gr.step;
                sf = gr.step_frac;
            }
            if (0 < idx && idx < last) {
                const float* c = interp_table[16 * (fr >> 26)];
                const float* t = s + idx;
                double v = ((static_cast<double>(t[2]) * c[3] + static_cast<double>(t[1]) * c[2]) +
                            static_cast<double>(t[-1]) * c[0]) +
                           static_cast<double>(c[1]) * t[0];
                v = v * window[p >> 19];
                v = v * gain;
                out[j] = static_cast<float>(out[j] + v);
            }
            // 64-bit fixed-point sum of (idx, fr) and (st, sf).
            const uint32_t f2 = fr + sf;
            idx = static_cast<int32_t>(static_cast<uint32_t>(idx) + static_cast<uint32_t>(st) +
                                       (f2 < sf ? 1u : 0u));
            fr = f2;
            p += static_cast<uint32_t>(incr);
        }

        gr.index = idx;
        gr.frac = fr;
        if (i == 0) g.phase = p;
    }
}

}  // namespace vorn
