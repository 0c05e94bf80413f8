// The signal chain: signal objects, compiling (each object's "dsp" call and
// the routines it installs with dsp_add), and running it one vector at a
// time, on the host application's thread or on an audio thread of the
// host's own.
#include <algorithm>
#include <string>

#include "detail.h"
#include "runtime.h"
#include "system.h"

namespace standin {

namespace {

// More signal inlets than any object could want: a count beyond this is a
// garbled argument, not a request.
constexpr int kMaxSignalInlets = 1024;

// Whether this thread holds the chain lock.
thread_local bool holds_chain = false;

// Ends every chain: the walk stops at the null it returns.
intptr_t* chain_end(intptr_t*) { return nullptr; }

void set_error(std::string* error, std::string text) {
    if (error) *error = std::move(text);
}

SignalHeader* header_of(const void* ob) { return static_cast<SignalHeader*>(const_cast<void*>(ob)); }

// Gives one box its vectors and signal records, then its "dsp" call.
void compile_box(Box& box, ObjectState& state, double rate_hz, int n) {
    SignalHeader* header = header_of(box.object);
    // What z_dsp_setup wrote must still be there: an object whose own fields
    // overlap the header has written over it.
    if (header->signal_inlets != state.signal_inlets || header->host != &state) {
        host_error("dsp: %s: its signal-object header has been overwritten: left out of the chain",
                   box.cls->name.c_str());
        return;
    }
    const int ins = state.signal_inlets;
    const int outs = state.signal_outlets();
    // Sharing is the default; the object's flag word asks for separate vectors.
    const bool shared = (header->flags & 1) == 0 && ins > 0 && outs > 0;

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
    if (dsp && dsp->fn) {
        rt().chain.compiling_box = &box;
        {
            ExternalCall call(box.cls, "dsp method");
            reinterpret_cast<MaxDspMethod>(dsp->fn)(box.object, box.signal_refs.data(), box.counts.data());
        }
        rt().chain.compiling_box = nullptr;
    }
}

// A muted object's outlets carry silence: its routines do not run.
void silence_outlets(const Box& box) {
    for (size_t k = box.inputs.size(); k < box.signals.size(); ++k)
        std::fill_n(box.signals[k].vec, box.signals[k].n, 0.0f);
}

// Whether there is a chain to run, not being compiled or run just now.
bool ready_to_run(std::string* error) {
    const Chain& chain = rt().chain;
    if (chain.running || chain.compiling) {
        set_error(error, "the signal chain is busy");
        return false;
    }
    if (!chain.valid) {
        set_error(error, "no compiled signal chain" + (chain.why_not.empty() ? "" : ": " + chain.why_not));
        return false;
    }
    return true;
}

// Runs the installed routines once, in order; the caller holds the lock.
bool run_chain(std::string* error) {
    Chain& chain = rt().chain;
    chain.running = true;
    intptr_t* w = chain.words.data();
    size_t entry = 0;
    bool ok = true;
    while (w) {
        const Chain::Entry* e = entry < chain.entries.size() ? &chain.entries[entry] : nullptr;
        if (e && (!e->live || header_of(e->owner)->disabled != 0)) {
            if (e->live) silence_outlets(*e->box);
            w += 1 + e->count;
            ++entry;
            continue;
        }
        const fpu::State before = fpu::read();
        intptr_t* next = reinterpret_cast<MaxPerformMethod>(w[0])(w);
        const fpu::State after = fpu::read();
        if (fpu::control_of(after) != fpu::control_of(before)) {
            fpu::write(before);
            set_error(error, "perform routine changed the floating-point control state (" +
                                 describe_fpu_change(fpu::control_of(before), fpu::control_of(after)) +
                                 ") (routine " + std::to_string(entry) + " of the chain)");
            ok = false;
            break;
        }
        if (!chain.valid) {  // a routine made the host drop the chain
            set_error(error, "the signal chain was dropped while it ran: " + chain.why_not);
            ok = false;
            break;
        }
        intptr_t* expected = e ? w + 1 + e->count : nullptr;
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

// The audio thread: vector after vector until told to stop, or until a
// routine misbehaves; at least one, however soon it is told. It runs in the
// floating-point state of the thread that started it.
void audio_body(void* state) {
    fpu::write(*static_cast<const fpu::State*>(state));
    Chain& chain = rt().chain;
    do {
        bool ran = false;
        bool ok = true;
        {
            ChainLock lock;
            if (chain.valid) {
                ran = true;
                ok = run_chain(&chain.audio_error);
                if (ok) ++chain.audio_vectors;
            }
        }
        if (!ok) break;
        // Between two vectors a host's own thread that waits for the chain
        // gets it, as it would while the audio device plays a buffer.
        while (chain.waiting.load() > 0 && !chain.audio_stop.load()) system::yield_thread();
        if (!ran) system::yield_thread();
    } while (!chain.audio_stop.load());
}

}  // namespace

ChainLock::ChainLock() : nested_(holds_chain) {
    if (nested_) return;
    Chain& chain = rt().chain;
    chain.waiting.fetch_add(1);
    while (chain.locked.exchange(true, std::memory_order_acquire)) system::yield_thread();
    chain.waiting.fetch_sub(1);
    holds_chain = true;
}

ChainLock::~ChainLock() {
    if (nested_) return;
    holds_chain = false;
    rt().chain.locked.store(false, std::memory_order_release);
}

void invalidate_chain(const char* why) {
    Chain& chain = rt().chain;
    if (chain.valid) chain.why_not = why;
    chain.valid = false;
}

void leave_chain(MaxObject* ob) {
    ChainLock lock;
    for (Chain::Entry& e : rt().chain.entries)
        if (e.owner == ob) e.live = false;
}

void dsp_compile(double rate_hz, int vector_size) {
    Runtime& r = rt();
    Chain& chain = r.chain;
    ChainLock lock;
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
    if (chain.audio) {
        set_error(error, "the signal chain runs on the host's audio thread");
        return false;
    }
    ChainLock lock;
    return ready_to_run(error) && run_chain(error);
}

bool box_mute(Box* box, bool muted) {
    if (!live_box(box)) return false;
    ObjectState* state = object_state(box->object);
    if (!state || state->signal_inlets < 0) return false;
    ChainLock lock;
    header_of(box->object)->disabled = muted ? 1 : 0;
    return true;
}

bool audio_start(std::string* error) {
    Chain& chain = rt().chain;
    if (chain.audio) {
        set_error(error, "the audio thread already runs");
        return false;
    }
    if (!ready_to_run(error)) return false;
    chain.audio_stop.store(false);
    chain.audio_vectors = 0;
    chain.audio_error.clear();
    std::string why;
    chain.audio_fpu = fpu::read();
    chain.audio = system::start_thread(audio_body, &chain.audio_fpu, &why);
    if (!chain.audio) {
        set_error(error, "cannot start the audio thread: " + why);
        return false;
    }
    return true;
}

long audio_stop(std::string* error) {
    Chain& chain = rt().chain;
    if (!chain.audio) return 0;
    chain.audio_stop.store(true);
    system::join_thread(chain.audio);
    chain.audio = nullptr;
    if (!chain.audio_error.empty()) set_error(error, chain.audio_error);
    return chain.audio_vectors;
}

}  // namespace standin

namespace standin::detail {

void signal_setup(void* x, int32_t inlets) {
    ObjectState* state = object_state(x);
    if (!state) {
        host_error("z_dsp_setup: not an object of this host");
        return;
    }
    if (state->cls->size < sizeof(SignalHeader)) {
        host_error("z_dsp_setup: %s: the object is smaller than a signal object header", state->cls->name.c_str());
        return;
    }
    if (inlets < 0 || inlets > kMaxSignalInlets) {
        host_error("z_dsp_setup: %s: %ld signal inlets (0 to %d allowed)", state->cls->name.c_str(),
                   static_cast<long>(inlets), kMaxSignalInlets);
        inlets = 0;
    }
    // Every field of the header is the host's; the object sets its flag
    // word afterwards.
    SignalHeader* header = header_of(x);
    header->signal_inlets = inlets;
    header->host = state;
    header->disabled = 0;
    header->count = 0;
    header->flags = 0;
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
    // Returns only once the audio thread is outside the object's routines;
    // they never run again.
    leave_chain(static_cast<MaxObject*>(x));
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
    if (!chain.compiling || !chain.compiling_box) {
        host_error("dsp_add: called outside a signal-chain compile");
        return;
    }
    if (!routine) {
        host_error("dsp_add: no perform routine");
        return;
    }
    Box* box = chain.compiling_box;
    chain.entries.push_back({chain.words.size(), count, box->object, box, true});
    chain.words.push_back(reinterpret_cast<intptr_t>(routine));
    chain.words.insert(chain.words.end(), words, words + count);
}

}  // namespace standin::detail
