// Granulator state: defaults, parameter setters, overlap and compile.
#include "granulator.h"

#include <new>

#include "convert.h"

namespace vorn {

namespace {

// The bit-reversed grain index: bit k of i contributes 2^(30-k), half a
// period for bit 0, so the first 2^m grains are always evenly spaced over
// the period.
uint32_t phase_offset(uint32_t i) {
    uint32_t b = static_cast<uint32_t>(kPeriodPhase / 2), o = 0;
    for (; i != 0 && b != 0; i >>= 1, b >>= 1)
        if (i & 1u) o += b;
    return o;
}

// One period of phase over `period` samples: 2^31 / period, truncated, low
// 32 bits.
int32_t phase_step(double period) { return trunc_low32(static_cast<double>(kPeriodPhase) / period); }

float gain_for(int32_t overlap) { return overlap > 2 ? static_cast<float>(2.0 / overlap) : 1.0f; }

// Entry i of the list and its reading speed, the ratio start_grain would
// compute for it: a grain start then takes it from the table.
void set_entry(Granulator& g, int32_t i, double cents) {
    g.transp[i] = cents;
    g.ratio[i] = speed_of(cents);
}

}  // namespace

void init(Granulator& g, bool has_log2, int32_t log2) {
    int32_t n = 8;
    if (has_log2) n = log2 <= 1 ? 2 : log2 >= 10 ? kMaxOverlap : (int32_t{1} << log2);
    g.max_overlap = n;
    g.grains = new (std::nothrow) Grain[static_cast<unsigned>(n)];
    if (g.grains)
        for (int32_t i = 0; i < n; ++i)
            g.grains[i] = Grain{0, 0, 0, 0, phase_offset(static_cast<uint32_t>(i))};
    g.pos_jitter = 5.0;
    for (double& t : g.transp) t = 0.0;
    for (double& r : g.ratio) r = speed_of(0.0);
    g.n_transp = 1;
    g.transp_jitter = 0.0;
    g.period = 60.0;
    g.phase = 0;
    g.phase_incr = 0;
    g.overlap = n;
    g.gain = gain_for(n);
    g.ms_scale = 1.0;
    g.compiled = false;
    g.source = SampleSource{};
}

void release(Granulator& g) {
    delete[] g.grains;
    g.grains = nullptr;
}

void set_pos_jitter(Granulator& g, double ms) { g.pos_jitter = ms * g.ms_scale; }

void set_transposition(Granulator& g, double cents) {
    g.n_transp = 1;
    set_entry(g, 0, cents);
}

void set_transp_list(Granulator& g, const double* values, int32_t count) {
    if (count <= 0) {
        g.n_transp = 1;
        set_entry(g, 0, 0.0);
        return;
    }
    if (count > kMaxTransp) count = kMaxTransp;  // surplus values are dropped
    for (int32_t i = 0; i < count; ++i) set_entry(g, i, values[i]);
    g.n_transp = count;
}

void set_transp_jitter(Granulator& g, double cents) { g.transp_jitter = cents; }

void set_period(Granulator& g, double ms) {
    double p = ms * g.ms_scale;
    // Before the first compile the value is milliseconds; compile clamps it.
    if (g.compiled && p < 4.0) p = 4.0;
    g.period = p;
    g.phase_incr = phase_step(p);
}

void set_overlap(Granulator& g, int32_t log2) {
    int32_t c = 1;
    if (log2 > 0) c = log2 >= 30 ? g.max_overlap : (int32_t{1} << log2);
    if (c > g.max_overlap) c = g.max_overlap;
    // Grains switched on now start afresh; those switched off keep their state.
    if (usable(g))
        for (int32_t i = g.overlap; i < c; ++i) start_grain(g, 0.0, g.grains[i]);
    g.overlap = c;
    g.gain = gain_for(c);
}

void compile(Granulator& g, double sample_rate) {
    const double s = sample_rate * 0.001;
    // Settings made before the first compile are milliseconds: that compile
    // converts them. Later compiles keep the sample counts as they stand,
    // at any new rate, on purpose: once converted, the milliseconds a value
    // was given in are not kept, and patches rely on a grain staying as many
    // samples long across a rate change (they resend times after one). A
    // time set after a compile is converted at once, at the rate of then.
    if (!g.compiled) {
        g.pos_jitter = g.pos_jitter * s;
        g.period = g.period * s;
    }
    if (g.period < 4.0) g.period = 4.0;
    g.phase = 0;
    g.ms_scale = s;
    g.compiled = true;
    g.phase_incr = phase_step(g.period);
}

void compile_and_restart(Granulator& g, double sample_rate) {
    compile(g, sample_rate);
    if (usable(g))
        for (int32_t i = 0; i < g.max_overlap; ++i) start_grain(g, 0.0, g.grains[i]);
}

}  // namespace vorn
