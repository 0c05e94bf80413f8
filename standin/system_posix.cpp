// system.h for POSIX systems: dlopen, /proc/self/exe and pthreads. The clock needs
// nothing here: libMaxAPI's own time() serves every caller (clock.cpp).
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "system.h"

namespace standin::system {

std::string executable_dir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    std::string exe(path, static_cast<size_t>(n));
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
}

void* open_library(const std::string& path, std::string* error) {
    dlerror();
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char* why = dlerror();
        if (error) *error = why ? why : "unknown error";
    }
    return handle;
}

// The `main` defined by the library itself, not one it merely reaches.
MaxMainFunction library_main(void* handle) {
    void* sym = dlsym(handle, "main");
    if (!sym) return nullptr;
    link_map* map = nullptr;
    Dl_info info;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !dladdr(sym, &info) || !map || !info.dli_fname ||
        std::string(info.dli_fname) != map->l_name)
        return nullptr;
    return reinterpret_cast<MaxMainFunction>(sym);
}

struct Thread {
    pthread_t id;
    void (*body)(void*);
    void* arg;
};

namespace {
void* thread_entry(void* t) {
    auto* thread = static_cast<Thread*>(t);
    thread->body(thread->arg);
    return nullptr;
}
}  // namespace

Thread* start_thread(void (*body)(void*), void* arg, std::string* error) {
    auto* thread = new Thread{{}, body, arg};
    const int code = pthread_create(&thread->id, nullptr, thread_entry, thread);
    if (code != 0) {
        if (error) *error = std::strerror(code);
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_thread(Thread* thread) {
    pthread_join(thread->id, nullptr);
    delete thread;
}

void yield_thread() { sched_yield(); }

}  // namespace standin::system
