// The synthesis kernel without vector lanes: the plain loop's arithmetic,
// sample by sample, with the vector cut into runs at the grain's restarts so
// that no sample tests for one. The plain kernel of builds whose processor
// has no double lanes (32-bit ARM: kernels.h).
#include "grain_run.h"

namespace vorn::detail {

uint32_t run_grains_scalar(Granulator& g, uint32_t P, const VectorContext& c) {
    const uint32_t incr = static_cast<uint32_t>(c.incr);
    return by_stride(c, [&](auto form) {
        constexpr int S = decltype(form)::value;
        return each_grain(g, P, [&](Grain& gr) {
            return run_grain(g, gr, P, c, [&](uint64_t pos, uint64_t step, uint32_t q, int32_t j, int32_t len) {
                for (const int32_t end = j + len; j < end; ++j, q += incr, pos += step) add_sample<S>(c, pos, q, j);
                return pos;
            });
        });
    });
}

}  // namespace vorn::detail
