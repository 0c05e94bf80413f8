#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "tables.h"

#include <string>

namespace {
std::string seven_digits(float x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.6e", static_cast<double>(x));
    return text;
}
}  // namespace

TEST(Tables, WindowEntries) {
    float* w = vorn::make_window_table(4096);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w[0], 0.0f);
    EXPECT_EQ(w[1024], 0.5f);
    EXPECT_EQ(w[2048], 1.0f);
    EXPECT_EQ(w[3072], 0.5f);
    // The two smallest entries, to the seven digits they are known by.
    EXPECT_EQ(seven_digits(w[1]), "5.882741e-07");
    EXPECT_EQ(seven_digits(w[4095]), "5.882735e-07");
    // Periodic, not symmetric: the truncated 2*pi makes the two ends differ.
    EXPECT_NE(w[1], w[4095]);
    for (int k = 0; k < 4096; ++k) ASSERT_TRUE(w[k] >= 0.0f && w[k] <= 1.0f) << k;
    // All 4096 entries, by an FNV-1a hash of their bits (least significant
    // byte first): the table a correctly rounded cosine gives, which
    // crmath_mpfr_tests checks entry by entry against MPFR.
    uint64_t h = 0xCBF29CE484222325;
    for (int k = 0; k < 4096; ++k)
        for (int i = 0; i < 4; ++i) h = (h ^ ((std::bit_cast<uint32_t>(w[k]) >> (8 * i)) & 0xFF)) * 0x100000001B3;
    EXPECT_EQ(h, 0x4F952113D50C5F1Cu);
    // Past the end the window starts again, for loads that run over.
    for (int k = 0; k < vorn::kWindowPad; ++k) EXPECT_EQ(w[4096 + k], w[k]) << k;
    delete[] w;
    EXPECT_EQ(vorn::make_window_table(0), nullptr);
}

TEST(Tables, InterpolationRows) {
    vorn::build_interp_table();
    // Rows by the fraction they stand for, a = r / 64, in single precision.
    auto row = [](int r) { return vorn::interp_table[r]; };
    const float r0[] = {0.0f, 1.0f, 0.0f, 0.0f};
    const float r1[] = {-0.0050868997f, 0.99194527f, 0.015745163f, -0.0026035313f};
    const float r16[] = {-0.054687511f, 0.8203125f, 0.2734375f, -0.039062507f};
    const float r32[] = {-0.062500015f, 0.5625f, 0.5625f, -0.062500015f};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(row(0)[c], r0[c]);
        EXPECT_EQ(row(1)[c], r1[c]);
        EXPECT_EQ(row(16)[c], r16[c]);
        EXPECT_EQ(row(32)[c], r32[c]);
        // Rows 48 and 63 mirror 16 and 1.
        EXPECT_EQ(row(48)[c], r16[3 - c]);
        EXPECT_EQ(row(63)[c], r1[3 - c]);
    }
    // Each weight is a float held in a double; each row sums to 1 within 3e-8.
    for (int r = 0; r < vorn::kReadRows; ++r) {
        for (int c = 0; c < 4; ++c) ASSERT_EQ(row(r)[c], static_cast<double>(static_cast<float>(row(r)[c]))) << r;
        const double sum = row(r)[0] + row(r)[1] + row(r)[2] + row(r)[3];
        ASSERT_NEAR(sum, 1.0, 3e-8) << r;
    }
}

TEST(Tables, InterpolationBuiltOnce) {
    vorn::build_interp_table();
    vorn::interp_table[5][0] = 42.0;
    vorn::build_interp_table();  // already built: untouched
    EXPECT_EQ(vorn::interp_table[5][0], 42.0);
    vorn::interp_built = false;
    vorn::build_interp_table();
    EXPECT_NE(vorn::interp_table[5][0], 42.0);
}
