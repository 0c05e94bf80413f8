// vorn~ in Pd under abuse while DSP runs: arrays deleted, resized and made
// again under it, names that are not arrays, DSP switched on and off, boxes
// made and deleted, other block sizes, 1024 grains, and hostile messages
// (NaN, infinities, huge numbers, symbols where numbers go, 300-value
// lists). Pd must quit by itself with status 0. In the sanitizer build
// (make test-sanitize) the external is built with AddressSanitizer and
// UndefinedBehaviorSanitizer and Pd runs with the runtime preloaded: any
// report fails the test.
#include <algorithm>
#include <functional>

#include "pd_scenario.h"

namespace vorn::pdtest {

namespace {

// A message box's text (Pd syntax: "; NAME message" sends to a receiver),
// sent at `ms` after DSP starts.
struct Step {
    double ms;
    std::string message;
};

struct FaultCase {
    std::string name;
    std::function<void(Patch&)> objects;  // the objects under test
    std::vector<Step> steps;
    std::vector<std::string> expected;    // lines that the console must hold
};

// src loaded; the objects under test; DSP on; the steps; "; pd quit" 50 ms
// after the last.
Patch fault_patch(const FaultCase& c) {
    Patch p;
    p.obj("table src");
    const int load = p.obj("loadbang");
    const int read = p.msg("read -resize src.wav src");
    const int filer = p.obj("soundfiler");
    p.connect(load, 0, read, 0);
    p.connect(read, 0, filer, 0);
    p.connect(p.obj("r reader"), 0, filer, 0);
    c.objects(p);
    const int go = p.obj("loadbang");
    const int steps = p.obj("t b b");
    p.connect(go, 0, steps, 0);
    p.connect(steps, 1, p.msg("; pd dsp 1"), 0);
    double last = 0;
    for (const Step& s : c.steps) {
        const int delay = p.obj("delay " + number(s.ms));
        p.connect(steps, 0, delay, 0);
        p.connect(delay, 0, p.msg(s.message), 0);
        last = std::max(last, s.ms);
    }
    const int end = p.obj("delay " + number(last + 50));
    p.connect(steps, 0, end, 0);
    p.connect(end, 0, p.msg("; pd quit"), 0);
    return p;
}

// [vorn~ ARGS] as box NAME: [r NAME-0] to [r NAME-4] at its inlets and, if
// `position` is not empty, that object at its signal inlet.
int box(Patch& p, const std::string& name, const std::string& args, const std::string& position = "") {
    const int b = p.obj("vorn~ " + args);
    for (int inlet = 0; inlet <= 4; ++inlet)
        p.connect(p.obj("r " + name + "-" + std::to_string(inlet)), 0, b, inlet);
    if (!position.empty()) p.connect(p.obj(position), 0, b, 0);
    return b;
}

// A moving position: 300 ms ± 250 ms, twice a second.
int moving(Patch& p) {
    const int osc = p.obj("osc~ 2");
    const int scale = p.obj("*~ 250");
    const int offset = p.obj("+~ 300");
    p.connect(osc, 0, scale, 0);
    p.connect(scale, 0, offset, 0);
    return offset;
}

// Every way a number can reach boxes a, b and c, with $1 in its place.
std::string every_inlet() {
    std::string m;
    for (const char* b : {"a", "b", "c"}) {
        const std::string n = b;
        for (int inlet = 0; inlet <= 4; ++inlet) m += "; " + n + "-" + std::to_string(inlet) + " $1";
        m += "; " + n + "-2 0 $1 700; " + n + "-2 $1 $1; " + n + "-4 list $1; " + n + "-0 set src $1 $1 $1 $1; " + n +
             "-3 set $1 $1; " + n + "-0 overlap $1; " + n + "-1 overlap $1 foo; " + n + "-0 loadbang $1";
    }
    return m + "; sigpos $1";
}

std::string long_list(const std::string& first, int count = 300) {
    std::string l = first;
    for (int i = 1; i < count; ++i) {
        l += ' ';
        l += std::to_string((i * 53) % 4000 - 2000);
    }
    return l;
}

std::vector<FaultCase> fault_cases() {
    // Boxes a (moving position), b (nothing connected) and c (1024 grains
    // on [sig~], whose value is sent to "sigpos").
    auto three_boxes = [](Patch& p) {
        const int a = box(p, "a", "5 src 10 0 0 30");
        p.connect(moving(p), 0, a, 0);
        box(p, "b", "3 src");
        const int sig = p.obj("sig~ 300");
        p.connect(p.obj("r sigpos"), 0, sig, 0);
        p.connect(sig, 0, box(p, "c", "10 src 20 0 10 100"), 0);
        // The hostile number of the moment goes everywhere at once. Pd's
        // division gives 0 for a division by zero, but infinity over
        // infinity is NaN.
        const int hostile = p.obj("r hostile");
        p.connect(hostile, 0, p.msg(every_inlet()), 0);
        const int inf = p.msg("1e+30");
        p.connect(p.obj("r make-inf"), 0, inf, 0);
        const int times = p.obj("* 1e+30");
        p.connect(inf, 0, times, 0);
        p.connect(times, 0, p.obj("s hostile"), 0);
        const int nan = p.msg("1e+30");
        p.connect(p.obj("r make-nan"), 0, nan, 0);
        const int big = p.obj("* 1e+30");
        const int both = p.obj("t f f");
        const int over = p.obj("/");
        p.connect(nan, 0, big, 0);
        p.connect(big, 0, both, 0);
        p.connect(both, 1, over, 1);
        p.connect(both, 0, over, 0);
        p.connect(over, 0, p.obj("s hostile"), 0);
        const int ninf = p.msg("-1e+30");
        p.connect(p.obj("r make-ninf"), 0, ninf, 0);
        const int ntimes = p.obj("* 1e+30");
        p.connect(ninf, 0, ntimes, 0);
        p.connect(ntimes, 0, p.obj("s hostile"), 0);
    };

    // [pd arrays] holds the array dyn; boxes d (moving) and e (1024
    // grains, nothing connected) read it.
    auto dynamic_arrays = [](Patch& p) {
        Patch inner;
        inner.obj("table dyn 5000");
        p.subpatch("arrays", inner);
        box(p, "d", "4 dyn 10 0 0 30");
        p.connect(moving(p), 0, p.obj("vorn~ 2 dyn 0 0 0 10"), 0);
        box(p, "e", "10 dyn 30 0 0 80");
        const int fill = p.msg("; dyn sinesum 4096 1 0.5 0.25");
        p.connect(p.obj("r fill"), 0, fill, 0);
    };

    return {
        {"hostile_numbers_at_every_inlet",
         three_boxes,
         {{10, "; make-nan bang"}, {30, "; make-inf bang"}, {50, "; make-ninf bang"}, {70, "; hostile 1e+38"},
          {90, "; hostile -1e+38"}, {110, "; hostile 2147483648"}, {130, "; hostile -2147483649"},
          {150, "; hostile 4294967296"}, {170, "; hostile 1e-45"}, {190, "; hostile 3.4e+38"},
          {210, "; hostile -0"}, {230, "; hostile 0"}, {250, "; hostile 0.001"},
          {270, "; a-4 60; b-4 60; c-4 60; c-1 5; b-0 300; sigpos 300; a-0 overlap 3"}},
         {}},

        {"symbols_lists_and_messages_of_the_wrong_kind",
         three_boxes,
         {{10, "; a-2 0 foo 700; a-2 list foo bar; a-2 symbol foo; a-1 bang; a-2 bang; a-3 foo; a-0 foo 1 2"},
          {30, "; b-0 overlap foo; b-0 overlap; b-4 overlap 3 foo; b-1 overlap foo 3; b-2 overlap -"},
          {50, "; c-0 set 1 2 3; c-0 set foo bar baz qux quux; c-1 set src foo 1 bar 2; c-0 set; c-0 set src"},
          {70, "; a-2 " + long_list("5")},
          {90, "; b-2 " + long_list("bar")},
          {110, "; c-2 list " + long_list("-100")},
          {120, "; a-2 " + long_list("7", 256) + "; c-2 list " + long_list("-7", 256)},
          {130, "; a-2 list; a-0 loadbang foo; a-1 print 1 2 3; a-0 version x; b-3 symbol; c-4 list foo"},
          {150, "; a-0 set src 1 2 3 4 5 6 7 8 9; b-0 list 1 2 3; b-1 list 1 2; b-0 symbol src"},
          {170, "; make-nan bang"},
          {190, "; a-2 list 0 700; a-4 40; c-0 overlap 10"}},
         {"error: vorn~: cannot get array \"foo\""}},

        {"set_to_names_that_are_not_arrays",
         [three_boxes](Patch& p) {
             three_boxes(p);
             p.obj("r notarray");
             p.obj("value val");
             p.obj("r multi");
             p.obj("r multi");
             p.obj("table multi 2000");
             Patch inner;
             inner.obj("f");
             p.subpatch("sub", inner);
         },
         {{10, "; a-0 set notarray; a-0 print"}, {20, "; b-0 set val; b-0 print"}, {30, "; c-0 set pd-sub"},
          {40, "; a-0 set pd; b-0 set reader; c-0 set hostile"}, {50, "; pd dsp 0"}, {60, "; pd dsp 1"},
          {70, "; a-0 set multi; a-0 print"}, {80, "; b-0 set nowhere 5 0 0 30; b-0 loadbang"},
          {90, "; c-0 set -"}, {100, "; pd dsp 0; pd dsp 1"}, {120, "; a-0 set src; b-0 set src; c-0 set src"}},
         {"error: vorn~: cannot get array \"notarray\"", "vorn~: no arrays", "error: vorn~: cannot get array \"val\"",
          "error: vorn~: cannot get array \"pd-sub\"", "error: vorn~: cannot get array \"pd\"",
          "error: vorn~: cannot get array \"reader\"", "  array \"multi\": 2000 samples",
          "error: vorn~: cannot get array \"nowhere\""}},

        {"arrays_deleted_resized_and_made_again_while_dsp_runs",
         dynamic_arrays,
         {{10, "; fill bang"}, {20, "; dyn resize 100"}, {30, "; dyn resize 200000"}, {40, "; dyn resize 1"},
          {50, "; dyn resize 0"}, {60, "; reader read -resize src.wav dyn"}, {70, "; pd-arrays clear"},
          {80, "; d-0 print; d-0 loadbang; e-0 set dyn"}, {90, "; pd-arrays obj 10 10 table dyn 3000"},
          {100, "; fill bang; d-0 loadbang; e-0 set dyn"}, {110, "; dyn resize 44100"},
          {120, "; pd dsp 0; pd-arrays clear; d-0 print; pd-arrays obj 10 10 table dyn 10; pd dsp 1"},
          {130, "; dyn rename dyn2; dyn2 resize 9000; d-0 print"}, {140, "; dyn2 rename dyn; pd dsp 0; pd dsp 1"},
          {150, "; pd-arrays clear; pd-arrays obj 10 10 array define dyn 6000"}, {160, "; pd dsp 0; pd dsp 1"},
          {170, "; reader read -resize src.wav dyn; d-0 print"}, {180, "; pd-arrays clear"},
          {190, "; pd-arrays obj 10 10 table dyn 4000; d-0 set dyn; e-0 loadbang"}, {200, "; fill bang; d-0 print"},
          // The array deleted on its own, its graph left in place.
          {210, "; dyn arraydialog dyn 100 0 1; d-0 print"}, {220, "; e-0 set dyn"},
          {230, "; pd-arrays clear; pd-arrays obj 10 10 table dyn 2000; d-0 print"}},
         {"  array \"dyn\": 4099 samples", "error: vorn~: cannot get array \"dyn\"", "  array \"dyn\": 2000 samples"}},

        {"dsp_switched_on_and_off",
         three_boxes,
         {{5, "; pd dsp 0"}, {6, "; a-4 20; pd dsp 1"}, {10, "; pd dsp 1; pd dsp 1"}, {20, "; pd dsp 0; a-0 overlap 1"},
          {25, "; pd dsp 1; pd dsp 0; pd dsp 1"}, {40, "; c-0 overlap 2; pd dsp 0; c-0 overlap 10; pd dsp 1"},
          {60, "; pd dsp 0; b-0 set src 1 0 0 1; pd dsp 1"}, {80, "; pd dsp 0"}, {120, "; pd dsp 1"}},
         {}},

        {"boxes_made_and_deleted_with_other_block_sizes",
         [](Patch& p) {
             // [pd NAME]: a vorn~ playing SOURCE under BLOCK.
             auto blocked = [&p](const char* name, const char* vorn, const char* source, const char* block) {
                 Patch inner;
                 inner.obj(vorn);
                 inner.obj(source);
                 inner.obj(block);
                 inner.connect(1, 0, 0, 0);
                 p.subpatch(name, inner);
             };
             blocked("boxes", "vorn~ 10 src 5 0 0 20", "osc~ 3", "block~ 16");
             // Twice the rate: upsampled by 2.
             blocked("up", "vorn~ 10 src 5 0 0 20", "osc~ 2", "block~ 64 1 2");
             Patch big;
             big.obj("vorn~ 6 src 5 0 0 50");
             big.obj("sig~ 400");
             big.obj("block~ 1024 4");
             big.obj("outlet~");
             big.connect(1, 0, 0, 0);
             big.connect(0, 0, 3, 0);
             const int b = p.subpatch("big", big);
             p.connect(b, 0, p.obj("vorn~ 3 src"), 0);
             Patch sw;
             sw.obj("vorn~ 4 src");
             sw.obj("switch~");
             sw.obj("r sw");
             sw.connect(2, 0, 1, 0);
             p.subpatch("sw", sw);
         },
         {{10, "; pd-boxes clear"},
          {20, "; pd-boxes obj 10 10 vorn~ 10 src 5 0 0 20; pd-boxes obj 10 40 phasor~ 1; pd-boxes connect 1 0 0 0"},
          {30, "; pd-boxes obj 10 70 block~ 32"}, {40, "; sw 1"}, {50, "; sw 0"},
          {60, "; pd-boxes obj 10 100 vorn~ 1 src; pd-boxes connect 1 0 3 0"}, {70, "; pd-boxes clear; sw 1"},
          {80, "; pd-big clear"}, {90, "; pd-boxes obj 10 10 vorn~ 2 src; pd-boxes obj 10 40 block~ 2048"}},
         {}},
    };
}

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class Faults : public PdTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(Faults, PdQuitsCleanlyWithNoSanitizerReport) {
    const FaultCase& c = GetParam();
    write_inputs(dir_, 64);
    const PdRun run = pd(c.name, fault_patch(c), PdOptions{.external_dir = shipped_external(), .stop_clock = false});
    EXPECT_EQ(run.status, 0) << run.raw;
    EXPECT_EQ(sanitizer_report(run), "");
    EXPECT_TRUE(ran_guarded(run));
    // The patch is what the test means it to be.
    for (const std::string& line : run.console) {
        EXPECT_EQ(line.find("couldn't create"), std::string::npos) << line;
        EXPECT_EQ(line.find("no such object"), std::string::npos) << line;
    }
    for (const std::string& line : c.expected)
        EXPECT_NE(std::find(run.console.begin(), run.console.end(), line), run.console.end())
            << "no line \"" << line << "\" in:\n" << run.raw;
}

INSTANTIATE_TEST_SUITE_P(Pd, Faults, ::testing::ValuesIn(fault_cases()),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

// --- print, when the array changed behind vorn~'s back -------------------------

// Pd tells vorn~ of a resized or deleted array only by compiling the chain
// again, which it does only while DSP runs; print reports the array that
// the name finds now all the same (the one the next "dsp" binds).
struct PrintCase {
    std::string name;
    std::string steps;                  // a message box's text, sent at load
    std::vector<std::string> expected;  // the console after the banner
};

const PrintCase kPrintCases[] = {
    {"resized_while_dsp_is_off",
     "; v print; t resize 500; v print",
     {"vorn~", "  array \"t\": 1000 samples", "vorn~", "  array \"t\": 500 samples"}},
    {"deleted_while_dsp_is_off", "; pd-arrays clear; v print", {"vorn~: no arrays"}},
    {"made_again_while_dsp_is_off",
     "; pd-arrays clear; pd-arrays obj 10 10 table t 300; v print; v loadbang; v print",
     {"vorn~", "  array \"t\": 300 samples", "vorn~", "  array \"t\": 300 samples"}},
    {"resized_and_deleted_while_dsp_runs",
     "; pd dsp 1; t resize 700; v print; pd-arrays clear; v print",
     {"vorn~", "  array \"t\": 700 samples", "vorn~: no arrays"}},
};

void PrintTo(const PrintCase& c, std::ostream* os) { *os << c.name; }

class Print : public PdTest, public ::testing::WithParamInterface<PrintCase> {};

TEST_P(Print, ReportsTheArrayAsItIsNow) {
    const PrintCase& c = GetParam();
    Patch p;
    Patch arrays;
    arrays.obj("table t 1000");
    p.subpatch("arrays", arrays);
    const int v = p.obj("vorn~ 3 t");
    p.connect(p.obj("r v"), 0, v, 0);
    const int load = p.obj("loadbang");
    p.connect(load, 0, p.msg(c.steps + "; pd quit"), 0);
    const PdRun run = pd(c.name, p, PdOptions{.external_dir = shipped_external(), .stop_clock = false});
    EXPECT_EQ(run.status, 0) << run.raw;
    EXPECT_EQ(sanitizer_report(run), "");
    ASSERT_GE(run.console.size(), 3u) << run.raw;
    EXPECT_EQ(std::vector<std::string>(run.console.begin() + 3, run.console.end()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Pd, Print, ::testing::ValuesIn(kPrintCases),
                         [](const ::testing::TestParamInfo<PrintCase>& info) { return info.param.name; });

}  // namespace

}  // namespace vorn::pdtest
