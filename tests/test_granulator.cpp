#include <cmath>
#include <limits>
#include <vector>

#include "engine_fixture.h"

using namespace vorn;
using vorn::test::EngineTest;
using vorn::test::Owned;

using GranulatorTest = EngineTest;

TEST_F(GranulatorTest, DefaultsAndPhaseOffsets) {
    Owned g;
    EXPECT_EQ(g->max_overlap, 8);
    EXPECT_EQ(g->overlap, 8);
    EXPECT_EQ(g->gain, 0.25f);
    EXPECT_EQ(g->pos_jitter, 5.0);
    EXPECT_EQ(g->period, 60.0);
    EXPECT_EQ(g->n_transp, 1);
    EXPECT_EQ(g->transp[0], 0.0);
    EXPECT_EQ(g->transp_jitter, 0.0);
    EXPECT_EQ(g->ms_scale, 1.0);
    EXPECT_EQ(g->phase, 0u);
    EXPECT_EQ(g->phase_incr, 0);
    EXPECT_EQ(g->source.valid, 0);  // no source
    // Bit-reversed offsets: 0, 1/2, 1/4, 3/4, 1/8, 5/8, 3/8, 7/8 of 2^31.
    const uint32_t want[] = {0, 1u << 30, 1u << 29, 3u << 29, 1u << 28, 5u << 28, 3u << 28, 7u << 28};
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(g->grains[i].offset, want[i]) << i;
        EXPECT_EQ(g->grains[i].index, 0);
        EXPECT_EQ(g->grains[i].step_frac, 0u);
    }
    Owned big(10);
    EXPECT_EQ(big->grains[1023].offset, 0x7FE00000u);  // 1023/1024 of a period
}

TEST_F(GranulatorTest, OverlapExponentAtCreation) {
    const struct { int32_t log2; int32_t grains; float gain; } cases[] = {
        {0, 2, 1.0f}, {1, 2, 1.0f}, {-5, 2, 1.0f}, {INT32_MIN, 2, 1.0f}, {3, 8, 0.25f},
        {10, 1024, 2.0f / 1024}, {11, 1024, 2.0f / 1024}, {40, 1024, 2.0f / 1024}, {INT32_MAX, 1024, 2.0f / 1024}};
    for (auto c : cases) {
        Owned g(c.log2);
        EXPECT_EQ(g->max_overlap, c.grains) << c.log2;
        EXPECT_EQ(g->overlap, c.grains) << c.log2;
        EXPECT_EQ(g->gain, c.gain) << c.log2;
    }
}

TEST_F(GranulatorTest, CompileAt44100) {
    Owned g;
    compile(*g, 44100.0f);
    EXPECT_EQ(g->ms_scale, 44100.0 * 0.001);
    EXPECT_DOUBLE_EQ(g->ms_scale, 44.1);
    EXPECT_DOUBLE_EQ(g->pos_jitter, 220.5);
    EXPECT_DOUBLE_EQ(g->period, 2646.0);
    EXPECT_EQ(g->phase_incr, 811596);
    // Later setters convert at once.
    set_pos_jitter(*g, 12.5);
    EXPECT_NEAR(g->pos_jitter, 551.25, 1e-9);
}

TEST_F(GranulatorTest, MillisecondsUntilFirstCompileOnly) {
    Owned g;
    set_pos_jitter(*g, 12.5);
    set_period(*g, 100.0);
    EXPECT_EQ(g->pos_jitter, 12.5);
    EXPECT_EQ(g->period, 100.0);
    compile(*g, 48000.0);
    EXPECT_DOUBLE_EQ(g->pos_jitter, 600.0);
    EXPECT_DOUBLE_EQ(g->period, 4800.0);
    // A recompile at another rate keeps the sample counts; new settings use the new scale.
    g->phase = 12345;
    compile(*g, 96000.0);
    EXPECT_DOUBLE_EQ(g->period, 4800.0);
    EXPECT_EQ(g->phase, 0u);
    set_period(*g, 100.0);
    EXPECT_DOUBLE_EQ(g->period, 9600.0);
}

TEST_F(GranulatorTest, PeriodClampedToFourSamples) {
    Owned g;
    set_period(*g, 1.0);  // stored unclamped before compile
    EXPECT_EQ(g->period, 1.0);
    compile(*g, 2000.0);
    EXPECT_EQ(g->period, 4.0);
    EXPECT_EQ(g->phase_incr, 1 << 29);
    set_period(*g, 0.0);
    EXPECT_EQ(g->period, 4.0);
    set_period(*g, -7.0);
    EXPECT_EQ(g->period, 4.0);
    EXPECT_EQ(g->phase_incr, 1 << 29);
}

TEST_F(GranulatorTest, CompiledAtOneKilohertzStillClamps) {
    // At 1000 Hz ms_scale is exactly 1.0, yet the chain is compiled:
    // a short period must still be raised, and settings not rescaled twice.
    Owned g;
    compile(*g, 1000.0);
    EXPECT_EQ(g->ms_scale, 1.0);
    set_period(*g, 2.0);
    EXPECT_EQ(g->period, 4.0);
    EXPECT_EQ(g->phase_incr, 1 << 29);
    set_period(*g, 10.0);
    compile(*g, 1000.0);
    EXPECT_EQ(g->period, 10.0);
}

TEST_F(GranulatorTest, LongPeriodGivesZeroIncrement) {
    Owned g;
    compile(*g, 44100.0);
    set_period(*g, 1e9);  // 4.41e10 samples: longer than 2^31
    EXPECT_EQ(g->phase_incr, 0);
}

TEST_F(GranulatorTest, NonFinitePeriodIsDefined) {
    Owned g;
    compile(*g, 44100.0);
    set_period(*g, std::nan(""));
    EXPECT_EQ(g->phase_incr, 0);
    set_period(*g, std::numeric_limits<double>::infinity());
    EXPECT_EQ(g->phase_incr, 0);
    Owned h;
    set_period(*h, std::nan(""));
    compile(*h, 44100.0);
    EXPECT_EQ(h->phase_incr, 0);
}

TEST_F(GranulatorTest, SetOverlap) {
    Owned g(4);  // 16 grains
    const struct { int32_t log2; int32_t grains; float gain; } cases[] = {
        {0, 1, 1.0f}, {1, 2, 1.0f}, {2, 4, 0.5f}, {-3, 1, 1.0f}, {4, 16, 0.125f},
        {5, 16, 0.125f}, {40, 16, 0.125f}, {INT32_MIN, 1, 1.0f}, {INT32_MAX, 16, 0.125f}};
    for (auto c : cases) {
        set_overlap(*g, c.log2);
        EXPECT_EQ(g->overlap, c.grains) << c.log2;
        EXPECT_EQ(g->gain, c.gain) << c.log2;
    }
}

TEST_F(GranulatorTest, GrowingOverlapRestartsNewGrainsOnly) {
    Owned g;
    compile(*g, 44100.0);
    set_pos_jitter(*g, 0.0);
    set_overlap(*g, 1);
    for (int i = 0; i < 8; ++i) g->grains[i] = Grain{7, 7, 7, 7, g->grains[i].offset};

    auto pow_mod = [](int k) {
        uint64_t s = 1;
        for (int i = 0; i < k; ++i) s = s * 16807 % 2147483647;
        return static_cast<uint32_t>(s);
    };
    random_state = 1;
    set_overlap(*g, 3);  // 2 -> 8: grains 2..7 start at position 0, one draw each
    EXPECT_EQ(random_state, pow_mod(6));
    for (int i = 0; i < 8; ++i) {
        const bool restarted = i >= 2;
        EXPECT_EQ(g->grains[i].index, restarted ? -1323 : 7) << i;
        EXPECT_EQ(g->grains[i].step, restarted ? 1 : 7) << i;
    }
    g->grains[5].index = 99;
    set_overlap(*g, 1);  // switched off: left as they are, no draws
    EXPECT_EQ(random_state, pow_mod(6));
    EXPECT_EQ(g->grains[5].index, 99);
    set_overlap(*g, 3);  // switched on again: started afresh
    EXPECT_EQ(random_state, pow_mod(12));
    EXPECT_EQ(g->grains[5].index, -1323);
}

TEST_F(GranulatorTest, TranspositionLists) {
    Owned g;
    const double three[] = {0.0, 700.0, 1200.0};
    set_transp_list(*g, three, 3);
    EXPECT_EQ(g->n_transp, 3);
    EXPECT_EQ(g->transp[2], 1200.0);
    set_transposition(*g, 700.0);
    EXPECT_EQ(g->n_transp, 1);
    EXPECT_EQ(g->transp[0], 700.0);
    set_transp_list(*g, nullptr, 0);
    EXPECT_EQ(g->n_transp, 1);
    EXPECT_EQ(g->transp[0], 0.0);
    set_transp_list(*g, three, -4);
    EXPECT_EQ(g->n_transp, 1);

    // More than 256 values: the first 256 are kept.
    std::vector<double> many(300);
    for (int i = 0; i < 300; ++i) many[i] = i;
    set_transp_list(*g, many.data(), 300);
    EXPECT_EQ(g->n_transp, 256);
    EXPECT_EQ(g->transp[255], 255.0);

    set_transp_jitter(*g, -3.0);
    EXPECT_EQ(g->transp_jitter, -3.0);  // stored; grain start ignores it
}
