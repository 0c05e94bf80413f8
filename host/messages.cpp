// Numbers and messages at the inlets, mapped onto the engine's setters.
#include "convert.h"
#include "granulator_object.h"

namespace {

// Inlet 0 takes the position signal; numbers arriving there are ignored.
void number_at_inlet(Granulator* x, double value) {
    switch (x->inlet) {
        case 1: vorn::set_pos_jitter(x->engine, value); break;
        case 2: vorn::set_transposition(x->engine, value); break;
        case 3: vorn::set_transp_jitter(x->engine, value); break;
        default:
            if (x->inlet >= 4) vorn::set_period(x->engine, value);
            break;
    }
}

}  // namespace

void MAX_API_CALL granulator_int(Granulator* x, int32_t value) { number_at_inlet(x, value); }

void MAX_API_CALL granulator_float(Granulator* x, double value) { number_at_inlet(x, value); }

void MAX_API_CALL granulator_list(Granulator* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    if (x->inlet != 2) return;
    // The list holds at most 256 values; the rest are dropped.
    const int32_t n = count < vorn::kMaxTransp ? count : vorn::kMaxTransp;
    double values[vorn::kMaxTransp];
    for (int32_t i = 0; i < n; ++i)
        if (!atom_number(atoms[i], values[i])) values[i] = 0.0;
    vorn::set_transp_list(x->engine, values, n);
}

void MAX_API_CALL granulator_set(Granulator* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    if (count <= 0) return;
    // Applied from the last atom used back to the first; a wrong atom skips its setter.
    double v;
    if (count >= 5 && atom_number(atoms[4], v)) vorn::set_period(x->engine, v);
    if (count >= 4 && atom_number(atoms[3], v)) vorn::set_transp_jitter(x->engine, v);
    if (count >= 3 && atom_number(atoms[2], v)) vorn::set_transposition(x->engine, v);
    if (count >= 2 && atom_number(atoms[1], v)) vorn::set_pos_jitter(x->engine, v);
    set_buffer_name(x, atoms, 1);
}

void MAX_API_CALL granulator_overlap(Granulator* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    if (count <= 0) return;
    int32_t log2;
    if (atoms[0].type == A_LONG)
        log2 = atoms[0].value.w_long;
    else if (atoms[0].type == A_FLOAT)
        log2 = vorn::trunc_low32(atoms[0].value.w_float);
    else
        return;
    vorn::set_overlap(x->engine, log2);
}
