// exp_cr and cos_cr against MPFR: every result must be the double nearest to
// the exact value. The default run checks samples that take a few seconds;
// VORN_CRMATH_FULL=1 in the environment runs the full counts (10 million
// arguments over the transposition range, a million each over the whole
// range, for the accurate path alone and for the cosine), which take minutes.
#include <gtest/gtest.h>
#include <mpfr.h>

#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>

#include "crmath.h"
#include "tables.h"

namespace {

bool full_run() {
    const char* v = std::getenv("VORN_CRMATH_FULL");
    return v && *v && std::string(v) != "0";
}

long count(long quick, long full) { return full_run() ? full : quick; }

// One MPFR number of 53 bits with the exponent range of double, so that
// results round as doubles do, subnormals included.
struct Double53 {
    mpfr_t v;
    Double53() {
        mpfr_set_emin(-1073);
        mpfr_set_emax(1024);
        mpfr_init2(v, 53);
    }
    ~Double53() { mpfr_clear(v); }
    Double53(const Double53&) = delete;
    Double53& operator=(const Double53&) = delete;
};

double mpfr_exp_rn(double x) {
    Double53 t;
    mpfr_set_d(t.v, x, MPFR_RNDN);
    const int inexact = mpfr_exp(t.v, t.v, MPFR_RNDN);
    mpfr_subnormalize(t.v, inexact, MPFR_RNDN);
    return mpfr_get_d(t.v, MPFR_RNDN);
}

double mpfr_cos_rn(double x) {
    Double53 t;
    mpfr_set_d(t.v, x, MPFR_RNDN);
    const int inexact = mpfr_cos(t.v, t.v, MPFR_RNDN);
    mpfr_subnormalize(t.v, inexact, MPFR_RNDN);
    return mpfr_get_d(t.v, MPFR_RNDN);
}

bool same(double a, double b) {
    return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b) || (std::isnan(a) && std::isnan(b));
}

// A fixed sequence (splitmix64), the same on every platform.
struct Random {
    uint64_t s;
    explicit Random(uint64_t seed) : s(seed) {}
    uint64_t next() {
        uint64_t z = (s += 0x9E3779B97F4A7C15);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
        return z ^ (z >> 31);
    }
    // Uniform on [lo, hi).
    double in(double lo, double hi) { return lo + (hi - lo) * (static_cast<double>(next() >> 11) * 0x1p-53); }
    // A finite double drawn by its bits: every binade equally often.
    double any_finite() {
        for (;;) {
            const double x = std::bit_cast<double>(next());
            if (std::isfinite(x)) return x;
        }
    }
};

// Checks f(x) against want(x) for n arguments from arg(i); reports the count,
// the mismatches (the first few in full) and the time.
void check(const char* what, long n, const std::function<double(long)>& arg, double (*f)(double),
           double (*want)(double)) {
    const auto t0 = std::chrono::steady_clock::now();
    long mismatches = 0;
    for (long i = 0; i < n; ++i) {
        const double x = arg(i);
        const double got = f(x), expected = want(x);
        if (!same(got, expected)) {
            if (++mismatches <= 10)
                ADD_FAILURE() << what << ": f(" << std::hexfloat << x << ") = " << got << ", nearest is " << expected;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%s: %ld arguments, %ld mismatches, %.1f s\n", what, n, mismatches, seconds);
    EXPECT_EQ(mismatches, 0) << what;
}

constexpr double kCentsToLog = 0.00057762265047;

std::string hex(double x) {
    char text[40];
    std::snprintf(text, sizeof text, "%a", x);
    return text;
}

}  // namespace

TEST(CrmathMpfr, ExpEveryWholeCent) {
    check("exp, whole cents -38400..38400", 76801, [](long i) { return static_cast<double>(i - 38400) * kCentsToLog; },
          vorn::exp_cr, mpfr_exp_rn);
}

TEST(CrmathMpfr, ExpTranspositionRange) {
    Random r(1);
    check("exp, random |x| <= 22.2", count(200000, 10000000), [&](long) { return r.in(-22.2, 22.2); }, vorn::exp_cr,
          mpfr_exp_rn);
}

// A quarter each: all of the finite range (by bits), the range of finite
// non-zero results, subnormal results, and the edge of overflow.
double whole_range_arg(Random& r, long i) {
    switch (i % 4) {
        case 0: return r.any_finite();
        case 1: return r.in(-746.0, 710.0);
        case 2: return r.in(-745.2, -708.3);
        default: return r.in(707.0, 709.8);
    }
}

TEST(CrmathMpfr, ExpWholeRange) {
    Random r(2);
    check("exp, whole finite range", count(100000, 1000000), [&](long i) { return whole_range_arg(r, i); },
          vorn::exp_cr, mpfr_exp_rn);
}

// The fallback on its own, over the same arguments and the transposition range.
TEST(CrmathMpfr, ExpAccuratePathAlone) {
    Random r(3);
    check("exp, accurate path alone", count(20000, 1000000),
          [&](long i) { return i % 2 ? whole_range_arg(r, i / 2) : r.in(-22.2, 22.2); },
          vorn::crmath_detail::exp_accurate, mpfr_exp_rn);
}

// Runs of consecutive doubles around every boundary of the code and of the
// result: 2^-54 and 2^-53 (results 1 and below), the fast path's limit at
// 707, the last finite result, the first subnormal result, the last non-zero
// one, and the ends of the transposition range.
TEST(CrmathMpfr, ExpBoundaries) {
    const double centres[] = {0x1p-54,  -0x1p-54, 0x1p-53,  -0x1p-53, 0.0,     707.0, -707.0,
                              709.782712893384, -708.3964185322641, -745.1332191019411, 22.2, -22.2};
    for (double c : centres) {
        double lo = c, hi = c;
        for (int k = 0; k < 2000; ++k) lo = std::nextafter(lo, -INFINITY);
        for (int k = 0; k < 2000; ++k) hi = std::nextafter(hi, INFINITY);
        double x = lo;
        check(("exp around " + hex(c)).c_str(), 4001,
              [&](long i) { return i == 0 ? x : (x = std::nextafter(x, INFINITY)); }, vorn::exp_cr, mpfr_exp_rn);
    }
    EXPECT_EQ(vorn::exp_cr(0x1.62e42fefa39efp+9), 0x1.fffffffffff2ap+1023);
    EXPECT_EQ(vorn::exp_cr(0x1.62e42fefa39f0p+9), INFINITY);
}

TEST(CrmathMpfr, ExpSpecials) {
    const double inf = std::numeric_limits<double>::infinity();
    const double specials[] = {inf,   -inf, std::nan(""), -std::nan(""), 0.0, -0.0, 1e-320, -1e-320,
                               1e300, -1e300, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max()};
    for (double x : specials) EXPECT_TRUE(same(vorn::exp_cr(x), mpfr_exp_rn(x))) << x;
    EXPECT_EQ(vorn::exp_cr(inf), inf);
    EXPECT_EQ(std::bit_cast<uint64_t>(vorn::exp_cr(-inf)), 0u);  // +0
    EXPECT_TRUE(std::isnan(vorn::exp_cr(std::nan(""))));
}

// The fast path's error, which its rounding test takes to be below 2^-70
// relative: it must stay below 2^-73 (the analysis gives 2^-74), over the
// transposition range and up to the top of the fast path's range.
TEST(CrmathMpfr, ExpFastPathErrorBound) {
    Random r(6);
    const long n = count(50000, 1000000);
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    mpfr_t e, s;
    mpfr_inits2(256, e, s, static_cast<mpfr_ptr>(nullptr));
    double worst = 0;
    for (long i = 0; i < n; ++i) {
        const double x = i % 4 == 3 ? r.in(-709.0, 709.78) : r.in(-22.2, 22.2);
        double hi, lo;
        int k;
        vorn::crmath_detail::exp_fast_parts(x, hi, lo, k);
        mpfr_set_d(e, x, MPFR_RNDN);
        mpfr_exp(e, e, MPFR_RNDN);
        mpfr_mul_2si(e, e, -k, MPFR_RNDN);
        mpfr_set_d(s, hi, MPFR_RNDN);
        mpfr_add_d(s, s, lo, MPFR_RNDN);
        mpfr_sub(s, s, e, MPFR_RNDN);
        mpfr_div_d(s, s, hi, MPFR_RNDN);
        const double rel = std::fabs(mpfr_get_d(s, MPFR_RNDN));
        if (rel > worst) worst = rel;
    }
    mpfr_clears(e, s, static_cast<mpfr_ptr>(nullptr));
    std::printf("exp fast path: %ld arguments, largest relative error 2^%.2f\n", n, std::log2(worst));
    EXPECT_LT(worst, 0x1p-73);
}

// Every entry of the fast path's tables: hi nearest to 2^(i/n), lo nearest to
// the rest.
TEST(CrmathMpfr, ExpTables) {
    mpfr_t t, h;
    mpfr_inits2(300, t, h, static_cast<mpfr_ptr>(nullptr));
    for (int n : {64, 4096}) {
        const double(*table)[2] = n == 64 ? vorn::crmath_detail::kExp2Coarse : vorn::crmath_detail::kExp2Fine;
        for (int i = 0; i < 64; ++i) {
            mpfr_set_ui(t, static_cast<unsigned long>(i), MPFR_RNDN);
            mpfr_div_ui(t, t, static_cast<unsigned long>(n), MPFR_RNDN);
            mpfr_exp2(t, t, MPFR_RNDN);
            const double hi = mpfr_get_d(t, MPFR_RNDN);
            mpfr_set_d(h, hi, MPFR_RNDN);
            mpfr_sub(t, t, h, MPFR_RNDN);
            const double lo = mpfr_get_d(t, MPFR_RNDN);
            EXPECT_EQ(table[i][0], hi) << n << " " << i;
            EXPECT_EQ(table[i][1], lo) << n << " " << i;
        }
    }
    mpfr_clears(t, h, static_cast<mpfr_ptr>(nullptr));
}

TEST(CrmathMpfr, CosWindowArguments) {
    check("cos, the 4096 window arguments", 4096, [](long k) { return static_cast<double>(k) * 6.283185308 / 4096; },
          vorn::cos_cr, mpfr_cos_rn);
}

TEST(CrmathMpfr, CosRandom) {
    Random r(4);
    check("cos, random in [0, 2pi)", count(20000, 1000000), [&](long) { return r.in(0.0, 6.283185307179586); },
          vorn::cos_cr, mpfr_cos_rn);
    Random s(5);
    check("cos, random in [-8, 8]", count(5000, 100000), [&](long) { return s.in(-8.0, 8.0); }, vorn::cos_cr,
          mpfr_cos_rn);
}

// Around the zeros and extremes of cos in the domain, its ends, and where the
// short cut to 1 stops.
TEST(CrmathMpfr, CosBoundaries) {
    const double centres[] = {0x1p-27, 1.5707963267948966, 3.141592653589793, 4.71238898038469,
                              6.283185307179586, 7.853981633974483, 8.0, 0.7853981633974483};
    for (double c : centres) {
        double x = c;
        for (int k = 0; k < 300; ++k) x = std::nextafter(x, -INFINITY);
        check(("cos around " + hex(c)).c_str(), c == 8.0 ? 301 : 601,
              [&](long i) { return i == 0 ? x : (x = std::nextafter(x, INFINITY)); }, vorn::cos_cr, mpfr_cos_rn);
    }
}

// The window table is float(0.5 - 0.5 cos(k * 6.283185308 / 4096)), cos
// rounded to nearest.
TEST(CrmathMpfr, WindowTable) {
    float* w = vorn::make_window_table(4096);
    ASSERT_NE(w, nullptr);
    for (int k = 0; k < 4096; ++k) {
        const double c = mpfr_cos_rn(static_cast<double>(k) * 6.283185308 / 4096);
        ASSERT_EQ(std::bit_cast<uint32_t>(w[k]), std::bit_cast<uint32_t>(static_cast<float>(0.5 - 0.5 * c))) << k;
    }
    delete[] w;
}
