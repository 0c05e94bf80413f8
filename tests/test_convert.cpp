#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>

#include "convert.h"

using vorn::trunc_low32;
using vorn::trunc_low32u;
using vorn::trunc_to_int64;

TEST(Convert, TruncatesTowardZero) {
    EXPECT_EQ(trunc_to_int64(2.9), 2);
    EXPECT_EQ(trunc_to_int64(-2.9), -2);
    EXPECT_EQ(trunc_to_int64(-0.0), 0);
    EXPECT_EQ(trunc_to_int64(-9223372036854775808.0), INT64_MIN);
    EXPECT_EQ(trunc_to_int64(9223372036854774784.0), 9223372036854774784LL);
}

TEST(Convert, UndefinedInputsGiveIntegerIndefinite) {
    const double inf = std::numeric_limits<double>::infinity();
    for (double x : {std::nan(""), inf, -inf, 9223372036854775808.0, -1e300, 1e300}) {
        EXPECT_EQ(trunc_to_int64(x), INT64_MIN) << x;
        EXPECT_EQ(trunc_low32(x), 0) << x;
    }
}

TEST(Convert, KeepsLow32Bits) {
    EXPECT_EQ(trunc_low32(4294967296.0 + 5.5), 5);
    EXPECT_EQ(trunc_low32(2147483648.0), INT32_MIN);  // 2^31 wraps to -2^31
    EXPECT_EQ(trunc_low32(-1.5), -1);
    EXPECT_EQ(trunc_low32u(4294967295.9), 4294967295u);
    EXPECT_EQ(trunc_low32u(-1.0), 4294967295u);
}

// The same with inputs the compiler cannot see, so that the conversion runs
// as machine code rather than being worked out while compiling: there the
// processor's own conversion of NaN differs (x86 gives INT64_MIN, 64-bit ARM
// 0, 32-bit ARM's library routine 0), and the helper must not reach it.
TEST(Convert, UndefinedInputsAtRunTime) {
    const double inf = std::numeric_limits<double>::infinity();
    const double inputs[] = {std::nan(""), -std::nan(""), inf, -inf, 9223372036854775808.0, -1e300,
                             1e300, 18446744073709551616.0, -9223372036854777856.0};
    for (double x : inputs) {
        volatile double hidden = x;
        EXPECT_EQ(trunc_to_int64(hidden), INT64_MIN) << x;
        EXPECT_EQ(trunc_low32(hidden), 0) << x;
        EXPECT_EQ(trunc_low32u(hidden), 0u) << x;
    }
    const std::pair<double, int64_t> exact[] = {{-9223372036854775808.0, INT64_MIN},
                                                {9223372036854774784.0, 9223372036854774784LL},
                                                {-2.9, -2}, {2.9, 2}, {-0.0, 0}, {4294967301.5, 4294967301LL}};
    for (auto [x, want] : exact) {
        volatile double hidden = x;
        EXPECT_EQ(trunc_to_int64(hidden), want) << x;
    }
}
