#include <cmath>
#include <cstring>

#include "fpu.h"
#include "plugin_fixture.h"

using namespace vorn::test;

namespace {

struct Dsp : PluginTest {
    std::vector<float> run(standin::Box* box, float position_ms) {
        float* in = standin::signal_input(box);
        std::fill(in, in + 64, position_ms);
        std::string error;
        EXPECT_TRUE(standin::run_vector(&error)) << error;  // also checks the routine's returned address
        const float* out = standin::signal_output(box);
        return std::vector<float>(out, out + 64);
    }
    static bool silent(const std::vector<float>& v) {
        for (float x : v)
            if (x != 0.0f) return false;
        return true;
    }
};

std::vector<float> ramp(int n) {
    std::vector<float> s(n);
    for (int i = 0; i < n; ++i) s[i] = std::sin(i * 0.01f);
    return s;
}

}  // namespace

TEST_F(Dsp, CompileConvertsOnceAndRestartsEveryGrain) {
    standin::Box* box = make("vorn~ 4 nothing 10 0 0 50");
    console();
    send(box, 0, "overlap 1");  // two active of 16 allocated
    vorn::Granulator& g = engine(box);
    for (int i = 0; i < 16; ++i) g.grains[i].index = 77;

    standin::dsp_compile(44100.0, 64);
    EXPECT_DOUBLE_EQ(g.pos_jitter, 441.0);
    EXPECT_DOUBLE_EQ(g.period, 2205.0);
    EXPECT_EQ(g.phase, 0u);
    for (int i = 0; i < 16; ++i) EXPECT_NE(g.grains[i].index, 77) << "grain " << i << " not restarted";

    // A second compile at another rate restarts again but keeps sample values.
    for (int i = 0; i < 16; ++i) g.grains[i].index = 77;
    g.phase = 999;
    standin::dsp_compile(96000.0, 64);
    EXPECT_DOUBLE_EQ(g.period, 2205.0);
    EXPECT_EQ(g.ms_scale, 96000.0 * 0.001);
    EXPECT_EQ(g.phase, 0u);
    for (int i = 0; i < 16; ++i) EXPECT_NE(g.grains[i].index, 77) << i;
}

TEST_F(Dsp, SilentUntilAValidBufferIsBound) {
    standin::Box* box = make("vorn~ 3 src");
    console();
    standin::dsp_compile(44100.0, 64);
    EXPECT_TRUE(silent(run(box, 500.0f)));
    EXPECT_EQ(engine(box).phase, 0u);  // nothing advances without a buffer

    standin::buffer_set("src", ramp(44100), 44100.0);
    send(box, 0, "loadbang");
    EXPECT_FALSE(silent(run(box, 500.0f)));
    EXPECT_EQ(engine(box).phase, 64u * static_cast<uint32_t>(engine(box).phase_incr));

    standin::buffer_set_valid("src", false);
    const uint32_t phase = engine(box).phase;
    EXPECT_TRUE(silent(run(box, 500.0f)));
    EXPECT_EQ(engine(box).phase, phase);
    standin::buffer_set_valid("src", true);
    EXPECT_FALSE(silent(run(box, 500.0f)));
}

TEST_F(Dsp, DeletedOrReplacedBufferIsNeverReadAfterFree) {
    standin::buffer_set("src", ramp(44100), 44100.0);
    standin::Box* box = make("vorn~ 3 src");
    standin::dsp_compile(44100.0, 64);
    EXPECT_FALSE(silent(run(box, 300.0f)));

    // Replaced by a shorter sound between vectors: the next vector reads the new samples only.
    standin::buffer_set("src", ramp(100), 44100.0);
    for (int i = 0; i < 20; ++i) run(box, 300.0f);

    // Deleted while bound: the stale binding reads silence until rebound.
    standin::buffer_delete("src");
    EXPECT_TRUE(silent(run(box, 1.0f)));
    send(box, 0, "print");
    EXPECT_EQ(console(), (std::vector<std::string>{"vorn~", "  buffer~ \"src\": 0 samples @ 44.099998kHz,"}));
    send(box, 0, "loadbang");
    EXPECT_EQ(console(), std::vector<std::string>{"vorn~: cannot get buffer~ \"src\""});
    EXPECT_TRUE(silent(run(box, 1.0f)));
}

TEST_F(Dsp, SeparateVectorsAndAnUnconnectedChain) {
    // The object asks for separate vectors: clearing its output never clears its input.
    standin::buffer_set("src", ramp(44100), 44100.0);
    standin::Box* box = make("vorn~ 1 src 0 0 0 20");
    standin::dsp_compile(48000.0, 64);
    float* in = standin::signal_input(box);
    EXPECT_NE(static_cast<const float*>(in), standin::signal_output(box));
    run(box, 250.0f);
    for (int j = 0; j < 64; ++j) ASSERT_EQ(in[j], 250.0f);
}

#if defined(__i386__) || defined(__x86_64__)
// Whatever x87 precision the host runs at (53 bits in hosts built with
// Microsoft's compiler, 64 on Linux and in Wine), every call into vorn~
// leaves the floating-point control state as it found it: the host would
// post an error line if one did not.
TEST_F(Dsp, LeavesTheHostsFloatingPointStateAsItFoundIt) {
    const standin::fpu::State saved = standin::fpu::read();
    standin::buffer_set("src", ramp(44100), 44100.0);
    for (uint16_t word : {uint16_t{0x027F}, uint16_t{0x037F}}) {
        standin::fpu::State s = saved;
        s.x87 = word;
        standin::fpu::write(s);
        standin::Box* box = make("vorn~ 6 src 20 0 30 40");
        send(box, 2, "0 700 -1200 2400");
        send(box, 0, "overlap 5");
        send(box, 0, "print");
        standin::dsp_compile(48000.0, 64);
        bool any = false;
        for (int v = 0; v < 40; ++v) any = !silent(run(box, 300.0f)) || any;
        EXPECT_TRUE(any);
        standin::box_delete(box);
        for (const std::string& line : console()) EXPECT_EQ(line.rfind("error", 0), std::string::npos) << line;
        EXPECT_EQ(standin::fpu::control_of(standin::fpu::read()), standin::fpu::control_of(s));
    }
    standin::fpu::write(saved);
}
#endif
