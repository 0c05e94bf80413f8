// The signal chain: signal objects, compiling (each object's "dsp" call and
// the routines it installs with dsp_add) and running one vector at a time.
#include <string>

#include "detail.h"
#include "runtime.h"

namespace standin {

namespace {

// Ends every chain: the walk stops at the null it returns.
intptr_t* chain_end(intptr_t*) { return nullptr; }

void set_error(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

// Gives one box its vectors and signal records, then its "dsp" call.
void compile_box(Box& box, ObjectState& state, double rate_hz, int n) {
    auto* header = reinterpret_cast<MaxSignalObject*>(box.object);
    const int ins = state.signal_inlets;
    const int outs = state.signal_outlets();
    const bool shared = header->flags == 0 && ins > 0 && outs > 0;

    box.inputs.resize(static_cast<size_t>(ins));
    for (Vector& v : box.inputs) v.resize(n);
    box.outputs.resize(static_cast<size_t>(outs));
    box.signals.clear();
    for (Vector& v : box.inputs) box.signals.push_back({n, v.data.get(), static_cast<float>(rate_hz)});
    for (int i = 0; i < outs; ++i) {
        Vector& v = box.outputs[static_cast<size_t>(i)];
        float* vec;
        if (i == 0 && shared) {
            v = Vector{};
            vec = box.inputs[0].data.get();
        } else {
            v.resize(n);
            vec = v.data.get();
        }
        box.signals.push_back({n, vec, static_cast<float>(rate_hz)});
    }
    box.output = outs > 0 ? box.signals[static_cast<size_t>(ins)].vec : nullptr;
    box.signal_refs.clear();
    for (MaxSignal& s : box.signals) box.signal_refs.push_back(&s);
    box.counts.assign(box.signals.size(), 0);

    const Method* dsp = box.cls->method(symbol("dsp"));
    if (dsp && dsp->fn)
        reinterpret_cast<MaxDspMethod>(dsp->fn)(box.object, box.signal_refs.data(), box.counts.data());
}

}  // namespace

void invalidate_chain(const char* why) {
    Chain& chain = rt().chain;
    if (chain.valid) chain.why_not = why;
    chain.valid = false;
}

void dsp_compile(double rate_hz, int vector_size) {
    Runtime& r = rt();
    Chain& chain = r.chain;
    if (chain.compiling || chain.running) {
        host_error("dsp_compile: the chain is being %s", chain.compiling ? "compiled" : "run");
        return;
    }
    chain.valid = false;
    chain.words.clear();
    chain.entries.clear();
    if (vector_size <= 0 || !(rate_hz > 0)) {
        chain.why_not = "the chain was compiled with a vector size or rate that is not positive";
        return;
    }
    chain.compiling = true;
    for (Box* box : boxes()) {
        if (!live_box(box)) continue;  // released by an earlier "dsp" call
        ObjectState* state = object_state(box->object);
        if (!state || !box->cls->takes_signals || state->signal_inlets < 0 || state->dsp_freed) continue;
        compile_box(*box, *state, rate_hz, vector_size);
    }
    chain.words.push_back(reinterpret_cast<intptr_t>(&chain_end));
    chain.compiling = false;
    chain.valid = true;
    chain.why_not.clear();
}

float* signal_input(Box* box) {
    if (!live_box(box) || !rt().chain.valid || box->inputs.empty()) return nullptr;
    return box->inputs[0].data.get();
}

const float* signal_output(Box* box) {
    if (!live_box(box) || !rt().chain.valid) return nullptr;
    return box->output;
}

bool run_vector(std::string* error) {
    Chain& chain = rt().chain;
    if (chain.running || chain.compiling) {
        set_error(error, "the signal chain is busy");
        return false;
    }
    if (!chain.valid) {
        set_error(error, "no compiled signal chain" + (chain.why_not.empty() ? "" : ": " + chain.why_not));
        return false;
    }
    chain.running = true;
    intptr_t* w = chain.words.data();
    size_t entry = 0;
    bool ok = true;
    while (w) {
        intptr_t* next = reinterpret_cast<MaxPerformMethod>(w[0])(w);
        if (!chain.valid) {  // a routine made the host drop the chain
            set_error(error, "the signal chain was dropped while it ran: " + chain.why_not);
            ok = false;
            break;
        }
        intptr_t* expected = nullptr;
        if (entry < chain.entries.size()) expected = w + 1 + chain.entries[entry].count;
        if (next != expected) {
            set_error(error, "perform routine returned a wrong address (routine " + std::to_string(entry) +
                                 " of the chain)");
            ok = false;
            break;
        }
        ++entry;
        w = next;
    }
    chain.running = false;
    return ok;
}

}  // namespace standin

namespace standin::detail {

void signal_setup(void* x, int inlets) {
    ObjectState* state = object_state(x);
    if (!state) {
        host_error("z_dsp_setup: not an object of this host");
        return;
    }
    if (state->cls->size < sizeof(MaxSignalObject)) {
        host_error("z_dsp_setup: %s: the object is smaller than a signal object header", state->cls->name.c_str());
        return;
    }
    if (inlets < 0) {
        host_error("z_dsp_setup: %s: %d signal inlets", state->cls->name.c_str(), inlets);
        inlets = 0;
    }
    auto* header = static_cast<MaxSignalObject*>(x);
    header->n_signal_inlets = inlets;
    header->host_data = state;
    header->reserved = 0;
    state->signal_inlets = inlets;
    state->dsp_freed = false;
}

void signal_free(void* x) {
    ObjectState* state = object_state(x);
    if (!state) {
        host_error("z_dsp_free: not an object of this host");
        return;
    }
    state->dsp_freed = true;
    invalidate_chain("a signal object left the chain");
}

void class_takes_signals() {
    Class* cls = rt().current;
    if (!cls) {
        host_error("z_add_signalmethod: no class has been set up");
        return;
    }
    cls->takes_signals = true;
}

void chain_append(MaxPerformMethod routine, const intptr_t* words, int32_t count) {
    Chain& chain = rt().chain;
    if (!chain.compiling) {
        host_error("dsp_add: called outside a signal-chain compile");
        return;
    }
    if (!routine) {
        host_error("dsp_add: no perform routine");
        return;
    }
    chain.entries.push_back({chain.words.size(), count});
    chain.words.push_back(reinterpret_cast<intptr_t>(routine));
    chain.words.insert(chain.words.end(), words, words + count);
}

}  // namespace standin::detail
