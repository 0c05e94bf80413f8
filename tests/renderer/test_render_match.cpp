// A render's samples equal those of the engine driven directly with the same
// boxes, positions, messages and seed: bit for bit, so every step of the
// renderer's event order and position signal is pinned down.
#include <sndfile.h>

#include <cmath>
#include <functional>

#include "harness.h"

namespace vorn::test {

namespace {

// Timed actions for the direct render, applied before the vector that holds
// their sample, in order.
struct Schedule {
    struct Item {
        int64_t sample;
        std::function<void()> action;
    };
    std::vector<Item> items;
    size_t next = 0;
    void at(double ms, double rate, std::function<void()> action) { items.push_back({due(ms, rate), std::move(action)}); }
    void operator()(int64_t start, int n) {
        while (next < items.size() && items[next].sample < start + n) items[next++].action();
    }
};

// The scan position: FROM + SPEED × elapsed ms, wrapped into the length of src.
float scan(int64_t k, double speed, double from, int64_t src_frames, double rate) {
    const double length = static_cast<double>(src_frames) * 1000 / rate;
    const double x = from + speed * (static_cast<double>(k) * 1000 / rate);
    return static_cast<float>(x - length * std::floor(x / length));
}

using RenderMatch = RendererTest;

}  // namespace

TEST_F(RenderMatch, TwoBoxesScanningAcrossTheWrapWithTimedMessages) {
    const std::vector<float> left = test_tone(11025, 0), right = test_tone(11025, 1);
    std::vector<float> stereo, mono;
    for (size_t i = 0; i < left.size(); ++i) {
        stereo.insert(stereo.end(), {left[i], right[i]});
        mono.push_back(static_cast<float>((double(left[i]) + double(right[i])) / 2));
    }
    write_sound(path("src.wav"), stereo, 44100, 2);
    write_file("s.txt", "# parameters over time\n\n250 2:3 0   # detune off\n");
    Result r = vorn({"render", "src.wav", "-o", "out.wav", "-a", "3 src 2 0 0 40", "-a", "2 src 0 700 10 25", "-p",
                  "scan:3:50", "-d", "22050", "--vector", "32", "--seed", "12345", "--score", "s.txt", "-m",
                  "100 2:2 0 -1200 700", "-m", "200.5 4 60", "-m", "300 2:0 overlap 1", "-m", "350 1 7.5"});
    ASSERT_EQ(r.status, 0) << r.err;

    DirectRender d(12345);
    Granulator& one = d.box(3, 2, 0, 0, 40);
    Granulator& two = d.box(2, 0, 700, 10, 25);
    d.set_source(&mono);
    d.compile(44100);
    Schedule s;
    const double list[] = {0, -1200, 700};
    s.at(100, 44100, [&] { set_transp_list(two, list, 3); });
    s.at(200.5, 44100, [&] { set_period(one, 60); });
    s.at(250, 44100, [&] { set_transp_jitter(two, 0); });
    s.at(300, 44100, [&] { set_overlap(two, 1); });
    s.at(350, 44100, [&] { set_pos_jitter(one, 7.5f); });
    std::vector<float> expected =
        d.run(22050, 32, [](int64_t k) { return scan(k, 3, 50, 11025, 44100); }, std::ref(s));

    SoundFile out = read_sound(path("out.wav"));
    EXPECT_EQ(out.rate, 44100);
    EXPECT_EQ(out.channels, 1);
    EXPECT_EQ(out.format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
    expect_same_samples(expected, out.samples);
}

TEST_F(RenderMatch, OneChannelAnotherRateALineAndHostEvents) {
    const std::vector<float> left = test_tone(8000, 2), right = test_tone(8000, 3), other = test_tone(6000, 4);
    std::vector<float> stereo;
    for (size_t i = 0; i < left.size(); ++i) stereo.insert(stereo.end(), {left[i], right[i]});
    write_sound(path("src.wav"), stereo, 22050, 2);
    write_sound(path("other.wav"), other, 48000, 1);
    Result r = vorn({"render", "src.wav", "--channel", "2", "-r", "32000", "--vector", "128", "-a", "4 src 3 -300 0 30",
                  "-p", "line:20:180", "-o", "out.wav", "--seed", "777", "-m", "40 host invalid src", "-m",
                  "init 4 45", "-m", "60 host valid src", "-m", "80 host dsp", "-m", "100 host rate 16000", "-m",
                  "120 1 10", "-m", "130 host buffer src other.wav", "-m", "150 host delete src"});
    ASSERT_EQ(r.status, 0) << r.err;

    DirectRender d(777);
    Granulator& g = d.box(4, 3, -300, 0, 30);
    d.set_source(&right);
    set_period(g, 45);  // init: before the first compile, in ms
    d.compile(32000);
    Schedule s;
    s.at(40, 32000, [&] { d.set_valid(false); });
    s.at(60, 32000, [&] { d.set_valid(true); });
    s.at(80, 32000, [&] { d.compile(32000); });
    s.at(100, 32000, [&] { d.compile(16000); });
    s.at(120, 32000, [&] { set_pos_jitter(g, 10); });
    s.at(130, 32000, [&] { d.set_source(&other); });
    s.at(150, 32000, [&] { d.set_source(nullptr); });
    // The length of src by default; the line reaches TO at the last sample.
    auto line = [](int64_t k) {
        const double t = static_cast<double>(k) / 7999;
        return static_cast<float>(20 * (1 - t) + 180 * t);
    };
    std::vector<float> expected = d.run(8000, 128, line, std::ref(s));

    SoundFile out = read_sound(path("out.wav"));
    EXPECT_EQ(out.rate, 32000);  // the rate the render started with, whatever came later
    expect_same_samples(expected, out.samples);
    for (int64_t k = due(150, 32000) / 128 * 128; k < 8000; ++k) ASSERT_EQ(out.samples[static_cast<size_t>(k)], 0.0f);
}

TEST_F(RenderMatch, APositionFileHoldsItsLastValue) {
    const std::vector<float> src = test_tone(30000, 1);
    std::vector<float> positions(3000);
    for (int k = 0; k < 3000; ++k) positions[static_cast<size_t>(k)] = static_cast<float>(30 + 0.05 * k);
    write_sound(path("src.wav"), src, 44100, 1);
    write_sound(path("pos.wav"), positions, 8000, 1);  // its rate plays no part
    Result r = vorn({"render", "src.wav", "-p", "file:pos.wav", "-d", "5000", "-o", "out.wav", "--seed", "99"});
    ASSERT_EQ(r.status, 0) << r.err;

    DirectRender d(99);
    d.box(3);
    d.set_source(&src);
    d.compile(44100);
    std::vector<float> expected = d.run(
        5000, 64, [&](int64_t k) { return positions[static_cast<size_t>(std::min<int64_t>(k, 2999))]; },
        [](int64_t, int) {});
    expect_same_samples(expected, read_sound(path("out.wav")).samples);

    // Without -d, the position file's length.
    ASSERT_EQ(vorn({"render", "src.wav", "-p", "file:pos.wav", "-o", "short.wav"}).status, 0);
    EXPECT_EQ(read_sound(path("short.wav")).frames(), 3000);
}

// A period given at init is stored in ms and converted by the first compile,
// which starts every grain with it; the same message at time 0 arrives after
// that compile, is converted at once, and the grains started with the default.
TEST_F(RenderMatch, InitMessagesComeBeforeTheFirstCompileAndTimeZeroAfterIt) {
    const std::vector<float> src = test_tone(44100, 0);
    write_sound(path("src.wav"), src, 44100, 1);
    Result at_init = vorn({"render", "src.wav", "-p", "120", "-m", "init 4 100", "-o", "init.wav", "--seed", "5"});
    Result at_zero = vorn({"render", "src.wav", "-p", "120", "-m", "0 4 100", "-o", "zero.wav", "--seed", "5"});
    ASSERT_EQ(at_init.status, 0) << at_init.err;
    ASSERT_EQ(at_zero.status, 0) << at_zero.err;

    auto direct = [&](bool init) {
        DirectRender d(5);
        Granulator& g = d.box(3);
        d.set_source(&src);
        if (init) set_period(g, 100);
        d.compile(44100);
        bool sent = init;
        return d.run(44100, 64, [](int64_t) { return 120.0f; }, [&](int64_t, int) {
            if (!sent) set_period(g, 100), sent = true;
        });
    };
    const std::vector<float> init = read_sound(path("init.wav")).samples, zero = read_sound(path("zero.wav")).samples;
    EXPECT_EQ(init.size(), 44100u);  // a constant position: the length of src
    expect_same_samples(direct(true), init);
    expect_same_samples(direct(false), zero);
    EXPECT_NE(init, zero);
}

}  // namespace vorn::test
