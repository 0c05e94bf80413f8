// Faults around the real vorn~.mxe: a grain array that cannot be allocated,
// and buffer~ objects deleted, replaced, flagged invalid or displaced while
// the chain runs, with recompiles and rate changes between vectors. Built
// with MaxAPIFaults, whose nothrow operator new[] the plug-in's grain
// allocation reaches; run under ASan and UBSan by `make test` as well.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "plugin_fixture.h"

using namespace vorn::test;

namespace {

constexpr int kVector = 64;

struct Faults : PluginTest {
    ~Faults() override { standin::fail_allocations(0, 0); }

    // One vector with every box's position at `position_ms`.
    std::vector<std::vector<float>> run(float position_ms, int n = kVector) {
        for (standin::Box* box : standin::boxes())
            if (float* in = standin::signal_input(box)) std::fill(in, in + n, position_ms);
        std::string error;
        EXPECT_TRUE(standin::run_vector(&error)) << error;
        std::vector<std::vector<float>> outs;
        for (standin::Box* box : standin::boxes()) {
            const float* out = standin::signal_output(box);
            outs.emplace_back(out, out + n);
        }
        return outs;
    }
    static bool silent(const std::vector<float>& v) {
        for (float x : v)
            if (x != 0.0f) return false;
        return true;
    }
    static bool finite(const std::vector<float>& v) {
        for (float x : v)
            if (!std::isfinite(x)) return false;
        return true;
    }
    // Whether `vectors` vectors at `position_ms` give any sound from box `k`.
    bool sounds(size_t k, int vectors, float position_ms, int n = kVector) {
        bool any = false;
        for (int v = 0; v < vectors; ++v) {
            std::vector<float> out = run(position_ms, n)[k];
            EXPECT_TRUE(finite(out));
            any = any || !silent(out);
        }
        return any;
    }
};

std::vector<float> tone(int n, float freq = 0.03f) {
    std::vector<float> s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = std::sin(static_cast<float>(i) * freq);
    return s;
}

const std::string kOutOfMemory = "vorn~: out of memory for 1024 grains: this vorn~ stays silent";

}  // namespace

// The plug-in's grain array comes from the nothrow operator new[] that the
// host application provides: refusing it reaches the plug-in.
TEST_F(Faults, AGrainArrayThatCannotBeAllocatedLeavesASilentObject) {
    standin::buffer_set("a", tone(44100), 44100.0);
    const int refused = standin::failed_allocations();
    standin::fail_allocations(1, 2 * sizeof(vorn::Grain));
    standin::Box* box = make("vorn~ 10 a 5 0 0 100");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(standin::failed_allocations(), refused + 1);
    EXPECT_EQ(engine(box).grains, nullptr);
    EXPECT_EQ(engine(box).max_overlap, 1024);
    EXPECT_EQ(console(), std::vector<std::string>{kOutOfMemory});

    // A second box, made normally, sounds beside it.
    standin::Box* other = make("vorn~ 3 a");
    ASSERT_NE(engine(other).grains, nullptr);
    console();

    // Every message, a compile, vectors, a recompile at another rate and
    // overlap changes: all safe, the object silent, the message not repeated.
    for (int inlet = 0; inlet <= 4; ++inlet) {
        send(box, inlet, "7");
        send(box, inlet, "0.5");
    }
    send(box, 2, "0 700 -1200");
    send(box, 0, "set a 10 0 15 50");
    send(box, 0, "overlap 40");
    send(box, 0, "overlap 3");
    send(box, 0, "loadbang");
    send(box, 0, "print");
    send(box, 0, "version");
    std::vector<std::string> lines = console();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), kOutOfMemory), 0);
    EXPECT_EQ(engine(box).overlap, 8);

    standin::dsp_compile(44100.0, kVector);
    bool other_sounds = false;
    for (int v = 0; v < 40; ++v) {
        auto outs = run(500.0f);
        EXPECT_TRUE(silent(outs[0])) << "vector " << v;
        other_sounds = other_sounds || !silent(outs[1]);
    }
    EXPECT_TRUE(other_sounds);
    standin::dsp_compile(96000.0, 256);
    send(box, 0, "overlap 10");
    for (int v = 0; v < 10; ++v) EXPECT_TRUE(silent(run(200.0f, 256)[0]));
    EXPECT_TRUE(console().empty());

    standin::box_delete(box);
    EXPECT_EQ(standin::live_objects(), 1);
    standin::dsp_compile(44100.0, kVector);
    EXPECT_TRUE(sounds(0, 40, 500.0f));
}

TEST_F(Faults, ARefusedAllocationOnlyAffectsTheBoxBeingMade) {
    standin::buffer_set("a", tone(44100), 44100.0);
    standin::fail_allocations(1, 2 * sizeof(vorn::Grain));
    standin::Box* first = make("vorn~ 2 a");
    standin::Box* second = make("vorn~ 2 a");
    EXPECT_EQ(engine(first).grains, nullptr);
    EXPECT_NE(engine(second).grains, nullptr);
    EXPECT_EQ(console(), std::vector<std::string>{"vorn~: out of memory for 4 grains: this vorn~ stays silent"});
    standin::dsp_compile(44100.0, kVector);
    bool second_sounds = false;
    for (int v = 0; v < 40; ++v) {
        auto outs = run(300.0f);
        EXPECT_TRUE(silent(outs[0]));
        second_sounds = second_sounds || !silent(outs[1]);
    }
    EXPECT_TRUE(second_sounds);
}

// The buffer~ the box is bound to is deleted between two vectors: the host
// keeps its record, emptied and invalid, and the box reads nothing from it.
// A new buffer~ of the same name is a new object, bound by "loadbang".
TEST_F(Faults, ABufferDeletedBetweenVectorsSilencesTheBoxUntilItIsBoundAgain) {
    MaxBuffer* old = standin::buffer_set("a", tone(20000), 44100.0);
    standin::Box* box = make("vorn~ 4 a 0 0 0 20");
    standin::dsp_compile(44100.0, kVector);
    EXPECT_TRUE(sounds(0, 30, 100.0f));

    ASSERT_TRUE(standin::buffer_delete("a"));
    EXPECT_EQ(object(box)->buffer, old);  // not told, as in any host
    for (int v = 0; v < 30; ++v) EXPECT_TRUE(silent(run(100.0f)[0])) << v;

    MaxBuffer* fresh = standin::buffer_set("a", tone(20000, 0.05f), 44100.0);
    ASSERT_NE(fresh, old);
    EXPECT_FALSE(sounds(0, 30, 100.0f));  // still the deleted record
    send(box, 0, "loadbang");
    EXPECT_EQ(object(box)->buffer, fresh);
    EXPECT_TRUE(sounds(0, 30, 100.0f));
}

// Replaced contents, longer and shorter, between every two vectors: the
// loop reads the new samples at the next vector and never past their end
// (the host allocates them to their exact size).
TEST_F(Faults, ABufferReplacedBetweenEveryTwoVectorsIsReadAfresh) {
    MaxBuffer* b = standin::buffer_set("a", tone(4410), 44100.0);
    make("vorn~ 6 a 3 0 0 30");
    standin::dsp_compile(44100.0, kVector);
    bool any = false;
    for (int v = 0; v < 200; ++v) {
        const int frames = (v % 4 == 0) ? 4410 : (v % 4 == 1) ? 7 : (v % 4 == 2) ? 1 : 2000;
        ASSERT_EQ(standin::buffer_set("a", tone(frames, 0.01f * static_cast<float>(1 + v % 5)), 44100.0), b);
        EXPECT_EQ(b->frames, frames);
        std::vector<float> out = run(50.0f)[0];
        EXPECT_TRUE(finite(out)) << v;
        any = any || !silent(out);
    }
    EXPECT_TRUE(any);
    // Emptied (no samples at all) and then filled again.
    standin::buffer_set("a", {}, 44100.0);
    EXPECT_EQ(b->samples, nullptr);
    EXPECT_FALSE(sounds(0, 20, 50.0f));
    standin::buffer_set("a", tone(4410), 44100.0);
    EXPECT_TRUE(sounds(0, 30, 50.0f));
}

TEST_F(Faults, ABufferFlaggedInvalidOrDisplacedIsSilentForThatVector) {
    standin::buffer_set("a", tone(20000), 44100.0);
    standin::Box* box = make("vorn~ 4 a 0 0 0 20");
    standin::dsp_compile(44100.0, kVector);
    EXPECT_TRUE(sounds(0, 30, 100.0f));
    for (int v = 0; v < 20; ++v) {
        standin::buffer_set_valid("a", false);
        EXPECT_TRUE(silent(run(100.0f)[0])) << v;
        standin::buffer_set_valid("a", true);
        run(100.0f);
    }
    EXPECT_TRUE(sounds(0, 30, 100.0f));

    // A table takes the name: the displaced buffer is emptied, the box keeps it.
    MaxBuffer* displaced = object(box)->buffer;
    standin::table_set("a");
    EXPECT_EQ(object(box)->buffer, displaced);
    EXPECT_FALSE(sounds(0, 20, 100.0f));
    send(box, 0, "loadbang");  // the lookup fails: the binding stays
    EXPECT_EQ(object(box)->buffer, displaced);
    send(box, 0, "set a");  // the lookup fails: unbound
    EXPECT_EQ(object(box)->buffer, nullptr);
    EXPECT_FALSE(sounds(0, 10, 100.0f));
    console();
}

// A recompile between every two vectors, at changing rates and vector
// sizes, with the buffer changing too: every grain restarts each time.
TEST_F(Faults, ARecompileBetweenEveryTwoVectors) {
    standin::buffer_set("a", tone(44100), 44100.0);
    standin::buffer_set("b", tone(3000, 0.2f), 22050.0);
    standin::Box* first = make("vorn~ 10 a 10 0 20 40");
    standin::Box* second = make("vorn~ 3 b");
    const double rates[] = {44100.0, 48000.0, 8000.0, 96000.0, 1.0, 768000.0};
    const int sizes[] = {64, 1, 256, 4096, 2, 32};
    bool any = false;
    for (int v = 0; v < 60; ++v) {
        const int n = sizes[v % 6];
        standin::dsp_compile(rates[(v / 6) % 6], n);
        EXPECT_EQ(engine(first).phase, 0u);
        if (v % 7 == 3) standin::buffer_set("a", tone(100 + v), 44100.0);
        if (v % 11 == 5) send(second, 0, "set a");
        if (v % 13 == 7) send(first, 0, "overlap " + std::to_string(v % 11));
        auto outs = run(static_cast<float>(v * 10), n);
        for (const auto& out : outs) EXPECT_TRUE(finite(out)) << v;
        any = any || !silent(outs[0]);
    }
    EXPECT_TRUE(any);
}

// A rate change keeps the settings in samples (only the first compile
// converts milliseconds) and the box keeps sounding.
TEST_F(Faults, ARateChangeKeepsTheBoxSounding) {
    standin::buffer_set("a", tone(44100), 44100.0);
    standin::Box* box = make("vorn~ 5 a 5 0 0 50");
    standin::dsp_compile(44100.0, kVector);
    const double period = engine(box).period;
    EXPECT_TRUE(sounds(0, 40, 300.0f));
    for (double rate : {96000.0, 22050.0, 44100.0}) {
        standin::dsp_compile(rate, kVector);
        EXPECT_EQ(engine(box).period, period);
        EXPECT_EQ(engine(box).ms_scale, rate * 0.001);
        EXPECT_TRUE(sounds(0, 40, 300.0f)) << rate;
    }
}
