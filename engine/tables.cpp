#include "tables.h"

#include <new>

#include "crmath.h"

namespace vorn {

float* window_table = nullptr;
alignas(64) double interp_table[kReadRows][4];
bool interp_built = false;

float* make_window_table(int size) {
    if (size <= 0) return nullptr;
    float* w = new (std::nothrow) float[static_cast<unsigned>(size) + kWindowPad];
    if (!w) return nullptr;
    // 6.283185308 is 2*pi to ten digits, not to full precision: the window's
    // bits are part of the sound that vorn~ promises (every render is
    // compared bit for bit), and they are those of this constant; it also
    // leaves the table slightly asymmetric (entry 1 and entry 4095 differ).
    // The arguments lie in [0, 2*pi), where cos_cr is correctly rounded: the
    // same table on every platform and C library.
    for (int k = 0; k < size; ++k)
        w[k] = static_cast<float>(0.5 - 0.5 * cos_cr(static_cast<double>(k) * 6.283185308 / size));
    for (int k = 0; k < kWindowPad; ++k) w[size + k] = w[k % size];
    return w;
}

void build_interp_table() {
    if (interp_built) return;
    // Third-order Lagrange weights with -0.1666667 (-1/6 to seven digits) in
    // the place of -1/6, for the same reason as the window's constant. The
    // polynomial products are exact in double; the product with K or 0.5 is
    // rounded to double, then to single precision.
    const double K = -0.1666667;
    for (int r = 0; r < kReadRows; ++r) {
        const double a = r * (1.0 / kReadRows);  // exact
        interp_table[r][0] = static_cast<float>((a * ((1 - a) * (2 - a))) * K);
        interp_table[r][1] = static_cast<float>(((a + 1) * ((1 - a) * (2 - a))) * 0.5);
        interp_table[r][2] = static_cast<float>((((2 - a) * (a + 1)) * a) * 0.5);
        interp_table[r][3] = static_cast<float>((((1 - a) * (a + 1)) * a) * K);
    }
    interp_built = true;
}

bool build_tables() {
    if (!window_table) window_table = make_window_table(kWindowSize);
    build_interp_table();
    return window_table != nullptr;
}

}  // namespace vorn
