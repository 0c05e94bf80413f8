#include <cmath>

#include "plugin_fixture.h"

using namespace vorn::test;
using Messages = PluginTest;

TEST_F(Messages, NumbersGoByInlet) {
    standin::Box* box = make("vorn~ 5");
    vorn::Granulator& g = engine(box);
    const vorn::Granulator before = g;

    send(box, 0, "17");  // the signal inlet ignores numbers
    send(box, 0, "2.5");
    EXPECT_EQ(g.pos_jitter, before.pos_jitter);
    EXPECT_EQ(g.period, before.period);
    EXPECT_EQ(g.transp[0], before.transp[0]);

    send(box, 1, "12.5");
    EXPECT_EQ(g.pos_jitter, 12.5);
    send(box, 2, "700");
    EXPECT_EQ(g.n_transp, 1);
    EXPECT_EQ(g.transp[0], 700.0);
    send(box, 3, "-25");
    EXPECT_EQ(g.transp_jitter, -25.0);
    send(box, 4, "80.5");
    EXPECT_EQ(g.period, 80.5);

    // After a compile, times convert at once.
    standin::dsp_compile(44100.0, 64);
    send(box, 1, "12.5");
    EXPECT_NEAR(g.pos_jitter, 551.25, 1e-9);
    send(box, 4, "0");
    EXPECT_EQ(g.period, 4.0);
}

TEST_F(Messages, ListSetsTranspositionsAtInletTwoOnly) {
    standin::Box* box = make("vorn~");
    vorn::Granulator& g = engine(box);
    send(box, 2, "0 700 1200");
    ASSERT_EQ(g.n_transp, 3);
    EXPECT_EQ(g.transp[1], 700.0);
    EXPECT_EQ(g.transp[2], 1200.0);

    for (int inlet : {0, 1, 3, 4}) {
        send(box, inlet, "5 6 7 8");
        EXPECT_EQ(g.n_transp, 3) << inlet;
    }
    // A symbol in a list reads as 0; a float keeps its single-precision value.
    send(box, 2, "list 100 foo 2.1");
    ASSERT_EQ(g.n_transp, 3);
    EXPECT_EQ(g.transp[0], 100.0);
    EXPECT_EQ(g.transp[1], 0.0);
    EXPECT_EQ(g.transp[2], static_cast<double>(2.1f));

    send(box, 2, "list");  // no elements: one transposition of 0 cents
    EXPECT_EQ(g.n_transp, 1);
    EXPECT_EQ(g.transp[0], 0.0);

    // A longer list keeps its first 256 values.
    std::vector<standin::Atom> many;
    for (int i = 0; i < 300; ++i) many.push_back(standin::Atom::of_int(i + 1));
    std::string error;
    ASSERT_TRUE(standin::send_message(box, 2, "list", many, &error)) << error;
    EXPECT_EQ(g.n_transp, 256);
    EXPECT_EQ(g.transp[255], 256.0);
}

TEST_F(Messages, SetAppliesFromTheLastAtomBack) {
    standin::buffer_set("drums", std::vector<float>(64, 0.0f), 44100.0);
    standin::Box* box = make("vorn~");
    vorn::Granulator& g = engine(box);

    send(box, 0, "set drums 20 foo 0 100");
    EXPECT_EQ(g.period, 100.0);
    EXPECT_EQ(g.transp_jitter, 0.0);
    EXPECT_EQ(g.transp[0], 0.0);  // a symbol skips its setter
    EXPECT_EQ(g.pos_jitter, 20.0);
    EXPECT_NE(object(box)->buffer, nullptr);
    EXPECT_TRUE(console().empty());

    // Each count uses that many leading atoms; later ones are ignored.
    send(box, 2, "set drums 1 2 3 4 5 6");
    EXPECT_EQ(g.pos_jitter, 1.0);
    EXPECT_EQ(g.transp[0], 2.0);
    EXPECT_EQ(g.transp_jitter, 3.0);
    EXPECT_EQ(g.period, 4.0);
    send(box, 0, "set drums 7 8 9");
    EXPECT_EQ(g.pos_jitter, 7.0);
    EXPECT_EQ(g.transp[0], 8.0);
    EXPECT_EQ(g.transp_jitter, 9.0);
    EXPECT_EQ(g.period, 4.0);
    send(box, 0, "set drums 11");
    EXPECT_EQ(g.pos_jitter, 11.0);
    EXPECT_EQ(g.transp[0], 8.0);

    // No atoms: nothing changes, the binding stays.
    MaxBuffer* bound = object(box)->buffer;
    send(box, 0, "set");
    EXPECT_EQ(object(box)->buffer, bound);

    // A number as the only atom: the binding is dropped and made again under the same name.
    standin::buffer_set("drums", std::vector<float>(8, 0.0f), 44100.0);
    send(box, 0, "set 5");
    EXPECT_EQ(object(box)->buffer, bound);
    EXPECT_STREQ(object(box)->buffer_name->name, "drums");
    EXPECT_EQ(g.pos_jitter, 11.0);
    EXPECT_TRUE(console().empty());
}

TEST_F(Messages, SetTransposesReplacingAList) {
    standin::Box* box = make("vorn~");
    send(box, 2, "0 700 1200");
    send(box, 0, "set foo 0 -500");
    EXPECT_EQ(engine(box).n_transp, 1);
    EXPECT_EQ(engine(box).transp[0], -500.0);
    EXPECT_EQ(console(), std::vector<std::string>{"vorn~: cannot get buffer~ \"foo\""});
}

TEST_F(Messages, OverlapTakesAnExponent) {
    standin::Box* box = make("vorn~ 4");
    vorn::Granulator& g = engine(box);
    send(box, 0, "overlap");
    EXPECT_EQ(g.overlap, 16);
    send(box, 0, "overlap foo 2");
    EXPECT_EQ(g.overlap, 16);
    send(box, 3, "overlap 2.7");
    EXPECT_EQ(g.overlap, 4);
    EXPECT_EQ(g.gain, 0.5f);
    send(box, 0, "overlap 40");
    EXPECT_EQ(g.overlap, 16);
    send(box, 0, "overlap -1 9");
    EXPECT_EQ(g.overlap, 1);
    EXPECT_EQ(g.gain, 1.0f);
}

TEST_F(Messages, NonFiniteNumbersAreSafe) {
    standin::Box* box = make("vorn~");
    std::string error;
    standin::dsp_compile(44100.0, 64);
    for (int inlet = 0; inlet < 5; ++inlet) {
        for (double v : {double(NAN), double(INFINITY), -double(INFINITY), 1e308, -1e308}) {
            EXPECT_TRUE(standin::send_float(box, inlet, v, &error)) << error;
        }
    }
    // The last period was -1e308 ms: raised to the shortest period.
    EXPECT_EQ(engine(box).period, 4.0);
    EXPECT_EQ(engine(box).phase_incr, 1 << 29);
}
