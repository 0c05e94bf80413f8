// The vorn~ object: the host record of one instance and the handlers that
// the host calls. Shared by the binding's source files; not installed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "control.h"
#include "granulator.h"
#include "max_api.h"

// One vorn~ instance. The host's signal-object header comes first.
struct Granulator {
    MaxSignalObject header;
    void* proxy[4];          // proxy k serves inlet k + 1
    int32_t inlet;           // written by the host: inlet of the current message
    vorn::Granulator engine;
    MaxSymbol* buffer_name;  // empty_symbol while no name is set
    MaxBuffer* buffer;       // the bound buffer~, not owned; or null
};

#if defined(_WIN32) && !defined(_WIN64)
// The instance's own fields follow the host's 32-byte header.
static_assert(offsetof(Granulator, proxy) == 32, "the proxies follow the signal-object header");
static_assert(offsetof(Granulator, inlet) == 48, "the inlet number follows the four proxies");
#endif

// Library-wide, set by main.
extern void* granulator_class;
extern MaxSymbol* empty_symbol;
extern MaxSymbol* buffer_class;

// One line on the host's console, for the engine (library.h).
void post_line(const char* line);

// Class lifecycle
void* MAX_API_CALL granulator_new(MaxSymbol* selector, int16_t count, MaxAtom* atoms);
void MAX_API_CALL granulator_free(Granulator* x);
void MAX_API_CALL granulator_version(Granulator* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);

// Numbers and messages
void MAX_API_CALL granulator_int(Granulator* x, int32_t value);
void MAX_API_CALL granulator_float(Granulator* x, double value);
void MAX_API_CALL granulator_list(Granulator* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);
void MAX_API_CALL granulator_set(Granulator* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);
void MAX_API_CALL granulator_overlap(Granulator* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);

// Buffer binding
MaxBuffer* find_buffer(MaxSymbol* name);
void set_buffer_name(Granulator* x, MaxAtom* atoms, int16_t count);
void MAX_API_CALL granulator_loadbang(Granulator* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);
void MAX_API_CALL granulator_print(Granulator* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms);

// Signal chain
void MAX_API_CALL granulator_dsp(Granulator* x, MaxSignal** signals, int16_t* counts);
intptr_t* MAX_API_CALL granulator_perform(intptr_t* words);

// A host atom as the engine's message handling takes it.
inline vorn::Arg arg_of(const MaxAtom& a) {
    if (a.type == A_LONG) return vorn::Arg::of_number(a.value.w_long);
    if (a.type == A_FLOAT) return vorn::Arg::of_number(a.value.w_float);
    if (a.type == A_SYM) return vorn::Arg::of_symbol(a.value.w_sym);
    return vorn::Arg::other();
}

// The first `count` atoms (at most `room`) as the engine's arguments.
inline int32_t args_of(const MaxAtom* atoms, int16_t count, vorn::Arg* args, int32_t room) {
    return vorn::args_of(atoms, count, args, room, arg_of);
}
