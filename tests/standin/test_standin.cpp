// The stand-in host, driven as a host application drives it, with the probe
// externals (probe.cpp) reporting on the console what reached them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "fpu.h"
#include "host.h"
#include "max_api.h"

using namespace standin;
using Lines = std::vector<std::string>;

namespace {

class Standin : public ::testing::Test {
protected:
    static void SetUpTestSuite() { add_search_path(STANDIN_PLUGIN_DIR); }
    void SetUp() override {
        reset();
        set_clock(std::nullopt);
        set_console_sink(nullptr);
        take_console();
    }
    void TearDown() override {
        reset();
        set_console_sink(nullptr);
    }

    Box* make(const std::string& text) {
        std::string error;
        Box* box = box_create(text, &error);
        EXPECT_NE(box, nullptr) << text << ": " << error;
        return box;
    }
    // Creates a box and drops the console lines that creation made.
    Box* quiet(const std::string& text) {
        Box* box = make(text);
        take_console();
        return box;
    }
    // What one text message delivers, as the probe reports it.
    std::string deliver(Box* box, int inlet, const std::string& text) {
        std::string error;
        if (!send_text(box, inlet, text, &error)) return "failed: " + error;
        Lines lines = take_console();
        return lines.size() == 1 ? lines[0] : "lines: " + std::to_string(lines.size());
    }
    std::string error_of(const std::string& box_text) {
        std::string error;
        EXPECT_EQ(box_create(box_text, &error), nullptr) << box_text;
        return error;
    }
};

TEST_F(Standin, SymbolsAreUniquePerText) {
    MaxSymbol* a = gensym("drums");
    EXPECT_EQ(a, gensym(std::string("dr").append("ums").c_str()));
    EXPECT_NE(a, gensym("drum"));
    EXPECT_STREQ(a->name, "drums");
    EXPECT_EQ(a->thing, nullptr);
    EXPECT_EQ(gensym(nullptr), gensym(""));
}

TEST_F(Standin, ParsesTypedText) {
    auto atoms = parse_atoms("  3 -3 +7 1.5 0.1 2147483648 -2147483648 1e3 .5 -0 foo 1e 1.5.2 inf\t0x10 ");
    ASSERT_EQ(atoms.size(), 15u);
    auto is_int = [&](size_t k, int32_t v) { return atoms[k].kind == Atom::Int && atoms[k].i == v; };
    auto is_float = [&](size_t k, float v) { return atoms[k].kind == Atom::Float && atoms[k].f == v; };
    auto is_symbol = [&](size_t k, const char* s) { return atoms[k].kind == Atom::Symbol && atoms[k].s == s; };
    EXPECT_TRUE(is_int(0, 3) && is_int(1, -3) && is_int(2, 7));
    EXPECT_TRUE(is_float(3, 1.5f));
    EXPECT_TRUE(is_float(4, 0.1f));  // single precision, not 0.1 in double
    EXPECT_TRUE(is_float(5, 2147483648.0f));  // past 32 bits
    EXPECT_TRUE(is_int(6, INT32_MIN));
    EXPECT_TRUE(is_float(7, 1000.0f) && is_float(8, 0.5f) && is_int(9, 0));
    EXPECT_TRUE(is_symbol(10, "foo") && is_symbol(11, "1e") && is_symbol(12, "1.5.2") && is_symbol(13, "inf") &&
                is_symbol(14, "0x10"));
    auto huge = parse_atoms("1e999 -1e39 1e-999");
    ASSERT_EQ(huge.size(), 3u);
    EXPECT_EQ(huge[0].f, INFINITY);
    EXPECT_EQ(huge[1].f, -INFINITY);
    EXPECT_EQ(huge[2].f, 0.0f);
    EXPECT_TRUE(parse_atoms(" \t\n").empty());
}

TEST_F(Standin, LoadsOnceAndCreatesWithTypedArguments) {
    Box* a = make("probe~ 5 foo 2.5");
    Box* b = make("probe~");
    Lines lines = take_console();
    if (!lines.empty() && lines[0] == "probe~: main") lines.erase(lines.begin());  // unless an earlier test loaded it
    EXPECT_EQ(lines, (Lines{"probe~: new 5 foo 2.5f", "probe~: new"}));
    EXPECT_EQ(boxes(), (std::vector<Box*>{a, b}));
    EXPECT_EQ(live_objects(), 2);
    EXPECT_EQ(box_inlets(a), 4);
}

TEST_F(Standin, ObjectsLeadToTheirClassName) {
    MaxObject* a = box_object(make("probe~"));
    MaxObject* b = box_object(make("probeint~"));
    EXPECT_EQ(max_class_name(a), gensym("probe~"));
    EXPECT_EQ(max_class_name(b), gensym("probeint~"));
    EXPECT_EQ(max_class_name(box_object(make("probe~"))), gensym("probe~"));
    EXPECT_EQ(max_class_name(&buffer_set("b", {1.0f}, 44100)->header), gensym("buffer~"));
    EXPECT_EQ(max_class_name(table_set("t")), gensym("table"));
    // What the record was made with: zeroed, and the signal header filled.
    auto* header = reinterpret_cast<MaxSignalObject*>(a);
    EXPECT_EQ(header->n_signal_inlets, 1);
    EXPECT_EQ(header->flags, 1);
}

TEST_F(Standin, ProxiesTellTheInlet) {
    Box* box = quiet("probe~");
    EXPECT_EQ(live_proxies(), 3);
    EXPECT_EQ(deliver(box, 2, "7"), "probe~: int 7 inlet 2");
    EXPECT_EQ(deliver(box, 0, "7"), "probe~: int 7 inlet 0");  // 0 written for the leftmost inlet
    EXPECT_EQ(deliver(box, 3, "1.5"), "probe~: float 1.5 inlet 3");
    EXPECT_EQ(deliver(box, 1, "set x"), "probe~: set x inlet 1");
    EXPECT_EQ(deliver(box, 4, "7"), "failed: probe~: no inlet 4");
    EXPECT_EQ(deliver(box, -1, "7"), "failed: probe~: no inlet -1");
}

TEST_F(Standin, DispatchesEveryKindOfMessage) {
    Box* box = quiet("probe~");
    std::string error;
    ASSERT_TRUE(send_int(box, 0, -4, &error));
    ASSERT_TRUE(send_float(box, 0, 0.25, &error));
    ASSERT_TRUE(send_message(box, 2, "list", {Atom::of_int(1), Atom::of_float(2.5f), Atom::of_symbol("a")}, &error));
    ASSERT_TRUE(send_message(box, 0, "set", {}, &error));
    ASSERT_TRUE(send_message(box, 0, "int", {Atom::of_int(9)}, &error));
    ASSERT_TRUE(send_message(box, 0, "float", {Atom::of_int(9)}, &error));
    EXPECT_EQ(take_console(), (Lines{"probe~: int -4 inlet 0", "probe~: float 0.25 inlet 0",
                                     "probe~: list 1 2.5f a inlet 2", "probe~: set inlet 0", "probe~: int 9 inlet 0",
                                     "probe~: float 9 inlet 0"}));

    EXPECT_FALSE(send_message(box, 0, "dsp", {}, &error));  // private
    EXPECT_EQ(error, "probe~: no method for 'dsp'");
    EXPECT_FALSE(send_message(box, 0, "bang", {}, &error));
    EXPECT_EQ(error, "probe~: no method for 'bang'");
    EXPECT_TRUE(take_console().empty());

    // A class with one kind of number handler gets the other kind converted.
    Box* ints = quiet("probeint~");
    Box* floats = quiet("probefloat~");
    EXPECT_EQ(deliver(ints, 1, "2.9"), "probeint~: int 2 inlet 1");
    EXPECT_EQ(deliver(ints, 1, "-2.9"), "probeint~: int -2 inlet 1");
    // Out of range: the x86 integer indefinite, whose low 32 bits are 0.
    EXPECT_TRUE(send_float(ints, 0, 1e300, &error));
    EXPECT_EQ(take_console(), Lines{"probeint~: int 0 inlet 0"});
    EXPECT_EQ(deliver(floats, 2, "3"), "probefloat~: float 3 inlet 2");
}

TEST_F(Standin, MessageBoxTextFollowsItsRules) {
    Box* box = quiet("probe~");
    EXPECT_EQ(deliver(box, 0, "3"), "probe~: int 3 inlet 0");
    EXPECT_EQ(deliver(box, 0, "-3"), "probe~: int -3 inlet 0");
    EXPECT_EQ(deliver(box, 0, "1.5"), "probe~: float 1.5 inlet 0");
    EXPECT_EQ(deliver(box, 0, "2147483648"), "probe~: float 2.14748365e+09 inlet 0");
    EXPECT_EQ(deliver(box, 0, "1e3"), "probe~: float 1000 inlet 0");
    EXPECT_EQ(deliver(box, 0, "0.1"), "probe~: float 0.100000001 inlet 0");  // rounded to single precision
    EXPECT_EQ(deliver(box, 2, "1 2.5 foo"), "probe~: list 1 2.5f foo inlet 2");
    EXPECT_EQ(deliver(box, 0, "list 1"), "probe~: list 1 inlet 0");
    EXPECT_EQ(deliver(box, 0, "set foo -2"), "probe~: set foo -2 inlet 0");
    EXPECT_EQ(deliver(box, 0, "  "), "failed: empty message");
    EXPECT_EQ(deliver(box, 0, "nothing 1"), "failed: probe~: no method for 'nothing'");
}

TEST_F(Standin, BuffersAreReplacedDeletedAndKeptAsZombies) {
    Box* box = quiet("probe~");
    MaxBuffer* b = buffer_set("drums", {1, 2, 3, 4}, 44100);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(gensym("drums")->thing, &b->header);
    EXPECT_EQ(buffer_find("drums"), b);
    EXPECT_EQ(b->valid, 1);
    EXPECT_EQ(b->frames, 4);
    EXPECT_EQ(b->sr_khz, 44.1f);
    EXPECT_EQ(deliver(box, 0, "lookup drums"), "probe~: lookup drums buffer~ valid 1 frames 4 sum 10 rate 44.1");

    // New contents, same object; the old samples are gone (ASan checks the reads).
    EXPECT_EQ(buffer_set("drums", {5, 6}, 48000), b);
    EXPECT_EQ(b->frames, 2);
    EXPECT_EQ(deliver(box, 0, "lookup drums"), "probe~: lookup drums buffer~ valid 1 frames 2 sum 11 rate 48");

    EXPECT_TRUE(buffer_set_valid("drums", false));
    EXPECT_EQ(b->valid, 0);
    EXPECT_TRUE(buffer_set_valid("drums", true));
    EXPECT_FALSE(buffer_set_valid("bass", true));

    EXPECT_TRUE(buffer_delete("drums"));
    EXPECT_FALSE(buffer_delete("drums"));
    EXPECT_EQ(gensym("drums")->thing, nullptr);
    EXPECT_EQ(buffer_find("drums"), nullptr);
    // A stale reference still reads a record: empty and invalid.
    EXPECT_EQ(max_class_name(&b->header), gensym("buffer~"));
    EXPECT_EQ(b->valid, 0);
    EXPECT_EQ(b->samples, nullptr);
    EXPECT_EQ(b->frames, 0);
    EXPECT_EQ(deliver(box, 0, "lookup drums"), "probe~: lookup drums none");

    MaxBuffer* again = buffer_set("drums", {}, 44100);
    EXPECT_NE(again, b);
    EXPECT_EQ(again->frames, 0);
    EXPECT_EQ(again->valid, 1);
}

TEST_F(Standin, TableTakesANameFromABuffer) {
    Box* box = quiet("probe~");
    MaxBuffer* b = buffer_set("t", {1, 2}, 44100);
    MaxObject* t = table_set("t");
    EXPECT_EQ(gensym("t")->thing, t);
    EXPECT_EQ(table_set("t"), t);
    EXPECT_EQ(buffer_find("t"), nullptr);
    EXPECT_EQ(b->valid, 0);  // the displaced buffer~ is a zombie
    EXPECT_EQ(b->samples, nullptr);
    EXPECT_EQ(deliver(box, 0, "lookup t"), "probe~: lookup t table");
    MaxBuffer* c = buffer_set("t", {3}, 44100);
    EXPECT_NE(c, b);
    EXPECT_EQ(gensym("t")->thing, &c->header);
    EXPECT_EQ(max_class_name(t), gensym("table"));  // unbound, still alive
}

TEST_F(Standin, ChainGivesSeparateOrSharedVectors) {
    std::string error;
    Box* separate = quiet("probe~ 1");
    Box* shared = quiet("probe~ 10 shared");
    EXPECT_FALSE(run_vector(&error));
    EXPECT_EQ(error.rfind("no compiled signal chain", 0), 0u) << error;
    EXPECT_EQ(signal_input(separate), nullptr);

    dsp_compile(48000, 8);
    EXPECT_EQ(take_console(), (Lines{"probe~: dsp 8 samples at 48000 Hz", "probe~: dsp 8 samples at 48000 Hz"}));
    ASSERT_NE(signal_input(separate), nullptr);
    EXPECT_NE(static_cast<const float*>(signal_input(separate)), signal_output(separate));
    EXPECT_EQ(static_cast<const float*>(signal_input(shared)), signal_output(shared));
    for (int i = 0; i < 8; ++i) signal_input(separate)[i] = signal_input(shared)[i] = static_cast<float>(i);
    ASSERT_TRUE(run_vector(&error)) << error;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(signal_output(separate)[i], 2.0f * i + 1);
        EXPECT_EQ(signal_output(shared)[i], 2.0f * i + 10);
    }
    EXPECT_EQ(signal_input(separate)[3], 3.0f);
    ASSERT_TRUE(run_vector(&error));  // the shared vector was overwritten in place
    EXPECT_EQ(signal_output(shared)[3], 2.0f * 16 + 10);
}

TEST_F(Standin, ChainStopsOnAWrongAddressAndRunsOnAfterDeletion) {
    std::string error;
    Box* a = quiet("probe~ 1");
    Box* b = quiet("probe~ 2");
    dsp_compile(44100, 4);
    ASSERT_TRUE(run_vector(&error));
    ASSERT_TRUE(send_text(a, 0, "misstep", &error));
    EXPECT_FALSE(run_vector(&error));
    EXPECT_NE(error.find("perform routine returned a wrong address"), std::string::npos) << error;

    // A deleted box's routine leaves the chain; the others go on.
    box_delete(a);
    EXPECT_EQ(signal_input(a), nullptr);
    std::fill_n(signal_input(b), 4, 1.0f);
    EXPECT_TRUE(run_vector(&error)) << error;
    EXPECT_EQ(signal_output(b)[0], 4.0f);
    take_console();
    dsp_compile(44100, 4);
    EXPECT_EQ(take_console().size(), 1u);  // only b
    EXPECT_TRUE(run_vector(&error)) << error;
    dsp_compile(44100, 0);
    EXPECT_FALSE(run_vector(&error));
}

// The host fills the whole signal-object header, mutes through its disabled
// word, and leaves out an object that wrote over the host's fields.
TEST_F(Standin, SignalHeaderIsFilledAndMutes) {
    std::string error;
    Box* a = quiet("probe~ 1");
    Box* b = quiet("probe~ 2 shared");
    EXPECT_EQ(deliver(a, 0, "header"), "probe~: header inlets 1 disabled 0 count 0 flags 1");
    EXPECT_EQ(deliver(b, 0, "header"), "probe~: header inlets 1 disabled 0 count 0 flags 0");
    dsp_compile(44100, 4);
    take_console();
    std::fill_n(signal_input(a), 4, 1.0f);
    ASSERT_TRUE(run_vector(&error)) << error;
    EXPECT_EQ(signal_output(a)[3], 3.0f);

    ASSERT_TRUE(box_mute(a, true));
    EXPECT_EQ(deliver(a, 0, "header"), "probe~: header inlets 1 disabled 1 count 0 flags 1");
    ASSERT_TRUE(run_vector(&error)) << error;
    EXPECT_EQ(signal_output(a)[3], 0.0f);  // not called: silence
    EXPECT_EQ(signal_input(a)[3], 1.0f);
    ASSERT_TRUE(box_mute(a, false));
    ASSERT_TRUE(run_vector(&error)) << error;
    EXPECT_EQ(signal_output(a)[3], 3.0f);
    EXPECT_FALSE(box_mute(nullptr, true));

    ASSERT_TRUE(send_text(a, 0, "scribble", &error));
    dsp_compile(44100, 4);
    EXPECT_EQ(take_console(),
              (Lines{"error: dsp: probe~: its signal-object header has been overwritten: left out of the chain",
                     "probe~: dsp 4 samples at 44100 Hz"}));
}

// The chain on the host's own audio thread: boxes deleted and the chain
// compiled again while it runs.
TEST_F(Standin, AudioThreadRunsTheChainWhileBoxesGo) {
    std::string error;
    EXPECT_FALSE(audio_start(&error));
    EXPECT_EQ(error.rfind("no compiled signal chain", 0), 0u) << error;
    std::vector<Box*> probes;
    for (int k = 0; k < 8; ++k) probes.push_back(quiet("probe~ " + std::to_string(k)));
    dsp_compile(44100, 16);
    take_console();
    ASSERT_TRUE(audio_start(&error)) << error;
    EXPECT_FALSE(audio_start(&error));
    EXPECT_FALSE(run_vector(&error));
    EXPECT_EQ(error, "the signal chain runs on the host's audio thread");
    for (int k = 0; k < 8; k += 2) box_delete(probes[static_cast<size_t>(k)]);
    EXPECT_EQ(take_console().size(), 4u);  // the four frees
    dsp_compile(44100, 16);
    EXPECT_EQ(take_console().size(), 4u);  // the four left
    for (int k = 1; k < 8; k += 2) box_delete(probes[static_cast<size_t>(k)]);
    EXPECT_EQ(take_console().size(), 4u);  // the four frees
    EXPECT_GT(audio_stop(&error), 0);
    EXPECT_EQ(live_objects(), 0);

    // A routine returning a wrong address stops the thread, which says why.
    Box* c = quiet("probe~");
    dsp_compile(44100, 16);
    ASSERT_TRUE(send_text(c, 0, "misstep", &error));
    error.clear();
    ASSERT_TRUE(audio_start(&error)) << error;
    EXPECT_EQ(audio_stop(&error), 0);
    EXPECT_EQ(error, "perform routine returned a wrong address (routine 0 of the chain)");
}

TEST_F(Standin, BoxDeleteReleasesProxiesAndCountsLeaks) {
    Box* box = quiet("probe~ 3");
    Box* leaky = quiet("probe~ 4 leak");
    EXPECT_EQ(live_proxies(), 6);
    box_delete(box);
    EXPECT_EQ(take_console(), Lines{"probe~: free 3"});
    EXPECT_EQ(live_proxies(), 3);
    EXPECT_EQ(live_objects(), 1);
    EXPECT_EQ(boxes(), std::vector<Box*>{leaky});

    // A deleted box is no longer a box: nothing reaches it.
    std::string error;
    EXPECT_FALSE(send_int(box, 0, 1, &error));
    EXPECT_EQ(error, "no such box");
    EXPECT_EQ(box_object(box), nullptr);
    EXPECT_EQ(box_inlets(box), 0);
    box_delete(box);
    box_delete(nullptr);

    box_delete(leaky);  // its release routine keeps its proxies
    EXPECT_EQ(live_proxies(), 3);
    EXPECT_EQ(live_objects(), 0);
    reset();
    EXPECT_EQ(live_proxies(), 0);
}

TEST_F(Standin, ResetDeletesEverythingButClasses) {
    quiet("probe~ 1");
    quiet("probe~ 2");
    buffer_set("x", {1}, 44100);
    table_set("y");
    dsp_compile(44100, 4);
    take_console();
    reset();
    EXPECT_EQ(take_console(), (Lines{"probe~: free 1", "probe~: free 2"}));
    EXPECT_TRUE(boxes().empty());
    EXPECT_EQ(live_objects(), 0);
    EXPECT_EQ(live_proxies(), 0);
    EXPECT_EQ(gensym("x")->thing, nullptr);
    EXPECT_EQ(gensym("y")->thing, nullptr);
    std::string error;
    EXPECT_FALSE(run_vector(&error));
    make("probe~");
    EXPECT_EQ(take_console(), Lines{"probe~: new"});  // no second main
}

TEST_F(Standin, LoadbangReachesBoxesThatTakeIt) {
    quiet("probe~ 1");
    quiet("probeint~ 2");  // has "loadbang" too
    quiet("probe~ 3");
    loadbang_all();
    EXPECT_EQ(take_console(), (Lines{"probe~: loadbang 1", "probeint~: loadbang 2", "probe~: loadbang 3"}));
}

TEST_F(Standin, ConsoleKeepsLinesAndFeedsTheSink) {
    post("%s %d %f", "a", -3, 1.5);
    std::string long_text(1000, 'x');
    post("%s!", long_text.c_str());
    Lines sunk;
    set_console_sink([&](const std::string& line) {
        sunk.push_back(line);
        post("from the sink");  // kept, not fed back
    });
    post("sunk");
    EXPECT_EQ(sunk, Lines{"sunk"});
    EXPECT_EQ(take_console(), (Lines{"a -3 1.500000", long_text + "!", "sunk", "from the sink"}));
    EXPECT_TRUE(take_console().empty());
}

TEST_F(Standin, ExternalsReadTheHostClock) {
    Box* box = quiet("probe~");
    set_clock(1234567u);
    EXPECT_EQ(deliver(box, 0, "time"), "probe~: time 1234567");
    time_t seen = 0;
    EXPECT_EQ(time(&seen), 1234567);
    EXPECT_EQ(seen, 1234567);
    set_clock(std::nullopt);
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::string line = deliver(box, 0, "time");
    long reported = std::stol(line.substr(line.rfind(' ') + 1));
    EXPECT_LE(std::labs(reported - static_cast<long>(now.tv_sec)), 2) << line;
}

TEST_F(Standin, BoxCreationErrorsSayWhy) {
    std::string missing = error_of("missing~ 1");
    EXPECT_EQ(missing.rfind("missing~: cannot find missing~.mxe in the search path (" STANDIN_PLUGIN_DIR ", ", 0), 0u)
        << missing;
    EXPECT_NE(missing.find("/../lib/vorn, "), std::string::npos) << missing;  // beside the program, by default
    EXPECT_NE(error_of("nomain~").find("has no main"), std::string::npos);
    EXPECT_EQ(error_of("nosetup~"), "nosetup~: main did not set up a class");
    take_console();
    EXPECT_EQ(error_of("nosetup~"), "nosetup~: main did not set up a class");
    EXPECT_TRUE(take_console().empty());  // main is run once only
    EXPECT_EQ(error_of(""), "empty box");
    EXPECT_EQ(error_of("3 probe~"), "'3 probe~' does not start with an object name");
    EXPECT_EQ(error_of("buffer~ x"), "buffer~: made by the host, not as a box");
    EXPECT_EQ(error_of("../probe~"), "'../probe~' is not a valid object name");

    EXPECT_EQ(error_of("probe~ fail"), "probe~: the creator returned no object");
    EXPECT_EQ(live_objects(), 0);  // it freed itself, proxies and all
    EXPECT_EQ(live_proxies(), 0);
    EXPECT_EQ(error_of("probe~ foreign"), "probe~: the creator returned something that is not a new object");
    EXPECT_EQ(box_create("nothing~", nullptr), nullptr);

    // A file of the right name that is no library.
    char dir[] = "/tmp/standin-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string file = std::string(dir) + "/broken~.mxe";
    std::ofstream(file) << "not a library\n";
    add_search_path(dir);
    std::string error = error_of("broken~");
    EXPECT_EQ(error.rfind("broken~: cannot load " + file + ": ", 0), 0u) << error;
    EXPECT_NE(error.find("broken~.mxe:"), std::string::npos) << error;  // dlerror() names the file
    unlink(file.c_str());
    rmdir(dir);
    EXPECT_TRUE(boxes().empty());
}

// Host atoms, for a creator or a handler, arrive with their type codes as
// given, unknown ones too; "int" and "float" still go to the number handlers.
TEST_F(Standin, HostAtomsArriveAsTheyAre) {
    auto atom = [](int16_t type, int32_t bits) {
        MaxAtom a{};
        a.type = type;
        a.value.w_long = bits;
        return a;
    };
    MaxAtom half{};
    half.type = A_FLOAT;
    half.value.w_float = 2.5f;
    std::string error;
    EXPECT_EQ(box_create_atoms("unloaded~", {}, &error), nullptr);
    EXPECT_EQ(error, "unloaded~: not loaded (create a box of it first)");
    EXPECT_EQ(box_create_atoms("buffer~", {}, &error), nullptr);
    EXPECT_EQ(error, "buffer~: made by the host, not as a box");

    quiet("probe~");
    Box* box = box_create_atoms("probe~", {atom(A_LONG, 5), atom(7, 99), half, atom(-3, 0)}, &error);
    ASSERT_NE(box, nullptr) << error;
    EXPECT_EQ(take_console(), Lines{"probe~: new 5 ?7 2.5f ?-3"});
    EXPECT_EQ(boxes().back(), box);

    ASSERT_TRUE(send_atoms(box, 2, "list", {atom(A_NOTHING, 1), atom(A_LONG, 3)}, &error)) << error;
    ASSERT_TRUE(send_atoms(box, 0, "int", {half}, &error)) << error;
    ASSERT_TRUE(send_atoms(box, 1, "float", {atom(A_LONG, 4)}, &error)) << error;
    EXPECT_EQ(take_console(), (Lines{"probe~: list ?0 3 inlet 2", "probe~: int 2 inlet 0", "probe~: float 4 inlet 1"}));
    EXPECT_FALSE(send_atoms(box, 0, "dsp", {}, &error));
    EXPECT_EQ(error, "probe~: no method for 'dsp'");
    EXPECT_FALSE(send_atoms(box, 9, "list", {}, &error));
    EXPECT_EQ(error, "probe~: no inlet 9");
}

TEST_F(Standin, MisuseIsReportedNotFatal) {
    std::string error;
    EXPECT_FALSE(send_int(nullptr, 0, 1, &error));
    EXPECT_FALSE(send_text(nullptr, 0, "1", nullptr));
    EXPECT_EQ(signal_output(nullptr), nullptr);
    EXPECT_EQ(box_object(nullptr), nullptr);
    int not_an_object = 0;
    freeobject(&not_an_object);
    EXPECT_EQ(newobject(&not_an_object), nullptr);
    EXPECT_EQ(proxy_new(&not_an_object, 1, nullptr), nullptr);
    dsp_add(nullptr, 0);  // outside a compile
    EXPECT_EQ(take_console(), (Lines{"error: freeobject: not an object of this host",
                                     "error: newobject: not a class of this host",
                                     "error: proxy_new: not an object of this host",
                                     "error: dsp_add: called outside a signal-chain compile"}));
}

}  // namespace

#if defined(__i386__) || defined(__x86_64__)
TEST(StandinFpu, ReadsTheControlWordFromTheEnvironment) {
    struct Case {
        const char* text;
        bool set;
        uint16_t word;
    };
    for (Case c : {Case{"0x027F", true, 0x027F}, Case{"895", true, 895}, Case{"0xFFFF", true, 0xFFFF},
                   Case{"0x10000", false, 0}, Case{"-1", false, 0}, Case{"", false, 0}, Case{"53bit", false, 0}}) {
        setenv(fpu::kX87Variable, c.text, 1);
        uint16_t word = 0;
        std::string why;
        EXPECT_EQ(fpu::x87_from_environment(&word, &why), c.set) << c.text;
        if (c.set) EXPECT_EQ(word, c.word) << c.text;
        else EXPECT_NE(why.find("not a 16-bit control word"), std::string::npos) << c.text;
    }
    unsetenv(fpu::kX87Variable);
    uint16_t word = 0;
    std::string why;
    EXPECT_FALSE(fpu::x87_from_environment(&word, &why));
    EXPECT_EQ(why, "");
}

// The host sets the x87 control word before it loads an external, and an
// external that changes the state is reported and the state put back.
TEST_F(Standin, ExternalsRunInTheHostsFloatingPointState) {
    const fpu::State saved = fpu::read();
    setenv(fpu::kX87Variable, "0x027F", 1);
    Box* box = quiet("probefpu~ 1");
    unsetenv(fpu::kX87Variable);
    char expected[64];
    std::snprintf(expected, sizeof expected, "probefpu~: fpu x87 0x027F mxcsr 0x%04X",
                  static_cast<unsigned>(saved.mxcsr & fpu::kMxcsrControl));
    EXPECT_EQ(deliver(box, 0, "fpu"), expected);

    EXPECT_EQ(deliver(box, 0, "fpuchange"),
              "error: probefpu~: its message handler changed the floating-point control state (MXCSR 0x1F80 -> "
              "0x7F80); restored");
    EXPECT_EQ(fpu::control_of(fpu::read()).mxcsr, 0x1F80u);

    std::string error;
    dsp_compile(44100, 4);
    ASSERT_TRUE(run_vector(&error)) << error;
    ASSERT_TRUE(send_text(box, 0, "fpuperform", &error));
    EXPECT_FALSE(run_vector(&error));
    EXPECT_EQ(error,
              "perform routine changed the floating-point control state (x87 control word 0x027F -> 0x037F) "
              "(routine 0 of the chain)");
    EXPECT_EQ(fpu::read().x87, 0x027F);
    fpu::write(saved);
}
#endif
