#include <cmath>
#include <cstring>

#include "plugin_fixture.h"

using namespace vorn::test;
using Binding = PluginTest;

namespace {
const std::string kLookup = "vorn~: cannot get buffer~ \"drums\"";
}

TEST_F(Binding, PrintReportsTheBinding) {
    standin::Box* box = make("vorn~");
    send(box, 0, "print");
    EXPECT_EQ(console(), std::vector<std::string>{"vorn~: no buffers"});

    standin::buffer_set("drums", std::vector<float>(96000, 0.0f), 48000.0);
    send(box, 2, "set drums");
    send(box, 0, "print");
    EXPECT_EQ(console(), (std::vector<std::string>{"vorn~", "  buffer~ \"drums\": 96000 samples @ 48.000000kHz,"}));

    // The rate is a single-precision kHz value; an invalid buffer is still reported.
    standin::buffer_set("drums", std::vector<float>(441, 0.0f), 44100.0);
    standin::buffer_set_valid("drums", false);
    send(box, 0, "print");
    EXPECT_EQ(console(), (std::vector<std::string>{"vorn~", "  buffer~ \"drums\": 441 samples @ 44.099998kHz,"}));
}

TEST_F(Binding, SetDropsTheBindingWhenTheLookupFails) {
    standin::buffer_set("drums", std::vector<float>(64, 0.0f), 44100.0);
    standin::Box* box = make("vorn~ 3 drums");
    ASSERT_NE(object(box)->buffer, nullptr);

    standin::table_set("drums");  // now an object of another class
    send(box, 0, "set drums");
    EXPECT_EQ(console(), std::vector<std::string>{kLookup});
    EXPECT_EQ(object(box)->buffer, nullptr);
    send(box, 0, "print");
    EXPECT_EQ(console(), std::vector<std::string>{"vorn~: no buffers"});
}

TEST_F(Binding, LoadbangKeepsTheBindingWhenTheLookupFails) {
    MaxBuffer* drums = standin::buffer_set("drums", std::vector<float>(64, 0.0f), 44100.0);
    standin::Box* box = make("vorn~ 3 drums");
    standin::table_set("drums");
    send(box, 0, "loadbang");
    EXPECT_EQ(console(), std::vector<std::string>{kLookup});
    EXPECT_EQ(object(box)->buffer, drums);
    send(box, 0, "print");
    EXPECT_EQ(console().size(), 2u);
}

TEST_F(Binding, LateBufferFoundByLoadbang) {
    standin::Box* box = make("vorn~");
    send(box, 0, "set drums");
    EXPECT_EQ(console(), std::vector<std::string>{kLookup});
    MaxBuffer* drums = standin::buffer_set("drums", std::vector<float>(64, 0.0f), 44100.0);
    standin::loadbang_all();
    EXPECT_TRUE(console().empty());
    EXPECT_EQ(object(box)->buffer, drums);
}

TEST_F(Binding, LoadbangWithoutANameDoesNothing) {
    standin::Box* box = make("vorn~");
    send(box, 0, "loadbang");
    send(box, 0, "set 3");  // a number where the name goes: no name, no lookup
    EXPECT_TRUE(console().empty());
    EXPECT_EQ(object(box)->buffer, nullptr);
}

// A buffer~ of several interleaved channels: vorn~ reads its first channel.
// With no jitter and one transposition the random draws change nothing, so
// a box on the mono buffer~ and a box on the interleaved one sound the same,
// bit for bit, though the other channels hold NaN and huge values.
TEST_F(Binding, ReadsTheFirstChannelOfAMultichannelBuffer) {
    const int frames = 20000;
    std::vector<float> mono(frames);
    for (int k = 0; k < frames; ++k) mono[static_cast<size_t>(k)] = std::sin(static_cast<float>(k) * 0.02f);
    standin::buffer_set("mono", mono, 44100.0);
    for (int channels : {2, 3, 8}) {
        std::vector<float> interleaved(mono.size() * static_cast<size_t>(channels), std::nanf(""));
        for (size_t k = 0; k < mono.size(); ++k) {
            interleaved[k * static_cast<size_t>(channels)] = mono[k];
            interleaved[k * static_cast<size_t>(channels) + 1] = 1e30f;
        }
        ASSERT_NE(standin::buffer_set("many", interleaved, 44100.0, channels), nullptr);
        standin::Box* a = make("vorn~ 3 mono 0 700 0 30");
        standin::Box* b = make("vorn~ 3 many 0 700 0 30");
        send(b, 0, "print");
        EXPECT_EQ(console(), (std::vector<std::string>{"vorn~", "  buffer~ \"many\": 20000 samples @ 44.099998kHz,"}));
        standin::dsp_compile(44100.0, 64);
        bool sounds = false;
        for (int v = 0; v < 100; ++v) {
            std::fill_n(standin::signal_input(a), 64, 100.0f + v);
            std::fill_n(standin::signal_input(b), 64, 100.0f + v);
            std::string error;
            ASSERT_TRUE(standin::run_vector(&error)) << error;
            ASSERT_EQ(std::memcmp(standin::signal_output(a), standin::signal_output(b), 64 * sizeof(float)), 0)
                << channels << " channels, vector " << v;
            sounds = sounds || standin::signal_output(a)[0] != 0.0f;
        }
        EXPECT_TRUE(sounds);
        standin::box_delete(a);
        standin::box_delete(b);
    }
}
