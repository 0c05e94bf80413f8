// vorn~ for Pure Data: the same object as in Max, in Pd's records. Pd's
// arrays stand in for buffer~ objects; the engine reads an array's slots in
// place. What vorn~ does with its numbers, lists and messages is the
// engine's (control.h); this file only translates Pd's atoms and arrays.
#include <m_pd.h>

#include <cstring>
#include <new>

#include "control.h"
#include "convert.h"
#include "library.h"

namespace {

t_class* vorn_class = nullptr;
t_class* proxy_class = nullptr;

struct Vorn;

// Inlets 1 to 4: each tells its owner through which inlet a message came,
// as Max's proxies do, so that every inlet takes numbers, lists and
// messages alike.
struct Proxy {
    t_pd pd;
    Vorn* owner;
    int32_t inlet;
};

struct Vorn {
    t_object obj;
    t_float scalar;          // the left inlet's value while no signal is connected
    Proxy proxy[4];          // proxy k serves inlet k + 1
    int32_t inlet;           // inlet of the message being handled
    vorn::Granulator engine;
    t_symbol* array_name;    // &s_ while no name is set
    t_garray* array;         // the bound array, or null
    t_sample* scratch;       // a copy of the input when Pd hands one vector for both
    int scratch_size;
#ifdef VORN_PD_REPORT_SHARING
    int serial;              // creation order, from 1
#endif
};

static_assert(sizeof(t_sample) == sizeof(float) && sizeof(t_float) == sizeof(float),
              "vorn~ is built for Pd's single-precision build");

// A Pd atom as the engine's message handling takes it.
vorn::Arg arg_of(const t_atom& a) {
    if (a.a_type == A_FLOAT) return vorn::Arg::of_number(a.a_w.w_float);
    if (a.a_type == A_SYMBOL) return vorn::Arg::of_symbol(a.a_w.w_symbol);
    return vorn::Arg::other();
}

int32_t args_of(int argc, const t_atom* argv, vorn::Arg* args, int32_t room) {
    return vorn::args_of(argv, argc, args, room, arg_of);
}

// --- Arrays ----------------------------------------------------------------

// The array named `name`, its slots and their count; null, quietly, if
// there is none.
t_garray* find_array(t_symbol* name, int* size, t_word** words) {
    auto* a = reinterpret_cast<t_garray*>(pd_findbyclass(name, garray_class));
    if (!a || !garray_getfloatwords(a, size, words)) return nullptr;
    return a;
}

// Points the engine at the array's slots, or at nothing. A slot holds a
// float and, on 64-bit Pd, padding: the stride is the slot in floats.
void bind(Vorn* x, t_garray* a, int size, t_word* words) {
    x->array = a;
    if (a) {
        x->engine.source = vorn::SampleSource{1, reinterpret_cast<const float*>(words), size,
                                              static_cast<int32_t>(sizeof(t_word) / sizeof(t_float))};
        // Pd rebuilds the signal chain when this array is resized or
        // deleted, and the "dsp" method then binds afresh.
        garray_usedindsp(a);
    } else {
        x->engine.source = vorn::SampleSource{};
    }
}

// The "loadbang" rule: a failed lookup reports and keeps what is bound.
void lookup(Vorn* x) {
    if (x->array_name == &s_) return;
    int size = 0;
    t_word* words = nullptr;
    if (t_garray* a = find_array(x->array_name, &size, &words))
        bind(x, a, size, words);
    else
        pd_error(x, "vorn~: cannot get array \"%s\"", x->array_name->s_name);
}

// --- Messages --------------------------------------------------------------

void vorn_number(Vorn* x, t_floatarg f) { vorn::number_at_inlet(x->engine, x->inlet, f); }

void vorn_list(Vorn* x, t_symbol*, int argc, t_atom* argv) {
    // A list of one number is that number, as everywhere in Pd: qlist,
    // text sequence and list objects send numbers so.
    if (argc == 1 && argv[0].a_type == A_FLOAT) {
        if (x->inlet == 0)
            pd_float(&x->obj.ob_pd, argv[0].a_w.w_float);  // the left inlet's constant
        else
            vorn_number(x, argv[0].a_w.w_float);
        return;
    }
    vorn::Arg args[vorn::kMaxTransp];
    vorn::list_at_inlet(x->engine, x->inlet, args, args_of(argc, argv, args, vorn::kMaxTransp));
}

void vorn_set(Vorn* x, t_symbol*, int argc, t_atom* argv) {
    vorn::Arg args[5];
    if (!vorn::set_settings(x->engine, args, args_of(argc, argv, args, 5))) return;
    // The binding is dropped first; a name binds again, a failure leaves none.
    bind(x, nullptr, 0, nullptr);
    if (argv[0].a_type == A_SYMBOL) x->array_name = argv[0].a_w.w_symbol;
    lookup(x);
}

void vorn_overlap(Vorn* x, t_symbol*, int argc, t_atom* argv) {
    vorn::Arg args[1];
    vorn::overlap_message(x->engine, args, args_of(argc, argv, args, 1));
}

// Pd sends "loadbang" with a stage; vorn~ binds at the load stage (0), as a
// "loadbang" typed into a message box asks too.
void vorn_loadbang(Vorn* x, t_floatarg stage) {
    // Through the engine's conversion: a stage typed as NaN or 1e20 is no
    // stage 0, on ARM as on x86.
    if (vorn::trunc_to_int64(stage) == 0) lookup(x);
}

// While DSP is off, Pd tells vorn~ nothing when its array is resized or
// deleted (the next "dsp" binds afresh, and meanwhile nothing reads it):
// print looks the bound name up again, quietly, and reports the array it
// finds now, at its size of now, which is what the next "dsp" binds.
void vorn_print(Vorn* x, t_symbol*, int, t_atom*) {
    int size = 0;
    t_word* words = nullptr;
    if (!x->array || !find_array(x->array_name, &size, &words)) {
        post("vorn~: no arrays");
        return;
    }
    post("vorn~");
    post("  array \"%s\": %d samples", x->array_name->s_name, size);
}

void post_line(const char* line) { post("%s", line); }
void error_line(const char* line) { pd_error(nullptr, "%s", line); }

void vorn_version(Vorn*, t_symbol*, int, t_atom*) { vorn::post_banner(post_line); }

// Messages at inlets 1 to 4 reach the owner with their inlet number.
void proxy_float(Proxy* p, t_floatarg f) {
    p->owner->inlet = p->inlet;
    vorn_number(p->owner, f);
    p->owner->inlet = 0;
}

void proxy_list(Proxy* p, t_symbol* s, int argc, t_atom* argv) {
    p->owner->inlet = p->inlet;
    vorn_list(p->owner, s, argc, argv);
    p->owner->inlet = 0;
}

void proxy_anything(Proxy* p, t_symbol* s, int argc, t_atom* argv) {
    p->owner->inlet = p->inlet;
    pd_typedmess(&p->owner->obj.ob_pd, s, argc, argv);
    p->owner->inlet = 0;
}

// --- Signal ----------------------------------------------------------------

t_int* vorn_perform(t_int* w) {
    auto* x = reinterpret_cast<Vorn*>(w[1]);
    const t_sample* in = reinterpret_cast<const t_sample*>(w[2]);
    t_sample* out = reinterpret_cast<t_sample*>(w[3]);
    const int n = static_cast<int>(w[4]);
    // The loop clears its output before it reads its input.
    if (in == out) {
        std::memcpy(x->scratch, in, sizeof(t_sample) * static_cast<size_t>(n));
        in = x->scratch;
    }
    vorn::perform(x->engine, in, out, n);
    return w + 5;
}

void vorn_dsp(Vorn* x, t_signal** sp) {
    const int n = sp[0]->s_n;
#ifdef VORN_PD_REPORT_SHARING
    // The tests' build only: which boxes Pd hands one vector for both, and
    // in which order it compiles them.
    post("vorn~ #%d: %s", x->serial,
         sp[0]->s_vec == sp[1]->s_vec ? "one vector for input and output" : "separate input and output vectors");
#endif
    // Room for a copy of the input, should Pd give one vector for both.
    if (sp[0]->s_vec == sp[1]->s_vec && n > x->scratch_size) {
        auto* bigger = new (std::nothrow) t_sample[static_cast<size_t>(n)];
        if (!bigger) {
            pd_error(x, "vorn~: out of memory for the signal vector: this vorn~ stays silent");
            dsp_add_zero(sp[1]->s_vec, n);
            return;
        }
        delete[] x->scratch;
        x->scratch = bigger;
        x->scratch_size = n;
    }
    // The array may have been resized or deleted: bind afresh, quietly; a
    // name that no longer finds an array leaves the object unbound.
    if (x->array_name != &s_) {
        int size = 0;
        t_word* words = nullptr;
        t_garray* a = find_array(x->array_name, &size, &words);
        bind(x, a, size, words);
    }
    vorn::compile_and_restart(x->engine, static_cast<double>(sp[0]->s_sr));
    dsp_add(vorn_perform, 4, x, sp[0]->s_vec, sp[1]->s_vec, static_cast<t_int>(n));
}

// --- Life --------------------------------------------------------------------

void* vorn_new(t_symbol*, int argc, t_atom* argv) {
    auto* x = reinterpret_cast<Vorn*>(pd_new(vorn_class));
    x->scalar = 0;
    for (int32_t k = 0; k < 4; ++k) {
        x->proxy[k].pd = proxy_class;
        x->proxy[k].owner = x;
        x->proxy[k].inlet = k + 1;
        inlet_new(&x->obj, &x->proxy[k].pd, nullptr, nullptr);
    }
    outlet_new(&x->obj, &s_signal);
    x->inlet = 0;
    x->array_name = &s_;
    x->array = nullptr;
    x->scratch = nullptr;
    x->scratch_size = 0;
#ifdef VORN_PD_REPORT_SHARING
    static int created = 0;
    x->serial = ++created;
#endif

    // The first argument is always the overlap exponent.
    vorn::Arg first[1];
    vorn::init_from_args(x->engine, first, args_of(argc, argv, first, 1));
    if (!vorn::usable(x->engine))
        pd_error(x, "vorn~: out of memory for %d grains: this vorn~ stays silent", x->engine.max_overlap);
    if (argc > 1) vorn_set(x, &s_, argc - 1, argv + 1);
    return x;
}

void vorn_free(Vorn* x) {
    if (x->engine.grains) vorn::release(x->engine);
    delete[] x->scratch;
}

// Pd stores every handler as a generic method pointer and calls it back
// with the arguments that its type codes stand for. These take only a
// function of exactly that type, so that a handler defined with other
// arguments than the ones it is registered with does not compile.
template <class Object>
using Gimme = void (*)(Object*, t_symbol*, int, t_atom*);  // A_GIMME, and lists and anything
template <class Object>
using OneFloat = void (*)(Object*, t_floatarg);  // A_DEFFLOAT or A_FLOAT, and floats

// (A cast to Pd's t_method is one that C++ compilers accept without a word;
// the creator goes through it on its way to t_newmethod.)
template <class F>
t_method method(F f) {
    return reinterpret_cast<t_method>(f);
}
t_class* new_class(const char* name, void* (*creator)(t_symbol*, int, t_atom*), void (*release)(Vorn*)) {
    return class_new(gensym(name), reinterpret_cast<t_newmethod>(method(creator)), method(release), sizeof(Vorn),
                     CLASS_DEFAULT, A_GIMME, A_NULL);
}
template <class Object>
void add_gimme(t_class* c, Gimme<Object> f, const char* name) {
    class_addmethod(c, method(f), gensym(name), A_GIMME, A_NULL);
}
template <class Object>
void add_default_float(t_class* c, OneFloat<Object> f, const char* name) {
    class_addmethod(c, method(f), gensym(name), A_DEFFLOAT, A_NULL);
}
void add_dsp(t_class* c, void (*f)(Vorn*, t_signal**)) { class_addmethod(c, method(f), gensym("dsp"), A_CANT, A_NULL); }
template <class Object>
void add_float(t_class* c, OneFloat<Object> f) {
    class_addfloat(c, method(f));
}
template <class Object>
void add_list(t_class* c, Gimme<Object> f) {
    class_addlist(c, method(f));
}
template <class Object>
void add_anything(t_class* c, Gimme<Object> f) {
    class_addanything(c, method(f));
}

}  // namespace

extern "C" {

// Pd calls this once when it loads the library for "vorn~": its only export.
#if defined(_WIN32)
__declspec(dllexport)
#else
__attribute__((visibility("default")))
#endif
void vorn_tilde_setup(void) {
    vorn_class = new_class("vorn~", vorn_new, vorn_free);
    CLASS_MAINSIGNALIN(vorn_class, Vorn, scalar);
    add_dsp(vorn_class, vorn_dsp);
    add_gimme(vorn_class, vorn_version, "version");
    add_gimme(vorn_class, vorn_print, "print");
    add_default_float(vorn_class, vorn_loadbang, "loadbang");
    add_gimme(vorn_class, vorn_set, "set");
    add_gimme(vorn_class, vorn_overlap, "overlap");
    add_list(vorn_class, vorn_list);

    proxy_class = class_new(gensym("vorn~ inlet"), nullptr, nullptr, sizeof(Proxy), CLASS_PD, A_NULL);
    add_float(proxy_class, proxy_float);
    add_list(proxy_class, proxy_list);
    add_anything(proxy_class, proxy_anything);

    vorn::load_library(post_line, error_line);
}

}  // extern "C"
