// The library's single export: registers the vorn~ class and its messages,
// then has the engine set up the library (tables, random source, banner,
// kernel).
#include "granulator_object.h"
#include "library.h"

void* granulator_class = nullptr;
MaxSymbol* empty_symbol = nullptr;
MaxSymbol* buffer_class = nullptr;

namespace {

// The host stores every handler as a generic method pointer and calls it
// back with the arguments that its type code stands for. These take only a
// function of exactly that type, so that a handler defined with other
// arguments than the ones it is registered with does not compile.
using Creator = void*(MAX_API_CALL*)(MaxSymbol*, int16_t, MaxAtom*);         // A_GIMME creator
using Release = void(MAX_API_CALL*)(Granulator*);
using Gimme = void(MAX_API_CALL*)(Granulator*, MaxSymbol*, int16_t, MaxAtom*);  // A_GIMME
using Dsp = void(MAX_API_CALL*)(Granulator*, MaxSignal**, int16_t*);           // "dsp", A_CANT
using IntHandler = void(MAX_API_CALL*)(Granulator*, int32_t);
using FloatHandler = void(MAX_API_CALL*)(Granulator*, double);

template <typename F>
MaxMethod method(F f) {
    return reinterpret_cast<MaxMethod>(f);
}

void set_up_class(Creator creator, Release release) {
    setup(&granulator_class, method(creator), method(release), static_cast<int16_t>(sizeof(Granulator)), nullptr,
          A_GIMME, A_NOTHING);
}
void add_gimme(Gimme f, const char* name) { addmess(method(f), name, A_GIMME, A_NOTHING); }
void add_dsp(Dsp f) { addmess(method(f), "dsp", A_CANT, A_NOTHING); }
void add_int(IntHandler f) { addint(method(f)); }
void add_float(FloatHandler f) { addfloat(method(f)); }

}  // namespace

// Called by the exported `main` (entry.c): C++ may not name a function main
// with C linkage, so the export itself is written in C.
extern "C" int vorn_main(void) {
    set_up_class(granulator_new, granulator_free);
    z_add_signalmethod();
    add_dsp(granulator_dsp);
    add_gimme(granulator_version, "version");
    add_gimme(granulator_print, "print");
    add_gimme(granulator_loadbang, "loadbang");
    add_gimme(granulator_set, "set");
    add_gimme(granulator_overlap, "overlap");
    empty_symbol = gensym("");
    buffer_class = gensym("buffer~");
    add_int(granulator_int);
    add_float(granulator_float);
    add_gimme(granulator_list, "list");
    vorn::load_library(post_line, post_line);
    return 0;
}
