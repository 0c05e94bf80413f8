// The synthesis kernel for any processor: the plain loop's arithmetic, with
// the restart and the range tests taken out of the per-sample path.
#include "grain_run.h"

namespace vorn::detail {

uint32_t run_grain_portable(Granulator& g, Grain& gr, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
        for (const int32_t end = j + len; j < end; ++j, q += incr, pos += step) add_sample(c, pos, q, j);
        return pos;
    });
}

}  // namespace vorn::detail
