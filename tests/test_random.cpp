#include <gtest/gtest.h>

#include <cstdint>

#include "random.h"

namespace {

// Restores the library-wide source after each test.
struct RandomTest : ::testing::Test {
    uint32_t saved_state = vorn::random_state;
    bool saved_seeded = vorn::random_seeded;
    ~RandomTest() override {
        vorn::random_state = saved_state;
        vorn::random_seeded = saved_seeded;
    }
};

uint32_t exact_step(uint32_t s) { return static_cast<uint32_t>((16807ull * s) % 2147483647ull); }

}  // namespace

TEST_F(RandomTest, SequenceFromStateOne) {
    vorn::random_state = 1;
    const uint32_t first[] = {16807u, 282475249u, 1622650073u, 984943658u, 1144108930u};
    for (uint32_t want : first) EXPECT_EQ(vorn::random_next(), want);
    vorn::random_state = 1;
    uint32_t r = 0;
    for (int i = 0; i < 10000; ++i) r = vorn::random_next();
    EXPECT_EQ(r, 1043618065u);
}

TEST_F(RandomTest, FixedPointsAndHighStates) {
    vorn::random_state = 0;
    EXPECT_EQ(vorn::random_next(), 0u);
    vorn::random_state = 0x7FFFFFFFu;
    EXPECT_EQ(vorn::random_next(), 0x7FFFFFFFu);
    // Every ordinary state steps to (16807 s) mod (2^31 - 1).
    for (uint32_t s : {1u, 2u, 127773u, 127774u, 0x7FFFFFFEu, 0x40000000u, 123456789u}) {
        vorn::random_state = s;
        EXPECT_EQ(vorn::random_next(), exact_step(s)) << s;
    }
    // States of 2^31 and above (clock readings from 2038) stay congruent.
    for (uint32_t s : {0x80000000u, 0x9E3779B9u, 0xFFFFFFFDu, 0xFFFFFFFFu}) {
        vorn::random_state = s;
        const uint32_t r = vorn::random_next();
        EXPECT_GE(r, 1u);
        EXPECT_LE(r, 0x7FFFFFFFu);
        EXPECT_EQ(r % 2147483647u, exact_step(s % 2147483647u)) << s;
    }
}

TEST_F(RandomTest, SeedingIsOnceAndAvoidsFixedPoints) {
    vorn::random_seeded = false;
    vorn::random_seed(42);
    EXPECT_EQ(vorn::random_state, 42u);
    vorn::random_seed(99);  // seeded already: ignored
    EXPECT_EQ(vorn::random_state, 42u);

    // Readings congruent to 0 would stick the generator; they seed 1 instead.
    for (uint32_t t : {0u, 0x7FFFFFFFu, 0xFFFFFFFEu}) {
        vorn::random_seeded = false;
        vorn::random_seed(t);
        EXPECT_EQ(vorn::random_state, 1u) << t;
        EXPECT_NE(vorn::random_next(), vorn::random_next());
    }
    // Any other reading, 2^31 and above included, gives the raw seed's sequence.
    for (uint32_t t : {0x80000000u, 0xC0000000u, 0xFFFFFFFFu, 1765000000u}) {
        vorn::random_state = t;
        const uint32_t raw = vorn::random_next();
        vorn::random_seeded = false;
        vorn::random_seed(t);
        EXPECT_EQ(vorn::random_next(), raw) << t;
    }
}

TEST_F(RandomTest, ClockSeedsOnce) {
    vorn::random_seeded = false;
    vorn::random_state = 1;
    vorn::random_seed_from_clock();
    EXPECT_TRUE(vorn::random_seeded);
    const uint32_t s = vorn::random_state;
    EXPECT_GE(s, 1u);
    EXPECT_LT(s, 0x7FFFFFFFu);
    vorn::random_seed_from_clock();
    EXPECT_EQ(vorn::random_state, s);
}
