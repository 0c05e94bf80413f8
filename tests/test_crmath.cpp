// exp_cr and cos_cr at known values, without MPFR (crmath_mpfr_tests checks
// them against it), so that a build for another platform can assert the
// same bits.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "crmath.h"

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kCentsToLog = 0.00057762265047;

// FNV-1a over the bytes of each value, least significant first.
struct Fnv {
    uint64_t h = 0xCBF29CE484222325;
    void add(uint64_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) h = (h ^ ((v >> (8 * i)) & 0xFF)) * 0x100000001B3;
    }
};

}  // namespace

TEST(Crmath, ExpKnownValues) {
    struct Case {
        double x, want;
    };
    const Case cases[] = {
        // Whole cents that glibc's exp on x86-64 rounds the other way.
        {-4054 * kCentsToLog, 0x1.89e513803f93cp-4},
        {-2527 * kCentsToLog, 0x1.dbc904a159bafp-3},
        {-1158 * kCentsToLog, 0x1.06495b1fcd652p-1},
        {1244 * kCentsToLog, 0x1.0696f85abd6fep+1},
        {2639 * kCentsToLog, 0x1.25e59fb6df9f7p+2},
        {3552 * kCentsToLog, 0x1.f1ffd44af4fe9p+2},
        {3736 * kCentsToLog, 0x1.14ebe86026334p+3},
        {1.0, 0x1.5bf0a8b145769p+1},
        {0.0, 1.0},
        {-0.0, 1.0},
        {0x1p-53, 0x1.0000000000001p+0},
        {-0x1p-53, 0x1.fffffffffffffp-1},
        {-0x1p-54, 1.0},
        {707.5, 0x1.a1d2317f485aap+1020},
        {-707.5, 0x1.39b42358bdf31p-1021},
        // The last finite result, and the first argument past it.
        {0x1.62e42fefa39efp+9, 0x1.fffffffffff2ap+1023},
        {0x1.62e42fefa39f0p+9, kInf},
        {kInf, kInf},
        // The smallest normal result, the largest subnormal one.
        {-0x1.6232bdd7abcd2p+9, 0x1.000000000007cp-1022},
        {-0x1.6232bdd7abcd3p+9, 0x0.ffffffffffe7cp-1022},
        {-710.0, 0x0.33802fd28b3c3p-1022},
        {-740.0, 0x0.0000000000055p-1022},
        // The last argument whose result is not 0, and the next below.
        {-0x1.74910d52d3051p+9, 0x0.0000000000001p-1022},
        {-0x1.74910d52d3052p+9, 0.0},
        {-kInf, 0.0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::bit_cast<uint64_t>(vorn::exp_cr(c.x)), std::bit_cast<uint64_t>(c.want)) << std::hexfloat << c.x;
    EXPECT_TRUE(std::isnan(vorn::exp_cr(std::nan(""))));
}

// Every whole cent from -38400 to +38400, by a hash of the results' bits.
TEST(Crmath, ExpWholeCentsHash) {
    Fnv f;
    for (int t = -38400; t <= 38400; ++t) f.add(std::bit_cast<uint64_t>(vorn::exp_cr(t * kCentsToLog)), 8);
    EXPECT_EQ(f.h, 0xE5244356990A0F3Cu);
}

TEST(Crmath, CosKnownValues) {
    struct Case {
        double x, want;
    };
    const Case cases[] = {
        {0.0, 1.0},
        {0x1p-26, 0x1.fffffffffffffp-1},
        {1.0, 0x1.14a280fb5068cp-1},
        {-1.0, 0x1.14a280fb5068cp-1},
        {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54},   // the double nearest pi/2
        {0x1.921fb54442d18p+1, -1.0},                    // pi
        {0x1.2d97c7f3321d2p+2, -0x1.a79394c9e8a0ap-53},  // 3pi/2
        {0x1.921fb54442d18p+2, 1.0},                     // 2pi
        {8.0, -0x1.29fbebf632f94p-3},
        {4095 * 6.283185308 / 4096, 0x1.ffffd88589b2bp-1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(std::bit_cast<uint64_t>(vorn::cos_cr(c.x)), std::bit_cast<uint64_t>(c.want)) << std::hexfloat << c.x;
    // Outside the domain: NaN, not undefined behaviour.
    for (double x : {std::nextafter(8.0, 9.0), -9.0, 1e300, kInf, -kInf, std::nan("")})
        EXPECT_TRUE(std::isnan(vorn::cos_cr(x))) << x;
}
