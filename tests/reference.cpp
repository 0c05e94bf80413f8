// Plain second reading of grain start and the synthesis loop. See reference.h.
#include "reference.h"

#include <bit>
#include <cmath>
#include <cstdint>

#include "convert.h"
#include "crmath.h"
#include "tables.h"

namespace vorn::ref {

namespace {

// The double nearest to 1/(2^31 - 1), given by its bit pattern.
const double kScale = std::bit_cast<double>(uint64_t{0x3E00000000200000});

// ln 2 / 1200 to eleven significant digits: cents to natural-log ratio.
constexpr double kCentsToLog = 0.00057762265047;

constexpr double kTwoTo32 = 4294967296.0;

// Low 32 bits of the truncated value, as signed and as unsigned.
int32_t low32_signed(double x) {
    const uint64_t bits = static_cast<uint64_t>(trunc_to_int64(x));
    return static_cast<int32_t>(static_cast<uint32_t>(bits));
}

uint32_t low32_unsigned(double x) {
    const uint64_t bits = static_cast<uint64_t>(trunc_to_int64(x));
    return static_cast<uint32_t>(bits);
}

// A uniform offset in (-|h|, +|h|): -h + ((2h * r) * C), each step rounded.
double centred_offset(double h, uint32_t r) {
    const double two_h = 2.0 * h;
    const double scaled = two_h * static_cast<double>(r);
    const double unit = scaled * kScale;
    return -h + unit;
}

}  // namespace

uint32_t ref_random_next(uint32_t& state) {
    const uint32_t s = state;
    const uint32_t hi = s >> 16;
    const uint32_t lo = s & 0xFFFFu;
    const uint32_t a = hi * 16807u;
    uint32_t b = lo * 16807u;
    b = b + ((a & 0x7FFFu) << 16);
    if (b > 0x7FFFFFFFu) b = (b & 0x7FFFFFFFu) + 1u;
    b = b + (a >> 15);
    if (b > 0x7FFFFFFFu) b = (b & 0x7FFFFFFFu) + 1u;
    state = b;
    return b;
}

void ref_start_grain(Granulator& g, double position, Grain& grain, uint32_t& state) {
    // Start position: always one draw, even with no jitter.
    const uint32_t r1 = ref_random_next(state);
    const double start = position + centred_offset(g.pos_jitter, r1);

    // Transposition: a draw only when the list has more than one entry.
    double t;
    if (g.n_transp > 1) {
        const uint32_t r2 = ref_random_next(state);
        const double product = static_cast<double>(g.n_transp) * static_cast<double>(r2);
        int64_t k = trunc_to_int64(product * kScale);
        // The last entry is the highest that may be picked, whatever the draw.
        if (k > g.n_transp - 1) k = g.n_transp - 1;
        t = g.transp[k];
    } else {
        t = g.transp[0];
    }

    // Detune: only a strictly positive jitter draws and applies.
    if (g.transp_jitter > 0) {
        const uint32_t r3 = ref_random_next(state);
        t = t + centred_offset(g.transp_jitter, r3);
    }

    // Resampling ratio, and the start moved back by half the span read. The
    // ratio is e^(t * kCentsToLog) rounded to nearest, which is what exp_cr
    // gives: the one engine routine this reading shares, since a second
    // correctly rounded exponential here would be as long as the first. It is
    // checked on its own against MPFR (crmath_mpfr_tests) and by a hash of
    // its results in the engine tests. std::exp would not do: glibc's on
    // x86-64 rounds about one argument in 2000 of the transposition range
    // the other way.
    const double ratio = exp_cr(t * kCentsToLog);
    const double span = ratio * g.period;
    const double s = start - span * 0.5;

    // 32.32: floor for the integer part, the remainder truncated for the fraction.
    const int32_t index = low32_signed(std::floor(s));
    const uint32_t frac = low32_unsigned((s - static_cast<double>(index)) * kTwoTo32);
    const int32_t step = low32_signed(std::floor(ratio));
    const uint32_t step_frac = low32_unsigned((ratio - static_cast<double>(step)) * kTwoTo32);

    grain.index = index;
    grain.frac = frac;
    grain.step = step;
    grain.step_frac = step_frac;
}

void ref_perform(Granulator& g, const float* in, float* out, int32_t n, uint32_t& state) {
    for (int32_t j = 0; j < n; ++j) out[j] = 0.0f;

    const SampleSource& src = g.source;
    if (src.valid == 0) return;
    // An instance whose grain array could not be allocated renders silence.
    if (g.grains == nullptr) return;

    const uint32_t master = g.phase;
    const int32_t incr = g.phase_incr;
    const float gain = g.gain;
    Grain* const grains = g.grains;
    const float* const smp = src.samples;
    const int32_t frames = src.frames;
    const int64_t last_ok = static_cast<int64_t>(frames) - 2;  // idx must stay below this

    for (int32_t i = 0; i < g.overlap; ++i) {
        Grain& gr = grains[i];
        int32_t idx = gr.index;
        uint32_t fr = gr.frac;
        int32_t st = gr.step;
        uint32_t sf = gr.step_frac;
        uint32_t p = master - gr.offset;

        for (int32_t j = 0; j < n; ++j) {
            p = p & 0x7FFFFFFFu;

            // The grain restarts in the first sample after its phase wraps.
            if (static_cast<int32_t>(p) < incr) {
                const double position = static_cast<double>(in[j]) * g.ms_scale;
                ref_start_grain(g, position, gr, state);
                idx = gr.index;
                fr = gr.frac;
                st = gr.step;
                sf = gr.step_frac;
            }

            if (0 < idx && static_cast<int64_t>(idx) < last_ok) {
                // The top six bits of the fraction pick one of the 64 rows.
                const uint32_t row = fr >> 26;
                const double c0 = interp_table[row][0];
                const double c1 = interp_table[row][1];
                const double c2 = interp_table[row][2];
                const double c3 = interp_table[row][3];
                const double before = smp[idx - 1];
                const double at = smp[idx];
                const double after = smp[idx + 1];
                const double after2 = smp[idx + 2];

                double v = after2 * c3;
                v = v + after * c2;
                v = v + before * c0;
                v = v + c1 * at;
                v = v * static_cast<double>(window_table[p >> 19]);
                v = v * static_cast<double>(gain);
                out[j] = static_cast<float>(static_cast<double>(out[j]) + v);
            }

            // 64-bit fixed-point add of (idx, fr) and (st, sf).
            const uint32_t fr_next = fr + sf;
            const uint32_t carry = fr_next < sf ? 1u : 0u;
            idx = static_cast<int32_t>(static_cast<uint32_t>(idx) + static_cast<uint32_t>(st) + carry);
            fr = fr_next;

            p = p + static_cast<uint32_t>(incr);
        }

        gr.index = idx;
        gr.frac = fr;
        // Grain 0 has offset 0: its running phase is the new master phase.
        if (i == 0) g.phase = p;
    }
}

}  // namespace vorn::ref
