// What the stand-in host needs of the operating system: finding the running
// program's folder, opening an external's library, a thread for the signal
// chain, and, on Windows, the clock that externals see. system_posix.cpp
// serves POSIX systems (dlopen, pthreads), system_win.cpp Windows
// (LoadLibrary, CreateThread); the rest of the host is the same on both.
// Private to the MaxAPI library.
#pragma once

#include <cstdint>
#include <string>

#include "max_api.h"

namespace standin::system {

// The characters that separate folders in a path: an object name holding one
// is refused rather than looked up outside the search path.
#if defined(_WIN32)
inline constexpr const char* kPathSeparators = "/\\:";  // and a drive letter's colon
#else
inline constexpr const char* kPathSeparators = "/";
#endif

// The folder of the running executable, or empty if it cannot be told.
std::string executable_dir();

// Opens the library at `path` for good (it is never closed) and readies it
// for its `main`: on Windows this is where the library is made to read the
// host's clock. Null with a reason in *error if it cannot be opened.
void* open_library(const std::string& path, std::string* error);

// The `main` that the library itself defines and exports, or null.
MaxMainFunction library_main(void* handle);

// A thread of the host's own (its audio thread): `body(arg)` runs on it.
// Null with a reason in *error if it cannot be started.
struct Thread;
Thread* start_thread(void (*body)(void*), void* arg, std::string* error);
// Waits until the thread has returned from its body, then forgets it.
void join_thread(Thread* thread);
// Lets another thread run on this processor.
void yield_thread();

}  // namespace standin::system

namespace standin {

// The fixed clock reading set by set_clock, in seconds, or -1 for the real
// clock. Read by the platform's clock hook (clock.cpp, system_win.cpp).
int64_t fixed_clock_reading();

}  // namespace standin
