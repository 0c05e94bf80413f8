// Library-wide lookup tables, built once and read-only afterwards.
#pragma once

namespace vorn {

inline constexpr int kWindowSize = 4096;
inline constexpr int kInterpRows = 1024;

// One period of a raised-cosine (Hann) window, kWindowSize entries; null
// until built.
extern float* window_table;
// Four cubic weights (taps at -1, 0, +1, +2) for each fraction r/1024.
alignas(16) extern float interp_table[kInterpRows][4];
extern bool interp_built;

// Allocates and fills `size` window values on the heap; null if the
// allocation fails (the caller reports it).
float* make_window_table(int size);

// Fills interp_table the first time it is called.
void build_interp_table();

}  // namespace vorn
