// Named objects the host makes itself: buffer~ objects, which hold samples,
// and "table" objects, which only take up a name.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "runtime.h"

namespace standin {

namespace {

MaxBuffer* bound_buffer(MaxSymbol* name) {
    if (!name || !name->thing) return nullptr;
    auto* b = reinterpret_cast<MaxBuffer*>(name->thing);
    return rt().buffers.count(b) ? b : nullptr;
}

MaxBuffer* bound_buffer(const std::string& name) { return bound_buffer(find_symbol(name)); }

// A deleted or displaced buffer~: kept, empty and invalid, so that an
// external still holding it reads nothing rather than freed memory.
void empty_buffer(MaxBuffer* b) {
    std::free(b->samples);
    b->samples = nullptr;
    b->frames = 0;
    b->valid = 0;
}

}  // namespace

MaxBuffer* buffer_set(const std::string& name, const std::vector<float>& samples, double rate_hz, int channels) {
    if (channels < 1 || samples.size() % static_cast<size_t>(channels) != 0) {
        host_error("buffer~ %s: %zu samples are not whole frames of %d channels", name.c_str(), samples.size(),
                   channels);
        return nullptr;
    }
    if (samples.size() / static_cast<size_t>(channels) > static_cast<size_t>(std::numeric_limits<int32_t>::max())) {
        host_error("buffer~ %s: %zu samples are too many", name.c_str(), samples.size());
        return nullptr;
    }
    Runtime& r = rt();
    ChainLock between_vectors;
    try {
        MaxSymbol* sym = symbol(name);
        // Exactly as many floats as samples: a read past the end is caught.
        float* data = nullptr;
        if (!samples.empty()) {
            data = static_cast<float*>(std::malloc(samples.size() * sizeof(float)));
            if (!data) throw std::bad_alloc();
            std::memcpy(data, samples.data(), samples.size() * sizeof(float));
        }
        MaxBuffer* b = bound_buffer(sym);
        if (!b) {
            b = static_cast<MaxBuffer*>(std::calloc(1, sizeof(MaxBuffer)));
            if (!b) {
                std::free(data);
                throw std::bad_alloc();
            }
            b->header.messlist = r.buffer_class->messlist();
            r.buffers.insert(b);
            sym->thing = &b->header;  // a table bound here stays alive, unbound
        }
        std::free(b->samples);
        b->samples = data;
        b->frames = static_cast<int32_t>(samples.size() / static_cast<size_t>(channels));
        b->channels = channels;
        b->sr_khz = static_cast<float>(rate_hz / 1000);
        b->valid = 1;
        return b;
    } catch (const std::bad_alloc&) {
        host_error("buffer~ %s: out of memory", name.c_str());
        return nullptr;
    }
}

bool buffer_delete(const std::string& name) {
    ChainLock between_vectors;
    MaxBuffer* b = bound_buffer(name);
    if (!b) return false;
    find_symbol(name)->thing = nullptr;
    empty_buffer(b);
    return true;
}

bool buffer_set_valid(const std::string& name, bool valid) {
    ChainLock between_vectors;
    MaxBuffer* b = bound_buffer(name);
    if (!b) return false;
    b->valid = valid ? 1 : 0;
    return true;
}

MaxBuffer* buffer_find(const std::string& name) { return bound_buffer(name); }

MaxObject* table_set(const std::string& name) {
    Runtime& r = rt();
    ChainLock between_vectors;
    try {
        MaxSymbol* sym = symbol(name);
        if (sym->thing && r.tables.count(sym->thing)) return sym->thing;
        auto* t = static_cast<MaxObject*>(std::calloc(1, sizeof(MaxObject)));
        if (!t) throw std::bad_alloc();
        t->messlist = r.table_class->messlist();
        r.tables.insert(t);
        if (MaxBuffer* b = bound_buffer(sym)) empty_buffer(b);
        sym->thing = t;
        return t;
    } catch (const std::bad_alloc&) {
        host_error("table %s: out of memory", name.c_str());
        return nullptr;
    }
}

}  // namespace standin
