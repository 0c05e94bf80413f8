// MaxAPIFaults: the process's nothrow operator new[], able to refuse calls
// on request (see host.h). Linked into a host application's executable, it
// comes first in the dynamic linker's lookup, ahead of the C++ library and of
// a sanitizer runtime, so externals' calls land here; each call it does not
// refuse goes on to the definition it replaces (the next one in lookup order),
// so that the matching operator delete[] frees it.
#include <dlfcn.h>

#include <atomic>
#include <cstddef>
#include <new>

#include "host.h"

namespace {

std::atomic<int> to_refuse{0};
std::atomic<size_t> refuse_from{0};
std::atomic<int> refused{0};

using NothrowNewArray = void* (*)(std::size_t, const std::nothrow_t&) noexcept;

NothrowNewArray replaced() {
    static const NothrowNewArray next =
        reinterpret_cast<NothrowNewArray>(dlsym(RTLD_NEXT, "_ZnamRKSt9nothrow_t"));
    return next;
}

// Takes one refusal if this call is to be refused.
bool refuse(std::size_t bytes) {
    if (bytes < refuse_from.load()) return false;
    int left = to_refuse.load();
    while (left > 0)
        if (to_refuse.compare_exchange_weak(left, left - 1)) return true;
    return false;
}

}  // namespace

void standin::fail_allocations(int count, size_t min_bytes) {
    refuse_from = min_bytes;
    to_refuse = count > 0 ? count : 0;
}

int standin::failed_allocations() { return refused.load(); }

void* operator new[](std::size_t bytes, const std::nothrow_t& tag) noexcept {
    if (refuse(bytes)) {
        ++refused;
        return nullptr;
    }
    if (NothrowNewArray next = replaced()) return next(bytes, tag);
    try {
        return ::operator new[](bytes);
    } catch (...) {
        return nullptr;
    }
}
