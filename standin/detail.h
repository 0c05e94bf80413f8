// The runtime's entry points for the MaxAudio library. The runtime lives in
// MaxAPI; MaxAudio only unpacks the audio operations' arguments and calls
// these. Not for host applications or externals.
#pragma once

#include <cstdint>

#include "host.h"

namespace standin::detail {

// z_dsp_setup: x gets `inlets` signal inlets and a filled signal header.
STANDIN_API void signal_setup(void* x, int32_t inlets);
// z_dsp_free: x leaves signal processing: its routines are taken out of the
// chain, once the audio thread is outside them.
STANDIN_API void signal_free(void* x);
// z_add_signalmethod: the class set up last takes signal connections.
STANDIN_API void class_takes_signals();
// dsp_add: appends [routine, words...] to the chain being compiled.
STANDIN_API void chain_append(MaxPerformMethod routine, const intptr_t* words, int32_t count);

}  // namespace standin::detail
