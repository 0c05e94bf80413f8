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
// it: within the 64-bit range the truncation, less one below a negative
// non-integer, is the floor. Outside it, and for NaN, the truncation is
// INT64_MIN, whose low 32 bits are 0, as the floor's would be; it takes no
// step back (-2^63 itself is its own floor).
void to_fixed(double x, int32_t& whole, uint32_t& frac) {
    const int64_t t = trunc_to_int64(x);
    uint64_t i = static_cast<uint64_t>(t);
    if (t != INT64_MIN && static_cast<double>(t) > x) --i;
    whole = static_cast<int32_t>(static_cast<uint32_t>(i));
    frac = trunc_low32u((x - whole) * 4294967296.0);
}

}  // namespace

double speed_of(double cents) { return exp_cr(cents * 0.00057762265047); }

void start_grain(Granulator& g, double position, Grain& grain) {
    const double C = kRandomScale;

    // A jitter's offset is -J + ((2J * r) * C), each operation rounded to
    // double in this order: the bits of every start, and so of every
    // render, are those of this form (J * (2rC - 1), say, rounds
    // differently). It lies strictly inside (-|J|, +|J|), since r * C does
    // inside (0, 1), and is exactly 0 for J = 0. The position draw is taken
    // even then, so that the draws do not depend on the jitter.
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
