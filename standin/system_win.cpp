// system.h for Windows: LoadLibrary, GetModuleFileName, CreateThread, and
// the clock.
//
// The clock. An external reads the calendar clock through the C runtime's
// time functions (time, _time32 or _time64, by name from msvcrt.dll or
// another C runtime DLL), and Windows binds such a call through the slot
// for that function in the external's own import address table. So right
// after the library is loaded, before its main runs, each such slot is
// pointed at a stand-in below: it gives the fixed reading when set_clock
// has set one, and otherwise calls the function the slot held. Only
// externals that this host loads see the fixed clock; their DllMain (their
// static constructors) runs during LoadLibrary, still on the real clock.
// The import table is read with pe_imports.h, which tests/windows checks
// against objdump on vorn~.mxe.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "pe_imports.h"
#include "system.h"

namespace standin::system {

namespace {

bool fail(std::string* error, std::string text) {
    if (error) *error = std::move(text);
    return false;
}

std::string error_text(DWORD code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
        0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string why = n && text ? std::string(text, n) : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ' || why.back() == '.'))
        why.pop_back();
    return why;
}

// --- The clock's stand-ins -------------------------------------------------

// The C runtime's time functions, by width of their result. msvcrt.dll's
// plain `time` has the width of the platform's time_t.
using Time32 = int32_t(__cdecl*)(int32_t*);
using Time64 = int64_t(__cdecl*)(int64_t*);

// What the first patched slot of each held: the real function, called when
// no fixed reading is set.
uintptr_t real_time = 0;
uintptr_t real_time32 = 0;
uintptr_t real_time64 = 0;

int32_t reading32(int32_t* out, uintptr_t real) {
    const int64_t fixed = fixed_clock_reading();
    if (fixed < 0) return reinterpret_cast<Time32>(real)(out);
    // A reading past 2^31 - 1 keeps its low 32 bits, as a 32-bit clock would.
    const int32_t now = static_cast<int32_t>(static_cast<uint32_t>(fixed));
    if (out) *out = now;
    return now;
}

int64_t reading64(int64_t* out, uintptr_t real) {
    const int64_t fixed = fixed_clock_reading();
    if (fixed < 0) return reinterpret_cast<Time64>(real)(out);
    if (out) *out = fixed;
    return fixed;
}

#if defined(_WIN64)
int64_t __cdecl hooked_time(int64_t* out) { return reading64(out, real_time); }
#else
int32_t __cdecl hooked_time(int32_t* out) { return reading32(out, real_time); }
#endif
int32_t __cdecl hooked_time32(int32_t* out) { return reading32(out, real_time32); }
int64_t __cdecl hooked_time64(int64_t* out) { return reading64(out, real_time64); }

// The stand-in and the saved real function for each clock function.
struct Hook {
    uintptr_t replacement;
    uintptr_t* real;
};

Hook hook_for(pe::Clock clock) {
    switch (clock) {
    case pe::Clock::Time: return {reinterpret_cast<uintptr_t>(&hooked_time), &real_time};
    case pe::Clock::Time32: return {reinterpret_cast<uintptr_t>(&hooked_time32), &real_time32};
    case pe::Clock::Time64: return {reinterpret_cast<uintptr_t>(&hooked_time64), &real_time64};
    case pe::Clock::None: break;
    }
    return {0, nullptr};
}

// Points one import slot at a stand-in, keeping what it held as the real
// function (the first time). Slots are read-only once bound.
bool point_slot(unsigned char* slot_bytes, const Hook& hook) {
    auto* slot = reinterpret_cast<uintptr_t*>(slot_bytes);
    if (*slot == hook.replacement) return true;  // done already
    DWORD old = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old)) return false;
    if (!*hook.real) *hook.real = *slot;
    *slot = hook.replacement;
    VirtualProtect(slot, sizeof *slot, old, &old);
    return true;
}

// Which clock function a slot bound to `address` in `dll` holds, for an
// image without a lookup table (only the bound addresses are left).
pe::Clock bound_clock(const char* dll, uintptr_t address) {
    HMODULE crt = GetModuleHandleA(dll);
    if (!crt) return pe::Clock::None;
    for (const char* name : {"time", "_time32", "_time64"}) {
        FARPROC f = GetProcAddress(crt, name);
        if (f && reinterpret_cast<uintptr_t>(f) == address) return pe::clock_function(name);
    }
    return pe::Clock::None;
}

// Points the module's import slots for the C runtime's time functions at
// the stand-ins above.
bool redirect_clock(HMODULE module, std::string* error) {
    std::string failure;
    const bool image = pe::for_each_import(reinterpret_cast<unsigned char*>(module), [&](const pe::Import& in) {
        if (!failure.empty() || !pe::is_c_runtime(in.dll) || in.width != sizeof(uintptr_t)) return;
        uintptr_t bound;
        std::memcpy(&bound, in.slot, sizeof bound);
        const pe::Clock clock = in.function ? pe::clock_function(in.function) : bound_clock(in.dll, bound);
        if (clock == pe::Clock::None) return;
        if (!point_slot(in.slot, hook_for(clock)))
            failure = std::string("cannot redirect its ") + (in.function ? in.function : "clock") + ": " +
                      error_text(GetLastError());
    });
    if (!image) return fail(error, "not a PE image in memory");
    if (!failure.empty()) return fail(error, failure);
    return true;
}

}  // namespace

std::string executable_dir() {
    std::vector<char> path(MAX_PATH);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            std::string exe(path.data(), n);
            const size_t slash = exe.find_last_of("\\/");
            return slash == std::string::npos ? std::string(".") : exe.substr(0, slash);
        }
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

void* open_library(const std::string& path, std::string* error) {
    // An absolute path with backslashes, so that Windows looks for the DLLs
    // the library imports in its own folder first.
    std::string native = path;
    for (char& c : native)
        if (c == '/') c = '\\';
    char full[MAX_PATH];
    const DWORD n = GetFullPathNameA(native.c_str(), MAX_PATH, full, nullptr);
    if (n > 0 && n < MAX_PATH) native = full;

    // A library that cannot be loaded is reported here, not in a dialog box.
    const UINT old_mode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    HMODULE module = LoadLibraryExA(native.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    const DWORD code = GetLastError();
    SetErrorMode(old_mode);
    if (!module) {
        fail(error, error_text(code));
        return nullptr;
    }
    if (!redirect_clock(module, error)) {
        FreeLibrary(module);  // its main has not run: nothing of it is in use
        return nullptr;
    }
    return module;
}

MaxMainFunction library_main(void* handle) {
    // GetProcAddress finds only what this module itself exports.
    FARPROC sym = GetProcAddress(static_cast<HMODULE>(handle), "main");
    if (!sym) return nullptr;
    return reinterpret_cast<MaxMainFunction>(reinterpret_cast<void (*)(void)>(sym));
}

struct Thread {
    HANDLE handle;
    void (*body)(void*);
    void* arg;
};

namespace {
DWORD WINAPI thread_entry(void* t) {
    auto* thread = static_cast<Thread*>(t);
    thread->body(thread->arg);
    return 0;
}
}  // namespace

Thread* start_thread(void (*body)(void*), void* arg, std::string* error) {
    auto* thread = new Thread{nullptr, body, arg};
    thread->handle = CreateThread(nullptr, 0, thread_entry, thread, 0, nullptr);
    if (!thread->handle) {
        fail(error, error_text(GetLastError()));
        delete thread;
        return nullptr;
    }
    return thread;
}

void join_thread(Thread* thread) {
    WaitForSingleObject(thread->handle, INFINITE);
    CloseHandle(thread->handle);
    delete thread;
}

void yield_thread() { SwitchToThread(); }

}  // namespace standin::system
