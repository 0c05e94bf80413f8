// Correctly rounded exp and cos (see crmath.h).
//
// exp_cr. Fast path: k = round(x * 4096 / ln 2), x = k ln2/4096 + r with
// |r| <= ln2/8192 (about 2^-13.5), the reduction carried as a pair rh + rl
// with three pieces of ln2/4096, the first two short enough that their
// products with k are exact. Then e^x = 2^(k>>12) * 2^(i/64) * 2^(j/4096) *
// e^r with i and j the two six-bit fields of k's low twelve bits, the powers
// of two read as pairs hi + lo from two tables of 64, and e^r - 1 from its
// Taylor polynomial of degree 4 (the first neglected term, r^5/120, is below
// 2^-74.5). The products that matter are exact through Dekker's splitting;
// the sum comes out as hi + lo within 2^-74 of e^x relative to hi. The
// rounding test: the bound is taken as 2^-70 relative (four bits spare, and
// more than enough for the rounding of lo +- bound itself); if hi + (lo -
// bound) and hi + (lo + bound) round to the same double, that is the
// correctly rounded result. Otherwise (about one argument in 2^16), and for
// results below 2^-1021, the accurate path takes over.
//
// The accurate path works in binary fixed point: N words of 32 bits, the top
// one the integer part, 32(N-1) bits of fraction. x converts exactly; with k
// = floor(x / ln 2) and ln 2 to 512 bits, r = x - k ln2 in [0, 1) comes out
// within one unit of the last place (ulp); e^r by its Taylor series, term by
// term, each term within a few ulps, the whole sum within 2^10 ulps. Then
// e^x = S 2^k with S in [1, 2), rounded to 53 bits, or to the fewer that a
// subnormal result keeps, by rounding S - 2^10 ulps and S + 2^10 ulps: when
// both give the same integer, so does e^x, since e^x is never exactly
// halfway (e^x is transcendental for every rational x but 0). With N = 6
// (160 fraction bits) the bound is 2^-150 relative; should the test still
// fail, it runs again with N = 17 (512 bits), far finer than any double
// argument is known to need.
//
// cos_cr uses only the fixed-point path: x = q pi/2 + r, |r| <= pi/4, pi/2 to
// 512 bits, then the series of cos or sin of |r|, first with N = 6; near the
// zeros of cos, where the doubles nearest to pi/2 and 3pi/2 have cosines
// near 2^-54, that still leaves some 95 significant bits, and N = 17 follows
// whenever the rounding test fails.

#include "crmath.h"

#include <bit>
#include <cstdint>
#include <limits>

namespace vorn {

namespace crmath_detail {

// 2^(i/64) and 2^(i/4096) as hi + lo, from 100-digit decimal arithmetic; the
// MPFR tests check every entry.
alignas(64) const double kExp2Coarse[64][2] = {
    {0x1.0000000000000p+0, 0.0},
    {0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56},
    {0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55},
    {0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57},
    {0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54},
    {0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59},
    {0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54},
    {0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54},
    {0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55},
    {0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55},
    {0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54},
    {0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55},
    {0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54},
    {0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55},
    {0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55},
    {0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54},
    {0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55},
    {0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54},
    {0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54},
    {0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56},
    {0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55},
    {0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58},
    {0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59},
    {0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56},
    {0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56},
    {0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54},
    {0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55},
    {0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54},
    {0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54},
    {0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54},
    {0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54},
    {0x1.6623882552225p+0, -0x1.bb60987591c34p-54},
    {0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54},
    {0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57},
    {0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55},
    {0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54},
    {0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55},
    {0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56},
    {0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54},
    {0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54},
    {0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54},
    {0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55},
    {0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57},
    {0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54},
    {0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56},
    {0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54},
    {0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54},
    {0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54},
    {0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54},
    {0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57},
    {0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56},
    {0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55},
    {0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55},
    {0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54},
    {0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56},
    {0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54},
    {0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55},
    {0x1.da9e603db3285p+0, 0x1.c2300696db532p-54},
    {0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54},
    {0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55},
    {0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54},
    {0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54},
    {0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54},
    {0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55},
};

alignas(64) const double kExp2Fine[64][2] = {
    {0x1.0000000000000p+0, 0.0},
    {0x1.000b175effdc7p+0, 0x1.ae8e38c59c72ap-54},
    {0x1.00162f3904052p+0, -0x1.7b5d0d58ea8f4p-58},
    {0x1.0021478e11ce6p+0, 0x1.4115cb6b16a8ep-54},
    {0x1.002c605e2e8cfp+0, -0x1.d7c96f201bb2fp-55},
    {0x1.003779a95f959p+0, 0x1.84711d4c35e9fp-54},
    {0x1.0042936faa3d8p+0, -0x1.0484245243777p-55},
    {0x1.004dadb113da0p+0, -0x1.4b237da2025f9p-54},
    {0x1.0058c86da1c0ap+0, -0x1.5e00e62d6b30dp-56},
    {0x1.0063e3a559473p+0, 0x1.a1d6cedbb9481p-54},
    {0x1.006eff583fc3dp+0, -0x1.4acf197a00142p-54},
    {0x1.007a1b865a8cap+0, -0x1.eaf2ea42391a5p-57},
    {0x1.0085382faef83p+0, 0x1.da93f90835f75p-56},
    {0x1.00905554425d4p+0, -0x1.6a79084ab093cp-55},
    {0x1.009b72f41a12bp+0, 0x1.86364f8fbe8f8p-54},
    {0x1.00a6910f3b6fdp+0, -0x1.82e8e14e3110ep-55},
    {0x1.00b1afa5abcbfp+0, -0x1.4f6b2a7609f71p-55},
    {0x1.00bcceb7707ecp+0, -0x1.e1a258ea8f71bp-56},
    {0x1.00c7ee448ee02p+0, 0x1.4362ca5bc26f1p-56},
    {0x1.00d30e4d0c483p+0, 0x1.095a56c919d02p-54},
    {0x1.00de2ed0ee0f5p+0, -0x1.406ac4e81a645p-57},
    {0x1.00e94fd0398e0p+0, 0x1.b5a6902767e09p-54},
    {0x1.00f4714af41d3p+0, -0x1.91b2060859321p-54},
    {0x1.00ff93412315cp+0, 0x1.427068ab22306p-55},
    {0x1.010ab5b2cbd11p+0, 0x1.c1d0660524e08p-54},
    {0x1.0115d89ff3a8bp+0, -0x1.e7bdfb3204be8p-54},
    {0x1.0120fc089ff63p+0, 0x1.843aa8b9cbbc6p-55},
    {0x1.012c1fecd613bp+0, -0x1.34104ee7edae9p-56},
    {0x1.0137444c9b5b5p+0, -0x1.2b6aeb6176892p-56},
    {0x1.01426927f5278p+0, 0x1.a8cd33b8a1bb3p-56},
    {0x1.014d8e7ee8d2fp+0, 0x1.2edc08e5da99ap-56},
    {0x1.0158b4517bb88p+0, 0x1.57ba2dc7e0c73p-55},
    {0x1.0163da9fb3335p+0, 0x1.b61299ab8cdb7p-54},
    {0x1.016f0169949edp+0, -0x1.90565902c5f44p-54},
    {0x1.017a28af25567p+0, 0x1.70fc41c5c2d53p-55},
    {0x1.018550706ab62p+0, 0x1.4b9a6e145d76cp-54},
    {0x1.019078ad6a19fp+0, -0x1.008eff5142bf9p-56},
    {0x1.019ba16628de2p+0, -0x1.77669f033c7dep-54},
    {0x1.01a6ca9aac5f3p+0, -0x1.09bb78eeead0ap-54},
    {0x1.01b1f44af9f9ep+0, 0x1.371231477ece5p-54},
    {0x1.01bd1e77170b4p+0, 0x1.5e7626621eb5bp-56},
    {0x1.01c8491f08f08p+0, -0x1.bc72b100828a5p-54},
    {0x1.01d37442d5070p+0, -0x1.ce39cbbab8bbep-57},
    {0x1.01de9fe280ac8p+0, 0x1.16996709da2e2p-55},
    {0x1.01e9cbfe113efp+0, -0x1.c11f5239bf535p-55},
    {0x1.01f4f8958c1c6p+0, 0x1.e1d4eb5edc6b3p-55},
    {0x1.020025a8f6a35p+0, -0x1.afb99946ee3f0p-54},
    {0x1.020b533856324p+0, -0x1.8f06d8a148a32p-54},
    {0x1.02168143b0281p+0, -0x1.2bf310fc54eb6p-55},
    {0x1.0221afcb09e3ep+0, -0x1.c95a035eb4175p-54},
    {0x1.022cdece68c4fp+0, -0x1.491793e46834dp-54},
    {0x1.02380e4dd22adp+0, -0x1.3e8d0d9c49091p-56},
    {0x1.02433e494b755p+0, -0x1.314aa16278aa3p-54},
    {0x1.024e6ec0da046p+0, 0x1.48daf888e9651p-55},
    {0x1.02599fb483385p+0, 0x1.56dc8046821f4p-55},
    {0x1.0264d1244c719p+0, 0x1.45b42356b9d47p-54},
    {0x1.027003103b10ep+0, -0x1.082ef51b61d7ep-56},
    {0x1.027b357854772p+0, 0x1.2106ed0920a34p-56},
    {0x1.0286685c9e059p+0, -0x1.fd4cf26ea5d0fp-54},
    {0x1.02919bbd1d1d8p+0, -0x1.09f8775e78084p-54},
    {0x1.029ccf99d720ap+0, 0x1.64cbba902ca27p-58},
    {0x1.02a803f2d170dp+0, 0x1.4383ef231d207p-54},
    {0x1.02b338c811703p+0, 0x1.4a47a505b3a47p-54},
    {0x1.02be6e199c811p+0, 0x1.e47120223467fp-54},
};

}  // namespace crmath_detail

namespace {

using crmath_detail::kExp2Coarse;
using crmath_detail::kExp2Fine;

uint64_t bits_of(double x) { return std::bit_cast<uint64_t>(x); }
double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

constexpr uint64_t kAbsMask = 0x7FFFFFFFFFFFFFFF;
constexpr uint64_t kExpMask = 0x7FF0000000000000;

// 2^e for -1022 <= e <= 1023, built from its bits.
double pow2(int e) { return from_bits(static_cast<uint64_t>(e + 1023) << 52); }

// The integer nearest to v (ties to even), for |v| < 2^31: adding 1.5 * 2^52
// leaves it in the low bits of the sum. No float-to-integer conversion.
constexpr double kRoundShift = 0x1.8p52;
int32_t nearest_int(double v) {
    return static_cast<int32_t>(static_cast<uint32_t>(bits_of(v + kRoundShift)));
}

// ---------------------------------------------------------------------------
// Double-double pieces. Exact under round-to-nearest without contraction,
// which the build guarantees (-ffp-contract=off, SSE2 on 32-bit x86).

// s + e = a + b exactly, s = a + b rounded; needs |a| >= |b| (or a = 0).
inline void fast_two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    e = b - (s - a);
}

// s + e = a + b exactly, s = a + b rounded; any order.
inline void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// hi + lo = a exactly, each half at most 26 significant bits (Veltkamp).
inline void split(double a, double& hi, double& lo) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    hi = c - (c - a);
    lo = a - hi;
}

// p + e = a * b exactly, p = a * b rounded (Dekker); |a|, |b| well inside
// the range.
inline void two_prod(double a, double b, double& p, double& e) {
    p = a * b;
    double ah, al, bh, bl;
    split(a, ah, al);
    split(b, bh, bl);
    e = ((ah * bh - p) + ah * bl + al * bh) + al * bl;
}

// ---------------------------------------------------------------------------
// exp_cr, fast path.

constexpr double kInvLn2x4096 = 0x1.71547652b82fep+12;  // 4096 / ln 2
// ln2/4096 = kC1 + kC2 + kC3 to about 2^-132; kC1 and kC2 have 30 significant
// bits, so their products with |k| < 2^23 are exact.
constexpr double kC1 = 0x1.62e42ff000000p-13;
constexpr double kC2 = -0x1.718432a000000p-47;
constexpr double kC3 = -0x1.b0e2633fe0685p-79;
constexpr double kInv6 = 0x1.5555555555555p-3;
constexpr double kInv24 = 0x1.5555555555555p-5;

// Arguments the fast path takes: 2^-54 <= |x| < 707, where the result lies in
// [2^-1021, 2^1021).
constexpr uint64_t kFastLow = 0x3C90000000000000;   // 2^-54
constexpr uint64_t kFastHigh = 0x4086180000000000;  // 707
// The last argument whose result is finite: e^x is 1.7976931348622732e308,
// just below the largest double; the next double's rounds to infinity.
constexpr double kLastFinite = 0x1.62e42fefa39efp+9;  // 709.782712893384
// Below this, e^x < 2^-1075: the result is +0.
constexpr double kZeroBelow = -746.0;

// e^x = (hi + lo) 2^K, hi in [0.9999, 2), within 2^-74 relative to hi.
inline void exp_fast(double x, double& hi, double& lo, int& K) {
    const double t = x * kInvLn2x4096 + kRoundShift;
    const double kd = t - kRoundShift;
    const int32_t k = static_cast<int32_t>(static_cast<uint32_t>(bits_of(t)));

    // r = x - k ln2/4096 = rh + rl: the first difference is exact (both
    // terms are multiples of ulp(x) and close), the second kept exactly.
    const double a = x - kd * kC1;
    double rh, e;
    two_sum(a, -(kd * kC2), rh, e);
    const double rl = e - kd * kC3;

    // e^r - 1 = rh + (rl + q): q the terms of degree 2 to 4 in rh, and the
    // first-order effect of rl on r^2/2.
    const double q = (rh * rh) * (0.5 + rh * (kInv6 + rh * kInv24)) + rh * rl;
    const double pl = rl + q;

    const double* c = kExp2Coarse[(k >> 6) & 63];
    const double* f = kExp2Fine[k & 63];
    double th, t1;
    two_prod(c[0], f[0], th, t1);
    const double tl = t1 + (c[0] * f[1] + c[1] * f[0]);

    // (th + tl)(1 + rh + pl), the terms below 2^-78 left out.
    double p, pe;
    two_prod(th, rh, p, pe);
    double s, se;
    fast_two_sum(th, p, s, se);
    const double l = se + (tl + (pe + (th * pl + tl * rh)));
    fast_two_sum(s, l, hi, lo);
    K = k >> 12;
}

// hi + lo within 2^-70 hi of the true value: the double it rounds to, or
// false if that cannot be told.
inline bool exp_round(double hi, double lo, double& y) {
    const double bound = hi * 0x1p-70;
    const double down = hi + (lo - bound);
    const double up = hi + (lo + bound);
    y = down;
    return down == up;
}

// ---------------------------------------------------------------------------
// Fixed point for the accurate paths.

// N 32-bit words, least significant first; the last is the integer part,
// the others hold 32(N-1) fraction bits. Arithmetic wraps modulo 2^(32N), so
// that negative values are two's complement.
template <int N>
struct Fixed {
    uint32_t w[N];
};

template <int N>
Fixed<N> fx_add(const Fixed<N>& a, const Fixed<N>& b) {
    Fixed<N> r;
    uint64_t carry = 0;
    for (int i = 0; i < N; ++i) {
        const uint64_t s = uint64_t{a.w[i]} + b.w[i] + carry;
        r.w[i] = static_cast<uint32_t>(s);
        carry = s >> 32;
    }
    return r;
}

template <int N>
Fixed<N> fx_sub(const Fixed<N>& a, const Fixed<N>& b) {
    Fixed<N> r;
    uint64_t borrow = 0;
    for (int i = 0; i < N; ++i) {
        const uint64_t d = uint64_t{a.w[i]} - b.w[i] - borrow;
        r.w[i] = static_cast<uint32_t>(d);
        borrow = d >> 63;  // the difference wrapped
    }
    return r;
}

template <int N>
Fixed<N> fx_small(uint32_t v) {
    Fixed<N> r{};
    r.w[0] = v;
    return r;
}

template <int N>
Fixed<N> fx_neg(const Fixed<N>& a) {
    return fx_sub(Fixed<N>{}, a);
}

template <int N>
bool fx_negative(const Fixed<N>& a) {
    return (a.w[N - 1] >> 31) != 0;
}

template <int N>
bool fx_zero(const Fixed<N>& a) {
    uint32_t any = 0;
    for (int i = 0; i < N; ++i) any |= a.w[i];
    return any == 0;
}

// a * b truncated to the format; both non-negative, the product below 2^32.
template <int N>
Fixed<N> fx_mul(const Fixed<N>& a, const Fixed<N>& b) {
    uint32_t p[2 * N] = {};
    for (int i = 0; i < N; ++i) {
        uint64_t carry = 0;
        for (int j = 0; j < N; ++j) {
            const uint64_t t = uint64_t{a.w[i]} * b.w[j] + p[i + j] + carry;
            p[i + j] = static_cast<uint32_t>(t);
            carry = t >> 32;
        }
        p[i + N] = static_cast<uint32_t>(carry);
    }
    Fixed<N> r;
    for (int i = 0; i < N; ++i) r.w[i] = p[i + N - 1];
    return r;
}

// a / d truncated; a non-negative, d > 0.
template <int N>
Fixed<N> fx_div(const Fixed<N>& a, uint32_t d) {
    Fixed<N> r;
    uint64_t rem = 0;
    for (int i = N - 1; i >= 0; --i) {
        const uint64_t cur = (rem << 32) | a.w[i];
        r.w[i] = static_cast<uint32_t>(cur / d);
        rem = cur % d;
    }
    return r;
}

// m * c truncated to the format, c a constant of 16 fraction words and an
// integer word; the product below 2^32. The truncation is the only error
// worth counting: under one ulp.
template <int N>
Fixed<N> fx_times_constant(uint32_t m, const uint32_t (&c)[17]) {
    static_assert(N <= 17);
    uint32_t p[17];
    uint64_t carry = 0;
    for (int i = 0; i < 17; ++i) {
        const uint64_t t = uint64_t{c[i]} * m + carry;
        p[i] = static_cast<uint32_t>(t);
        carry = t >> 32;
    }
    Fixed<N> r;
    for (int i = 0; i < N; ++i) r.w[i] = p[17 - N + i];
    return r;
}

// x exactly; |x| < 2^31 and a multiple of 2^-32(N-1), which the callers'
// lower bounds on |x| ensure.
template <int N>
Fixed<N> fx_from_double(double x) {
    const uint64_t b = bits_of(x);
    const int biased = static_cast<int>((b >> 52) & 0x7FF);
    const uint64_t m = (b & 0x000FFFFFFFFFFFFF) | 0x0010000000000000;  // x is normal
    const int shift = biased - 1075 + 32 * (N - 1);                     // of m's lowest bit
    Fixed<N> r{};
    const int word = shift / 32, off = shift % 32;
    const uint64_t low = m << off;
    const uint64_t high = off ? m >> (64 - off) : 0;
    if (word < N) r.w[word] = static_cast<uint32_t>(low);
    if (word + 1 < N) r.w[word + 1] = static_cast<uint32_t>(low >> 32);
    if (word + 2 < N) r.w[word + 2] = static_cast<uint32_t>(high);
    return (b >> 63) ? fx_neg(r) : r;
}

// Bits pos to pos + 63 of a (zeros past the top); pos >= 0.
template <int N>
uint64_t fx_bits(const Fixed<N>& a, int pos) {
    uint64_t r = 0;
    const int word = pos / 32, off = pos % 32;
    for (int i = 2; i >= 0; --i) {
        const int at = word + i;
        const uint64_t v = at < N ? a.w[at] : 0;
        // word i contributes at bit 32 i - off of the result
        const int sh = 32 * i - off;
        if (sh >= 0) {
            if (sh < 64) r |= v << sh;
        } else {
            r |= v >> -sh;
        }
    }
    return r;
}

// The highest set bit of a (a > 0).
template <int N>
int fx_top_bit(const Fixed<N>& a) {
    for (int i = N - 1; i >= 0; --i)
        if (a.w[i]) return 32 * i + 31 - std::countl_zero(a.w[i]);
    return -1;
}

// v within `err` ulps of a value V > 0 that is not a midpoint: V rounded to
// the multiples of 2^-p (in units of 2^-p, so the integer round(V 2^p)), p >=
// -1. False if v - err and v + err round differently, m then being the
// former's.
template <int N>
bool fx_round(const Fixed<N>& v, int p, uint32_t err, uint64_t& m) {
    const int s = 32 * (N - 1) - p;  // position of the last bit kept
    Fixed<N> half{};
    half.w[(s - 1) / 32] = uint32_t{1} << ((s - 1) % 32);
    const Fixed<N> down = fx_add(fx_sub(v, fx_small<N>(err)), half);
    const Fixed<N> up = fx_add(fx_add(v, fx_small<N>(err)), half);
    m = fx_bits(down, s);
    return m == fx_bits(up, s);
}

// ln 2 and pi/2 to 512 fraction bits (truncated), least significant word
// first, the integer word last.
constexpr uint32_t kLn2[17] = {
    0x1169B825, 0x27573B29, 0xC1382144, 0xED2EAE35, 0x4AFA1B10, 0x559552FB,
    0x6DEBAC98, 0xE7B87620, 0x8BAAFA2B, 0x8A0D175B, 0x7298B62D, 0x40F34326,
    0x03F2F6AF, 0xC9E3B398, 0xD1CF79AB, 0xB17217F7, 0x00000000,
};
constexpr uint32_t kPiOver2[17] = {
    0xDAA3848B, 0x9FC26ADA, 0xE4BE286E, 0x605614DB, 0x9A748636, 0xDF2A3367,
    0x1C6809BB, 0xA29410F3, 0x76273644, 0x04177D4C, 0x14CF98E8, 0x52049C11,
    0x01B839A2, 0x898CC517, 0x42D18469, 0x921FB544, 0x00000001,
};

// The error bound of both series, in ulps of the format.
constexpr uint32_t kSeriesError = 1024;

// e^x for 2^-54 <= |x| <= 746, x <= kLastFinite, in y; false if the
// rounding could not be decided at this precision.
template <int N>
bool exp_fixed(double x, double& y) {
    const Fixed<N> X = fx_from_double<N>(x);
    // k = floor(x / ln 2), from an estimate within one of it.
    int32_t k = nearest_int(x * 0x1.71547652b82fep+0 - 0.5);
    Fixed<N> r;
    for (int tries = 0; tries < 4; ++tries) {
        const uint32_t mag = k < 0 ? 0u - static_cast<uint32_t>(k) : static_cast<uint32_t>(k);
        const Fixed<N> kl = fx_times_constant<N>(mag, kLn2);
        r = fx_sub(X, k < 0 ? fx_neg(kl) : kl);
        if (fx_negative(r)) {
            --k;
        } else if (r.w[N - 1] != 0) {
            ++k;
        } else {
            break;
        }
    }
    // S = e^r in [1, e), within kSeriesError ulps.
    Fixed<N> S{};
    S.w[N - 1] = 1;
    S = fx_add(S, r);
    Fixed<N> term = r;
    for (uint32_t n = 2;; ++n) {
        term = fx_div(fx_mul(term, r), n);
        if (fx_zero(term)) break;
        S = fx_add(S, term);
    }
    if (S.w[N - 1] >= 2) {  // halve into [1, 2); the error halves, plus one ulp
        for (int i = 0; i < N - 1; ++i) S.w[i] = (S.w[i] >> 1) | (S.w[i + 1] << 31);
        S.w[N - 1] >>= 1;
        ++k;
    }
    // e^x = S 2^k. Normal results keep 52 fraction bits of S, subnormal ones
    // k + 1074; below 2^-1075 the result is 0.
    if (k > 1023) {
        y = std::numeric_limits<double>::infinity();
        return true;
    }
    const int p = k >= -1022 ? 52 : k + 1074;
    if (p < -1) {
        y = 0.0;
        return true;
    }
    uint64_t m;
    const bool decided = fx_round(S, p, kSeriesError, m);
    // m <= 2^53 units of 2^(k-52): the exponent field and m add up to the
    // bits of the result, a carry out of m raising the exponent (to
    // infinity past the top); a subnormal result is m units of 2^-1074.
    y = from_bits(k >= -1022 ? (static_cast<uint64_t>(k + 1022) << 52) + m : m);
    return decided;
}

// cos x for 2^-27 <= x <= 8, in y; false if the rounding could not be
// decided at this precision.
template <int N>
bool cos_fixed(double x, double& y) {
    const Fixed<N> X = fx_from_double<N>(x);
    const int32_t q = nearest_int(x * 0x1.45f306dc9c883p-1);  // x * 2/pi, 0 to 5
    Fixed<N> r = fx_sub(X, fx_times_constant<N>(static_cast<uint32_t>(q), kPiOver2));
    const bool r_negative = fx_negative(r);
    if (r_negative) r = fx_neg(r);
    // cos(q pi/2 + r) is cos r, -sin r, -cos r, sin r for q = 0, 1, 2, 3 (mod 4).
    const Fixed<N> r2 = fx_mul(r, r);
    Fixed<N> sum, term;
    uint32_t n;
    if (q % 2 == 0) {
        sum = fx_small<N>(0);
        sum.w[N - 1] = 1;
        term = sum;
        n = 1;  // term k: r^2k / (2k)!
    } else {
        sum = r;
        term = r;
        n = 2;  // term k: r^(2k+1) / (2k+1)!
    }
    for (bool subtract = true;; subtract = !subtract, n += 2) {
        term = fx_div(fx_mul(term, r2), n * (n + 1));
        if (fx_zero(term)) break;
        sum = subtract ? fx_sub(sum, term) : fx_add(sum, term);
    }
    const bool negative = q % 4 == 2 || (q % 4 == 1 && !r_negative) || (q % 4 == 3 && r_negative);
    // |cos x| = sum in (0, 1]: 53 bits from its leading one.
    const int lead = fx_top_bit(fx_sub(sum, fx_small<N>(kSeriesError))) - 32 * (N - 1);
    uint64_t m;
    const bool decided = fx_round(sum, 52 - lead, kSeriesError, m);
    y = from_bits((negative ? 0x8000000000000000 : 0) + (static_cast<uint64_t>(lead + 1022) << 52) + m);
    return decided;
}

}  // namespace

namespace crmath_detail {

void exp_fast_parts(double x, double& hi, double& lo, int& k) { exp_fast(x, hi, lo, k); }

double exp_accurate(double x) {
    const uint64_t ax = bits_of(x) & kAbsMask;
    if (ax < kFastLow) return 1.0;
    if (ax >= kExpMask) {
        if (ax > kExpMask) return x + x;  // NaN
        return x > 0 ? x : 0.0;
    }
    if (x > kLastFinite) return std::numeric_limits<double>::infinity();
    if (x < kZeroBelow) return 0.0;
    double y;
    if (exp_fixed<6>(x, y)) return y;
    exp_fixed<17>(x, y);
    return y;
}

}  // namespace crmath_detail

namespace {

// exp_cr outside the fast range.
[[gnu::noinline]] double exp_edge(double x) {
    if (x >= 707.0 && x <= kLastFinite) {
        double hi, lo, y;
        int K;
        exp_fast(x, hi, lo, K);  // K up to 1024
        if (exp_round(hi, lo, y)) return (y * 2.0) * pow2(K - 1);
    }
    return crmath_detail::exp_accurate(x);
}

}  // namespace

double exp_cr(double x) {
    const uint64_t ax = bits_of(x) & kAbsMask;
    if (ax - kFastLow >= kFastHigh - kFastLow) return exp_edge(x);
    double hi, lo, y;
    int K;
    exp_fast(x, hi, lo, K);
    if (exp_round(hi, lo, y)) return y * pow2(K);
    return crmath_detail::exp_accurate(x);
}

double cos_cr(double x) {
    const double ax = from_bits(bits_of(x) & kAbsMask);
    if (!(ax <= 8.0)) return std::numeric_limits<double>::quiet_NaN();
    if (ax < 0x1p-27) return 1.0;  // cos x > 1 - 2^-55: rounds to 1
    double y;
    if (cos_fixed<6>(ax, y)) return y;
    cos_fixed<17>(ax, y);
    return y;
}

}  // namespace vorn
