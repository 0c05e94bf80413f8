// Grain start: where a grain reads during its coming cycle, and how fast.
#include "convert.h"
#include "crmath.h"
#include "granulator.h"
#include "random.h"

namespace vorn {

namespace {

// Splits x into a signed 32.32 pair: floor for the integer part, the
// truncated remainder times 2^32 for the fraction, each kept to 32 bits.
// The floor is taken in integers, as trunc_low32(std::floor(x)) would give
// it: where x lies within the 64-bit range so does its floor, and the
// truncation less one below a negative non-integer is that floor; outside
// it (and for NaN) so does the floor, and both give 0.
void to_fixed(double x, int32_t& whole, uint32_t& frac) {
    if (x >= -9223372036854775808.0 && x < 9223372036854775808.0) {
        int64_t i = static_cast<int64_t>(x);
        if (static_cast<double>(i) > x) --i;
        whole = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(i)));
    } else {
        whole = 0;
    }
    frac = trunc_low32u((x - whole) * 4294967296.0);
}

}  // namespace

double speed_of(double cents) { return exp_cr(cents * 0.00057762265047); }

void start_grain(Granulator& g, double position, Grain& grain) {
    const double C = kRandomScale;

    // The position draw is taken even when the jitter is 0.
    const double J = g.pos_jitter;
    const double r1 = random_next();
    const double start = position + (-J + ((2.0 * J * r1) * C));

    int64_t k = 0;
    if (g.n_transp > 1) {
        const double r2 = random_next();
        k = trunc_to_int64((g.n_transp * r2) * C);
        // A draw of 2^31 - 1 would pick one past the list.
        if (k > g.n_transp - 1) k = g.n_transp - 1;
    }

    // Without a detune the entry's ratio was computed when it was set.
    double R = g.ratio[k];
    if (g.transp_jitter > 0) {
        const double D = g.transp_jitter;
        const double r3 = random_next();
        R = speed_of(g.transp[k] + (-D + ((2.0 * D * r3) * C)));
    }
    // Centre the span the grain reads during one period on the start.
    const double S = start - (R * g.period) * 0.5;

    to_fixed(S, grain.index, grain.frac);
    to_fixed(R, grain.step, grain.step_frac);
}

}  // namespace vorn
