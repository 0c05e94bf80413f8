// The runtime itself: symbols, classes, the object table, the console, and
// the life of boxes (deletion, reset).
#include "runtime.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace standin {

namespace {

MaxSymbol* symbol_in(Runtime& r, const std::string& text) {
    auto& slot = r.symbols[text];
    if (!slot) {
        char* name = new char[text.size() + 1];
        std::memcpy(name, text.c_str(), text.size() + 1);
        slot.reset(new MaxSymbol{name, nullptr});
    }
    return slot.get();
}

Class* new_class_in(Runtime& r, const std::string& name) {
    auto cls = std::make_unique<Class>();
    cls->name = name;
    cls->name_record.name = symbol_in(r, name);
    cls->list.name_record = &cls->name_record;
    cls->list.owner = cls.get();
    r.classes.push_back(std::move(cls));
    return r.classes.back().get();
}

Runtime* make_runtime() {
    auto* r = new Runtime;
    r->buffer_class = new_class_in(*r, "buffer~");
    r->buffer_class->builtin = true;
    r->table_class = new_class_in(*r, "table");
    r->table_class->builtin = true;
    r->class_by_name["buffer~"] = r->buffer_class;
    r->class_by_name["table"] = r->table_class;
    return r;
}

// Frees an object's memory and forgets it, without its release routine.
// Proxies it still has are left over as leaked ones, to be counted.
void forget_object(MaxObject* ob) {
    Runtime& r = rt();
    auto it = r.objects.find(ob);
    if (it == r.objects.end()) return;
    for (Proxy* p : it->second->proxies) p->owner = nullptr;
    r.objects.erase(it);
    std::free(ob);
}

}  // namespace

// Never destroyed: externals are never unloaded, and at exit they may be
// finalized before this library, so nothing here calls back into them then.
Runtime& rt() {
    static Runtime* runtime = make_runtime();
    return *runtime;
}

MaxSymbol* symbol(const std::string& text) { return symbol_in(rt(), text); }

MaxSymbol* find_symbol(const std::string& text) {
    auto& symbols = rt().symbols;
    auto it = symbols.find(text);
    return it == symbols.end() ? nullptr : it->second.get();
}

Class* new_class(const std::string& name) { return new_class_in(rt(), name); }

const Method* Class::method(MaxSymbol* selector) const {
    auto it = methods.find(selector);
    return it == methods.end() ? nullptr : &it->second;
}

void Vector::resize(int size) {
    if (size != n || !data) {
        data.reset(new float[size > 0 ? size : 1]);
        n = size;
    }
    std::fill_n(data.get(), n, 0.0f);
}

int ObjectState::signal_outlets() const {
    return static_cast<int>(std::count_if(outlets.begin(), outlets.end(), [](auto& o) { return o->signal; }));
}

// --- Console ---------------------------------------------------------------

void add_console_line(std::string line) {
    Runtime& r = rt();
    r.console.push_back(line);
    // A sink that posts again only adds lines: it is not called recursively.
    if (r.sink && !r.in_sink) {
        r.in_sink = true;
        try {
            r.sink(line);
        } catch (...) {
        }
        r.in_sink = false;
    }
}

void host_error(const char* format, ...) {
    char text[512];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    add_console_line(std::string("error: ") + text);
}

std::vector<std::string> take_console() {
    std::vector<std::string> lines;
    lines.swap(rt().console);
    return lines;
}

void set_console_sink(std::function<void(const std::string&)> sink) { rt().sink = std::move(sink); }

// --- Calls into externals -------------------------------------------------

std::string describe_fpu_change(const fpu::State& before, const fpu::State& after) {
    char text[128];
    std::string change;
    if (before.x87 != after.x87) {
        std::snprintf(text, sizeof text, "x87 control word 0x%04X -> 0x%04X", unsigned{before.x87}, unsigned{after.x87});
        change = text;
    }
    if (before.mxcsr != after.mxcsr) {
        std::snprintf(text, sizeof text, "MXCSR 0x%04X -> 0x%04X", static_cast<unsigned>(before.mxcsr),
                      static_cast<unsigned>(after.mxcsr));
        change += (change.empty() ? "" : ", ") + std::string(text);
    }
    return change;
}

void apply_host_fpu_state() {
    static bool applied = false;
    if (applied) return;
    applied = true;
    std::string why;
    if (!fpu::apply_x87_from_environment(&why)) host_error("%s: ignored", why.c_str());
}

ExternalCall::ExternalCall(const std::string& name, const char* what)
    : name_(name), what_(what), before_(fpu::read()) {}

ExternalCall::ExternalCall(const Class* cls, const char* what) : ExternalCall(cls->name, what) {}

ExternalCall::~ExternalCall() {
    const fpu::State after = fpu::read();
    if (fpu::control_of(after) == fpu::control_of(before_)) return;
    fpu::write(before_);
    host_error("%s: its %s changed the floating-point control state (%s); restored", name_.c_str(), what_,
               describe_fpu_change(fpu::control_of(before_), fpu::control_of(after)).c_str());
}

// --- Objects and boxes -----------------------------------------------------

ObjectState* object_state(const void* ob) {
    if (!ob) return nullptr;
    auto& objects = rt().objects;
    auto it = objects.find(static_cast<MaxObject*>(const_cast<void*>(ob)));
    return it == objects.end() ? nullptr : it->second.get();
}

Box* live_box(Box* box) {
    if (!box) return nullptr;
    for (auto& b : rt().boxes)
        if (b.get() == box) return box;
    return nullptr;
}

void release_proxy(Proxy* proxy) {
    Runtime& r = rt();
    if (ObjectState* owner = object_state(proxy->owner)) {
        auto& list = owner->proxies;
        list.erase(std::remove(list.begin(), list.end(), proxy), list.end());
    }
    r.proxies.erase(proxy);
    delete proxy;
}

void destroy_object(MaxObject* ob) {
    ObjectState* state = object_state(ob);
    if (!state || state->releasing) return;
    state->releasing = true;
    Box* box = state->box;
    if (state->cls->release) {
        ExternalCall call(state->cls, "release routine");
        reinterpret_cast<MaxFreeMethod>(state->cls->release)(ob);
    }
    // Its routines go now if its release routine did not take them out:
    // the object's memory and its box's vectors are about to go.
    leave_chain(ob);
    forget_object(ob);
    if (box) {
        auto& boxes = rt().boxes;
        boxes.erase(std::remove_if(boxes.begin(), boxes.end(), [box](auto& b) { return b.get() == box; }),
                    boxes.end());
    }
}

void box_delete(Box* box) {
    if (live_box(box)) destroy_object(box->object);
}

MaxObject* box_object(Box* box) { return live_box(box) ? box->object : nullptr; }

int box_inlets(Box* box) {
    if (!live_box(box)) return 0;
    ObjectState* state = object_state(box->object);
    return state ? 1 + static_cast<int>(state->proxies.size()) : 0;
}

std::vector<Box*> boxes() {
    std::vector<Box*> list;
    for (auto& b : rt().boxes) list.push_back(b.get());
    return list;
}

int live_proxies() { return static_cast<int>(rt().proxies.size()); }

int live_objects() { return static_cast<int>(rt().objects.size()); }

namespace {

void free_named(MaxObject* ob) {
    MaxSymbol* name = nullptr;
    for (auto& [text, sym] : rt().symbols)
        if (sym->thing == ob) name = sym.get();
    if (name) name->thing = nullptr;
    std::free(ob);
}

}  // namespace

void reset() {
    Runtime& r = rt();
    audio_stop(nullptr);
    invalidate_chain("the host was reset");
    while (!r.boxes.empty()) {
        Box* first = r.boxes.front().get();
        destroy_object(first->object);
        // A box whose object vanished some other way still goes.
        if (!r.boxes.empty() && r.boxes.front().get() == first) r.boxes.erase(r.boxes.begin());
    }
    // Objects that never became boxes (a failed creation, say): memory only,
    // their release routine may expect a finished object.
    while (!r.objects.empty()) forget_object(r.objects.begin()->first);
    while (!r.proxies.empty()) release_proxy(*r.proxies.begin());
    for (MaxBuffer* b : r.buffers) {
        std::free(b->samples);
        free_named(&b->header);
    }
    r.buffers.clear();
    for (MaxObject* t : r.tables) free_named(t);
    r.tables.clear();
    r.chain.words.clear();
    r.chain.entries.clear();
}

}  // namespace standin
