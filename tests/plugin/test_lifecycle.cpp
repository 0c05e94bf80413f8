#include <cstdio>
#include <memory>

#include "plugin_fixture.h"

using namespace vorn::test;
using Lifecycle = PluginTest;

namespace {
const std::vector<std::string> kBanner = {
    "vorn~ 1.0.0: granular synthesis of a buffer~",
    "  grains: up to 1024, Hann window, 4-point cubic interpolation",
    "  the vorn~ authors, MIT licence",
};
}

TEST_F(Lifecycle, BannerOnLoadAndOnVersion) {
    EXPECT_EQ(load_banner(), kBanner);
    standin::Box* box = make("vorn~");
    EXPECT_TRUE(console().empty());  // a second box does not load again
    for (int inlet : {0, 3}) {
        send(box, inlet, "version 1 2 foo");
        EXPECT_EQ(console(), kBanner);
    }
}

TEST_F(Lifecycle, OnlyMainIsExported) {
    const std::string command = std::string(VORN_NM) + " -D --defined-only '" VORN_PLUGIN_DIR "/vorn~.mxe'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    ASSERT_TRUE(pipe);
    std::vector<std::string> names;
    char line[512];
    while (fgets(line, sizeof line, pipe.get())) {
        std::string s(line);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        names.push_back(s.substr(s.rfind(' ') + 1));
    }
    EXPECT_EQ(names, std::vector<std::string>{"main"});
}

TEST_F(Lifecycle, CreationArguments) {
    const struct {
        const char* text;
        int32_t grains;
    } cases[] = {
        {"vorn~", 8},        {"vorn~ 4", 16},     {"vorn~ 2.9", 4},     {"vorn~ -3", 2},
        {"vorn~ 0", 2},      {"vorn~ 11", 1024},  {"vorn~ 40", 1024},   {"vorn~ foo", 8},
        // A float converts through 64 bits and keeps the low 32: 2^32 gives 0.
        {"vorn~ 4294967296", 2}, {"vorn~ 1e10", 1024}, {"vorn~ nan", 8},
    };
    for (auto c : cases) {
        standin::Box* box = make(c.text);
        ASSERT_TRUE(box);
        EXPECT_EQ(engine(box).max_overlap, c.grains) << c.text;
        EXPECT_EQ(engine(box).overlap, c.grains) << c.text;
        EXPECT_EQ(object(box)->buffer_name->name, std::string()) << c.text;
        EXPECT_EQ(object(box)->header.flags, 1) << c.text;
        EXPECT_EQ(standin::box_inlets(box), 5);
    }
    EXPECT_TRUE(console().empty());  // nothing named, nothing looked up
}

TEST_F(Lifecycle, BufferNamedAtCreationIsLookedUpAtOnce) {
    standin::Box* missing = make("vorn~ 3 drums");
    EXPECT_EQ(engine(missing).max_overlap, 8);
    EXPECT_EQ(console(), std::vector<std::string>{"vorn~: cannot get buffer~ \"drums\""});
    EXPECT_EQ(object(missing)->buffer, nullptr);
    EXPECT_STREQ(object(missing)->buffer_name->name, "drums");

    MaxBuffer* drums = standin::buffer_set("drums", std::vector<float>(100, 0.5f), 48000.0);
    standin::Box* found = make("vorn~ 3 drums");
    EXPECT_TRUE(console().empty());
    EXPECT_EQ(object(found)->buffer, drums);

    // A symbol first only means no exponent; the second symbol is the name.
    standin::Box* names = make("vorn~ foo drums");
    EXPECT_EQ(engine(names).max_overlap, 8);
    EXPECT_EQ(object(names)->buffer, drums);
}

TEST_F(Lifecycle, SevenArgumentsApplyFourParametersInMilliseconds) {
    standin::buffer_set("src", std::vector<float>(10, 0.0f), 44100.0);
    standin::Box* box = make("vorn~ 3 src 12.5 700 30 80 999");
    const vorn::Granulator& g = engine(box);
    EXPECT_EQ(g.pos_jitter, 12.5);
    EXPECT_EQ(g.n_transp, 1);
    EXPECT_EQ(g.transp[0], 700.0);
    EXPECT_EQ(g.transp_jitter, 30.0);
    EXPECT_EQ(g.period, 80.0);  // the seventh argument is ignored
    EXPECT_EQ(g.ms_scale, 1.0);
}

TEST_F(Lifecycle, FreeReleasesGrainsAndProxies) {
    const int proxies = standin::live_proxies();
    const int objects = standin::live_objects();
    standin::Box* a = make("vorn~ 10");
    standin::Box* b = make("vorn~");
    EXPECT_EQ(standin::live_proxies(), proxies + 8);
    MaxBuffer* buf = standin::buffer_set("keep", std::vector<float>(16, 1.0f), 44100.0);
    send(b, 0, "set keep");
    standin::box_delete(a);
    standin::box_delete(b);
    EXPECT_EQ(standin::live_proxies(), proxies);
    EXPECT_EQ(standin::live_objects(), objects);
    // The bound buffer~ belongs to itself and is untouched.
    EXPECT_EQ(standin::buffer_find("keep"), buf);
    EXPECT_EQ(buf->valid, 1);
    EXPECT_EQ(buf->frames, 16);
    // The grain arrays are freed: the leak checker of the sanitizer build sees it.
}
