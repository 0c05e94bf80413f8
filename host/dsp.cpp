// Joining the host's signal chain.
#include "granulator_object.h"

void MAX_API_CALL granulator_dsp(Granulator* x, MaxSignal** signals, int16_t*) {
    vorn::compile_and_restart(x->engine, static_cast<double>(signals[0]->sr));
    dsp_add(granulator_perform, 4, reinterpret_cast<intptr_t>(x), reinterpret_cast<intptr_t>(signals[0]->vec),
            reinterpret_cast<intptr_t>(signals[1]->vec), static_cast<intptr_t>(signals[0]->n));
}

// The engine's view of a buffer~: its fields as they stand now. Of several
// interleaved channels, vorn~ reads the first.
static vorn::SampleSource source_of(const MaxBuffer* b) {
    if (!b) return {};
    return {b->valid, b->samples, b->frames, b->channels > 1 ? b->channels : 1};
}

intptr_t* MAX_API_CALL granulator_perform(intptr_t* words) {
    Granulator* x = reinterpret_cast<Granulator*>(words[1]);
    const float* in = reinterpret_cast<const float*>(words[2]);
    float* out = reinterpret_cast<float*>(words[3]);
    const int32_t n = static_cast<int32_t>(words[4]);
    // The host may change the buffer~ between any two vectors, and tells
    // nobody: its fields are read afresh each time.
    x->engine.source = source_of(x->buffer);
    vorn::perform(x->engine, in, out, n);
    return words + 5;
}
