// vorn~ in a host whose signal chain runs on an audio thread of its own, as
// real hosts run it: boxes are deleted, made and compiled while the chain
// runs. The release routine must take the instance out of the chain before
// it frees what the perform routine reads. Run under AddressSanitizer and
// ThreadSanitizer as well (`make test`).
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "plugin_fixture.h"

using namespace vorn::test;

namespace {

constexpr int kVector = 64;

std::vector<float> tone(int n) {
    std::vector<float> s(static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = std::sin(static_cast<float>(i) * 0.03f);
    return s;
}

// One vector run on this thread: whether each box's output is finite and
// whether any box sounds.
void check_one_vector(bool& finite, bool& sounds) {
    std::string error;
    ASSERT_TRUE(standin::run_vector(&error)) << error;
    finite = true;
    sounds = false;
    for (standin::Box* box : standin::boxes()) {
        const float* out = standin::signal_output(box);
        for (int i = 0; i < kVector; ++i) {
            finite = finite && std::isfinite(out[i]);
            sounds = sounds || out[i] != 0.0f;
        }
    }
}

}  // namespace

using Threads = PluginTest;

// The host reads the flag word where its own layout has it: vorn~ gets
// separate vectors and is not muted; the host's mute silences it and leaves
// its grains where they stood.
TEST_F(Threads, TheHostReadsTheHeaderAsItLaysItOut) {
    standin::buffer_set("src", tone(44100), 44100.0);
    standin::Box* box = make("vorn~ 3 src 20");
    standin::dsp_compile(44100.0, kVector);
    ASSERT_NE(standin::signal_input(box), nullptr);
    EXPECT_NE(static_cast<const float*>(standin::signal_input(box)), standin::signal_output(box));
    std::fill_n(standin::signal_input(box), kVector, 300.0f);
    bool finite = false, sounds = false;
    for (int v = 0; v < 20 && !sounds; ++v) check_one_vector(finite, sounds);
    EXPECT_TRUE(sounds);

    ASSERT_TRUE(standin::box_mute(box, true));
    const int32_t phase = engine(box).phase;
    for (int v = 0; v < 5; ++v) {
        check_one_vector(finite, sounds);
        EXPECT_FALSE(sounds);
    }
    EXPECT_EQ(engine(box).phase, phase);
    ASSERT_TRUE(standin::box_mute(box, false));
    check_one_vector(finite, sounds);
    EXPECT_NE(engine(box).phase, phase);
}

TEST_F(Threads, BoxesGoWhileTheChainRunsOnItsOwnThread) {
    standin::buffer_set("src", tone(2 * 44100), 44100.0);
    // 256 grains of 20 ms each, spread over the first second of the sound
    // (the input vectors stay at 0 ms while the thread runs).
    const std::string text = "vorn~ 8 src 500 0 0 20";
    std::vector<standin::Box*> boxes;
    for (int k = 0; k < 6; ++k) boxes.push_back(make(text));
    standin::dsp_compile(44100.0, kVector);

    std::string error;
    ASSERT_TRUE(standin::audio_start(&error)) << error;
    for (int round = 0; round < 300; ++round) {
        const size_t k = static_cast<size_t>(round) % boxes.size();
        standin::box_delete(boxes[k]);
        boxes[k] = make(text);
        if (round % 3 == 0) standin::dsp_compile(44100.0, kVector);
    }
    // The last deletions without a compile after them.
    standin::box_delete(boxes[0]);
    standin::box_delete(boxes[1]);
    boxes.erase(boxes.begin(), boxes.begin() + 2);
    const long vectors = standin::audio_stop(&error);
    EXPECT_EQ(error, "");
    EXPECT_GT(vectors, 0);
    EXPECT_EQ(standin::live_objects(), static_cast<int>(boxes.size()));
    EXPECT_TRUE(console().empty());

    // What is left still sounds, on this thread now.
    standin::dsp_compile(44100.0, kVector);
    bool finite = false, sounds = false, any = false;
    for (int v = 0; v < 20; ++v) {
        check_one_vector(finite, sounds);
        EXPECT_TRUE(finite);
        any = any || sounds;
    }
    EXPECT_TRUE(any);
}
