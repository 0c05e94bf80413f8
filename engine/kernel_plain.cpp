// The plain loop: every active grain, sample by sample, its restart tested
// at every sample. The reading that every other kernel is held to, and the
// loop that follows a phase step that is not positive, where the phase may
// wrap without a restart.
#include "grain_run.h"

namespace vorn::detail {

namespace {

template <int S>
uint32_t plain_loop(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    uint64_t pos = fixed64(gr.index, gr.frac);
    uint64_t step = fixed64(gr.step, gr.step_frac);
    uint32_t p = P - gr.offset;
    for (int32_t j = 0; j < c.n; ++j) {
        p &= kPhaseMask;
        if (static_cast<int32_t>(p) < c.incr) {
            start_grain(g, static_cast<double>(c.in[j]) * g.ms_scale, gr);
            pos = fixed64(gr.index, gr.frac);
            step = fixed64(gr.step, gr.step_frac);
        }
        add_sample<S>(c, pos, p, j);
        pos += step;
        p += static_cast<uint32_t>(c.incr);
    }
    gr.index = whole_of(pos);
    gr.frac = static_cast<uint32_t>(pos);
    return p;
}

}  // namespace

uint32_t run_grain_plain(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    return by_stride(c, [&](auto form) { return plain_loop<decltype(form)::value>(g, gr, P, c); });
}

uint32_t run_grains_plain(Granulator& g, uint32_t P, const VectorContext& c) {
    return each_grain(g, P, [&](Grain& gr) { return run_grain_plain(g, gr, P, c); });
}

}  // namespace vorn::detail
