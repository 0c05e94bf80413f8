#include "random.h"

#include <ctime>

namespace vorn {

uint32_t random_state = 1;
bool random_seeded = false;

uint32_t random_next() {
    // (16807 * s) mod (2^31 - 1) from 16-bit halves: no 64-bit product, no division.
    const uint32_t s = random_state;
    const uint32_t a = (s >> 16) * 16807u;
    uint32_t b = (s & 0xFFFFu) * 16807u;
    b += (a & 0x7FFFu) << 16;
    if (b > 0x7FFFFFFFu) b = (b & 0x7FFFFFFFu) + 1;
    b += a >> 15;
    if (b > 0x7FFFFFFFu) b = (b & 0x7FFFFFFFu) + 1;
    random_state = b;
    return b;
}

void random_seed(uint32_t seconds) {
    if (random_seeded) return;
    // 0 and 2^31 - 1 are fixed points of the generator; a reduced seed gives
    // the same sequence as the raw one for every other reading.
    uint32_t s = seconds % 0x7FFFFFFFu;
    if (s == 0) s = 1;
    random_state = s;
    random_seeded = true;
}

void random_seed_from_clock() {
    random_seed(static_cast<uint32_t>(static_cast<uint64_t>(std::time(nullptr))));
}

}  // namespace vorn
