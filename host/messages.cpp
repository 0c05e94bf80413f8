// Numbers and messages at the inlets: the host's atoms, translated for the
// engine's message handling (control.h).
#include "granulator_object.h"

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
