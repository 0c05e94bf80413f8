// Instance creation and release, and the version banner.
#include "granulator_object.h"
#include "library.h"

void* MAX_API_CALL granulator_new(MaxSymbol*, int16_t count, MaxAtom* atoms) {
    Granulator* x = static_cast<Granulator*>(newobject(granulator_class));
    if (!x) return nullptr;
    z_dsp_setup(x, 1);
    x->header.flags = 1;  // the loop clears its output before reading its input
    for (int32_t n = 4; n >= 1; --n) x->proxy[n - 1] = proxy_new(x, n, &x->inlet);
    outlet_new(x, "signal");

    // The first argument is always the overlap exponent.
    vorn::Arg first[1];
    vorn::init_from_args(x->engine, first, args_of(atoms, count, first, 1));
    x->buffer_name = empty_symbol;
    x->buffer = nullptr;
    if (!vorn::usable(x->engine)) post("vorn~: out of memory for %d grains: this vorn~ stays silent", x->engine.max_overlap);

    if (count > 1) granulator_set(x, nullptr, static_cast<int16_t>(count - 1), atoms + 1);
    return x;
}

// Out of the signal chain first: the host's audio thread may run the perform
// routine until z_dsp_free returns, and that routine reads the grains.
void MAX_API_CALL granulator_free(Granulator* x) {
    z_dsp_free(x);
    for (void* p : x->proxy) freeobject(p);
    if (x->engine.grains) vorn::release(x->engine);
}

void post_line(const char* line) { post("%s", line); }

void MAX_API_CALL granulator_version(Granulator*, MaxSymbol*, int16_t, MaxAtom*) { vorn::post_banner(post_line); }
