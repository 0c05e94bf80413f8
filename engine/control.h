// What vorn~ does with the numbers, lists and messages that reach it, the
// same in every host: a host binding translates its own atoms into Args and
// calls these; what each argument means is decided here alone.
#pragma once

#include <cstdint>

#include "granulator.h"

namespace vorn {

// An argument as a host delivers it: a number (integer or float, widened
// exactly to double), a symbol (the host's own symbol, passed through), or
// anything else.
struct Arg {
    enum Kind { Number, Symbol, Other } kind;
    double number;
    const void* symbol;

    static Arg of_number(double v) { return {Number, v, nullptr}; }
    static Arg of_symbol(const void* s) { return {Symbol, 0.0, s}; }
    static Arg other() { return {Other, 0.0, nullptr}; }
};

// The first `count` of a host's atoms (at most `room`) as Args, through
// the binding's own `arg_of(atom)`; the number taken, 0 for a negative count.
template <class Atom, class ArgOf>
int32_t args_of(const Atom* atoms, int32_t count, Arg* args, int32_t room, ArgOf&& arg_of) {
    const int32_t n = count < room ? count : room;
    for (int32_t i = 0; i < n; ++i) args[i] = arg_of(atoms[i]);
    return n < 0 ? 0 : n;
}

// Inlets: 0 takes the position signal (numbers there change nothing), then
// the position jitter (ms), the transposition (cents; a list there is a list
// to choose from), the transposition jitter (cents), and at 4 and above the
// grain period (ms).
inline constexpr int32_t kInletJitter = 1;
inline constexpr int32_t kInletTransposition = 2;
inline constexpr int32_t kInletDetune = 3;
inline constexpr int32_t kInletPeriod = 4;

// A number at `inlet`. Numbers at inlet 0 (or at a negative inlet) change
// nothing.
void number_at_inlet(Granulator& g, int32_t inlet, double value);

// A list at `inlet`: at the transposition inlet, up to 256 values to choose
// from (non-numbers read as 0); anywhere else nothing.
void list_at_inlet(Granulator& g, int32_t inlet, const Arg* args, int32_t count);

// "set NAME JITTER TRANSPOSITION DETUNE PERIOD": the numbers are applied
// from the last back to the first; an argument that is not a number skips
// its setting. The binding then rebinds with args[0] (a name if it is a
// symbol). False when there are no arguments: nothing happens at all.
bool set_settings(Granulator& g, const Arg* args, int32_t count);

// The overlap exponent that an argument gives: an integer as it is, a float
// truncated toward zero; false for anything else.
bool exponent_of(const Arg& arg, int32_t* log2);

// "overlap N": a new number of active grains; no arguments, or a first
// argument that is not a number, change nothing.
void overlap_message(Granulator& g, const Arg* args, int32_t count);

// A new instance's engine from its creation arguments: the first is the
// overlap exponent (anything but a number there means none: 8 grains). The
// others are "set" arguments, which the binding applies next.
void init_from_args(Granulator& g, const Arg* args, int32_t count);

}  // namespace vorn
