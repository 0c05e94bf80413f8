// Library-wide lookup tables, built once and read-only afterwards, and the
// geometry that ties them to the numbers that index them.
#pragma once

#include <cstdint>

#include "granulator.h"

namespace vorn {

// The window: one period of a raised cosine in 2^kWindowBits entries, which
// the top kWindowBits bits of a grain phase index: entry phase >> kWindowShift.
inline constexpr int kWindowBits = 12;
inline constexpr int kWindowSize = 1 << kWindowBits;
inline constexpr int kWindowShift = kPhaseBits - kWindowBits;
static_assert(kWindowSize == 4096 && kWindowShift == 19);
static_assert((kPhaseMask >> kWindowShift) == kWindowSize - 1, "every phase indexes an entry, the last phase the last");

// Past its end the window repeats its first kWindowPad entries, so that a
// wide load of up to kWindowPad + 1 entries from any entry stays inside.
inline constexpr int kWindowPad = 16;

// One period of a raised-cosine (Hann) window, kWindowSize entries and the
// pad; null until built.
extern float* window_table;

// The cubic weights: the top kRowBits bits of a read position's 32-bit
// fraction pick a row, (fraction >> kRowShift). Row r holds the weights of
// the taps at -1, 0, +1 and +2 for the fraction a = r / kReadRows, each
// rounded to single precision, as the sound is defined, and held widened to
// double (exactly), the form in which the loop multiplies them. The fraction
// is resolved in steps of 1/64: the weights are defined for 1024 fractions,
// of which these are the 64 that a fraction's top six bits reach.
inline constexpr int kRowBits = 6;
inline constexpr int kReadRows = 1 << kRowBits;
inline constexpr int kRowShift = 32 - kRowBits;
// A row is four doubles: 2^kRowBytesLog2 bytes.
inline constexpr int kRowBytesLog2 = 5;
static_assert(kReadRows == 64 && kRowShift == 26);
static_assert(sizeof(double[4]) == (1u << kRowBytesLog2));

alignas(64) extern double interp_table[kReadRows][4];
extern bool interp_built;

// Allocates and fills `size` window values (and the pad) on the heap; null
// if the allocation fails (the caller reports it).
float* make_window_table(int size);

// Fills interp_table the first time it is called.
void build_interp_table();

// Both tables, each unless it is built already: what the library's set-up
// does. False if the window table cannot be allocated (every instance is
// then silent).
bool build_tables();

}  // namespace vorn
