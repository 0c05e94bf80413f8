// The plug-in in the stand-in host renders the same samples as the engine
// driven directly with the same settings and the same seed.
#include <cmath>
#include <cstring>

#include "plugin_fixture.h"
#include "random.h"
#include "tables.h"

using namespace vorn::test;

TEST(RenderMatch, HostedObjectEqualsTheEngine) {
    constexpr double kRate = 44100.0;
    constexpr int kVector = 64, kVectors = 400;
    std::vector<float> samples(22050);
    for (size_t i = 0; i < samples.size(); ++i)
        samples[i] = static_cast<float>(0.6 * std::sin(i * 0.031) + 0.3 * std::sin(i * 0.0023));
    auto position = [](int k) { return static_cast<float>(100.0 + 0.37 * k); };  // ms

    // Hosted: the library was loaded with the clock at kSeed and has drawn nothing since.
    standin::reset();
    standin::buffer_set("src", samples, kRate);
    std::string error;
    standin::Box* box = standin::box_create("vorn~ 3 src 0 0 0 100", &error);
    ASSERT_TRUE(box) << error;
    standin::loadbang_all();
    standin::dsp_compile(kRate, kVector);
    std::vector<float> hosted;
    for (int v = 0; v < kVectors; ++v) {
        float* in = standin::signal_input(box);
        for (int j = 0; j < kVector; ++j) in[j] = position(v * kVector + j);
        ASSERT_TRUE(standin::run_vector(&error)) << error;
        const float* out = standin::signal_output(box);
        hosted.insert(hosted.end(), out, out + kVector);
    }

    // Direct: the same settings, in the same order, from the same seed.
    vorn::build_tables();
    vorn::random_state = kSeed;
    vorn::Granulator g{};
    vorn::init(g, 3);
    vorn::set_period(g, 100);
    vorn::set_transp_jitter(g, 0);
    vorn::set_transposition(g, 0);
    vorn::set_pos_jitter(g, 0);
    g.source = vorn::SampleSource{1, samples.data(), static_cast<int32_t>(samples.size())};
    vorn::compile_and_restart(g, static_cast<float>(kRate));
    std::vector<float> direct(kVector * kVectors), in(kVector);
    for (int v = 0; v < kVectors; ++v) {
        for (int j = 0; j < kVector; ++j) in[j] = position(v * kVector + j);
        vorn::perform(g, in.data(), direct.data() + v * kVector, kVector);
    }
    vorn::release(g);

    ASSERT_EQ(hosted.size(), direct.size());
    EXPECT_EQ(std::memcmp(hosted.data(), direct.data(), direct.size() * sizeof(float)), 0);
    double energy = 0;
    for (float x : direct) energy += double(x) * x;
    EXPECT_GT(energy, 1.0);  // not a match of two silences
}
