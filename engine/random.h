// The library-wide random source: a Park-Miller minimal standard generator
// (multiplier 16807, modulus 2^31 - 1) in 32-bit unsigned arithmetic only.
#pragma once

#include <cstdint>

namespace vorn {

// Shared by every instance of the library. Holds 1 until seeded.
extern uint32_t random_state;
extern bool random_seeded;

// The double nearest to 1/(2^31 - 1): scales a draw into (0, 1).
inline constexpr double kRandomScale = 4.656612875245797e-10;

// Advances the state by one generator step and returns the new state.
// (16807 * s) mod (2^31 - 1) from 16-bit halves: no 64-bit product, no
// division. Inline: a grain start takes one to three.
inline uint32_t random_next() {
    const uint32_t s = random_state;
    const uint32_t a = (s >> 16) * 16807u;
    uint32_t b = (s & 0xFFFFu) * 16807u;
    b += (a & 0x7FFFu) << 16;
    // Each carry past bit 30 folds back in as + 1, without a branch: the
    // draws are random, so a branch here would be mispredicted at every
    // other grain start.
    b = (b & 0x7FFFFFFFu) + (b >> 31);
    b += a >> 15;
    b = (b & 0x7FFFFFFFu) + (b >> 31);
    random_state = b;
    return b;
}

// Seeds the state once per load from `seconds` (a calendar clock reading).
// The reading is reduced modulo 2^31 - 1, with 1 in place of 0, so that the
// generator never sits on one of its fixed points.
void random_seed(uint32_t seconds);

// Seeds once from the calendar clock (seconds since 1970, low 32 bits).
void random_seed_from_clock();

}  // namespace vorn
