// The help patch, as installed beside the external: Pd opens it in batch
// mode with every object created and nothing on the console but vorn~'s
// banner, and with DSP on its vorn~ makes sound from the sound the patch
// makes for itself.
#include <algorithm>
#include <cmath>
#include <sstream>
#include <tuple>

#include "pd_scenario.h"

namespace vorn::pdtest {

namespace {

std::string help_patch() { return vorn::test::slurp(shipped_external() + "/vorn~-help.pd"); }

// The records of a patch file: each ends with a ";" that is not escaped.
std::vector<std::string> records(const std::string& text) {
    std::vector<std::string> out;
    std::string r;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == ';' && (i == 0 || text[i - 1] != '\\')) {
            const size_t start = r.find_first_not_of(" \n");
            out.push_back(start == std::string::npos ? "" : r.substr(start));
            r.clear();
        } else {
            r += text[i] == '\n' ? ' ' : text[i];
        }
    }
    return out;
}

struct TopLevel {
    int count = 0;              // boxes on the main canvas, as "#X connect" numbers them
    std::vector<int> vorn;      // those that are vorn~ objects
    std::vector<std::pair<int, int>> connections;  // from, to
};

TopLevel top_level(const std::string& text) {
    TopLevel t;
    int depth = 0;
    static const char* const boxes[] = {"#X obj ", "#X msg ", "#X floatatom ", "#X symbolatom ", "#X listbox ",
                                        "#X text "};
    for (const std::string& r : records(text)) {
        if (r.rfind("#N canvas ", 0) == 0) {
            ++depth;
            continue;
        }
        if (r.rfind("#X restore ", 0) == 0) {
            if (--depth == 1) ++t.count;
            continue;
        }
        if (depth != 1) continue;
        if (r.rfind("#X connect ", 0) == 0) {
            std::istringstream in(r.substr(11));
            int from = 0, outlet = 0, to = 0;
            in >> from >> outlet >> to;
            t.connections.emplace_back(from, to);
            continue;
        }
        for (const char* b : boxes)
            if (r.rfind(b, 0) == 0) {
                std::istringstream in(r.substr(std::string(b).size()));
                std::string x, y, name;
                in >> x >> y >> name;
                if (std::string(b) == "#X obj " && name == "vorn~") t.vorn.push_back(t.count);
                ++t.count;
            }
    }
    return t;
}

using Help = PdTest;

constexpr int kBanner = 3;

TEST_F(Help, OpensWithEveryObjectCreatedAndNothingButTheBanner) {
    const std::string text = help_patch();
    ASSERT_FALSE(text.empty()) << "no help patch beside the external in " << shipped_external();
    const PdRun run = pd("vorn~-help", text, PdOptions{.external_dir = shipped_external(), .stop_clock = false, .extra = {"-send", "pd quit"}});
    EXPECT_EQ(run.status, 0) << run.raw;
    EXPECT_EQ(sanitizer_report(run), "");
    ASSERT_EQ(run.console.size(), static_cast<size_t>(kBanner)) << run.raw;
    EXPECT_EQ(run.console[0], "vorn~ 1.0.0: granular synthesis of a buffer~");
}

TEST_F(Help, MakesSoundWithDspOn) {
    const std::string text = help_patch();
    const TopLevel t = top_level(text);
    // The vorn~ that plays: the one whose outlet goes somewhere.
    int playing = -1;
    for (int v : t.vorn)
        if (std::any_of(t.connections.begin(), t.connections.end(), [v](const auto& c) { return c.first == v; }))
            playing = v;
    ASSERT_GE(playing, 0) << "no vorn~ with its outlet connected on the help patch's main canvas";

    // The patch as it is, then a recorder on that vorn~ and, at load, DSP
    // on and two seconds recorded and written.
    std::string wrapped = text;
    int n = t.count;
    auto add = [&](const std::string& record) {
        wrapped += record + "\n";
        return n++;
    };
    const int table = add("#X obj 700 600 table help-out 88200;");
    (void)table;
    const int rec = add("#X obj 700 630 tabwrite~ help-out;");
    const int load = add("#X obj 700 660 loadbang;");
    const int steps = add("#X obj 700 690 t b b;");
    const int on = add("#X msg 700 720 \\; pd dsp 1;");
    const int wait = add("#X obj 700 750 delay 88200 1 samp;");
    const int after = add("#X obj 700 780 t b b;");
    const int write = add("#X msg 700 810 write -wave -bytes 4 help-out.wav help-out;");
    const int filer = add("#X obj 700 840 soundfiler;");
    const int quit = add("#X msg 700 870 \\; pd quit;");
    for (const auto& [a, o, b, i] : std::vector<std::tuple<int, int, int, int>>{
             {playing, 0, rec, 0}, {load, 0, steps, 0}, {steps, 1, on, 0}, {steps, 0, rec, 0}, {steps, 0, wait, 0},
             {wait, 0, after, 0}, {after, 1, write, 0}, {write, 0, filer, 0}, {after, 0, quit, 0}})
        wrapped += "#X connect " + std::to_string(a) + " " + std::to_string(o) + " " + std::to_string(b) + " " +
                   std::to_string(i) + ";\n";

    const PdRun run = pd("help-playing", wrapped, PdOptions{.external_dir = shipped_external(), .stop_clock = false});
    EXPECT_EQ(run.status, 0) << run.raw;
    EXPECT_EQ(sanitizer_report(run), "");
    // The banner, and soundfiler's word about the file it wrote.
    ASSERT_EQ(run.console.size(), static_cast<size_t>(kBanner) + 1) << run.raw;
    EXPECT_EQ(run.console[kBanner].rfind("help-out.wav: biggest amplitude = ", 0), 0u) << run.console[kBanner];

    const std::vector<float> out = vorn::test::read_sound(path("help-out.wav")).samples;
    ASSERT_EQ(out.size(), 88200u);
    // The second second: the source is being recorded from the first
    // sample, and the position waits at 500 ms.
    double energy = 0;
    float peak = 0;
    for (size_t i = 44100; i < out.size(); ++i) {
        ASSERT_TRUE(std::isfinite(out[i])) << "sample " << i;
        energy += double(out[i]) * out[i];
        peak = std::max(peak, std::fabs(out[i]));
    }
    const double rms = std::sqrt(energy / 44100);
    EXPECT_GT(rms, 0.01) << "the help patch's vorn~ is (nearly) silent: peak " << peak;
}

}  // namespace

}  // namespace vorn::pdtest
