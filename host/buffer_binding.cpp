// Binding to a buffer~ by name, and reporting the binding.
#include "granulator_object.h"

MaxBuffer* find_buffer(MaxSymbol* name) {
    MaxObject* thing = name->thing;
    if (thing && max_class_name(thing) == buffer_class) return reinterpret_cast<MaxBuffer*>(thing);
    post("vorn~: cannot get buffer~ \"%s\"", name->name);
    return nullptr;
}

void set_buffer_name(Granulator* x, MaxAtom* atoms, int16_t count) {
    x->buffer = nullptr;
    if (count > 0 && atoms[0].type == A_SYM && atoms[0].value.w_sym) x->buffer_name = atoms[0].value.w_sym;
    granulator_loadbang(x, nullptr, 0, nullptr);
}

// A failed lookup keeps the buffer already bound.
void MAX_API_CALL granulator_loadbang(Granulator* x, MaxSymbol*, int16_t, MaxAtom*) {
    if (x->buffer_name == empty_symbol) return;
    if (MaxBuffer* b = find_buffer(x->buffer_name)) x->buffer = b;
}

void MAX_API_CALL granulator_print(Granulator* x, MaxSymbol*, int16_t, MaxAtom*) {
    if (!x->buffer) {
        post("vorn~: no buffers");
        return;
    }
    post("vorn~");
    post("  buffer~ \"%s\": %d samples @ %fkHz,", x->buffer_name->name, x->buffer->frames,
         static_cast<double>(x->buffer->sr_khz));
}
