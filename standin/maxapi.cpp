// The MaxAPI operations that externals call: classes, objects, inlets,
// outlets, symbols and the console.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "runtime.h"

using namespace standin;

namespace {

// Type-code lists end with 0; a list missing its end is cut off here
// rather than read on forever.
constexpr int max_type_codes = 16;

std::vector<int16_t> read_types(int16_t first, va_list ap) {
    std::vector<int16_t> types;
    for (int code = first; code != A_NOTHING && static_cast<int>(types.size()) < max_type_codes;
         code = va_arg(ap, int))
        types.push_back(static_cast<int16_t>(code));
    return types;
}

std::string format_line(const char* format, va_list ap) {
    char small[256];
    va_list again;
    va_copy(again, ap);
    int length = std::vsnprintf(small, sizeof small, format, ap);
    std::string line;
    if (length < 0) {
        line = format;  // a format vsnprintf rejects: shown as it is
    } else if (static_cast<size_t>(length) < sizeof small) {
        line.assign(small, static_cast<size_t>(length));
    } else {
        line.resize(static_cast<size_t>(length));
        std::vsnprintf(line.data(), line.size() + 1, format, again);
    }
    va_end(again);
    return line;
}

Class* registering(const char* what) {
    Class* cls = rt().current;
    if (!cls) host_error("%s: no class has been set up", what);
    return cls;
}

}  // namespace

// setup and addmess end their named parameters with a 16-bit type code, as
// the host interface has them, before the variable part. The compilers we
// build with take va_start after it as after an int (the promoted type);
// clang warns that the language leaves it undefined.
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wvarargs"
#endif

extern "C" {

void setup(void** class_slot, MaxMethod creator, MaxMethod release, int16_t size, MaxMethod menu, int16_t type,
           ...) {
    (void)menu;
    try {
        Runtime& r = rt();
        if (!class_slot) {
            host_error("setup: no class slot");
            return;
        }
        if (!r.loading) host_error("setup: called outside an external's main");
        Class* cls = new_class(r.loading ? *r.loading : std::string("(unnamed)"));
        cls->creator = creator;
        cls->release = release;
        cls->size = size > 0 ? static_cast<size_t>(size) : 0;
        va_list ap;
        va_start(ap, type);
        cls->creator_types = read_types(type, ap);
        va_end(ap);
        r.current = cls;
        if (r.loading) r.libraries[*r.loading].cls = cls;
        *class_slot = cls;
    } catch (const std::bad_alloc&) {
        host_error("setup: out of memory");
    }
}

void addmess(MaxMethod method, const char* name, int16_t type, ...) {
    try {
        Class* cls = registering("addmess");
        if (!cls) return;
        if (!name || !method) {
            host_error("addmess: %s", name ? "no method" : "no message name");
            return;
        }
        va_list ap;
        va_start(ap, type);
        Method m{method, read_types(type, ap)};
        va_end(ap);
        cls->methods[symbol(name)] = std::move(m);
    } catch (const std::bad_alloc&) {
        host_error("addmess: out of memory");
    }
}

void addint(MaxMethod method) {
    if (Class* cls = registering("addint")) cls->int_handler = method;
}

void addfloat(MaxMethod method) {
    if (Class* cls = registering("addfloat")) cls->float_handler = method;
}

void* newobject(void* cls_ref) {
    Runtime& r = rt();
    Class* cls = nullptr;
    for (auto& c : r.classes)
        if (c.get() == cls_ref && !c->builtin) cls = c.get();
    if (!cls) {
        host_error("newobject: not a class of this host");
        return nullptr;
    }
    try {
        auto state = std::make_unique<ObjectState>();
        state->cls = cls;
        auto* ob = static_cast<MaxObject*>(std::calloc(1, std::max(cls->size, sizeof(MaxObject))));
        if (!ob) throw std::bad_alloc();
        ob->messlist = cls->messlist();
        r.objects.emplace(ob, std::move(state));
        return ob;
    } catch (const std::bad_alloc&) {
        host_error("newobject: out of memory");
        return nullptr;
    }
}

void freeobject(void* ob) {
    if (!ob) return;
    Runtime& r = rt();
    if (r.proxies.count(static_cast<Proxy*>(ob))) {
        release_proxy(static_cast<Proxy*>(ob));
        return;
    }
    ObjectState* state = object_state(ob);
    if (!state) {
        host_error("freeobject: not an object of this host");
        return;
    }
    if (state->releasing) {
        host_error("freeobject: %s is already being released", state->cls->name.c_str());
        return;
    }
    destroy_object(static_cast<MaxObject*>(ob));
}

void* outlet_new(void* x, const char* type) {
    ObjectState* state = object_state(x);
    if (!state) {
        host_error("outlet_new: not an object of this host");
        return nullptr;
    }
    try {
        state->outlets.push_back(std::make_unique<Outlet>(Outlet{type && std::strcmp(type, "signal") == 0}));
        return state->outlets.back().get();
    } catch (const std::bad_alloc&) {
        host_error("outlet_new: out of memory");
        return nullptr;
    }
}

void* proxy_new(void* x, int32_t inlet_number, int32_t* inlet_location) {
    ObjectState* state = object_state(x);
    if (!state) {
        host_error("proxy_new: not an object of this host");
        return nullptr;
    }
    const char* name = state->cls->name.c_str();
    if (inlet_number < 1) {
        host_error("proxy_new: %s: inlet %d is not a proxy inlet", name, static_cast<int>(inlet_number));
        return nullptr;
    }
    for (Proxy* p : state->proxies) {
        if (p->number == inlet_number) {
            host_error("proxy_new: %s: inlet %d already has a proxy", name, static_cast<int>(inlet_number));
            return nullptr;
        }
    }
    try {
        auto* proxy = new Proxy{static_cast<MaxObject*>(x), inlet_number, inlet_location};
        rt().proxies.insert(proxy);
        state->proxies.push_back(proxy);
        return proxy;
    } catch (const std::bad_alloc&) {
        host_error("proxy_new: out of memory");
        return nullptr;
    }
}

MaxSymbol* gensym(const char* text) {
    try {
        return symbol(text ? text : "");
    } catch (const std::bad_alloc&) {
        host_error("gensym: out of memory");
        return nullptr;
    }
}

void post(const char* format, ...) {
    if (!format) return;
    std::string line;
    bool made = true;
    va_list ap;
    va_start(ap, format);
    try {
        line = format_line(format, ap);
    } catch (const std::bad_alloc&) {
        made = false;
    }
    va_end(ap);
    try {
        if (made) add_console_line(std::move(line));
    } catch (const std::bad_alloc&) {
    }
}

}  // extern "C"
