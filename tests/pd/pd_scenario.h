// A render in Pd and the same render by vorn render: one description, two
// programs. The Pd patch loads src (and other) with soundfiler, plays the
// position from an array with tabplay~ (or holds it constant), delivers
// the events from a qlist or from delays, records each box with tabwrite~
// and writes the recordings with soundfiler; vorn render gets the same
// files, boxes, seed and events.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "pd_harness.h"

namespace vorn::pdtest {

inline constexpr double kRate = 44100;
// Pd's logical time: 32 × 441 units per millisecond, whatever the rate; one
// scheduler tick of 64 samples at 44100 Hz is 20480 of them.
inline constexpr double kUnitsPerMs = 32.0 * 441.0;
inline constexpr double kUnitsPerTick = 64.0 / kRate * (kUnitsPerMs * 1000.0);

// The time of an event that comes before DSP starts: Pd sends it from the
// load, vorn render takes it as "init".
inline constexpr double kInit = -1;

// What moves the position inlet: an array played by tabplay~ (vorn render:
// file:pos.wav), [sig~ VALUE] (vorn render: the number), or nothing
// connected, the scenario's events sending the number to the left inlet
// (vorn render: the number; it ignores numbers at inlet 0).
enum class Feed { Table, Sig, Scalar };

// How Pd times the events: one qlist, or a [delay] per event.
enum class Timing { Qlist, Delays };

struct Event {
    double ms;                       // Pd's time from the start of the recording, or kInit
    int box;                         // the box (from 1) for a message to an inlet; 0 for `host`
    int inlet;
    std::string words;               // the message, or for `host` the receiver and message in Pd
    std::vector<std::string> vorn;   // vorn render's words for the message, if they differ; for
                                     // `host`, its host commands
};

// WORDS to inlet INLET of box BOX (from 1), in both programs.
Event to(double ms, int box, int inlet, const std::string& words);
// A message that Pd sends as PD_WORDS and vorn render as VORN_WORDS.
Event to(double ms, int box, int inlet, const std::string& pd_words, const std::string& vorn_words);
// Something done to the arrays: PD is sent in Pd; vorn render does VORN.
Event host(double ms, const std::string& pd, std::vector<std::string> vorn);

struct Scenario {
    std::string name = {};
    std::vector<std::string> boxes = {};  // creation arguments, in vorn render's order
    Feed feed = Feed::Table;
    float constant = 0;               // the position for Sig and Scalar
    Timing timing = Timing::Qlist;
    std::vector<Event> events = {};   // in time order, inits first
    int frames = 22016;               // output length: a whole number of 64-sample vectors
    int64_t clock = 1700000000;       // what time() reads in Pd; vorn render's --seed
    // The order in which Pd's "dsp" reaches the boxes, as box numbers: by
    // default, the boxes' own order. The patch is built so that Pd compiles
    // them in this order (see pd_scenario.cpp); vorn render creates them in
    // it, and the recordings are summed in it.
    std::vector<int> order = {};
    // Connect the position to the boxes in creation order instead, which
    // makes Pd compile them last to first (for the test of that rule).
    bool connect_in_creation_order = false;
    // Extra objects for the patch: a recorder of the position on the same
    // outlet, connected before or after the boxes.
    enum class Tap { None, Before, After } position_tap = Tap::None;
};

// Test parameters print as their names.
inline void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }
inline void PrintTo(Timing t, std::ostream* os) { *os << (t == Timing::Qlist ? "qlist" : "delays"); }

// The scenario's boxes in the order Pd compiles them (Scenario::order, or
// their own order).
std::vector<int> compile_order(const Scenario& s);

// The sound files every scenario uses, written into `dir`: src.wav and
// other.wav (test tones), pos.wav (a position in ms, `frames` long),
// other_cut.wav (the first 12000 frames of other).
void write_inputs(const std::string& dir, int frames);

// The patch for a scenario.
Patch scenario_patch(const Scenario& s);
std::string scenario_score(const Scenario& s);  // the qlist file, for Timing::Qlist

// vorn render's arguments for the scenario; `naive` gives each event Pd's
// own time instead of the time of the vector Pd delivers it in.
std::vector<std::string> scenario_vorn_args(const Scenario& s, bool naive = false);

// The first sample of the vector before which Pd delivers an event timed
// at `units` of its logical time from the start: the clock fires in the
// scheduler tick whose end lies beyond it, before that tick's DSP.
int64_t pd_delivery_sample(double units);

// The vector before which vorn render delivers a message at `ms`: the one
// that holds output sample round(ms × rate / 1000).
int64_t vorn_delivery_sample(double ms);

}  // namespace vorn::pdtest
