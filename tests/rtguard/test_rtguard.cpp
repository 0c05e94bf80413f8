// The real-time rule, checked by libvorn_rtguard (linked in): vorn~'s
// perform routine, run by the stand-in host's audio thread, never
// allocates, locks, touches a file or the console, sleeps or makes a system
// call, whatever the host's own thread changes meanwhile; and the guard
// does catch a routine that does (the probe~ external).
#include <sched.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "plugin_fixture.h"
#include "rtguard.h"

using namespace vorn::test;

namespace {

std::vector<float> tone(int frames, int channels) {
    std::vector<float> s(static_cast<size_t>(frames) * static_cast<size_t>(channels));
    for (size_t i = 0; i < s.size(); ++i) s[i] = std::sin(static_cast<float>(i) * 0.03f);
    return s;
}

// `count` numbers, as typed into a message box: a list.
std::string numbers(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i) text += ' ';
        text += std::to_string((i * 53) % 4000 - 2000);
    }
    return text;
}

// Until the audio thread has run another guarded routine, so that every
// change below meets a vector. Not a timing: the deadline only ends a
// test whose audio thread has stopped.
void wait_for_the_audio_thread() {
    const long before = vorn::rtguard::in_process().guarded;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (vorn::rtguard::in_process().guarded == before) {
        if (std::chrono::steady_clock::now() > deadline) {
            ADD_FAILURE() << "the audio thread ran no routine for 60 s";
            return;
        }
        sched_yield();
    }
}

}  // namespace

using Guard = PluginTest;

// Everything a user can change while audio runs, from this thread, vector
// after vector: the buffer~ replaced at other sizes, rates and channel
// counts, deleted and made again, "set" to other buffers and to none,
// lists of 256 transpositions and more, overlap up and down, numbers at
// every inlet, recompiles at other rates and vector sizes, boxes deleted
// and made, loadbang and print; 1024 grains in one box.
TEST_F(Guard, VornRunsOnTheAudioThreadWithoutAForbiddenCall) {
    vorn::rtguard::reset();
    ASSERT_EQ(vorn::rtguard::in_process().guarded, 0) << "libvorn_rtguard is not loaded";
    standin::buffer_set("src", tone(2 * 44100, 1), 44100.0);
    standin::buffer_set("alt", tone(3000, 2), 48000.0, 2);
    const std::vector<std::string> texts = {"vorn~ 10 src 500 0 0 20", "vorn~ 8 alt 30 0 10 50", "vorn~ 3 src"};
    std::vector<standin::Box*> boxes;
    for (const std::string& t : texts) boxes.push_back(make(t));
    standin::dsp_compile(44100.0, 64);
    std::string error;
    ASSERT_TRUE(standin::audio_start(&error)) << error;

    const std::string list256 = numbers(256), list300 = numbers(300);
    const double rates[] = {96000.0, 22050.0, 48000.0, 44100.0};
    const int vector_sizes[] = {16, 1024, 256, 64};
    const int frames[] = {1, 200000, 4, 44100, 3000};
    const char* const overlaps[] = {"overlap 0", "overlap 10", "overlap 3", "overlap 8", "overlap 1"};
    const char* const sets[] = {"set alt", "set src 40 -700 5 30", "set nothing", "set src"};
    for (int round = 0; round < 40; ++round) {
        const size_t k = static_cast<size_t>(round) % boxes.size();
        standin::Box* box = boxes[k];
        const int channels = 1 + round % 2;
        standin::buffer_set("src", tone(frames[round % 5], channels), rates[round % 4], channels);
        wait_for_the_audio_thread();
        if (round % 4 == 1) {
            ASSERT_TRUE(standin::buffer_delete("src"));
            wait_for_the_audio_thread();
            send(box, 0, "print");
            standin::buffer_set("src", tone(5000, 1), 44100.0);
        }
        send(box, 0, sets[round % 4]);
        send(box, 2, list256);
        wait_for_the_audio_thread();
        send(box, 2, list300);
        send(box, round % 5, overlaps[round % 5]);
        for (int inlet = 0; inlet <= 4; ++inlet) {
            send(box, inlet, std::to_string((round * 37) % 300));
            send(box, inlet, "12.5");
        }
        wait_for_the_audio_thread();
        if (round % 3 == 2) standin::dsp_compile(rates[round % 4], vector_sizes[round % 4]);
        if (round % 5 == 4) {
            standin::box_delete(box);
            box = boxes[k] = make(texts[k]);
            standin::dsp_compile(44100.0, 64);
        }
        standin::loadbang_all();
        send(box, 0, "print");
        wait_for_the_audio_thread();
    }
    const long vectors = standin::audio_stop(&error);
    EXPECT_EQ(error, "");
    const vorn::rtguard::Report report = vorn::rtguard::in_process();
    EXPECT_EQ(report.forbidden, 0) << report.text;
    // Every vector runs a box at least; every wait above, a routine.
    EXPECT_GE(report.guarded, vectors) << report.text;
    EXPECT_GE(report.guarded, 160) << report.text;
    console();
}

// A perform routine that allocates, locks or writes: the guard names the
// function and the routine, however many calls the same thread makes
// outside it (the console, the compile, this test).
struct FaultCase {
    const char* fault;                      // probe~'s "rtfault" argument
    std::vector<std::string> functions;     // what the report must name
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.fault; }

class GuardCatches : public PluginTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(GuardCatches, AProbeThatBreaksTheRule) {
    const FaultCase& c = GetParam();
    vorn::rtguard::reset();
    standin::Box* probe = make("probe~ 1");
    send(probe, 0, std::string("rtfault ") + c.fault);
    standin::dsp_compile(44100.0, 64);
    ASSERT_EQ(vorn::rtguard::in_process().forbidden, 0) << vorn::rtguard::in_process().text;

    std::string error;
    ASSERT_TRUE(standin::run_vector(&error)) << error;
    const vorn::rtguard::Report report = vorn::rtguard::in_process();
    EXPECT_EQ(report.guarded, 1) << report.text;
    EXPECT_EQ(report.forbidden, static_cast<long>(c.functions.size())) << report.text;
    for (const std::string& f : c.functions)
        EXPECT_NE(report.text.find("vorn_rtguard: " + f + " in probe_perform (" VORN_PLUGIN_DIR "/probe~.mxe): 1 calls"),
                  std::string::npos)
            << report.text;
    console();
    vorn::rtguard::reset();
}

INSTANTIATE_TEST_SUITE_P(Guard, GuardCatches,
                         ::testing::Values(FaultCase{"malloc", {"malloc", "free"}},
                                           FaultCase{"lock", {"pthread_mutex_lock", "pthread_mutex_unlock"}},
                                           FaultCase{"write", {"write"}}),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.fault; });

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Read when a library is opened: vorn~.mxe and probe~.mxe are guarded.
    setenv("VORN_RTGUARD_LIBRARY", "vorn~:probe~", 1);
    standin::add_search_path(VORN_PLUGIN_DIR);
    standin::set_clock(kSeed);
    return RUN_ALL_TESTS();
}
