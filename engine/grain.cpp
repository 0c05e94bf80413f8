// Grain start: where a grain reads during its coming cycle, and how fast.
#include <cmath>

#include "convert.h"
#include "crmath.h"
#include "granulator.h"
#include "random.h"

namespace vorn {

namespace {

// Splits x into a signed 32.32 pair: floor for the integer part, the
// truncated remainder times 2^32 for the fraction, each kept to 32 bits.
void to_fixed(double x, int32_t& whole, uint32_t& frac) {
    whole = trunc_low32(std::floor(x));
    frac = trunc_low32u((x - whole) * 4294967296.0);
}

}  // namespace

void start_grain(Granulator& g, double position, Grain& grain) {
    const double C = kRandomScale;

    // The position draw is taken even when the jitter is 0.
    const double J = g.pos_jitter;
    const double r1 = random_next();
    const double start = position + (-J + ((2.0 * J * r1) * C));

    double T = g.transp[0];
    if (g.n_transp > 1) {
        const double r2 = random_next();
        int64_t k = trunc_to_int64((g.n_transp * r2) * C);
        // A draw of 2^31 - 1 would pick one past the list.
        if (k > g.n_transp - 1) k = g.n_transp - 1;
        T = g.transp[k];
    }

    if (g.transp_jitter > 0) {
        const double D = g.transp_jitter;
        const double r3 = random_next();
        T = T + (-D + ((2.0 * D * r3) * C));
    }

    // 0.00057762265047 is ln(2)/1200 to eleven digits. exp_cr, not the C
    // library's exp, which rounds some arguments the other way on some
    // platforms: every build gets the same ratio.
    const double R = exp_cr(T * 0.00057762265047);
    // Centre the span the grain reads during one period on the start.
    const double S = start - (R * g.period) * 0.5;

    to_fixed(S, grain.index, grain.frac);
    to_fixed(R, grain.step, grain.step_frac);
}

}  // namespace vorn
