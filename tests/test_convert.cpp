#include <gtest/gtest.h>

#include <cmath>
#include <limits>

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
