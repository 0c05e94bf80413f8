// Message delivery: through which inlet, to which handler, with what atoms.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "runtime.h"

namespace standin {

namespace {

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

// The receiving object, after checking the box and the inlet.
ObjectState* receiver(Box* box, int inlet, std::string* error) {
    if (!live_box(box)) {
        fail(error, "no such box");
        return nullptr;
    }
    ObjectState* state = object_state(box->object);
    if (!state) {
        fail(error, "no such box");
        return nullptr;
    }
    bool found = inlet == 0;
    for (Proxy* p : state->proxies) found = found || p->number == inlet;
    if (!found) {
        fail(error, box->cls->name + ": no inlet " + std::to_string(inlet));
        return nullptr;
    }
    return state;
}

// Tells the object which inlet the message came through, as its proxies
// were told to: the inlet's number, or 0 for the leftmost inlet.
void mark_inlet(ObjectState& state, int inlet) {
    for (Proxy* p : state.proxies)
        if (p->location && (inlet == 0 || p->number == inlet)) *p->location = inlet;
}

bool no_method(Box* box, const std::string& selector, std::string* error) {
    return fail(error, box->cls->name + ": no method for '" + selector + "'");
}

// A float reaching a class that takes only ints: truncated toward zero to a
// 64-bit integer, of which the int keeps the low 32 bits, as 32-bit Max
// converts. NaN, infinities and values beyond 64 bits, which have no integer,
// give 0 here.
int32_t truncate_to_int(double value) {
    if (!(std::fabs(value) < 0x1p63)) return 0;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value))));
}

bool is_number(const Atom& a) { return a.kind == Atom::Int || a.kind == Atom::Float; }

double number_of(const Atom& a) { return a.kind == Atom::Int ? a.i : static_cast<double>(a.f); }

}  // namespace

bool send_int(Box* box, int inlet, int32_t value, std::string* error) {
    ObjectState* state = receiver(box, inlet, error);
    if (!state) return false;
    Class& cls = *state->cls;
    if (!cls.int_handler && !cls.float_handler) return no_method(box, "int", error);
    mark_inlet(*state, inlet);
    ExternalCall call(&cls, "int handler");
    if (cls.int_handler)
        reinterpret_cast<MaxIntMethod>(cls.int_handler)(box->object, value);
    else
        reinterpret_cast<MaxFloatMethod>(cls.float_handler)(box->object, value);
    return true;
}

bool send_float(Box* box, int inlet, double value, std::string* error) {
    ObjectState* state = receiver(box, inlet, error);
    if (!state) return false;
    Class& cls = *state->cls;
    if (!cls.int_handler && !cls.float_handler) return no_method(box, "float", error);
    mark_inlet(*state, inlet);
    ExternalCall call(&cls, "float handler");
    if (cls.float_handler)
        reinterpret_cast<MaxFloatMethod>(cls.float_handler)(box->object, value);
    else
        reinterpret_cast<MaxIntMethod>(cls.int_handler)(box->object, truncate_to_int(value));
    return true;
}

bool send_message(Box* box, int inlet, const std::string& selector, const std::vector<Atom>& atoms,
                  std::string* error) {
    if ((selector == "int" || selector == "float") && !atoms.empty() && is_number(atoms[0])) {
        if (selector == "float") return send_float(box, inlet, number_of(atoms[0]), error);
        return send_int(box, inlet, atoms[0].kind == Atom::Int ? atoms[0].i : truncate_to_int(atoms[0].f), error);
    }
    std::vector<MaxAtom> argv(atoms.size());
    for (size_t k = 0; k < atoms.size(); ++k) {
        const Atom& a = atoms[k];
        MaxAtom& out = argv[k];
        switch (a.kind) {
        case Atom::Int: out.type = A_LONG; out.value.w_long = a.i; break;
        case Atom::Float: out.type = A_FLOAT; out.value.w_float = a.f; break;
        case Atom::Symbol: out.type = A_SYM; out.value.w_sym = symbol(a.s); break;
        }
    }
    return send_atoms(box, inlet, selector, argv, error);
}

bool send_atoms(Box* box, int inlet, const std::string& selector, const std::vector<MaxAtom>& atoms,
                std::string* error) {
    if ((selector == "int" || selector == "float") && !atoms.empty() &&
        (atoms[0].type == A_LONG || atoms[0].type == A_FLOAT)) {
        const MaxAtom& a = atoms[0];
        if (selector == "float")
            return send_float(box, inlet, a.type == A_LONG ? a.value.w_long : static_cast<double>(a.value.w_float),
                              error);
        return send_int(box, inlet, a.type == A_LONG ? a.value.w_long : truncate_to_int(a.value.w_float), error);
    }
    ObjectState* state = receiver(box, inlet, error);
    if (!state) return false;
    const Method* m = state->cls->method(symbol(selector));
    // Private methods ("dsp") are the host's own business.
    if (!m || (!m->types.empty() && m->types[0] == A_CANT)) return no_method(box, selector, error);
    if (!m->types.empty() && m->types[0] != A_GIMME)
        return fail(error, box->cls->name + ": '" + selector + "' takes arguments that this host does not pass");
    if (atoms.size() > static_cast<size_t>(std::numeric_limits<int16_t>::max()))
        return fail(error, box->cls->name + ": too many atoms for '" + selector + "'");

    // The handler gets its own copy: what it does to the atoms stays with it.
    std::vector<MaxAtom> argv(atoms);
    mark_inlet(*state, inlet);
    ExternalCall call(state->cls, "message handler");
    if (m->types.empty())
        reinterpret_cast<void (*)(void*)>(m->fn)(box->object);
    else
        reinterpret_cast<MaxGimmeMethod>(m->fn)(box->object, symbol(selector), static_cast<int16_t>(argv.size()),
                                                argv.data());
    return true;
}

bool send_text(Box* box, int inlet, const std::string& text, std::string* error) {
    std::vector<Atom> atoms = parse_atoms(text);
    if (atoms.empty()) return fail(error, "empty message");
    if (atoms.size() == 1 && atoms[0].kind == Atom::Int) return send_int(box, inlet, atoms[0].i, error);
    if (atoms.size() == 1 && atoms[0].kind == Atom::Float) return send_float(box, inlet, atoms[0].f, error);
    if (is_number(atoms[0])) return send_message(box, inlet, "list", atoms, error);
    std::string selector = atoms[0].s;
    atoms.erase(atoms.begin());
    return send_message(box, inlet, selector, atoms, error);
}

void loadbang_all() {
    MaxSymbol* loadbang = symbol("loadbang");
    for (Box* box : boxes()) {
        if (!live_box(box)) continue;
        const Method* m = box->cls->method(loadbang);
        if (!m) continue;
        ExternalCall call(box->cls, "loadbang handler");
        if (!m->types.empty() && m->types[0] == A_GIMME)
            reinterpret_cast<MaxGimmeMethod>(m->fn)(box->object, loadbang, 0, nullptr);
        else
            reinterpret_cast<void (*)(void*)>(m->fn)(box->object);
    }
}

}  // namespace standin
