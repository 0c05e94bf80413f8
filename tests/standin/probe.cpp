// probe~: a small external for the stand-in host's tests. It posts every
// call it receives, so that a test reads what the host delivered from the
// console ("probe~: int 3 inlet 2"), and its perform routine doubles its
// input and adds its tag.
//
// Built several times under other names to give the loader other cases:
// PROBE_INT_ONLY / PROBE_FLOAT_ONLY take only one kind of number,
// PROBE_NO_SETUP has a main that sets up nothing, PROBE_NO_MAIN no main.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

#include "fpu.h"
#include "max_api.h"

// The cut-down builds leave some handlers unregistered.
#if defined(PROBE_NO_MAIN) || defined(PROBE_NO_SETUP) || defined(PROBE_INT_ONLY) || defined(PROBE_FLOAT_ONLY)
#pragma GCC diagnostic ignored "-Wunused-function"
#endif

#ifndef PROBE_NAME
#define PROBE_NAME "probe~"
#endif

namespace {

enum class RtFault { None, Allocate, Lock, Write };

struct Probe {
    MaxSignalObject header;
    void* proxy[3];  // inlets 1 to 3
    int32_t inlet;
    int32_t tag;     // the first int argument
    bool leak;       // "leak": the release routine keeps its proxies
    bool misstep;    // after "misstep", perform returns a wrong address
    bool fpu_perform;  // after "fpuperform", perform changes the x87 control word
    RtFault rt_fault;  // after "rtfault", perform does what no perform routine may
};

void* probe_class = nullptr;

// " 3 2.5f foo": ints as they are, floats marked with f, symbols as text.
std::string describe(int16_t count, const MaxAtom* atoms) {
    std::string text;
    char word[64];
    for (int k = 0; k < count; ++k) {
        const MaxAtom& a = atoms[k];
        if (a.type == A_LONG)
            std::snprintf(word, sizeof word, " %d", static_cast<int>(a.value.w_long));
        else if (a.type == A_FLOAT)
            std::snprintf(word, sizeof word, " %.9gf", static_cast<double>(a.value.w_float));
        else if (a.type == A_SYM)
            std::snprintf(word, sizeof word, " %s", a.value.w_sym->name);
        else
            std::snprintf(word, sizeof word, " ?%d", a.type);
        text += word;
    }
    return text;
}

bool is_symbol(const MaxAtom& a, const char* text) { return a.type == A_SYM && !std::strcmp(a.value.w_sym->name, text); }

void* probe_new(MaxSymbol*, int16_t count, MaxAtom* atoms) {
    post("%s: new%s", PROBE_NAME, describe(count, atoms).c_str());
    bool shared = false, leak = false, fail = false;
    int32_t tag = 0;
    for (int k = count - 1; k >= 0; --k) {
        if (atoms[k].type == A_LONG) tag = atoms[k].value.w_long;
        if (is_symbol(atoms[k], "foreign")) {
            static MaxObject not_made_by_newobject;
            return &not_made_by_newobject;
        }
        shared = shared || is_symbol(atoms[k], "shared");
        leak = leak || is_symbol(atoms[k], "leak");
        fail = fail || is_symbol(atoms[k], "fail");
    }
    auto* x = static_cast<Probe*>(newobject(probe_class));
    z_dsp_setup(x, 1);
    x->header.flags = shared ? 0 : 1;
    for (int n = 3; n >= 1; --n) x->proxy[n - 1] = proxy_new(x, n, &x->inlet);
    outlet_new(x, "signal");
    x->tag = tag;
    x->leak = leak;
    if (fail) {
        freeobject(x);
        return nullptr;
    }
    return x;
}

void probe_free(Probe* x) {
    post("%s: free %d", PROBE_NAME, static_cast<int>(x->tag));
    if (!x->leak)
        for (void* p : x->proxy) freeobject(p);
    z_dsp_free(x);
}

void probe_int(Probe* x, int32_t value) {
    post("%s: int %d inlet %d", PROBE_NAME, static_cast<int>(value), static_cast<int>(x->inlet));
}

void probe_float(Probe* x, double value) { post("%s: float %.9g inlet %d", PROBE_NAME, value, static_cast<int>(x->inlet)); }

// Any message: "probe~: SELECTOR ATOMS inlet N".
void probe_message(Probe* x, MaxSymbol* selector, int16_t count, MaxAtom* atoms) {
    post("%s: %s%s inlet %d", PROBE_NAME, selector->name, describe(count, atoms).c_str(), static_cast<int>(x->inlet));
}

void probe_loadbang(Probe* x, MaxSymbol*, int16_t, MaxAtom*) {
    post("%s: loadbang %d", PROBE_NAME, static_cast<int>(x->tag));
}

void probe_time(Probe*, MaxSymbol*, int16_t, MaxAtom*) {
    post("%s: time %ld", PROBE_NAME, static_cast<long>(std::time(nullptr)));
}

// "lookup NAME": what the host has bound to NAME, found the way an external
// finds a buffer~: by the class name behind the object's header.
void probe_lookup(Probe*, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    if (count < 1 || atoms[0].type != A_SYM) return;
    MaxSymbol* name = atoms[0].value.w_sym;
    if (!name->thing) {
        post("%s: lookup %s none", PROBE_NAME, name->name);
        return;
    }
    MaxSymbol* cls = max_class_name(name->thing);
    if (cls != gensym("buffer~")) {
        post("%s: lookup %s %s", PROBE_NAME, name->name, cls->name);
        return;
    }
    auto* b = reinterpret_cast<MaxBuffer*>(name->thing);
    float sum = 0.0f;
    for (int32_t i = 0; i < b->frames; ++i) sum += b->samples[i];
    post("%s: lookup %s buffer~ valid %d frames %d sum %g rate %g", PROBE_NAME, name->name,
         static_cast<int>(b->valid), static_cast<int>(b->frames), static_cast<double>(sum),
         static_cast<double>(b->sr_khz));
}

void probe_misstep(Probe* x, MaxSymbol*, int16_t, MaxAtom*) { x->misstep = true; }

// "header": the signal-object header as the probe sees it.
void probe_header(Probe* x, MaxSymbol*, int16_t, MaxAtom*) {
    const MaxSignalObject& h = x->header;
    post("%s: header inlets %d disabled %d count %d flags %d", PROBE_NAME, static_cast<int>(h.n_signal_inlets),
         static_cast<int>(h.disabled), static_cast<int>(h.count), static_cast<int>(h.flags));
}

// "fpu": the floating-point control state the probe runs in; "fpuchange":
// the handler switches SSE rounding toward zero and returns so.
void probe_fpu(Probe*, MaxSymbol*, int16_t, MaxAtom*) {
    const standin::fpu::State s = standin::fpu::read();
    post("%s: fpu x87 0x%04X mxcsr 0x%04X", PROBE_NAME, static_cast<unsigned>(s.x87),
         static_cast<unsigned>(s.mxcsr & standin::fpu::kMxcsrControl));
}
void probe_fpu_change(Probe*, MaxSymbol*, int16_t, MaxAtom*) {
    standin::fpu::State s = standin::fpu::read();
    s.mxcsr |= 0x6000;
    standin::fpu::write(s);
}
void probe_fpu_perform(Probe* x, MaxSymbol*, int16_t, MaxAtom*) { x->fpu_perform = true; }

// "scribble": writes over the host's part of the header, as an object whose
// own fields overlapped it would.
void probe_scribble(Probe* x, MaxSymbol*, int16_t, MaxAtom*) { x->header.n_signal_inlets = 7; }

// "rtfault malloc|lock|write": what the real-time guard (tests/rtguard) must
// catch in a perform routine.
void probe_rt_fault(Probe* x, MaxSymbol*, int16_t count, MaxAtom* atoms) {
    x->rt_fault = count < 1                        ? RtFault::None
                  : is_symbol(atoms[0], "malloc") ? RtFault::Allocate
                  : is_symbol(atoms[0], "lock")   ? RtFault::Lock
                  : is_symbol(atoms[0], "write")  ? RtFault::Write
                                                  : RtFault::None;
}

void do_rt_fault(RtFault fault) {
    static void* volatile block;  // volatile: the pair must not be optimised away
    static std::mutex mutex;
    switch (fault) {
    case RtFault::Allocate:
        block = std::malloc(16);
        std::free(block);
        break;
    case RtFault::Lock:
        mutex.lock();
        mutex.unlock();
        break;
    case RtFault::Write:
        if (write(STDERR_FILENO, "", 0) != 0) std::abort();
        break;
    case RtFault::None: break;
    }
}

intptr_t* probe_perform(intptr_t* w) {
    auto* x = reinterpret_cast<Probe*>(w[1]);
    auto* in = reinterpret_cast<float*>(w[2]);
    auto* out = reinterpret_cast<float*>(w[3]);
    auto n = static_cast<int>(w[4]);
    for (int i = 0; i < n; ++i) out[i] = in[i] * 2.0f + static_cast<float>(x->tag);
    if (x->fpu_perform) {
        standin::fpu::State s = standin::fpu::read();
        s.x87 = static_cast<uint16_t>(s.x87 ^ 0x0100);  // another precision
        standin::fpu::write(s);
    }
    do_rt_fault(x->rt_fault);
    return x->misstep ? w + 4 : w + 5;
}

void probe_dsp(Probe* x, MaxSignal** signals, int16_t*) {
    post("%s: dsp %d samples at %g Hz", PROBE_NAME, static_cast<int>(signals[0]->n),
         static_cast<double>(signals[0]->sr));
    dsp_add(probe_perform, 4, reinterpret_cast<intptr_t>(x), reinterpret_cast<intptr_t>(signals[0]->vec),
            reinterpret_cast<intptr_t>(signals[1]->vec), static_cast<intptr_t>(signals[0]->n));
}

template <typename F>
MaxMethod method(F f) {
    return reinterpret_cast<MaxMethod>(f);
}

}  // namespace

#ifndef PROBE_NO_MAIN
int main() {
    post("%s: main", PROBE_NAME);
#ifndef PROBE_NO_SETUP
    setup(&probe_class, method(probe_new), method(probe_free), static_cast<int16_t>(sizeof(Probe)), nullptr, A_GIMME,
          0);
    z_add_signalmethod();
    addmess(method(probe_dsp), "dsp", A_CANT, 0);
    addmess(method(probe_message), "list", A_GIMME, 0);
    addmess(method(probe_message), "set", A_GIMME, 0);
    addmess(method(probe_loadbang), "loadbang", A_GIMME, 0);
    addmess(method(probe_time), "time", A_GIMME, 0);
    addmess(method(probe_lookup), "lookup", A_GIMME, 0);
    addmess(method(probe_misstep), "misstep", A_GIMME, 0);
    addmess(method(probe_header), "header", A_GIMME, 0);
    addmess(method(probe_scribble), "scribble", A_GIMME, 0);
    addmess(method(probe_fpu), "fpu", A_GIMME, 0);
    addmess(method(probe_fpu_change), "fpuchange", A_GIMME, 0);
    addmess(method(probe_fpu_perform), "fpuperform", A_GIMME, 0);
    addmess(method(probe_rt_fault), "rtfault", A_GIMME, 0);
#ifndef PROBE_FLOAT_ONLY
    addint(method(probe_int));
#endif
#ifndef PROBE_INT_ONLY
    addfloat(method(probe_float));
#endif
#endif
    return 0;
}
#endif
