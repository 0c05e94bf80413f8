// Numbers and messages at the inlets: the host's atoms, translated for the
// engine's message handling (control.h).
#include "control.h"
#include "granulator_object.h"

namespace {

// The first `count` atoms (at most `room`) as engine arguments.
int32_t args_of(const MaxAtom* atoms, int16_t count, vorn::Arg* args, int32_t room) {
    const int32_t n = count < room ? count : room;
    for (int32_t i = 0; i < n; ++i) args[i] = arg_of(atoms[i]);
    return n < 0 ? 0 : n;
}

}  // namespace

void MAX_API_CALL granulator_int(Granulator* x, int32_t value) { vorn::number_at_inlet(x->engine, x->inlet, value); }

void MAX_API_CALL granulator_float(Granulator* x, double value) { vorn::number_at_inlet(x->engine, x->inlet, value); }

void MAX_API_CALL granulator_list(Granulator* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    vorn::Arg args[vorn::kMaxTransp];
    vorn::list_at_inlet(x->engine, x->inlet, args, args_of(atoms, count, args, vorn::kMaxTransp));
}

void MAX_API_CALL granulator_set(Granulator* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    vorn::Arg args[5];
    if (vorn::set_settings(x->engine, args, args_of(atoms, count, args, 5))) set_buffer_name(x, atoms, 1);
}

void MAX_API_CALL granulator_overlap(Granulator* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    vorn::Arg args[1];
    vorn::overlap_message(x->engine, args, args_of(atoms, count, args, 1));
}
