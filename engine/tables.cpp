#include "tables.h"

#include <new>

#include "crmath.h"

namespace vorn {

float* window_table = nullptr;
alignas(16) float interp_table[kInterpRows][4];
alignas(64) double interp_rows[kReadRows][4];
bool interp_built = false;

float* make_window_table(int size) {
    if (size <= 0) return nullptr;
    float* w = new (std::nothrow) float[static_cast<unsigned>(size) + kWindowPad];
    if (!w) return nullptr;
    // 6.283185308 is 2*pi to ten digits, as the window has always used. The
    // arguments lie in [0, 2*pi), where cos_cr is correctly rounded: the
    // same table on every platform.
    for (int k = 0; k < size; ++k)
        w[k] = static_cast<float>(0.5 - 0.5 * cos_cr(static_cast<double>(k) * 6.283185308 / size));
    for (int k = 0; k < kWindowPad; ++k) w[size + k] = w[k % size];
    return w;
}

void build_interp_table() {
    if (interp_built) return;
    const double K = -0.1666667;  // -1/6 to seven digits
    for (int r = 0; r < kInterpRows; ++r) {
        const double a = r * 0.0009765625;
        interp_table[r][0] = static_cast<float>((a * ((1 - a) * (2 - a))) * K);
        interp_table[r][1] = static_cast<float>(((a + 1) * ((1 - a) * (2 - a))) * 0.5);
        interp_table[r][2] = static_cast<float>((((2 - a) * (a + 1)) * a) * 0.5);
        interp_table[r][3] = static_cast<float>((((1 - a) * (a + 1)) * a) * K);
    }
    for (int r = 0; r < kReadRows; ++r)
        for (int k = 0; k < 4; ++k) interp_rows[r][k] = interp_table[r * (kInterpRows / kReadRows)][k];
    interp_built = true;
}

}  // namespace vorn
