// vorn~ in Pd renders the same samples as vorn render, bit for bit, and
// posts the same console lines in the Pd binding's wording: the same
// engine behind both, the same random source seeded from the same clock
// reading, and Pd's message timing and compile order mapped onto vorn
// render's (pd_scenario.h).
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <tuple>

#include "pd_scenario.h"

namespace vorn::pdtest {

namespace {

struct Outcome {
    PdRun pd;
    int64_t seed = 0;            // the clock reading vorn~ was seeded from, vorn render's --seed
    vorn::test::Result vorn;
    std::vector<float> pd_sum;   // the recordings added in compile order, as vorn render adds its boxes
    std::vector<float> vorn_samples;
    std::vector<std::string> reports;  // the reporting build's lines, taken out of pd.console
};

class PdRender : public PdTest {
protected:
    Outcome render(const Scenario& s, const std::string& external = shipped_external(), bool naive = false) {
        Outcome o;
        write_inputs(dir_, s.frames);
        write_file("score.txt", scenario_score(s));
        o.pd = pd(s.name, scenario_patch(s), PdOptions{.external_dir = external, .clock = s.clock});
        EXPECT_TRUE(ran_guarded(o.pd));
        // Lines of the reporting build ("vorn~ #K: ...") are not vorn~'s
        // own: they are set aside. soundfiler's own line about the file it
        // wrote ("out.wav: biggest amplitude = ...") is dropped.
        std::vector<std::string> console;
        for (const std::string& line : o.pd.console) {
            if (line.starts_with("out.wav: biggest amplitude = ")) continue;
            (line.starts_with("vorn~ #") ? o.reports : console).push_back(line);
        }
        o.pd.console = console;

        const vorn::test::SoundFile rec = vorn::test::read_sound(path("out.wav"));
        const std::vector<int> order = compile_order(s);
        if (rec.channels == static_cast<int>(s.boxes.size())) {
            o.pd_sum.assign(static_cast<size_t>(rec.frames()), 0.0f);
            for (size_t i = 0; i < o.pd_sum.size(); ++i)
                for (size_t k = 0; k < order.size(); ++k) {
                    const float v = rec.samples[i * static_cast<size_t>(rec.channels) + static_cast<size_t>(order[k]) - 1];
                    o.pd_sum[i] = k == 0 ? v : o.pd_sum[i] + v;
                }
        } else {
            ADD_FAILURE() << s.name << ": out.wav holds " << rec.channels << " channels, not one per box:\n" << o.pd.raw;
        }
        // The seed: the scenario's clock, where Pd's clock was stopped at
        // it; in a Windows Pd, whose clock runs, the second between the
        // run's first and last clock readings whose render is Pd's.
        o.seed = s.clock;
        if (o.pd.clock_from >= 0) {
            bool found = false;
            for (int64_t t = o.pd.clock_from; t <= o.pd.clock_to && !found; ++t) {
                Scenario at = s;
                at.clock = t;
                found = vorn(scenario_vorn_args(at, naive)).status == 0 &&
                        same_bits(vorn::test::read_sound(path("vorn.wav")).samples, o.pd_sum);
                if (found) o.seed = t;
            }
            if (!found) {
                ADD_FAILURE() << s.name << ": no seed from " << o.pd.clock_from << " to " << o.pd.clock_to
                              << " gives the Windows Pd's samples; compared below with the first";
                o.seed = o.pd.clock_from;
            }
        }
        Scenario seeded = s;
        seeded.clock = o.seed;
        o.vorn = vorn(scenario_vorn_args(seeded, naive));
        EXPECT_EQ(o.vorn.status, 0) << o.vorn.err;
        o.vorn_samples = vorn::test::read_sound(path("vorn.wav")).samples;
        return o;
    }

    // Pd quit cleanly; the samples and the console lines are vorn render's.
    void expect_match(const Scenario& s, const Outcome& o) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(o.pd.status, 0) << o.pd.raw;
        EXPECT_EQ(sanitizer_report(o.pd), "");
        EXPECT_TRUE(same_bits(o.vorn_samples, o.pd_sum));
        EXPECT_TRUE(std::any_of(o.pd_sum.begin(), o.pd_sum.end(), [](float v) { return v != 0; }))
            << "the recording is silent";
        EXPECT_EQ(o.pd.console, pd_wording(o.vorn.out_lines()));
    }
};

// --- Scenarios -------------------------------------------------------------

const Scenario kScenarios[] = {
    {.name = "one_box_scanning_from_an_array",
     .boxes = {"3 src 5 0 0 60"},
     .events = {to(100, 1, 4, "30"), to(250, 1, 2, "0 700 -1200"), to(300.5, 1, 1, "20"), to(400, 1, 3, "15")}},

    // Three boxes on one random source: Pd compiles and runs them in the
    // order vorn render creates them. A clock past 2^31 - 1 is reduced.
    {.name = "three_boxes_share_the_random_source",
     .boxes = {"3 src 10 0 0 60", "4 src 20 700 5 45", "2 src 0 -1200 0 80"},
     .timing = Timing::Delays,
     .events = {to(kInit, 2, 2, "0 400 700"), to(50, 1, 4, "25"), to(50, 3, 1, "40"), to(120, 2, 0, "overlap 2"),
                to(200, 3, 2, "0 1200"), to(260.25, 1, 3, "30"), to(330, 2, 4, "20")},
     .clock = 2537697600},

    {.name = "transposition_lists_at_inlet_2",
     .boxes = {"4 src 8 0 3 40"},
     .events = {to(kInit, 1, 2, "0 700 1200 1900"),
                to(80, 1, 2, "0 foo 700 bar"),        // symbols in a list count as 0
                to(160, 1, 2, "list 300 -500"),       // a list message with its selector
                to(240, 1, 2, "-1200"),               // one number replaces the list
                to(320, 1, 2, "list"),                // an empty list: 0 cents
                to(400, 1, 2, [] {                    // 300 values: the first 256 count
                     std::string l;
                     for (int i = 0; i < 300; ++i) {
                         if (i) l += ' ';
                         l += std::to_string(i * 37 % 2400 - 1200);
                     }
                     return l;
                 }())},
     .clock = 1234567890},

    {.name = "jitters_and_periods",
     .boxes = {"5 src 40 -300 50 25", "3 src 0 0 0 90"},
     .events = {to(60, 1, 1, "0"), to(60, 2, 1, "120"), to(150, 1, 3, "-5"), to(150, 2, 3, "200"),
                to(240, 1, 4, "7"), to(240, 2, 4, "0.5"), to(330, 1, 1, "-60"), to(420, 2, 4, "400")},
     .clock = 1600000000},

    // set, loadbang and print, with their console lines: a failed set
    // leaves no array and silence, loadbang keeps what is bound.
    {.name = "set_loadbang_and_print",
     .boxes = {"3 src 5"},
     .events = {to(kInit, 1, 0, "print"), to(60, 1, 0, "set other 10 0 5 40"), to(100, 1, 3, "print"),
                to(150, 1, 0, "set nothere"), to(160, 1, 0, "print"), to(200, 1, 4, "loadbang"),
                to(240, 1, 0, "set src 1 2 3 50 99 99"), to(250, 1, 0, "print"), to(300, 1, 0, "set 0 20"),
                to(310, 1, 0, "set"), to(320, 1, 2, "set foo 1 bar"), to(330, 1, 0, "set src"),
                to(400, 1, 1, "loadbang"), to(420, 1, 0, "print"), to(440, 1, 0, "version")},
     .clock = 1500000000},

    {.name = "overlap_changes",
     .boxes = {"5 src 10 0 0 50"},
     .timing = Timing::Delays,
     .events = {to(kInit, 1, 0, "overlap 4"), to(70, 1, 0, "overlap 2"), to(140, 1, 3, "overlap 5"),
                to(210, 1, 0, "overlap 0"), to(280, 1, 1, "overlap 10"), to(350, 1, 0, "overlap 3.9"),
                to(380, 1, 0, "overlap foo"), to(400, 1, 0, "overlap -2"), to(440, 1, 0, "overlap 3 foo")},
     .clock = 1000000000},

    // Nothing at the signal inlets: a number there holds the position, and
    // Pd compiles the boxes last created first.
    {.name = "constant_position_at_the_left_inlet",
     .boxes = {"3 src 15 0 0 70", "3 src 15 700 0 70"},
     .feed = Feed::Scalar,
     .constant = 412.5f,
     .events = {to(kInit, 1, 0, "412.5"), to(kInit, 2, 0, "list 412.5"), to(100, 2, 2, "-500"),
                to(200, 1, 1, "3")},
     .clock = 2147483647},

    {.name = "constant_position_from_sig",
     .boxes = {"2 src 0 0 0 30", "4 src 25 1200 10 120"},
     .feed = Feed::Sig,
     .constant = 250.25f,
     .timing = Timing::Delays,
     .events = {to(90, 1, 1, "5"), to(190, 2, 4, "60")},
     .clock = 1800000000},

    // A list of one number is that number at every inlet, as Pd's own
    // objects take it (qlist sends its numbers so, too).
    {.name = "one_number_lists_are_numbers",
     .boxes = {"3 src 5 0 0 60"},
     .timing = Timing::Delays,
     .events = {to(100, 1, 4, "list 30", "30"), to(150, 1, 2, "list 700", "700"), to(200, 1, 1, "list 12", "12"),
                to(300, 1, 3, "list 20", "20")},
     .clock = 1700000003},

    // 1024 grains.
    {.name = "a_thousand_grains",
     .boxes = {"10 src 50 0 30 200"},
     .events = {to(100, 1, 2, "0 -700"), to(200, 1, 0, "overlap 7")},
     .frames = 11008,
     .clock = 1700000001},

    // The array is read again, resized and replaced while DSP runs: Pd
    // compiles the chain again each time (every grain restarts) and vorn~
    // binds afresh at "dsp"; vorn render does the same with its host
    // commands.
    {.name = "arrays_changed_while_dsp_runs",
     .boxes = {"3 src 10 0 0 40", "2 other 5 300 0 50"},
     .events = {host(100, "reader read -resize other.wav src", {"buffer src other.wav", "dsp"}),
                host(200, "src resize 12000", {"buffer src other_cut.wav", "dsp"}),
                to(250, 2, 0, "set src"),
                host(300, "reader read -resize src.wav other", {"buffer other src.wav", "dsp"}),
                to(350, 2, 0, "loadbang")},
     .clock = 1700000002},
};

class Scenarios : public PdRender, public ::testing::WithParamInterface<Scenario> {};

TEST_P(Scenarios, SameSamplesAndConsoleAsVornRender) {
    const Scenario& s = GetParam();
    expect_match(s, render(s));
}

INSTANTIATE_TEST_SUITE_P(Pd, Scenarios, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; });

// --- Message timing ----------------------------------------------------------

// Pd runs its clocks between scheduler ticks of 64 samples: a message timed
// at t ms (a delay, a qlist line) comes before the tick whose end lies
// beyond t, that is before the vector holding sample floor(t × rate / 1000).
// vorn render delivers a message at t before the vector holding sample
// round(t × rate / 1000). The two differ only when t falls in the last half
// sample of a vector; a Pd time is rendered by vorn render at the time of
// the first sample of the vector Pd delivers it in.
struct TimingCase {
    std::string name;
    double ms;
    bool same_vector;  // vorn render, given t itself, delivers it in the same vector
};

const TimingCase kTimings[] = {
    {"at_0", 0, true},
    {"at_sample_63_39", 1.4375, true},         // vector 0 in both
    {"at_sample_63_74", 1.4453125, false},     // vector 0 in Pd; rounded to 64, vector 1 in vorn render
    {"at_sample_127_48", 2.890625, true},      // vector 1 in both
    {"at_sample_4410", 100, true},             // vector 68
    {"at_sample_28223_66", 639.9921875, false},  // vector 440 in Pd, 441 in vorn render
    {"at_sample_28224", 640, true},            // 441 × 64 exactly: vector 441 in both
};

void PrintTo(const TimingCase& c, std::ostream* os) { *os << c.name; }

class MessageTiming : public PdRender,
                      public ::testing::WithParamInterface<std::tuple<TimingCase, Timing>> {};

TEST_P(MessageTiming, PdDeliversBeforeTheVectorHoldingTheFloorOfItsSample) {
    const auto [c, timing] = GetParam();
    const double units = c.ms * kUnitsPerMs;
    ASSERT_EQ(pd_delivery_sample(units) == vorn_delivery_sample(c.ms), c.same_vector);
    ASSERT_EQ(pd_delivery_sample(units), static_cast<int64_t>(std::floor(c.ms * kRate / 1000 / 64)) * 64);

    // A new period changes the master phase's step from the next sample on:
    // the vector it arrives before shows at once.
    Scenario s{.name = "timing",
               .boxes = {"3 src 0 0 0 50"},
               .timing = timing,
               .events = {to(c.ms, 1, 4, "7")},
               .frames = static_cast<int>((pd_delivery_sample(units) + 1024) / 64 * 64),
               .clock = 1700000004};
    const Outcome mapped = render(s);
    expect_match(s, mapped);

    Scenario seeded = s;
    seeded.clock = mapped.seed;
    const vorn::test::Result naive = vorn(scenario_vorn_args(seeded, true));
    ASSERT_EQ(naive.status, 0) << naive.err;
    const std::vector<float> at_t = vorn::test::read_sound(path("vorn.wav")).samples;
    EXPECT_EQ(static_cast<bool>(same_bits(at_t, mapped.pd_sum)), c.same_vector)
        << "vorn render, given " << c.ms << " ms itself";
}

INSTANTIATE_TEST_SUITE_P(Pd, MessageTiming,
                         ::testing::Combine(::testing::ValuesIn(kTimings),
                                            ::testing::Values(Timing::Qlist, Timing::Delays)),
                         [](const auto& info) {
                             return std::get<0>(info.param).name +
                                    (std::get<1>(info.param) == Timing::Qlist ? "_from_qlist" : "_from_delay");
                         });

// --- Compile order and shared vectors ----------------------------------------

// Which boxes Pd hands one vector for input and output, and in which order
// it compiles them, as the reporting build posts at "dsp". Pd compiles the
// objects with nothing at their signal inlets last created first, and goes
// on from an object to those its outlet feeds, last connected first; an
// object gets its input's vector for its output when it is the last of
// the input's readers that Pd compiles. Each shape renders vorn render's
// samples, with the reporting build and with the shipped one.
struct SharingCase {
    std::string name;
    Scenario scenario;
    std::vector<std::string> reports;  // in the order Pd compiles the boxes
};

const std::string kShared = "one vector for input and output", kSeparate = "separate input and output vectors";

std::vector<SharingCase> sharing_cases() {
    const std::vector<Event> events = {to(kInit, 1, 2, "0 700"), to(80, 1, 4, "35"), to(160, 1, 1, "25")};
    const std::vector<std::string> three = {"3 src 10 0 0 60", "2 src 20 -700 10 40", "4 src 5 1200 0 80"};
    const std::vector<Event> three_events = {to(100, 2, 4, "30"), to(200, 3, 1, "12"), to(250, 1, 2, "0 -1200")};
    auto one = [&](const std::string& name, Feed feed, Scenario::Tap tap) {
        return Scenario{.name = name, .boxes = {"3 src 10 0 0 60"}, .feed = feed, .constant = 333.5f,
                        .events = events, .position_tap = tap};
    };
    Scenario scalar = one("nothing_connected", Feed::Scalar, Scenario::Tap::None);
    scalar.events.insert(scalar.events.begin(), to(kInit, 1, 0, "333.5"));
    Scenario scalars{.name = "three_boxes_with_nothing_connected", .boxes = three, .feed = Feed::Scalar,
                     .constant = 333.5f, .events = three_events};
    for (int b = 3; b >= 1; --b) scalars.events.insert(scalars.events.begin(), to(kInit, b, 0, "333.5"));
    return {
        {"the_only_reader_of_tabplay", one("only_reader", Feed::Table, Scenario::Tap::None),
         {"vorn~ #1: " + kShared}},
        {"the_only_reader_of_sig", one("only_reader_of_sig", Feed::Sig, Scenario::Tap::None),
         {"vorn~ #1: " + kShared}},
        {"nothing_connected", scalar, {"vorn~ #1: " + kShared}},
        // The position also goes to a recorder. Connected first, the
        // recorder is compiled after vorn~, which cannot have the vector.
        {"a_recorder_compiled_after", one("recorder_after", Feed::Table, Scenario::Tap::Before),
         {"vorn~ #1: " + kSeparate}},
        // Connected last, the recorder is compiled first; vorn~ is the last
        // reader and gets the vector.
        {"a_recorder_compiled_before", one("recorder_before", Feed::Table, Scenario::Tap::After),
         {"vorn~ #1: " + kShared}},
        // Three boxes on one outlet, connected 3, 2, 1: compiled 1, 2, 3.
        {"three_boxes_on_one_outlet",
         Scenario{.name = "three", .boxes = three, .events = three_events},
         {"vorn~ #1: " + kSeparate, "vorn~ #2: " + kSeparate, "vorn~ #3: " + kShared}},
        // Connected 1, 2, 3: compiled 3, 2, 1, and so rendered by vorn
        // render with the boxes in that order.
        {"three_boxes_connected_in_creation_order",
         Scenario{.name = "three_reversed", .boxes = three, .events = three_events, .order = {3, 2, 1},
                  .connect_in_creation_order = true},
         {"vorn~ #3: " + kSeparate, "vorn~ #2: " + kSeparate, "vorn~ #1: " + kShared}},
        // Created 3, 2, 1 with nothing connected: compiled 1, 2, 3.
        {"three_boxes_with_nothing_connected", scalars,
         {"vorn~ #3: " + kShared, "vorn~ #2: " + kShared, "vorn~ #1: " + kShared}},
    };
}

void PrintTo(const SharingCase& c, std::ostream* os) { *os << c.name; }

class Sharing : public PdRender, public ::testing::WithParamInterface<SharingCase> {};

TEST_P(Sharing, EitherWayTheSamplesOfVornRender) {
    const SharingCase& c = GetParam();
    const Outcome reporting = render(c.scenario, reporting_external());
    EXPECT_EQ(reporting.reports, c.reports);
    expect_match(c.scenario, reporting);
    const Outcome shipped = render(c.scenario);
    EXPECT_EQ(shipped.reports, std::vector<std::string>{});
    expect_match(c.scenario, shipped);
}

INSTANTIATE_TEST_SUITE_P(Pd, Sharing, ::testing::ValuesIn(sharing_cases()),
                         [](const ::testing::TestParamInfo<SharingCase>& info) { return info.param.name; });

}  // namespace

}  // namespace vorn::pdtest
