// Joining the host's signal chain.
#include "granulator_object.h"

void MAX_API_CALL granulator_dsp(Granulator* x, MaxSignal** signals, int16_t*) {
    vorn::compile(x->engine, static_cast<double>(signals[0]->sr));
    // Every allocated grain restarts, switched on or not.
    if (vorn::usable(x->engine))
        for (int32_t i = 0; i < x->engine.max_overlap; ++i) vorn::start_grain(x->engine, 0.0, x->engine.grains[i]);
    dsp_add(granulator_perform, 4, reinterpret_cast<intptr_t>(x), reinterpret_cast<intptr_t>(signals[0]->vec),
            reinterpret_cast<intptr_t>(signals[1]->vec), static_cast<intptr_t>(signals[0]->n));
}

intptr_t* MAX_API_CALL granulator_perform(intptr_t* words) {
    Granulator* x = reinterpret_cast<Granulator*>(words[1]);
    const float* in = reinterpret_cast<const float*>(words[2]);
    float* out = reinterpret_cast<float*>(words[3]);
    const int32_t n = static_cast<int32_t>(words[4]);
    // The buffer~ may have changed since the last vector: read its fields
    // afresh. Of several interleaved channels, vorn~ reads the first.
    if (const MaxBuffer* b = x->buffer) {
        x->source = vorn::SampleSource{b->valid, b->samples, b->frames, b->channels > 1 ? b->channels : 1};
        x->engine.source = &x->source;
    } else {
        x->engine.source = nullptr;
    }
    vorn::perform(x->engine, in, out, n);
    return words + 5;
}
