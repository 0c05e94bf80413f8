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
