// The library's single export: registers the vorn~ class and its messages,
// builds the shared tables, seeds the random source and posts the banner.
#include <cstdlib>

#include "granulator_object.h"
#include "random.h"
#include "tables.h"

void* granulator_class = nullptr;
MaxSymbol* empty_symbol = nullptr;
MaxSymbol* buffer_class = nullptr;

namespace {
template <typename F>
MaxMethod method(F f) {
    return reinterpret_cast<MaxMethod>(f);
}
// The synthesis kernel, once per load: the widest this processor runs, or
// the one the VORN_KERNEL setting names.
void choose_kernel() {
    const char* name = std::getenv(vorn::kKernelVariable);
    const char* error = nullptr;
    if (!vorn::select_kernel(name, &error)) post("vorn~: %s=%s: %s", vorn::kKernelVariable, name, error);
}

}  // namespace

// Called by the exported `main` (entry.c): C++ may not name a function main
// with C linkage, so the export itself is written in C.
extern "C" int vorn_main(void) {
    setup(&granulator_class, method(granulator_new), method(granulator_free),
          static_cast<int16_t>(sizeof(Granulator)), nullptr, A_GIMME, A_NOTHING);
    z_add_signalmethod();
    addmess(method(granulator_dsp), "dsp", A_CANT, A_NOTHING);
    addmess(method(granulator_version), "version", A_GIMME, A_NOTHING);
    addmess(method(granulator_print), "print", A_GIMME, A_NOTHING);
    addmess(method(granulator_loadbang), "loadbang", A_GIMME, A_NOTHING);
    addmess(method(granulator_set), "set", A_GIMME, A_NOTHING);
    addmess(method(granulator_overlap), "overlap", A_GIMME, A_NOTHING);
    if (!vorn::window_table) {
        vorn::window_table = vorn::make_window_table(vorn::kWindowSize);
        if (!vorn::window_table) post("vorn~: out of memory for the window table: every vorn~ stays silent");
    }
    empty_symbol = gensym("");
    buffer_class = gensym("buffer~");
    addint(method(granulator_int));
    addfloat(method(granulator_float));
    addmess(method(granulator_list), "list", A_GIMME, A_NOTHING);
    vorn::build_interp_table();
    vorn::random_seed_from_clock();
    granulator_version(nullptr, nullptr, 0, nullptr);
    choose_kernel();
    return 0;
}
