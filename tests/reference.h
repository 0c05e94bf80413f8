// A second, deliberately plain reading of grain start and the synthesis loop,
// written out step by step and kept apart from the engine so that the tests
// can run both on the same record and compare every bit. It shares one
// routine with the engine: exp_cr, the correctly rounded exponential, which
// has tests of its own (see ref_start_grain).
//
// Nothing here is fast or clever: each operation is spelt out in the order in
// which it is evaluated, with every double rounding made explicit. The random
// state is a parameter, not the library-wide one, so that the reference and
// the engine can each consume their own copy of the same sequence.
#pragma once

#include <cstdint>

#include "granulator.h"

namespace vorn::ref {

// One Park-Miller step (16807 mod 2^31 - 1) using 16-bit halves; advances
// `state` and returns the new value.
uint32_t ref_random_next(uint32_t& state);

// Starts `grain` afresh around `position` (samples), drawing from `state`.
// Reads only pos_jitter, n_transp, transp, transp_jitter and period of `g`.
void ref_start_grain(Granulator& g, double position, Grain& grain, uint32_t& state);

// Renders n samples of `g` into out, reading the position (ms) from in and
// drawing restarts from `state`. Uses the library's window and interpolation
// tables, which must already be built.
void ref_perform(Granulator& g, const float* in, float* out, int32_t n, uint32_t& state);

}  // namespace vorn::ref
