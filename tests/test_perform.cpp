// The synthesis loop and grain start, compared bit for bit with the plain
// second reading in reference.cpp, plus properties that hold whatever the
// exact bits: silence without a source, restart timing, a constant source
// coming out unchanged, and determinism on NaN and infinite settings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "grain_run.h"
#include "granulator.h"
#include "kernels.h"
#include "random.h"
#include "reference.h"
#include "tables.h"

namespace {

using vorn::Grain;
using vorn::Granulator;
using vorn::SampleSource;
using vorn::ref::ref_perform;
using vorn::ref::ref_random_next;
using vorn::ref::ref_start_grain;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// A fixed hash: deterministic test data without any library generator.
uint32_t hash32(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return static_cast<uint32_t>((x ^ (x >> 31)) >> 32);
}
double unit(uint64_t x) { return hash32(x) / 4294967296.0; }

// A sample buffer allocated at exactly its frame count. The spiky one puts
// +-1e30 among ordinary samples: the four taps then cancel, and any other
// order of the interpolation sum shows in the output.
struct Source {
    std::vector<float> data;
    SampleSource src{};
    Source(int32_t frames, bool constant = false, float v = 0.0f, bool spiky = false)
        : data(static_cast<size_t>(frames)) {
        for (int32_t k = 0; k < frames; ++k) {
            const double smooth = 0.5 * std::sin(k * 0.0123) + 0.25 * (unit(k) - 0.5) + (k % 97 == 0 ? 0.2 : 0.0);
            const uint32_t h = hash32(static_cast<uint64_t>(k) + 1000000);
            const double spike = (h % 3 == 0) ? ((h & 8) ? 1e30 : -1e30) : smooth;
            data[k] = static_cast<float>(constant ? v : (spiky ? spike : smooth));
        }
        src = {1, data.data(), frames};
    }
    Source(const Source&) = delete;
    Source& operator=(const Source&) = delete;
};

struct Config {
    bool has_log2 = false;        // init exponent given
    int32_t log2 = 0;
    bool set_overlap = false;     // set_overlap before compile
    int32_t overlap_log2 = 0;
    double rate = 44100.0;        // 1000 Hz makes one ms one sample
    double period = 60.0;         // ms
    double pos_jitter = 5.0;      // ms
    std::vector<double> transp{0.0};
    double transp_jitter = 0.0;
    uint32_t seed = 12345;
};

// One engine record and one reference record in the same state, each with
// its own random state. The engine's is swapped into the library-wide state
// around every engine call.
// The suite runs once with the kernel this processor gets and once more with
// each of VORN_KERNEL=sse2 and VORN_KERNEL=avx2 on x86, VORN_KERNEL=plain on
// 64-bit ARM (see tests/CMakeLists.txt), so that every kernel this processor
// can run is held to the plain loop; engine_main.cpp chooses it, and skips the
// run where the processor lacks it.
vorn::detail::GrainKernel kernel_under_test() { return vorn::detail::fast_kernel(); }

struct Twin {
    Granulator eng{};
    uint32_t eng_state = 0;
    Granulator ref{};
    std::vector<Grain> ref_grains;
    uint32_t ref_state = 0;

    Twin(const Config& c, const SampleSource* src) {
        vorn::build_tables();
        vorn::random_state = c.seed;
        if (c.has_log2) vorn::init(eng, c.log2); else vorn::init(eng);
        if (!vorn::usable(eng)) return;
        vorn::set_pos_jitter(eng, c.pos_jitter);
        vorn::set_transp_list(eng, c.transp.data(), static_cast<int32_t>(c.transp.size()));
        vorn::set_transp_jitter(eng, c.transp_jitter);
        vorn::set_period(eng, c.period);
        if (c.set_overlap) vorn::set_overlap(eng, c.overlap_log2);
        eng.source = src ? *src : SampleSource{};  // null: none bound

        ref = eng;
        ref_grains.assign(eng.grains, eng.grains + eng.max_overlap);
        ref.grains = ref_grains.data();
        ref_state = vorn::random_state;

        // The engine as every host compiles it; the reference spelt out:
        // compile, then every allocated grain restarts at 0.
        vorn::compile_and_restart(eng, c.rate);
        eng_state = vorn::random_state;
        vorn::compile(ref, c.rate);
        for (int32_t i = 0; i < ref.max_overlap; ++i) ref_start_grain(ref, 0.0, ref.grains[i], ref_state);
    }
    ~Twin() { vorn::release(eng); }
    Twin(const Twin&) = delete;
    Twin& operator=(const Twin&) = delete;

    void perform(const float* in, float* eng_out, float* ref_out, int32_t n) {
        vorn::random_state = eng_state;
        vorn::detail::perform_with(eng, in, eng_out, n, kernel_under_test());
        eng_state = vorn::random_state;
        ref_perform(ref, in, ref_out, n, ref_state);
    }

    // Applies one engine setter to both records (setters are not under test
    // here; a growing overlap draws from each side's own state).
    template <class F>
    void both(F f) {
        vorn::random_state = eng_state;
        f(eng);
        eng_state = vorn::random_state;
        vorn::random_state = ref_state;
        f(ref);
        ref_state = vorn::random_state;
    }

    void set_source(const SampleSource& s) { eng.source = ref.source = s; }
};

std::string bits(float x) {
    uint32_t u;
    std::memcpy(&u, &x, 4);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.9g (0x%08x)", static_cast<double>(x), u);
    return buf;
}

// Whether two NaN samples count as the same: with NaNs or infinities in the
// source, which NaN an operation gives (its sign and payload) is the
// processor's choice, and the compiler's, which may swap the operands of an
// addition; that a sample is NaN is not.
enum class Nans { Bits, AnyNaN };

::testing::AssertionResult same_bits(const float* a, const float* b, int32_t n, Nans nans = Nans::Bits) {
    if (n <= 0 || std::memcmp(a, b, sizeof(float) * static_cast<size_t>(n)) == 0)
        return ::testing::AssertionSuccess();
    for (int32_t j = 0; j < n; ++j) {
        if (std::memcmp(a + j, b + j, sizeof(float)) == 0) continue;
        if (nans == Nans::AnyNaN && std::isnan(a[j]) && std::isnan(b[j])) continue;
        return ::testing::AssertionFailure() << "output differs first at sample " << j << ": engine "
                                             << bits(a[j]) << ", reference " << bits(b[j]);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult same_grain(const Grain& e, const Grain& r, int32_t i) {
    if (e.index == r.index && e.frac == r.frac && e.step == r.step && e.step_frac == r.step_frac &&
        e.offset == r.offset)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "grain " << i << ": engine (index " << e.index << ", frac " << e.frac << ", step " << e.step
           << ", step_frac " << e.step_frac << ", offset " << e.offset << ") reference (index " << r.index
           << ", frac " << r.frac << ", step " << r.step << ", step_frac " << r.step_frac << ", offset "
           << r.offset << ")";
}

::testing::AssertionResult same_state(const Twin& t) {
    const Granulator& e = t.eng;
    const Granulator& r = t.ref;
    if (e.phase != r.phase || e.phase_incr != r.phase_incr || e.overlap != r.overlap)
        return ::testing::AssertionFailure() << "phase " << e.phase << " vs " << r.phase << ", phase_incr "
                                             << e.phase_incr << " vs " << r.phase_incr << ", overlap "
                                             << e.overlap << " vs " << r.overlap;
    if (t.eng_state != t.ref_state)
        return ::testing::AssertionFailure() << "random state " << t.eng_state << " vs " << t.ref_state;
    for (int32_t i = 0; i < e.max_overlap; ++i) {
        auto g = same_grain(e.grains[i], r.grains[i], i);
        if (!g) return g;
    }
    return ::testing::AssertionSuccess();
}

// Everything that perform may move, for "nothing changed" checks.
struct Snapshot {
    uint32_t phase;
    uint32_t state;
    std::vector<Grain> grains;
    explicit Snapshot(const Granulator& g, uint32_t s)
        : phase(g.phase), state(s), grains(g.grains, g.grains + g.max_overlap) {}
    bool operator==(const Snapshot& o) const {
        if (phase != o.phase || state != o.state || grains.size() != o.grains.size()) return false;
        for (size_t i = 0; i < grains.size(); ++i)
            if (std::memcmp(&grains[i], &o.grains[i], sizeof(Grain)) != 0) return false;
        return true;
    }
};

// ---------------------------------------------------------------------------
// The comparison matrix.

enum class Input { Const, Ramp, Noise, Odd };
enum class Sound { Any, Some, None };

struct Case : Config {
    std::string name;
    int32_t frames = 44100;
    Input input = Input::Const;
    double in_a = 500.0, in_b = 500.0;  // ms
    std::vector<int32_t> sizes{64};
    int rounds = 8;
    Sound sound = Sound::Some;
    bool twice = false;  // run again and demand identical bits
    bool spiky = false;  // source with cancelling +-1e30 samples
    int32_t stride = 1;  // the engine reads frame k at k * stride, the reference a plain copy
};

// The source as a host with interleaved channels (or Pd's padded slots)
// holds it: frame k at k * stride, the floats between them hostile, so that
// reading one of them shows in the output. Exactly frames * stride floats.
std::vector<float> strided_copy(const std::vector<float>& frames, int32_t stride) {
    const float junk[] = {std::numeric_limits<float>::quiet_NaN(), 1e30f, -std::numeric_limits<float>::infinity()};
    std::vector<float> v(frames.size() * static_cast<size_t>(stride));
    for (size_t k = 0; k < v.size(); ++k) v[k] = junk[k % 3];
    for (size_t k = 0; k < frames.size(); ++k) v[k * static_cast<size_t>(stride)] = frames[k];
    return v;
}

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

// Position signal, ms, at absolute sample t of a run of `total` samples.
float input_at(const Case& c, int64_t t, int64_t total) {
    switch (c.input) {
        case Input::Const: return static_cast<float>(c.in_a);
        case Input::Ramp: return static_cast<float>(c.in_a + (c.in_b - c.in_a) * t / static_cast<double>(total));
        case Input::Noise: return static_cast<float>(c.in_a + (c.in_b - c.in_a) * unit(t * 7 + 1));
        case Input::Odd: {
            static const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::infinity(),
                                        -std::numeric_limits<float>::infinity(),
                                        1e30f,
                                        -1e30f,
                                        std::numeric_limits<float>::max(),
                                        -0.0f,
                                        1e-40f,
                                        4294968296.0f,
                                        -2.2e9f,
                                        3e9f};
            const uint32_t h = hash32(t * 13 + 5);
            if (h & 1) return odd[(h >> 1) % (sizeof odd / sizeof odd[0])];
            return static_cast<float>(c.in_a + (c.in_b - c.in_a) * unit(t));
        }
    }
    return 0.0f;
}

// Runs a case on engine and reference; returns the engine's output.
std::vector<float> run_case(const Case& c) {
    Source s(c.frames, false, 0.0f, c.spiky);
    const std::vector<float> interleaved = c.stride > 1 ? strided_copy(s.data, c.stride) : std::vector<float>{};
    const SampleSource strided{1, interleaved.data(), c.frames, c.stride};
    Twin t(c, c.stride > 1 ? &strided : &s.src);
    t.ref.source = s.src;
    std::vector<float> all;
    if (!vorn::usable(t.eng)) {
        ADD_FAILURE() << c.name << ": grain array not allocated";
        return all;
    }
    EXPECT_TRUE(same_state(t)) << c.name << ": after the restarts that follow compile";

    int64_t total = 0;
    for (int r = 0; r < c.rounds; ++r)
        for (int32_t n : c.sizes) total += n;
    int64_t time = 0;
    int vec = 0;
    for (int r = 0; r < c.rounds; ++r) {
        for (int32_t n : c.sizes) {
            std::vector<float> in(static_cast<size_t>(n)), eo(static_cast<size_t>(n), 777.0f),
                ro(static_cast<size_t>(n), -777.0f);
            for (int32_t j = 0; j < n; ++j) in[j] = input_at(c, time + j, total);
            t.perform(in.data(), eo.data(), ro.data(), n);
            auto out_ok = same_bits(eo.data(), ro.data(), n);
            auto state_ok = same_state(t);
            if (!out_ok || !state_ok) {
                ADD_FAILURE() << c.name << ": vector " << vec << " (n " << n << ", from sample " << time
                              << "): " << (out_ok ? "" : out_ok.message()) << " "
                              << (state_ok ? "" : state_ok.message());
                return all;
            }
            all.insert(all.end(), eo.begin(), eo.end());
            time += n;
            ++vec;
        }
    }
    return all;
}

std::string tag(double x) {
    std::string s = std::to_string(x);
    for (char& ch : s)
        if (ch == '-') ch = 'm';
        else if (ch == '.') ch = 'p';
    while (s.size() > 1 && s.back() == '0') s.pop_back();
    if (s.back() == 'p') s.pop_back();
    return s;
}

std::vector<Case> perform_cases() {
    std::vector<Case> v;
    const std::vector<int32_t> mixed{1, 3, 7, 64, 100, 4096, 2, 5, 63};

    {  // A default instance at 44.1 kHz.
        Case c;
        c.name = "DefaultInstance";
        c.frames = 88200;
        c.in_a = c.in_b = 1000.0;
        c.rounds = 40;
        v.push_back(c);
    }
    for (int32_t n : {1, 3, 7, 64, 100, 4096}) {  // Vector sizes.
        Case c;
        c.name = "VectorSize" + std::to_string(n);
        c.input = Input::Noise;
        c.in_a = 100.0;
        c.in_b = 900.0;
        c.sizes = {n};
        c.rounds = n >= 6000 ? 1 : 6000 / n + 1;
        v.push_back(c);
    }
    {
        Case c;
        c.name = "MixedVectorSizes";
        c.input = Input::Ramp;
        c.in_a = 50.0;
        c.in_b = 950.0;
        c.sizes = mixed;
        c.rounds = 3;
        v.push_back(c);
    }
    for (int32_t e = 0; e <= 10; ++e) {  // Active grains 1..1024 out of 1024.
        Case c;
        c.name = "Overlap" + std::to_string(1 << e);
        c.has_log2 = true;
        c.log2 = 10;
        c.set_overlap = true;
        c.overlap_log2 = e;
        c.rate = 1000.0;
        c.period = 24.0 + 3.0 * e;
        c.pos_jitter = 3.0;
        c.transp = {-700.0, 0.0, 500.0};
        c.transp_jitter = 20.0;
        c.frames = 5000;
        c.input = Input::Ramp;
        c.in_a = 40.0;
        c.in_b = 4900.0;
        c.sizes = mixed;
        c.rounds = 1;
        c.seed = 777u + static_cast<uint32_t>(e);
        v.push_back(c);
    }
    for (int32_t e : {-2, 0, 1, 2, 3, 6, 10, 11, 40}) {  // Creation exponents.
        Case c;
        c.name = "InitExponent" + tag(e);
        c.has_log2 = true;
        c.log2 = e;
        c.rate = 48000.0;
        c.frames = 48000;
        c.input = Input::Noise;
        c.in_a = 100.0;
        c.in_b = 900.0;
        c.sizes = {128};
        c.rounds = 40;
        v.push_back(c);
    }
    for (double cents : {-1200.0, 700.0, 2400.0}) {  // Positions going backwards, below the source's start.
        Case c;
        c.name = "FallingBelowZero" + tag(cents);
        c.rate = 1000.0;
        c.period = 40.0;
        c.pos_jitter = 3.0;
        c.transp = {cents};
        c.frames = 5000;
        c.input = Input::Ramp;
        c.in_a = 700.0;
        c.in_b = -400.0;
        c.sizes = {64, 7, 128};
        c.rounds = 6;
        v.push_back(c);
    }
    {  // Transposition lists and detunes.
        std::vector<double> all256(256);
        for (int k = 0; k < 256; ++k) all256[k] = -2400.0 + 4800.0 * k / 255.0;
        struct T { const char* name; std::vector<double> list; double jitter; };
        const std::vector<T> ts{
            {"Down2Oct", {-2400.0}, 0.0},   {"Up2Oct", {2400.0}, 0.0},       {"Down1Oct", {-1200.0}, 0.0},
            {"Up1Oct", {1200.0}, 0.0},      {"Fifth", {700.0}, 0.0},          {"Odd", {-13.7}, 0.0},
            {"List5", {-2400.0, -1200.0, 0.0, 1200.0, 2400.0}, 0.0},
            {"List5Jitter25", {-2400.0, -1200.0, 0.0, 1200.0, 2400.0}, 25.0},
            {"List5Jitter2400", {-2400.0, -1200.0, 0.0, 1200.0, 2400.0}, 2400.0},
            {"List5JitterNegative", {-2400.0, -1200.0, 0.0, 1200.0, 2400.0}, -10.0},
            {"Jitter2400", {0.0}, 2400.0},  {"List2", {-1200.0, 1200.0}, 0.0}, {"List256", all256, 0.0},
            {"List256Jitter2400", all256, 2400.0},                             {"EmptyList", {}, 0.0},
            {"DownFifth", {-700.0}, 0.0},   {"List4Jitter10", {0.0, 700.0, -500.0, 1200.0}, 10.0},
            // A ratio just above 2^-32 (the step a few units of its
            // fraction), one below it (no step: the grain stands), one just
            // under 2^31, and ones past it, whose whole part, kept to 32
            // bits, is negative: the grain reads backwards.
            {"RatioNearZero", {-38350.0}, 0.0}, {"RatioBelowTwoToMinus32", {-38500.0}, 0.0},
            {"RatioNearTwoTo31", {37150.0}, 0.0}, {"RatioPastTwoTo31", {37230.0, 37600.0}, 3.0},
        };
        for (const T& x : ts) {
            Case c;
            c.name = std::string("Transp") + x.name;
            c.rate = 1000.0;
            c.period = 100.0;
            c.pos_jitter = 7.0;
            c.transp = x.list;
            c.transp_jitter = x.jitter;
            c.frames = 20000;
            c.input = Input::Noise;
            c.in_a = 2000.0;
            c.in_b = 18000.0;
            c.sizes = {100, 64, 1, 333};
            c.rounds = 12;
            v.push_back(c);
        }
    }
    for (double j : {0.0, 0.02, 1.0, 50.0, 1000.0, -20.0}) {  // Start jitter, ms.
        Case c;
        c.name = "PosJitter" + tag(j);
        c.pos_jitter = j;
        c.frames = 88200;
        c.input = Input::Ramp;
        c.in_a = 100.0;
        c.in_b = 1900.0;
        c.sizes = {256};
        c.rounds = 24;
        v.push_back(c);
    }
    // Periods in samples (1 kHz: one ms is one sample). 1 is raised to 4;
    // 2e9 gives a phase step of 1, 3e9 a phase step of 0.
    for (double p : {1.0, 4.0, 4.5, 5.0, 7.0, 16.0, 100.0, 2646.0, 1e5, 2e9, 3e9}) {
        Case c;
        c.name = "PeriodSamples" + tag(p);
        c.rate = 1000.0;
        c.period = p;
        c.pos_jitter = 2.0;
        c.transp = {-300.0, 0.0, 300.0};
        c.frames = 10000;
        c.input = Input::Noise;
        c.in_a = 3000.0;
        c.in_b = 7000.0;
        c.sizes = mixed;
        c.rounds = p > 1e4 ? 1 : 2;
        c.sound = p > 1e4 ? Sound::Any : Sound::Some;  // long grains stay before the buffer
        v.push_back(c);
    }
    {  // Long periods in ms at 44.1 kHz.
        Case c;
        c.name = "PeriodOneSecond";
        c.period = 1000.0;
        c.frames = 200000;
        c.in_a = c.in_b = 2000.0;
        c.sizes = {4096};
        c.rounds = 25;
        v.push_back(c);
    }
    {  // Reading across both ends of the buffer.
        Case c;
        c.rate = 1000.0;
        c.period = 50.0;
        c.frames = 3000;
        c.sizes = {64, 7, 100};
        c.rounds = 30;
        c.name = "RampAcrossBothEnds";
        c.input = Input::Ramp;
        c.in_a = -300.0;
        c.in_b = 3300.0;
        v.push_back(c);
        c.name = "NoiseAcrossBothEnds";
        c.input = Input::Noise;
        v.push_back(c);
        c.name = "NearStart";
        c.input = Input::Const;
        c.in_a = 20.0;
        v.push_back(c);
        c.name = "NearEnd";
        c.in_a = 2985.0;
        v.push_back(c);
        c.name = "NegativePosition";
        c.in_a = -40.0;
        c.sound = Sound::Any;
        v.push_back(c);
        c.name = "ChangingEverySample";
        c.input = Input::Noise;
        c.in_a = -100.0;
        c.in_b = 3100.0;
        c.period = 5.0;
        c.sizes = {1, 64, 4096};
        c.rounds = 3;
        c.sound = Sound::Some;
        v.push_back(c);
    }
    for (int32_t e : {0, 1, 3}) {  // Cancelling taps, all rows in use.
        Case c;
        c.name = "SpikySourceOverlap" + std::to_string(1 << e);
        c.has_log2 = true;
        c.log2 = 3;
        c.set_overlap = true;
        c.overlap_log2 = e;
        c.rate = 1000.0;
        c.period = 33.0;
        c.transp = {-1000.0, -37.0, 0.0, 250.0, 1200.0};
        c.transp_jitter = 40.0;
        c.frames = 4000;
        c.input = Input::Noise;
        c.in_a = 100.0;
        c.in_b = 3900.0;
        c.sizes = {64, 5, 256};
        c.rounds = 10;
        c.spiky = true;
        v.push_back(c);
    }
    // Short buffers: at 4 frames only positions in [1, 2) sound; 3 or fewer: silence.
    for (int32_t f : {0, 1, 2, 3, 4, 5, 8}) {
        Case c;
        c.name = "Frames" + std::to_string(f);
        c.rate = 1000.0;
        c.period = 4.0;
        c.pos_jitter = 1.5;
        c.transp = {-2400.0, -1200.0, 0.0};
        c.frames = f;
        c.input = Input::Noise;
        c.in_a = 0.0;
        c.in_b = 7.0;
        c.sizes = {1, 3, 64, 7};
        c.rounds = 20;
        c.sound = f <= 3 ? Sound::None : Sound::Some;
        v.push_back(c);
    }
    {  // Positions far outside the 32-bit range of a grain's integer part.
        Case c;
        c.rate = 1000.0;
        c.period = 64.0;
        c.pos_jitter = 0.0;
        c.frames = 4096;
        c.sizes = {64};
        c.rounds = 6;
        c.sound = Sound::Any;
        const std::pair<const char*, double> far[] = {{"1e8", 1e8},     {"Minus1e8", -1e8}, {"2p2e9", 2.2e9},
                                                      {"Minus2p2e9", -2.2e9}, {"3e9", 3e9},   {"1e30", 1e30}};
        for (const auto& [name, x] : far) {
            c.name = std::string("FarPosition") + name;
            c.in_a = x;
            v.push_back(c);
        }
        // 2^32 + 1024 keeps 1024 in its low 32 bits: the grain lands inside.
        c.name = "WrapsIntoRange";
        c.in_a = 4294968320.0;
        c.sound = Sound::Some;
        v.push_back(c);
    }
    // NaN and infinities in the input and in the settings.
    {
        Case base;
        base.rate = 1000.0;
        base.period = 30.0;
        base.frames = 3000;
        base.input = Input::Odd;
        base.in_a = 0.0;
        base.in_b = 3000.0;
        base.sizes = {64, 1, 100};
        base.rounds = 10;
        base.twice = true;
        base.sound = Sound::Any;
        struct S { const char* name; double period, pos_jitter, jitter; std::vector<double> transp; };
        const std::vector<S> ss{
            {"Input", 30.0, 5.0, 10.0, {-1200.0, 0.0, 700.0}},
            {"PeriodNaN", kNaN, 5.0, 0.0, {0.0}},
            {"PeriodInf", kInf, 5.0, 0.0, {0.0}},
            {"PeriodMinusInf", -kInf, 5.0, 0.0, {0.0}},
            {"PeriodHuge", 1e300, 5.0, 0.0, {0.0}},
            {"PeriodNegative", -5.0, 5.0, 0.0, {0.0}},
            {"PosJitterNaN", 30.0, kNaN, 0.0, {0.0}},
            {"PosJitterInf", 30.0, kInf, 0.0, {0.0}},
            {"TranspJitterNaN", 30.0, 5.0, kNaN, {0.0, 100.0}},
            {"TranspJitterInf", 30.0, 5.0, kInf, {0.0}},
            {"TranspJitterMinusInf", 30.0, 5.0, -kInf, {0.0}},
            {"TranspNaN", 30.0, 5.0, 0.0, {kNaN, 0.0}},
            {"TranspInf", 30.0, 5.0, 0.0, {kInf, 0.0}},
            {"TranspMinusInf", 30.0, 5.0, 0.0, {-kInf, 0.0}},
            {"TranspHuge", 30.0, 5.0, 0.0, {40000.0, -40000.0, 1e300}},
            {"TranspNearLimits", 30.0, 5.0, 100.0, {37150.0, -38350.0, 0.0}},
        };
        for (const S& x : ss) {
            Case c = base;
            c.name = std::string("NonFinite") + x.name;
            c.period = x.period;
            c.pos_jitter = x.pos_jitter;
            c.transp_jitter = x.jitter;
            c.transp = x.transp;
            v.push_back(c);
        }
    }
    for (int32_t stride : {2, 3, 7}) {  // Strided sources, grains over both ends.
        Case c;
        c.name = "Stride" + std::to_string(stride);
        c.stride = stride;
        c.has_log2 = true;
        c.log2 = 6;
        c.rate = 1000.0;
        c.period = 40.0;
        c.pos_jitter = 5.0;
        c.transp = {-1200.0, 0.0, 700.0, 1900.0, 4000.0};
        c.frames = 3000;
        c.spiky = true;
        c.input = Input::Ramp;
        c.in_a = -100.0;
        c.in_b = 3100.0;
        c.sizes = mixed;
        c.rounds = 2;
        v.push_back(c);
    }
    // Every window reading and body of the wide kernels: grain periods from
    // 1 to 200 ms at 44.1 kHz (a block's window entries one load apart up to
    // far apart), grains at the original pitch (a step of one frame) and
    // transposed, contiguous and strided sources, vectors that cut blocks
    // short, and grains over both ends of the source.
    for (double ms : {1.0, 3.0, 5.0, 8.0, 10.0, 13.0, 20.0, 30.0, 40.0, 60.0, 100.0, 200.0}) {
        for (bool unit : {true, false}) {
            for (int32_t stride : {1, 2, 3}) {
                Case c;
                c.name = "Shape" + tag(ms) + "ms" + (unit ? "Unit" : "Transposed") + "Stride" + std::to_string(stride);
                c.stride = stride;
                c.has_log2 = true;
                c.log2 = 5;
                c.period = ms;
                c.pos_jitter = unit ? 0.0 : 5.0;
                c.transp = unit ? std::vector<double>{0.0} : std::vector<double>{-700.0, 0.0, 700.0};
                c.transp_jitter = unit ? 0.0 : 3.0;
                c.frames = 22050;
                c.spiky = stride == 3;
                c.input = Input::Ramp;
                c.in_a = -60.0;
                c.in_b = 560.0;
                c.sizes = {64, 1, 3, 7, 100, 2048, 2, 5, 63, 64};
                c.rounds = 2;
                v.push_back(c);
            }
        }
    }
    return v;
}

class PerformMatchesReference : public ::testing::TestWithParam<Case> {};

TEST_P(PerformMatchesReference, BitForBit) {
    const Case& c = GetParam();
    const std::vector<float> out = run_case(c);
    if (HasFailure()) return;
    bool sound = false;
    for (float x : out) sound = sound || x != 0.0f;
    if (c.sound == Sound::Some) {
        EXPECT_TRUE(sound) << "no grain ever sounded: the comparison proves little";
    }
    if (c.sound == Sound::None) {
        EXPECT_FALSE(sound) << "a buffer without a valid position sounded";
    }
    if (c.twice) {
        const std::vector<float> again = run_case(c);
        ASSERT_EQ(out.size(), again.size());
        EXPECT_TRUE(same_bits(out.data(), again.data(), static_cast<int32_t>(out.size())))
            << "two identical runs differ";
    }
}

INSTANTIATE_TEST_SUITE_P(Matrix, PerformMatchesReference, ::testing::ValuesIn(perform_cases()),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Changes between vectors, as the host's messages make them.

TEST(PerformAcrossVectors, SettingsAndSourceChangeBetweenVectors) {
    Source big(30000), tiny(4);
    const SampleSource invalid{0, nullptr, 1 << 30};
    Config cfg;
    cfg.has_log2 = true;
    cfg.log2 = 6;
    cfg.set_overlap = true;
    cfg.overlap_log2 = 1;
    Twin t(cfg, &big.src);
    ASSERT_TRUE(vorn::usable(t.eng));

    using G = Granulator&;
    const double list[] = {-1200.0, 700.0, 1900.0};
    int64_t time = 0;
    for (int step = 0; step < 26; ++step) {
        switch (step) {
            case 2: t.both([](G g) { vorn::set_overlap(g, 4); }); break;   // grows: restarts 2..15
            case 4: t.both([](G g) { vorn::set_period(g, 5.0); }); break;
            case 6: t.both([&](G g) { vorn::set_transp_list(g, list, 3); }); break;
            case 8: t.both([](G g) { vorn::set_transp_jitter(g, 80.0); }); break;
            case 10: t.both([](G g) { vorn::set_pos_jitter(g, 0.0); }); break;
            case 12: t.both([](G g) { vorn::set_overlap(g, 0); }); break;   // one grain
            case 14: t.both([](G g) { vorn::set_overlap(g, 6); }); break;   // grows again
            case 15: t.set_source(tiny.src); break;
            case 17: t.set_source(invalid); break;
            case 18: t.set_source(big.src); break;
            case 19: t.both([](G g) { vorn::set_period(g, 0.0); }); break;  // raised to 4 samples
            case 21: t.both([](G g) { vorn::set_period(g, 250.0); }); break;
            case 23: t.both([](G g) { vorn::compile(g, 22050.0); }); break; // recompile: phase to 0
            default: break;
        }
        ASSERT_TRUE(same_state(t)) << "after the change before vector " << step;
        const int32_t n = (step % 3 == 0) ? 1000 : (step % 3 == 1 ? 1 : 77);
        std::vector<float> in(static_cast<size_t>(n)), eo(static_cast<size_t>(n)), ro(static_cast<size_t>(n));
        for (int32_t j = 0; j < n; ++j) in[j] = static_cast<float>(100.0 + 400.0 * unit(time + j));
        t.perform(in.data(), eo.data(), ro.data(), n);
        ASSERT_TRUE(same_bits(eo.data(), ro.data(), n)) << "vector " << step;
        ASSERT_TRUE(same_state(t)) << "vector " << step;
        time += n;
    }
}

// ---------------------------------------------------------------------------
// Properties.

// Draws needed to go from one random state to another (-1: more than 8).
int draws_between(uint32_t from, uint32_t to) {
    for (int k = 0; k <= 8; ++k) {
        if (from == to) return k;
        ref_random_next(from);
    }
    return -1;
}

Config exact_config(double period, int32_t log2) {
    Config c;
    c.has_log2 = true;
    c.log2 = log2;
    c.rate = 1000.0;  // one ms is one sample
    c.period = period;
    c.pos_jitter = 0.0;
    c.seed = 4242;
    return c;
}

TEST(PerformRestarts, EverySamplePositionOfAVectorAndBothBufferEnds) {
    // A 67-sample period against 64-sample vectors: restarts walk through
    // every sample position of the vector, while the position signal sweeps
    // past both ends of a short buffer so that grains enter and leave the
    // valid range inside runs.
    Source s(300);
    Config c = exact_config(67.0, 2);
    c.transp = {-2400.0, -700.0, 0.0, 1200.0, 2400.0};
    c.transp_jitter = 30.0;
    Twin t(c, &s.src);
    ASSERT_TRUE(vorn::usable(t.eng));
    const uint32_t incr = static_cast<uint32_t>(t.eng.phase_incr);
    std::vector<bool> hit(64, false);
    std::vector<float> in(64), eo(64), ro(64);
    for (int v = 0; v < 140; ++v) {
        for (int j = 0; j < 64; ++j) {
            const int time = v * 64 + j;
            in[j] = static_cast<float>(-60.0 + 420.0 * ((time % 800) / 800.0));
            if (((static_cast<uint64_t>(time) * incr) & 0x7fffffffu) < incr) hit[j] = true;  // grain 0 restarts
        }
        t.perform(in.data(), eo.data(), ro.data(), 64);
        ASSERT_TRUE(same_bits(eo.data(), ro.data(), 64)) << "vector " << v;
        ASSERT_TRUE(same_state(t)) << "vector " << v;
    }
    for (int j = 0; j < 64; ++j) EXPECT_TRUE(hit[j]) << "no restart at sample " << j;
}

TEST(PerformRestarts, GrainZeroFirstSampleGrainOneHalfAPeriodLater) {
    Source s(10000);
    // One draw per start: one transposition, no detune.
    Twin t(exact_config(64.0, 1), &s.src);
    ASSERT_TRUE(vorn::usable(t.eng));
    ASSERT_EQ(t.eng.overlap, 2);
    ASSERT_EQ(t.eng.phase, 0u);

    std::vector<int> restarts;
    for (int j = 0; j < 200; ++j) {
        const float in = static_cast<float>(1000 + 3 * j);
        float eo = 0.0f, ro = 0.0f;
        const uint32_t before = t.eng_state;
        t.perform(&in, &eo, &ro, 1);
        ASSERT_TRUE(same_bits(&eo, &ro, 1)) << "sample " << j;
        ASSERT_TRUE(same_state(t)) << "sample " << j;
        const int d = draws_between(before, t.eng_state);
        ASSERT_GE(d, 0);
        for (int k = 0; k < d; ++k) restarts.push_back(j);
        // The grain that restarted read its position from this sample:
        // floor(in - 64/2), then advanced once.
        if (j == 0 || j == 32) {
            EXPECT_EQ(t.eng.grains[j == 0 ? 0 : 1].index, 1000 + 3 * j - 32 + 1);
        }
    }
    EXPECT_EQ(restarts, (std::vector<int>{0, 32, 64, 96, 128, 160, 192}));

    // The same in one vector of 64: each grain's position comes from in[j]
    // at its own restart sample.
    Twin w(exact_config(64.0, 1), &s.src);
    std::vector<float> in(64), eo(64), ro(64);
    for (int j = 0; j < 64; ++j) in[j] = static_cast<float>(1000 + 3 * j);
    w.perform(in.data(), eo.data(), ro.data(), 64);
    EXPECT_TRUE(same_bits(eo.data(), ro.data(), 64));
    EXPECT_EQ(w.eng.grains[0].index, 968 + 64);
    EXPECT_EQ(w.eng.grains[1].index, 968 + 3 * 32 + 32);
    EXPECT_EQ(draws_between(4242u, w.eng_state), 2 + 2);  // two at compile, two in the vector
}

TEST(PerformRestarts, InputMattersOnlyAtRestartSamples) {
    Source s(20000);
    Config cfg = exact_config(40.0, 3);
    cfg.pos_jitter = 3.0;
    cfg.transp = {-500.0, 0.0, 800.0};
    cfg.transp_jitter = 15.0;
    const int32_t n = 400;
    std::vector<float> in(n), eo(n), ro(n);
    for (int j = 0; j < n; ++j) in[j] = static_cast<float>(5000.0 + 5000.0 * unit(j));

    // Find the restart samples of each vector through the draws.
    std::vector<bool> restart(n, false);
    {
        Twin t(cfg, &s.src);
        for (int j = 0; j < n; ++j) {
            const uint32_t before = t.eng_state;
            float e1, r1;
            t.perform(&in[j], &e1, &r1, 1);
            restart[j] = t.eng_state != before;
        }
    }
    Twin a(cfg, &s.src), b(cfg, &s.src);
    a.perform(in.data(), eo.data(), ro.data(), n);
    std::vector<float> changed = in;
    int kept = 0;
    for (int j = 0; j < n; ++j)
        if (!restart[j]) changed[j] = 1e9f; else ++kept;
    ASSERT_GT(kept, 40);
    std::vector<float> eo2(n), ro2(n);
    b.perform(changed.data(), eo2.data(), ro2.data(), n);
    EXPECT_TRUE(same_bits(eo.data(), eo2.data(), n)) << "input away from restarts changed the output";
    EXPECT_TRUE(same_bits(eo2.data(), ro2.data(), n));
}

TEST(PerformRestarts, ZeroPhaseStepNeverRestartsAndHoldsTheWindow) {
    const float v = 0.3f;
    Source s(4000, true, v);
    Twin t(exact_config(64.0, 1), &s.src);
    ASSERT_TRUE(vorn::usable(t.eng));
    // Grains were started around 0 with a 64-sample period: they begin at -32.
    t.both([](Granulator& g) { vorn::set_period(g, 3e9); });
    ASSERT_EQ(t.eng.phase_incr, 0);
    const uint32_t state = t.eng_state;
    const Grain g0 = t.eng.grains[0], g1 = t.eng.grains[1];
    ASSERT_EQ(g1.index, -32);

    std::vector<float> in(100, 2000.0f), eo(100), ro(100);
    for (int k = 0; k < 30; ++k) {  // 3000 samples
        t.perform(in.data(), eo.data(), ro.data(), 100);
        ASSERT_TRUE(same_bits(eo.data(), ro.data(), 100)) << "vector " << k;
        ASSERT_TRUE(same_state(t)) << "vector " << k;
        ASSERT_EQ(t.eng_state, state) << "a grain restarted";
        for (int j = 0; j < 100; ++j) {
            const int32_t idx = -32 + 100 * k + j;  // grain 1's read position at this sample
            // Grain 0 sits at window 0, grain 1 at the peak; row 0 reads one tap.
            const float want = (idx > 0 && idx < 4000 - 2) ? v : 0.0f;
            ASSERT_EQ(eo[j], want) << "sample " << 100 * k + j;
        }
    }
    EXPECT_EQ(t.eng.grains[0].step, g0.step);
    EXPECT_EQ(t.eng.grains[1].step_frac, g1.step_frac);
}

TEST(PerformConstantSource, EverySampleEqualsTheSourceValue) {
    struct P { float v; double period; };
    for (const P& pr : {P{0.3f, 64.0}, P{-0.75f, 1000.0}, P{1.0f, 37.0}, P{0.123f, 4.0}}) {
        Source s(1 << 15, true, pr.v);
        for (int32_t e = 1; e <= 10; ++e) {
            Config cfg = exact_config(pr.period, 10);
            cfg.set_overlap = true;
            cfg.overlap_log2 = e;
            cfg.pos_jitter = 50.0;
            cfg.transp = {-1200.0, 0.0, 700.0, 1200.0};
            cfg.transp_jitter = 30.0;
            cfg.seed = 99u + static_cast<uint32_t>(e);
            Twin t(cfg, &s.src);
            ASSERT_TRUE(vorn::usable(t.eng));
            const int32_t n = static_cast<int32_t>(pr.period) * 3 + 5;
            std::vector<float> in(static_cast<size_t>(n)), eo(static_cast<size_t>(n)), ro(static_cast<size_t>(n));
            for (int32_t j = 0; j < n; ++j) in[j] = static_cast<float>(12000.0 + 8000.0 * unit(j + 31 * e));
            t.perform(in.data(), eo.data(), ro.data(), n);
            ASSERT_TRUE(same_bits(eo.data(), ro.data(), n)) << "overlap " << (1 << e);
            // Once every grain has restarted from the input (one period), all
            // are inside the buffer. Each of the 2^e additions into the output
            // rounds by at most half an ulp; the tables add a few more.
            const float a = std::fabs(pr.v);
            const double ulp = std::nextafter(a, 2.0f * a) - a;
            const double tol = ((1 << e) / 2.0 + 4.0) * ulp;
            double worst = 0.0;
            for (int32_t j = static_cast<int32_t>(pr.period) + 2; j < n; ++j)
                worst = std::max(worst, std::fabs(static_cast<double>(eo[j]) - pr.v));
            EXPECT_LE(worst, tol) << "v " << pr.v << ", period " << pr.period << ", overlap " << (1 << e)
                                  << ": worst " << worst / ulp << " ulp";
        }
    }
}

TEST(PerformWithoutSource, SilenceAndNothingMovesUntilAValidSource) {
    Source good(20000);
    const SampleSource invalid{0, nullptr, 1 << 30};  // would crash if read
    Config cfg;
    cfg.has_log2 = true;
    cfg.log2 = 4;
    cfg.transp = {-700.0, 0.0, 1200.0};
    cfg.transp_jitter = 10.0;
    for (const SampleSource* missing : {static_cast<const SampleSource*>(nullptr), &invalid}) {
        Twin a(cfg, missing), b(cfg, &good.src);
        ASSERT_TRUE(vorn::usable(a.eng));
        const Snapshot eng0(a.eng, a.eng_state), ref0(a.ref, a.ref_state);
        int64_t time = 0;
        for (int32_t n : {64, 1, 4096, 7}) {
            std::vector<float> in(static_cast<size_t>(n), 300.0f), eo(static_cast<size_t>(n), 5.0f),
                ro(static_cast<size_t>(n), 5.0f);
            a.perform(in.data(), eo.data(), ro.data(), n);
            for (int32_t j = 0; j < n; ++j) {
                ASSERT_EQ(eo[j], 0.0f);
                ASSERT_EQ(ro[j], 0.0f);
            }
            ASSERT_TRUE(Snapshot(a.eng, a.eng_state) == eng0) << "the engine moved without a source";
            ASSERT_TRUE(Snapshot(a.ref, a.ref_state) == ref0);
        }
        // With a valid source it goes on exactly as an instance that never waited.
        a.set_source(good.src);
        for (int32_t n : {64, 100, 4096, 3}) {
            std::vector<float> in(static_cast<size_t>(n)), ea(static_cast<size_t>(n)), ra(static_cast<size_t>(n)),
                eb(static_cast<size_t>(n)), rb(static_cast<size_t>(n));
            for (int32_t j = 0; j < n; ++j) in[j] = static_cast<float>(200.0 + 100.0 * unit(time + j));
            a.perform(in.data(), ea.data(), ra.data(), n);
            b.perform(in.data(), eb.data(), rb.data(), n);
            ASSERT_TRUE(same_bits(ea.data(), ra.data(), n));
            ASSERT_TRUE(same_bits(ea.data(), eb.data(), n)) << "waiting for a source changed the result";
            ASSERT_TRUE(same_state(a));
            ASSERT_TRUE(Snapshot(a.eng, a.eng_state) == Snapshot(b.eng, b.eng_state));
            time += n;
        }
    }
}

// Infinities and NaNs of both signs and several payloads in the source:
// every kernel gives NaN samples where the plain reading does and the same
// bits everywhere else, infinities included. Which NaN a NaN sample is
// belongs to the processor (x86 makes 0xFFC00000 from infinity minus
// infinity, ARM 0x7FC00000) and to the order of the operands it was given.
TEST(PerformNonFiniteSource, NaNWhereTheReadingHasNaNAndTheSameBitsElsewhere) {
    Source s(3000);
    const uint32_t specials[] = {0x7F800000u, 0xFF800000u, 0x7FC01234u, 0xFFC00042u, 0x7F800001u, 0xFF812345u};
    for (int32_t k = 0; k < 3000; k += 250)
        for (int32_t d = 0; d < 2; ++d)  // two side by side: NaNs and infinities meet
            std::memcpy(&s.data[static_cast<size_t>(k + 17 * d)],
                        &specials[static_cast<size_t>(k / 250 + d) % (sizeof specials / sizeof specials[0])], 4);
    Config cfg = exact_config(40.0, 4);
    cfg.pos_jitter = 4.0;
    cfg.transp = {-1200.0, -300.0, 0.0, 700.0};
    cfg.transp_jitter = 30.0;
    Twin t(cfg, &s.src);
    ASSERT_TRUE(vorn::usable(t.eng));
    int nans = 0, infinite = 0, finite = 0;
    std::vector<float> in(100), eo(100), ro(100);
    for (int v = 0; v < 30; ++v) {
        for (int j = 0; j < 100; ++j) in[j] = static_cast<float>(100.0 + 2800.0 * unit(v * 100 + j));
        t.perform(in.data(), eo.data(), ro.data(), 100);
        ASSERT_TRUE(same_bits(eo.data(), ro.data(), 100, Nans::AnyNaN)) << "vector " << v;
        ASSERT_TRUE(same_state(t)) << "vector " << v;
        for (float x : eo) {
            if (std::isnan(x))
                ++nans;
            else if (std::isinf(x))
                ++infinite;
            else
                ++finite;
        }
    }
    // The source's specials were read, and made both kinds of sample.
    EXPECT_GT(nans, 100);
    EXPECT_GT(infinite, 10);
    EXPECT_GT(finite, 100);
}

TEST(PerformWithoutSource, NoGrainArrayRendersSilence) {
    Source good(1000);
    Twin t(Config{}, &good.src);
    ASSERT_TRUE(vorn::usable(t.eng));
    Grain* const kept = t.eng.grains;
    t.eng.grains = nullptr;
    const uint32_t phase = t.eng.phase, state = t.eng_state;
    std::vector<float> in(64, 10.0f), out(64, 3.0f);
    vorn::random_state = state;
    vorn::perform(t.eng, in.data(), out.data(), 64);
    t.eng.grains = kept;
    for (float x : out) EXPECT_EQ(x, 0.0f);
    EXPECT_EQ(t.eng.phase, phase);
    EXPECT_EQ(vorn::random_state, state);
}

TEST(PerformEmptyVector, WritesNothingAndChangesNothing) {
    Source s(20000);
    Twin t(Config{}, &s.src);
    ASSERT_TRUE(vorn::usable(t.eng));
    // Right after compile grain 0 would restart at the next sample: an empty
    // vector must not start it. Then again in the middle of a run.
    for (int round = 0; round < 2; ++round) {
        const Snapshot eng0(t.eng, t.eng_state), ref0(t.ref, t.ref_state);
        for (int32_t n : {0, -1, -4096}) {
            float in[4] = {100.0f, 100.0f, 100.0f, 100.0f};
            float eo[4] = {1.0f, 2.0f, 3.0f, 4.0f}, ro[4] = {1.0f, 2.0f, 3.0f, 4.0f};
            t.perform(in, eo, ro, n);
            for (int k = 0; k < 4; ++k) {
                EXPECT_EQ(eo[k], static_cast<float>(k + 1)) << "n " << n;
                EXPECT_EQ(ro[k], static_cast<float>(k + 1)) << "n " << n;
            }
            EXPECT_TRUE(Snapshot(t.eng, t.eng_state) == eng0) << "n " << n;
            EXPECT_TRUE(Snapshot(t.ref, t.ref_state) == ref0) << "n " << n;
        }
        std::vector<float> in(1000, 150.0f), eo(1000), ro(1000);
        t.perform(in.data(), eo.data(), ro.data(), 1000);
        ASSERT_TRUE(same_bits(eo.data(), ro.data(), 1000));
    }
}

// ---------------------------------------------------------------------------
// Grain start on its own: the reference against known worked values, and
// the engine against the reference over awkward inputs.

uint32_t state_before(uint32_t draw) {  // the state whose next draw is `draw`
    const uint64_t m = 2147483647u;
    uint64_t inv = 1, b = 16807, e = m - 2;  // 16807^(m-2) = 16807^-1 mod m
    while (e) {
        if (e & 1) inv = inv * b % m;
        b = b * b % m;
        e >>= 1;
    }
    return static_cast<uint32_t>(draw * inv % m);
}

Granulator bare(double pos_jitter, double period, std::vector<double> transp, double transp_jitter) {
    Granulator g{};
    g.pos_jitter = pos_jitter;
    g.period = period;
    // Through the setter, which keeps each entry's reading speed beside it.
    vorn::set_transp_list(g, transp.data(), static_cast<int32_t>(transp.size()));
    g.transp_jitter = transp_jitter;
    return g;
}

TEST(ReferenceWorkedValues, RandomSequence) {
    uint32_t s = 1;
    const uint32_t first[] = {16807u, 282475249u, 1622650073u, 984943658u, 1144108930u};
    for (uint32_t x : first) EXPECT_EQ(ref_random_next(s), x);
    s = 1;
    for (int k = 0; k < 10000; ++k) ref_random_next(s);
    EXPECT_EQ(s, 1043618065u);
    s = 0;
    EXPECT_EQ(ref_random_next(s), 0u);
    s = 0x7FFFFFFFu;
    EXPECT_EQ(ref_random_next(s), 0x7FFFFFFFu);
    for (uint32_t x : {1u, 2u, 16807u, 0x7FFFFFFEu, 123456789u, 0x80000000u, 0xFFFFFFFFu}) {
        uint32_t a = x;
        const uint32_t r = ref_random_next(a);
        EXPECT_EQ(r % 2147483647u, static_cast<uint64_t>(x) * 16807u % 2147483647u) << x;
        vorn::random_state = x;
        EXPECT_EQ(vorn::random_next(), r) << x;
    }
}

TEST(ReferenceWorkedValues, WorkedGrainStarts) {
    Grain gr{};
    uint32_t s = 77;
    Granulator g = bare(0.0, 60.0, {0.0}, 0.0);
    ref_start_grain(g, 0.0, gr, s);
    EXPECT_EQ(gr.index, -30);
    EXPECT_EQ(gr.frac, 0u);
    EXPECT_EQ(gr.step, 1);
    EXPECT_EQ(gr.step_frac, 0u);
    EXPECT_EQ(draws_between(77u, s), 1);

    g.transp[0] = 1200.0;
    ref_start_grain(g, 0.0, gr, s);
    EXPECT_EQ(gr.index, -61);
    EXPECT_EQ(gr.frac, 4294967294u);
    EXPECT_EQ(gr.step, 2);
    EXPECT_EQ(gr.step_frac, 0u);

    g.transp[0] = -1200.0;
    ref_start_grain(g, 0.0, gr, s);
    EXPECT_EQ(gr.index, -15);
    EXPECT_EQ(gr.frac, 0u);
    EXPECT_EQ(gr.step, 0);
    EXPECT_EQ(gr.step_frac, 0x7FFFFFFFu);

    g = bare(0.0, 4.5, {0.0}, 0.0);
    ref_start_grain(g, 0.0, gr, s);
    EXPECT_EQ(gr.index, -3);
    EXPECT_EQ(gr.frac, 0xC0000000u);

    // With a zero period the start itself lands in the grain.
    g = bare(0.0, 0.0, {0.0}, 0.0);
    ref_start_grain(g, -2.25, gr, s);
    EXPECT_EQ(gr.index, -3);
    EXPECT_EQ(gr.frac, 0xC0000000u);
    ref_start_grain(g, -std::ldexp(1.0, -54), gr, s);
    EXPECT_EQ(gr.index, -1);
    EXPECT_EQ(gr.frac, 0u);
    ref_start_grain(g, -std::ldexp(1.0, -53), gr, s);
    EXPECT_EQ(gr.index, -1);
    EXPECT_EQ(gr.frac, 4294967295u);

    // Jitter extremes: the draws 1 and 2^31 - 2 give -+4.999999995343387.
    g = bare(5.0, 0.0, {0.0}, 0.0);
    for (auto [draw, off] : {std::pair{1u, -4.999999995343387}, std::pair{0x7FFFFFFEu, 4.999999995343387}}) {
        s = state_before(draw);
        ref_start_grain(g, 0.0, gr, s);
        EXPECT_EQ(s, draw);
        EXPECT_EQ(gr.index, static_cast<int32_t>(std::floor(off)));
        EXPECT_EQ(gr.frac, static_cast<uint32_t>((off - std::floor(off)) * 4294967296.0));
    }
}

TEST(ReferenceWorkedValues, TranspositionPickAndDetune) {
    // Each list entry is a distinct ratio; the step read back names the entry.
    std::vector<double> list(256);
    for (int k = 0; k < 256; ++k) list[k] = 1200.0 * std::log2(1.0 + k);  // ratio 1 + k
    Grain gr{};
    uint32_t s;
    Granulator g4 = bare(0.0, 0.0, {list[0], list[1], list[2], list[3]}, 0.0);
    Granulator g256 = bare(0.0, 0.0, list, 0.0);
    const auto picked = [&](Granulator& g, uint32_t draw) {
        // Position draw, then the pick. 2^31 - 1 is a fixed point of the step.
        s = draw == 0x7FFFFFFFu ? draw : state_before(state_before(draw));
        ref_start_grain(g, 0.0, gr, s);
        return gr.step_frac > 0x80000000u ? gr.step : gr.step - 1;
    };
    EXPECT_EQ(picked(g4, 1u), 0);
    EXPECT_EQ(picked(g4, 0x7FFFFFFEu), 3);
    EXPECT_EQ(picked(g256, 0x7FFFFFFEu), 255);
    // A state outside the generator's range still picks inside the list.
    EXPECT_EQ(picked(g4, 0x7FFFFFFFu), 3);
    EXPECT_EQ(picked(g256, 0x7FFFFFFFu), 255);

    // A negative detune takes no draw; a negative start jitter still does.
    Granulator g = bare(-3.0, 10.0, {0.0}, -50.0);
    s = 1000;
    ref_start_grain(g, 100.0, gr, s);
    EXPECT_EQ(draws_between(1000u, s), 1);
    g.transp_jitter = 50.0;
    s = 1000;
    ref_start_grain(g, 100.0, gr, s);
    EXPECT_EQ(draws_between(1000u, s), 2);
    g.transp[1] = 0.0;
    g.n_transp = 2;
    s = 1000;
    ref_start_grain(g, 100.0, gr, s);
    EXPECT_EQ(draws_between(1000u, s), 3);
}

TEST(ReferenceStartGrain, EngineAgreesOverAwkwardInputs) {
    const double positions[] = {0.0,   -2.25, 0.5,  12345.678, 1e9,  2147483647.5, 2147483648.0, 3e9,
                                -3e9,  -2147483648.0, -2147483649.0, 4294968320.0, 1e30, -1e30,
                                kNaN,  kInf,  -kInf, -std::ldexp(1.0, -54), -std::ldexp(1.0, -53),
                                std::ldexp(1.0, -60)};
    const double periods[] = {4.0, 4.5, 60.0, 2646.0000000000005, 1e9, 0.0, kNaN, kInf, -7.0};
    const std::vector<std::vector<double>> lists{
        {0.0}, {1200.0}, {-1200.0}, {-2400.0, 2400.0, 13.0}, {37200.0}, {-38400.0}, {40000.0, -40000.0},
        {kNaN}, {kInf}, {-kInf}, {1e300, 0.0}};
    const double jitters[] = {0.0, 5.0, -5.0, 2400.0, kNaN, kInf};
    const double pos_jitters[] = {0.0, 220.5, -3.0, kNaN, kInf};
    int checked = 0;
    uint32_t seed = 1;
    for (double pj : pos_jitters)
        for (double pd : periods)
            for (const auto& l : lists)
                for (double tj : jitters)
                    for (double pos : positions) {
                        Granulator g = bare(pj, pd, l, tj);
                        Grain eg{1, 2, 3, 4, 5}, rg{1, 2, 3, 4, 5};
                        seed = seed * 1103515245u + 12345u;
                        const uint32_t start = 1u + seed % 0x7FFFFFFEu;
                        uint32_t rs = start;
                        vorn::random_state = start;
                        vorn::start_grain(g, pos, eg);
                        ref_start_grain(g, pos, rg, rs);
                        ASSERT_TRUE(same_grain(eg, rg, 0))
                            << "position " << pos << ", period " << pd << ", transp[0] " << l[0] << " (n "
                            << l.size() << "), transp_jitter " << tj << ", pos_jitter " << pj;
                        ASSERT_EQ(vorn::random_state, rs);
                        ++checked;
                    }
    EXPECT_GT(checked, 10000);
}

}  // namespace

// ---------------------------------------------------------------------------
// The VORN_KERNEL setting.

namespace {

// The kernels that this build has (docs/vorn~.md), and what VORN_KERNEL
// says of any other name.
#if defined(__x86_64__) || defined(__i386__)
bool built(vorn::Kernel k) {
    return k == vorn::Kernel::Plain || k == vorn::Kernel::Sse2 || k == vorn::Kernel::Avx2 || k == vorn::Kernel::Avx512;
}
const char* const kNotAKernel = "not a kernel (avx512, avx2, sse2 or plain); the widest this processor runs is used";
#elif defined(__aarch64__)
bool built(vorn::Kernel k) { return k == vorn::Kernel::Neon || k == vorn::Kernel::Plain; }
const char* const kNotAKernel = "not a kernel (neon or plain); the widest this processor runs is used";
#elif defined(__wasm_simd128__)
bool built(vorn::Kernel k) { return k == vorn::Kernel::Simd128 || k == vorn::Kernel::Plain; }
const char* const kNotAKernel = "not a kernel (simd128 or plain); simd128 is used";
#else
bool built(vorn::Kernel k) { return k == vorn::Kernel::Plain; }
const char* const kNotAKernel = "not a kernel (plain is the only one here); plain is used";
#endif

}  // namespace

TEST(KernelSetting, NamesAKernelTheProcessorRunsOrSaysWhy) {
    const vorn::Kernel before = vorn::selected_kernel();
    vorn::Kernel widest = vorn::Kernel::Plain;
    for (vorn::Kernel k :
         {vorn::Kernel::Avx512, vorn::Kernel::Avx2, vorn::Kernel::Sse2, vorn::Kernel::Neon, vorn::Kernel::Simd128})
        if (widest == vorn::Kernel::Plain && built(k) && vorn::kernel_available(k)) widest = k;
    struct Case {
        const char* name;
        vorn::Kernel kernel;  // what it asks for, if it names a kernel
        bool names_kernel;    // of any build
    };
    for (Case c : {Case{"plain", vorn::Kernel::Plain, true}, Case{"sse2", vorn::Kernel::Sse2, true},
                   Case{"avx2", vorn::Kernel::Avx2, true}, Case{"avx512", vorn::Kernel::Avx512, true},
                   Case{"neon", vorn::Kernel::Neon, true}, Case{"NEON", widest, false},
                   Case{"simd128", vorn::Kernel::Simd128, true},
                   Case{"", widest, true}, Case{nullptr, widest, true}, Case{"AVX2", widest, false},
                   Case{"portable", widest, false}, Case{"avx2 ", widest, false}}) {
        const char* error = nullptr;
        const bool is_kernel = c.names_kernel && built(c.kernel);
        const bool runs = !is_kernel || vorn::kernel_available(c.kernel);
        const bool ok = vorn::select_kernel(c.name, &error);
        SCOPED_TRACE(c.name ? c.name : "(unset)");
        EXPECT_EQ(ok, is_kernel && runs);
        EXPECT_EQ(vorn::selected_kernel(), ok ? c.kernel : widest);
        if (!is_kernel) {
            EXPECT_STREQ(error, kNotAKernel);
        } else if (!runs) {
            EXPECT_STREQ(error, "this processor does not run that kernel; the widest it runs is used");
        }
    }
    vorn::select_kernel(vorn::kernel_name(before), nullptr);
}
