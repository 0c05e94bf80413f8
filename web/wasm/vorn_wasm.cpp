// vorn~ for the browser: the engine behind a C interface that JavaScript
// calls (web/vorn.js and the worklet it runs). Like the Max and Pd
// bindings, it only translates: numbers and argument arrays in, engine
// operations out. What the browser's host does around them (named sample
// buffers, their lookup and its console line, the render quantum) is the
// JavaScript side's.
//
// Arguments travel as two parallel arrays: kinds (0 a number, 1 a symbol, 2
// anything else) and numbers (the number, or for a symbol the JavaScript
// side's own id of it). Console lines go out through the imported function
// vorn_console(text, length, is_problem).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "control.h"
#include "granulator.h"
#include "kernels.h"
#include "library.h"
#include "random.h"
#include "tables.h"

#define VORN_EXPORT(name) __attribute__((export_name(#name)))

extern "C" __attribute__((import_module("env"), import_name("vorn_console"))) void vorn_console(const char* text,
                                                                                                int32_t length,
                                                                                                int32_t problem);

namespace {

void post_line(const char* line) { vorn_console(line, static_cast<int32_t>(std::strlen(line)), 0); }
void problem_line(const char* line) { vorn_console(line, static_cast<int32_t>(std::strlen(line)), 1); }

enum ArgKind : int32_t { kNumber = 0, kSymbol = 1, kOther = 2 };

// The first `count` arguments (at most `room`) as the engine's.
int32_t args_of(const int32_t* kinds, const double* numbers, int32_t count, vorn::Arg* args, int32_t room) {
    const int32_t n = count < room ? count : room;
    for (int32_t i = 0; i < n; ++i) {
        if (kinds[i] == kNumber)
            args[i] = vorn::Arg::of_number(numbers[i]);
        else if (kinds[i] == kSymbol)
            args[i] = vorn::Arg::of_symbol(reinterpret_cast<const void*>(static_cast<uintptr_t>(numbers[i])));
        else
            args[i] = vorn::Arg::other();
    }
    return n < 0 ? 0 : n;
}

}  // namespace

extern "C" {

// Memory for what JavaScript hands over: argument arrays, signal vectors,
// sample buffers. Null when there is none left.
VORN_EXPORT(vorn_alloc) void* vorn_alloc(uint32_t bytes) { return std::malloc(bytes ? bytes : 1); }
VORN_EXPORT(vorn_release) void vorn_release(void* p) { std::free(p); }

// The library's set-up, once: with `seeded`, the random source starts from
// `seed` as though the clock had read it (a repeatable render); otherwise
// from the clock. `kernel` names the synthesis kernel, or is null for the
// widest this build runs. Posts the banner.
VORN_EXPORT(vorn_load) void vorn_load(int32_t seeded, uint32_t seed, const char* kernel) {
    if (seeded) vorn::random_seed(seed);
    vorn::load_library(post_line, problem_line);
    const char* error = nullptr;
    if (kernel && *kernel && !vorn::select_kernel(kernel, &error)) problem_line(error);
}

// The kernel that renders, by its name.
VORN_EXPORT(vorn_kernel) const char* vorn_kernel() { return vorn::kernel_name(vorn::selected_kernel()); }

// The banner, as the "version" message posts it.
VORN_EXPORT(vorn_version) void vorn_version() { vorn::post_banner(post_line); }

// A new instance from its creation arguments: the first is the overlap
// exponent (anything but a number there: 8 grains); the others are "set"
// arguments, which the caller then sends. Null if it cannot be made; an
// instance whose grains could not be allocated is made and stays silent
// (vorn_usable).
VORN_EXPORT(vorn_new) vorn::Granulator* vorn_new(const int32_t* kinds, const double* numbers, int32_t count) {
    auto* g = new (std::nothrow) vorn::Granulator{};
    if (!g) return nullptr;
    vorn::Arg first[1];
    vorn::init_from_args(*g, first, args_of(kinds, numbers, count, first, 1));
    return g;
}

VORN_EXPORT(vorn_delete) void vorn_delete(vorn::Granulator* g) {
    if (!g) return;
    vorn::release(*g);
    delete g;
}

VORN_EXPORT(vorn_usable) int32_t vorn_usable(const vorn::Granulator* g) { return vorn::usable(*g) ? 1 : 0; }
VORN_EXPORT(vorn_max_overlap) int32_t vorn_max_overlap(const vorn::Granulator* g) { return g->max_overlap; }
VORN_EXPORT(vorn_overlap) int32_t vorn_overlap(const vorn::Granulator* g) { return g->overlap; }

// A number at an inlet (1 position jitter, 2 transposition, 3 transposition
// jitter, 4 period; 0 changes nothing).
VORN_EXPORT(vorn_number) void vorn_number(vorn::Granulator* g, int32_t inlet, double value) {
    vorn::number_at_inlet(*g, inlet, value);
}

// A list at an inlet: at inlet 2 up to 256 transpositions.
VORN_EXPORT(vorn_list)
void vorn_list(vorn::Granulator* g, int32_t inlet, const int32_t* kinds, const double* numbers, int32_t count) {
    vorn::Arg args[vorn::kMaxTransp];
    vorn::list_at_inlet(*g, inlet, args, args_of(kinds, numbers, count, args, vorn::kMaxTransp));
}

// "set": the numbers, applied from the last back to the first. 1 if the
// message had arguments, and the caller rebinds by the first (a name if it
// is a symbol); 0 if it had none and nothing happens.
VORN_EXPORT(vorn_set)
int32_t vorn_set(vorn::Granulator* g, const int32_t* kinds, const double* numbers, int32_t count) {
    vorn::Arg args[5];
    return vorn::set_settings(*g, args, args_of(kinds, numbers, count, args, 5)) ? 1 : 0;
}

// "overlap": a power-of-two exponent of active grains.
VORN_EXPORT(vorn_overlap_message)
void vorn_overlap_message(vorn::Granulator* g, const int32_t* kinds, const double* numbers, int32_t count) {
    vorn::Arg args[1];
    vorn::overlap_message(*g, args, args_of(kinds, numbers, count, args, 1));
}

// The start of audio at `rate` Hz: compile, then restart every grain.
VORN_EXPORT(vorn_compile) void vorn_compile(vorn::Granulator* g, double rate) { vorn::compile_and_restart(*g, rate); }

// The sample source: `frames` frames of `stride` floats from `samples`
// (stride 1 for one channel; the first of `stride` interleaved channels),
// read when `valid`; null samples or valid 0 for none.
VORN_EXPORT(vorn_source)
void vorn_source(vorn::Granulator* g, const float* samples, int32_t frames, int32_t stride, int32_t valid) {
    g->source = samples && valid ? vorn::SampleSource{1, samples, frames, stride} : vorn::SampleSource{};
}

// One vector: `in` the position in ms, `out` the output; distinct arrays.
VORN_EXPORT(vorn_perform) void vorn_perform(vorn::Granulator* g, const float* in, float* out, int32_t n) {
    vorn::perform(*g, in, out, n);
}

// What a display draws of the active grains, three doubles each: where the
// grain reads now (frames), its window's value now (0 to 1) and its reading
// speed (frames a sample). Writes at most `room` grains; returns how many.
VORN_EXPORT(vorn_grains) int32_t vorn_grains(const vorn::Granulator* g, double* out, int32_t room) {
    if (!vorn::usable(*g) || !vorn::window_table) return 0;
    const int32_t n = g->overlap < room ? g->overlap : room;
    for (int32_t i = 0; i < n; ++i) {
        const vorn::Grain& gr = g->grains[i];
        const uint32_t phase = (g->phase - gr.offset) & vorn::kPhaseMask;
        out[3 * i] = gr.index + gr.frac * (1.0 / 4294967296.0);
        out[3 * i + 1] = vorn::window_table[phase >> vorn::kWindowShift];
        out[3 * i + 2] = gr.step + gr.step_frac * (1.0 / 4294967296.0);
    }
    return n;
}

}  // extern "C"
