// What a host binding calls once when its host loads the library, and the
// banner it posts then and on "version". The binding passes the engine its
// host's console, so that the engine stays free of any host.
#pragma once

namespace vorn {

// One line for the host's console.
using ConsoleLine = void (*)(const char* line);

// The three lines that vorn~ posts when it loads and on "version".
inline constexpr const char* kBanner[] = {
    "vorn~ 1.0.0: granular synthesis of a buffer~",
    "  grains: up to 1024, Hann window, 4-point cubic interpolation",
    "  the vorn~ authors, MIT licence",
};

// Posts the banner, line by line.
void post_banner(ConsoleLine post);

// The library's set-up, once per load, after the binding has registered its
// class with the host: makes the window table if it is still absent, fills
// the interpolation table once, seeds the random source from the clock once,
// posts the banner through `post`, then chooses the synthesis kernel: the
// one that the VORN_KERNEL setting names, or the widest this processor runs.
// A window table that cannot be allocated (every vorn~ is then silent) and a
// VORN_KERNEL that names no kernel this processor runs are reported through
// `problem`, each as one line.
void load_library(ConsoleLine post, ConsoleLine problem);

}  // namespace vorn
