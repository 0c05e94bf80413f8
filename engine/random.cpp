#include "random.h"

#include <ctime>

namespace vorn {

uint32_t random_state = 1;
bool random_seeded = false;

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
