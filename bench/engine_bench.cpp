// Cost of the synthesis loop per grain-sample: a 10 s source at 44.1 kHz,
// 100 ms grains, vector 64.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "grain_run.h"
#include "granulator.h"
#include "random.h"
#include "tables.h"

namespace {

std::vector<float> make_source(int frames) {
    std::vector<float> s(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i)
        s[i] = static_cast<float>(0.5 * std::sin(i * 0.0314) + 0.25 * std::sin(i * 0.0071));
    return s;
}

enum Kernel { kChosen, kPortable, kPlain };

vorn::detail::GrainKernel kernel_of(int k) {
    switch (k) {
        case kPortable: return vorn::detail::run_grain_portable;
        case kPlain: return vorn::detail::run_grain_plain;
        default: return vorn::detail::fast_kernel();
    }
}

void BM_Perform(benchmark::State& state) {
    const int log2 = static_cast<int>(state.range(0));
    const double cents = static_cast<double>(state.range(1));
    const vorn::detail::GrainKernel kernel = kernel_of(static_cast<int>(state.range(2)));
    constexpr int kRate = 44100, kVector = 64;
    vorn::build_interp_table();
    if (!vorn::window_table) vorn::window_table = vorn::make_window_table(vorn::kWindowSize);
    vorn::random_state = 1;

    const std::vector<float> samples = make_source(10 * kRate);
    const vorn::SampleSource src{1, samples.data(), static_cast<int32_t>(samples.size())};
    vorn::Granulator g{};
    vorn::init(g, log2);
    vorn::set_period(g, 100.0);
    vorn::set_transposition(g, cents);
    vorn::compile(g, kRate);
    for (int i = 0; i < g.max_overlap; ++i) vorn::start_grain(g, 0.0, g.grains[i]);
    g.source = &src;

    std::vector<float> in(kVector), out(kVector);
    double pos_ms = 1000.0;
    for (auto _ : state) {
        // A slow scan through the middle of the source.
        for (float& x : in) x = static_cast<float>(pos_ms += 0.5 / 44.1);
        if (pos_ms > 9000.0) pos_ms = 1000.0;
        vorn::detail::perform_with(g, in.data(), out.data(), kVector, kernel);
        benchmark::DoNotOptimize(out.data());
    }
    const double grain_samples = static_cast<double>(state.iterations()) * kVector * g.overlap;
    state.counters["ns_per_grain_sample"] =
        benchmark::Counter(grain_samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    vorn::release(g);
}

}  // namespace

// kernel 0: the one this processor gets (AVX2 where present); 1: portable;
// 2: the plain per-sample loop.
BENCHMARK(BM_Perform)
    ->ArgNames({"log2", "cents", "kernel"})
    ->ArgsProduct({{3, 6, 9, 10}, {0, 700}, {kChosen, kPortable, kPlain}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
