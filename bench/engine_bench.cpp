// Cost of the synthesis loop per grain-sample: by default a 10 s source at
// 44.1 kHz, 100 ms grains, vector 64, the position scanning the source at
// half speed. BM_Source varies the source: its length, and sources of
// denormal floats or near-silence, which must cost no more than sound.
// BM_Stride reads the source as Pd's arrays (stride 2) and multichannel
// buffer~ objects (any stride) hold it, against the contiguous mono form.
// BM_Period varies the grain period from 1 to 500 ms, at 0 and +700 cents;
// BM_Transposition the transposition, down and up and as a list with a
// detune. BM_Start: one grain start. BM_Exp: the engine's exp_cr per call, against the C library's exp.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <string>
#include <vector>

#include "crmath.h"

#include "grain_run.h"
#include "granulator.h"
#include "kernels.h"
#include "random.h"
#include "tables.h"

namespace {

enum Sound { kOrdinary, kDenormal, kNearSilence };

std::vector<float> make_source(int frames, Sound sound = kOrdinary) {
    std::vector<float> s(static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        const double x = 0.5 * std::sin(i * 0.0314) + 0.25 * std::sin(i * 0.0071);
        s[i] = static_cast<float>(sound == kDenormal ? x * 1e-39 : sound == kNearSilence ? x * 1e-30 : x);
    }
    return s;
}

enum Kernel { kChosen, kSse2, kPlain, kAvx2, kAvx512 };

// The kernel of a column, or null (with the reason) where this processor
// does not run it.
vorn::detail::GrainKernel kernel_of(int k, const char** missing) {
    const vorn::Kernel wanted[] = {vorn::selected_kernel(), vorn::Kernel::Sse2, vorn::Kernel::Plain,
                                   vorn::Kernel::Avx2, vorn::Kernel::Avx512};
    if (!vorn::kernel_available(wanted[k])) {
        *missing = vorn::kernel_name(wanted[k]);
        return nullptr;
    }
    return vorn::detail::kernel_function(wanted[k]);
}

constexpr int kRate = 44100, kVector = 64;

// A transposition axis value standing for a list of four transpositions
// (0, +700, -500, +1200 cents) with a detune of 10 cents.
constexpr int kList = 99999;

void run(benchmark::State& state, int log2, double cents, int kernel_column, const std::vector<float>& samples,
         int32_t stride = 1, double period_ms = 100.0) {
    const char* missing = nullptr;
    const vorn::detail::GrainKernel kernel = kernel_of(kernel_column, &missing);
    if (!kernel) {
        state.SkipWithError((std::string("skipped: this processor does not run the ") + missing + " kernel").c_str());
        return;
    }
    vorn::build_tables();
    vorn::random_state = 1;

    vorn::Granulator g{};
    vorn::init(g, log2);
    vorn::set_period(g, period_ms);
    if (cents == kList) {
        const double list[] = {0, 700, -500, 1200};
        vorn::set_transp_list(g, list, 4);
        vorn::set_transp_jitter(g, 10);
    } else {
        vorn::set_transposition(g, cents);
    }
    vorn::compile_and_restart(g, kRate);
    g.source = vorn::SampleSource{1, samples.data(), static_cast<int32_t>(samples.size() / stride), stride};

    std::vector<float> in(kVector), out(kVector);
    // A slow scan through the middle 80 % of the source.
    const double length_ms = samples.size() / stride / 44.1;
    double pos_ms = 0.1 * length_ms;
    for (auto _ : state) {
        for (float& x : in) x = static_cast<float>(pos_ms += 0.5 / 44.1);
        if (pos_ms > 0.9 * length_ms) pos_ms = 0.1 * length_ms;
        vorn::detail::perform_with(g, in.data(), out.data(), kVector, kernel);
        benchmark::DoNotOptimize(out.data());
    }
    const double grain_samples = static_cast<double>(state.iterations()) * kVector * g.overlap;
    state.counters["ns_per_grain_sample"] =
        benchmark::Counter(grain_samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    vorn::release(g);
}

void BM_Perform(benchmark::State& state) {
    static const std::vector<float> samples = make_source(10 * kRate);
    run(state, static_cast<int>(state.range(0)), static_cast<double>(state.range(1)), static_cast<int>(state.range(2)),
        samples);
}

// 1024 grains with the processor's kernel: source seconds, and its sound.
void BM_Source(benchmark::State& state) {
    const std::vector<float> samples =
        make_source(static_cast<int>(state.range(0)) * kRate, static_cast<Sound>(state.range(1)));
    run(state, 10, 0.0, kChosen, samples);
}

// 1024 grains: each kernel on a source of the same sound at stride 1 (mono),
// 2 (Pd's 64-bit arrays) and 4 (the first of four interleaved channels).
void BM_Stride(benchmark::State& state) {
    static const std::vector<float> mono = make_source(10 * kRate);
    const int32_t stride = static_cast<int32_t>(state.range(1));
    std::vector<float> samples(mono.size() * static_cast<size_t>(stride));
    for (size_t k = 0; k < mono.size(); ++k) samples[k * static_cast<size_t>(stride)] = mono[k];
    run(state, 10, 0.0, static_cast<int>(state.range(0)), samples, stride);
}

// 512 grains of each period, ms, with each kernel, at the original pitch
// (one frame a sample) and transposed: short grains restart often and
// spread each block's window entries wide.
void BM_Period(benchmark::State& state) {
    static const std::vector<float> samples = make_source(10 * kRate);
    run(state, 9, static_cast<double>(state.range(2)), static_cast<int>(state.range(1)), samples, 1,
        static_cast<double>(state.range(0)));
}

// 1024 grains of 100 ms with each kernel at transpositions down and up,
// and with a list and a detune: where musicians play.
void BM_Transposition(benchmark::State& state) {
    static const std::vector<float> samples = make_source(10 * kRate);
    run(state, 10, static_cast<double>(state.range(0)), static_cast<int>(state.range(1)), samples);
}

// One grain start, 512 grains in turn: with the defaults (one list entry, no
// detune), and with a list of four and a detune (two more draws and exp_cr).
void BM_Start(benchmark::State& state) {
    vorn::random_state = 1;
    vorn::Granulator g{};
    vorn::init(g, 9);
    vorn::set_period(g, 10.0);
    if (state.range(0)) {
        const double list[] = {0, 700, -500, 1200};
        vorn::set_transp_list(g, list, 4);
        vorn::set_transp_jitter(g, 10);
        vorn::set_pos_jitter(g, 20);
    }
    vorn::compile(g, kRate);
    double position = 10000.0;
    for (auto _ : state) {
        for (int i = 0; i < g.max_overlap; ++i) vorn::start_grain(g, position += 0.5, g.grains[i]);
        benchmark::DoNotOptimize(g.grains);
    }
    state.counters["ns_per_start"] = benchmark::Counter(static_cast<double>(state.iterations()) * g.max_overlap,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    vorn::release(g);
}

// 4096 arguments spread over the transposition range, +-38400 cents.
std::vector<double> exp_arguments() {
    std::vector<double> x(4096);
    uint64_t s = 12345;
    for (double& v : x) {
        s = s * 6364136223846793005u + 1442695040888963407u;
        v = -22.2 + 44.4 * (static_cast<double>(s >> 11) * 0x1p-53);
    }
    return x;
}

double libc_exp(double x) { return std::exp(x); }

void BM_Exp(benchmark::State& state) {
    static const std::vector<double> args = exp_arguments();
    double (*const f)(double) = state.range(0) ? libc_exp : vorn::exp_cr;
    double sum = 0;
    for (auto _ : state)
        for (double x : args) sum += f(x);
    benchmark::DoNotOptimize(sum);
    state.counters["ns_per_call"] = benchmark::Counter(static_cast<double>(state.iterations()) * args.size(),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

// kernel 0: the one this processor gets (AVX-512 or AVX2 where present, or
// what VORN_KERNEL names); 1: SSE2; 2: the plain per-sample loop; 3: AVX2;
// 4: AVX-512. A kernel this processor does not run is skipped, saying so.
BENCHMARK(BM_Perform)
    ->ArgNames({"log2", "cents", "kernel"})
    ->ArgsProduct({{3, 6, 9, 10}, {0, 700}, {kChosen, kSse2, kPlain, kAvx2, kAvx512}})
    ->Unit(benchmark::kMicrosecond);

// sound 0: ordinary; 1: denormal floats; 2: near-silence (around 1e-30).
BENCHMARK(BM_Source)
    ->ArgNames({"seconds", "sound"})
    ->Args({1, kOrdinary})
    ->Args({10, kOrdinary})
    ->Args({600, kOrdinary})
    ->Args({10, kDenormal})
    ->Args({10, kNearSilence})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_Period)
    ->ArgNames({"period_ms", "kernel", "cents"})
    ->ArgsProduct({{1, 5, 10, 20, 40, 100, 500}, {kAvx512, kAvx2, kSse2, kPlain}, {0, 700}})
    ->Unit(benchmark::kMicrosecond);

// cents 99999: the list of four with a detune of 10 cents.
BENCHMARK(BM_Transposition)
    ->ArgNames({"cents", "kernel"})
    ->ArgsProduct({{0, 700, -700, 1200, -1200, 2400, kList}, {kAvx512, kAvx2, kSse2, kPlain}})
    ->Unit(benchmark::kMicrosecond);

BENCHMARK(BM_Stride)
    ->ArgNames({"kernel", "stride"})
    ->ArgsProduct({{kChosen, kSse2, kAvx2, kAvx512}, {1, 2, 4}})
    ->Unit(benchmark::kMicrosecond);

// list 0: the defaults; 1: four entries, a detune and a position jitter.
BENCHMARK(BM_Start)->ArgName("list")->Arg(0)->Arg(1);

// libc 0: exp_cr; 1: the C library's exp.
BENCHMARK(BM_Exp)->ArgName("libc")->Arg(0)->Arg(1);

// Column 0 is the kernel that VORN_KERNEL names, as in the plug-in.
int main(int argc, char** argv) {
    const char* name = std::getenv(vorn::kKernelVariable);
    const char* error = nullptr;
    if (!vorn::select_kernel(name, &error)) std::fprintf(stderr, "%s=%s: %s\n", vorn::kKernelVariable, name, error);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
