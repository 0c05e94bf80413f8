// Library-wide lookup tables, built once and read-only afterwards.
#pragma once

namespace vorn {

inline constexpr int kWindowSize = 4096;
inline constexpr int kInterpRows = 1024;

// One period of a raised-cosine (Hann) window, kWindowSize entries and then
// kWindowPad more that repeat its start, so that a wide load from any entry
// stays inside; null until built.
inline constexpr int kWindowPad = 16;
extern float* window_table;
// Four cubic weights (taps at -1, 0, +1, +2) for each fraction r/1024.
alignas(16) extern float interp_table[kInterpRows][4];
extern bool interp_built;
// The 64 rows the synthesis loop reads (every 16th: the top six bits of a
// fraction pick one), widened to double. Same values as interp_table.
inline constexpr int kReadRows = 64;
alignas(64) extern double interp_rows[kReadRows][4];

// Allocates and fills `size` window values (and the pad) on the heap; null if the
// allocation fails (the caller reports it).
float* make_window_table(int size);

// Fills interp_table and interp_rows the first time it is called.
void build_interp_table();

}  // namespace vorn
