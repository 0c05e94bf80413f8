// The MaxAudio operations. They unpack their arguments and hand them to the
// runtime, which lives in MaxAPI.
#include <cstdarg>

#include "detail.h"

namespace {

// Longer argument lists are refused rather than read past their end.
constexpr int32_t max_perform_words = 64;

}  // namespace

extern "C" {

void z_dsp_setup(void* x, int32_t n_signal_inlets) { standin::detail::signal_setup(x, n_signal_inlets); }

void z_dsp_free(void* x) { standin::detail::signal_free(x); }

void z_add_signalmethod(void) { standin::detail::class_takes_signals(); }

// Every argument is read as a pointer-sized word: externals pass the vector
// size cast to intptr_t like the pointers.
void dsp_add(MaxPerformMethod routine, int32_t count, ...) {
    if (count < 0 || count > max_perform_words) {
        post("error: dsp_add: %d argument words (0 to %d allowed)", static_cast<int>(count),
             static_cast<int>(max_perform_words));
        return;
    }
    intptr_t words[max_perform_words];
    va_list ap;
    va_start(ap, count);
    for (int32_t i = 0; i < count; ++i) words[i] = va_arg(ap, intptr_t);
    va_end(ap);
    standin::detail::chain_append(routine, words, count);
}

}  // extern "C"
