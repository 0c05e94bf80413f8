#include <cmath>
#include <limits>

#include "engine_fixture.h"

using namespace vorn;
using vorn::test::EngineTest;
using vorn::test::Owned;

namespace {

constexpr uint64_t kModulus = 2147483647;
constexpr uint64_t kInverse = 1407677000;  // 16807 * kInverse = 1 (mod 2^31 - 1)

// The state from which the k-th following draw (k from 1) returns r.
uint32_t state_before(uint32_t r, int k) {
    uint64_t s = r;
    for (int i = 0; i < k; ++i) s = s * kInverse % kModulus;
    return static_cast<uint32_t>(s);
}

struct StartGrainTest : EngineTest {
    Owned g;
    Grain grain{};
    StartGrainTest() {
        g->pos_jitter = 0.0;
        g->period = 60.0;
    }
    void start(double position) { start_grain(*g, position, grain); }
    double position_of() const { return grain.index + grain.frac / 4294967296.0; }
};

}  // namespace

TEST_F(StartGrainTest, PlainStartCentresTheSpan) {
    start(0.0);
    EXPECT_EQ(random_state, 16807u);  // one draw, even without jitter
    EXPECT_EQ(grain.index, -30);
    EXPECT_EQ(grain.frac, 0u);
    EXPECT_EQ(grain.step, 1);
    EXPECT_EQ(grain.step_frac, 0u);

    g->period = 4.5;
    start(0.0);
    EXPECT_EQ(grain.index, -3);
    EXPECT_EQ(grain.frac, 0xC0000000u);
}

TEST_F(StartGrainTest, OctaveRatiosAreSlightlyOff) {
    set_transposition(*g, 1200.0);
    start(0.0);
    EXPECT_EQ(grain.index, -61);
    EXPECT_EQ(grain.frac, 4294967294u);
    EXPECT_EQ(grain.step, 2);
    EXPECT_EQ(grain.step_frac, 0u);

    set_transposition(*g, -1200.0);
    start(0.0);
    EXPECT_EQ(grain.index, -15);
    EXPECT_EQ(grain.frac, 0u);
    EXPECT_EQ(grain.step, 0);
    EXPECT_EQ(grain.step_frac, 0x7FFFFFFFu);
    EXPECT_EQ(random_state, 282475249u);  // one draw each
}

TEST_F(StartGrainTest, PositionJitterSpansBothSides) {
    g->pos_jitter = 5.0;
    g->period = 0.0;  // no centring: the grain starts at the jittered position
    random_state = state_before(1, 1);
    start(0.0);
    EXPECT_NEAR(position_of(), -4.999999995343387, 0x1p-32);
    random_state = state_before(0x7FFFFFFE, 1);
    start(0.0);
    EXPECT_NEAR(position_of(), 4.999999995343387, 0x1p-32);

    // A negative jitter spreads as widely as its magnitude and still draws.
    g->pos_jitter = -5.0;
    random_state = state_before(1, 1);
    start(0.0);
    EXPECT_NEAR(position_of(), 4.999999995343387, 0x1p-32);
    EXPECT_EQ(random_state, 1u);
}

TEST_F(StartGrainTest, ListPickCoversEveryEntry) {
    g->period = 0.0;
    const double four[] = {0.0, 1200.0, 2400.0, 3600.0};  // steps 1, 2, 4, 8
    set_transp_list(*g, four, 4);
    random_state = state_before(1, 2);
    start(0.0);
    EXPECT_EQ(grain.step, 1);
    random_state = state_before(0x7FFFFFFE, 2);
    start(0.0);
    EXPECT_EQ(grain.step, 8);
    EXPECT_EQ(random_state, 0x7FFFFFFEu);  // exactly two draws

    double many[256] = {};
    many[255] = 1200.0;
    set_transp_list(*g, many, 256);
    random_state = state_before(0x7FFFFFFE, 2);
    start(0.0);
    EXPECT_EQ(grain.step, 2);
}

TEST_F(StartGrainTest, StuckGeneratorNeverPicksPastTheList) {
    // A state of 2^31 - 1 draws 2^31 - 1 forever, which scales to the full
    // list length; the pick must stay on the last entry.
    double many[256] = {};
    many[255] = 1200.0;
    set_transp_list(*g, many, 256);
    random_state = 0x7FFFFFFF;
    start(0.0);
    EXPECT_EQ(grain.step, 2);
}

TEST_F(StartGrainTest, DetuneOnlyWhenPositive) {
    g->period = 0.0;
    for (double d : {0.0, -100.0, std::nan("")}) {
        set_transp_jitter(*g, d);
        random_state = 1;
        start(0.0);
        EXPECT_EQ(random_state, 16807u) << d;  // no third draw
        EXPECT_EQ(grain.step, 1);
        EXPECT_EQ(grain.step_frac, 0u);
    }
    // The largest draw detunes by just under +1200 cents: ratio just under 2.
    set_transp_jitter(*g, 1200.0);
    random_state = state_before(0x7FFFFFFE, 2);
    start(0.0);
    EXPECT_EQ(grain.step, 1);
    EXPECT_GT(grain.step_frac, 0xFFFFF000u);
}

TEST_F(StartGrainTest, NegativePositionsSplitIntoFloorAndFraction) {
    g->period = 0.0;
    start(-2.25);
    EXPECT_EQ(grain.index, -3);
    EXPECT_EQ(grain.frac, 0xC0000000u);
    start(-0x1p-54);  // S + 1 rounds to 1.0
    EXPECT_EQ(grain.index, -1);
    EXPECT_EQ(grain.frac, 0u);
    start(-0x1p-53);
    EXPECT_EQ(grain.index, -1);
    EXPECT_EQ(grain.frac, 4294967295u);
}

TEST_F(StartGrainTest, OutOfRangeValuesAreDefined) {
    g->period = 0.0;
    const double inf = std::numeric_limits<double>::infinity();
    for (double pos : {std::nan(""), inf, -inf, 1e300}) {
        start(pos);
        EXPECT_EQ(grain.index, 0) << pos;
        EXPECT_EQ(grain.frac, 0u) << pos;
    }
    start(0x1p40 + 3.5);  // integer part wraps to its low 32 bits
    EXPECT_EQ(grain.index, 3);
    // Ratio below 2^-32: the grain stands still.
    set_transposition(*g, -38400.0);
    start(0.0);
    EXPECT_EQ(grain.step, 0);
    EXPECT_EQ(grain.step_frac, 0u);
    // Ratio 2^31 and above keeps the low 32 bits of its integer part.
    set_transposition(*g, 37200.0);
    start(0.0);
    EXPECT_EQ(grain.step, INT32_MIN);
    set_transposition(*g, std::nan(""));
    start(0.0);
    EXPECT_EQ(grain.step, 0);
    EXPECT_EQ(grain.step_frac, 0u);
    // NaN jitter reaches the position but nothing undefined happens.
    g->pos_jitter = std::nan("");
    start(0.0);
    EXPECT_EQ(grain.index, 0);
}
