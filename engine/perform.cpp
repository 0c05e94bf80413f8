// The synthesis loop: every active grain adds its windowed, interpolated
// reading of the source into the output vector, through the kernel chosen
// at load (kernels.h).
#include "grain_run.h"

namespace vorn {

namespace detail {

void perform_with(Granulator& g, const float* in, float* out, int32_t n, GrainKernel fast) {
    for (int32_t j = 0; j < n; ++j) out[j] = 0.0f;

    const SampleSource& src = g.source;
    if (src.valid == 0 || !usable(g) || !window_table) return;

    // Everything but `overlap` is read once for the whole vector.
    const int64_t frames = src.frames;
    const int32_t stride = src.stride > 1 ? src.stride : 1;
    const VectorContext c{in, out, n, src.samples, stride, frames > 3 ? static_cast<uint32_t>(frames - 3) : 0u,
                          window_table, static_cast<double>(g.gain), g.phase_incr};
    // Without a positive step the phase may wrap without a restart: only
    // the plain loop follows that.
    const GrainKernel kernel = c.incr > 0 ? fast : run_grains_plain;
    g.phase = kernel(g, g.phase, c);
}

}  // namespace detail

void perform(Granulator& g, const float* in, float* out, int32_t n) {
    detail::perform_with(g, in, out, n, detail::fast_kernel());
}

}  // namespace vorn
