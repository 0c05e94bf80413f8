// The engine's own exponential and cosine, correctly rounded: the double
// nearest to the exact value (ties to even, though only exp(0) and cos(0)
// are exact), computed the same way on every platform. Only double
// arithmetic without fused multiply-add, and integer arithmetic on 32- and
// 64-bit words, so x86-64, 32-bit x86 with SSE2, aarch64 and armhf all give
// the same bits, whatever the C library and the x87 control word say.
// Nothing is allocated; both may be called from the synthesis loop.
#pragma once

namespace vorn {

// e^x rounded to nearest. exp_cr(NaN) is NaN, exp_cr(+inf) is +inf and
// exp_cr(-inf) is +0; above 709.782712893384 (the last argument whose result
// is finite) it gives +inf, below about -745.13 (where e^x falls under half
// the smallest subnormal) +0, and subnormal results are rounded like any
// other. About 10 ns; one argument in several thousand, those whose value
// lies very near the midpoint of two doubles, takes a few microseconds.
double exp_cr(double x);

// cos x rounded to nearest, for |x| <= 8, which holds the window table's
// [0, 2*pi). NaN outside that domain and for NaN and the infinities. A few
// microseconds a call: it is meant for building tables.
double cos_cr(double x);

namespace crmath_detail {

// The slower evaluation that exp_cr falls back to when its fast path cannot
// decide the rounding (and uses for results below 2^-1021), on its own; any
// argument. For the tests.
double exp_accurate(double x);

// The fast path's approximation for 2^-54 <= |x| <= 709.79: e^x = (hi + lo)
// 2^k, within 2^-74 relative to hi, which the rounding test takes as 2^-70.
// For the tests.
void exp_fast_parts(double x, double& hi, double& lo, int& k);

// The fast path's tables: row i holds 2^(i/64) (coarse) or 2^(i/4096)
// (fine) as hi + lo, hi the nearest double and lo the nearest double to the
// remainder.
extern const double kExp2Coarse[64][2];
extern const double kExp2Fine[64][2];

}  // namespace crmath_detail

}  // namespace vorn
