// Float-to-integer conversion with a defined result for every input.
#pragma once

#include <cstdint>

namespace vorn {

// Truncates toward zero to a 64-bit integer. NaN, infinities and values
// outside the 64-bit range give the x86 "integer indefinite" result,
// INT64_MIN, whose low 32 bits are 0. Every float-to-integer conversion in
// the engine goes through here, so that no input is undefined behaviour.
inline int64_t trunc_to_int64(double x) {
    // +-2^63 are exact in double; both comparisons are false for NaN.
    if (x >= -9223372036854775808.0 && x < 9223372036854775808.0)
        return static_cast<int64_t>(x);
    return INT64_MIN;
}

// The low 32 bits of trunc_to_int64, as the signed value they encode.
inline int32_t trunc_low32(double x) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(trunc_to_int64(x))));
}

// The low 32 bits of trunc_to_int64, unsigned.
inline uint32_t trunc_low32u(double x) {
    return static_cast<uint32_t>(static_cast<uint64_t>(trunc_to_int64(x)));
}

}  // namespace vorn
