// The calendar clock as externals see it: a fixed reading, or the real
// clock. How externals are made to read it is the platform's business: on
// POSIX systems this library's time() stands in for the C library's (below);
// on Windows each loaded external's calls to the C runtime's time functions
// are redirected when it is loaded (system_win.cpp).
#include <time.h>

#include <atomic>
#include <cstdint>

#include "host.h"
#include "system.h"

namespace {

// The fixed reading in seconds, or -1 for the real clock. Constant
// initialized, so time() works before any of this library's constructors.
std::atomic<int64_t> fixed_clock{-1};

}  // namespace

void standin::set_clock(std::optional<uint32_t> seconds) { fixed_clock = seconds ? int64_t{*seconds} : -1; }

int64_t standin::fixed_clock_reading() { return fixed_clock.load(); }

#if !defined(_WIN32)
// Externals read the clock through the C library's time(). This definition
// is exported from libMaxAPI.so, which every host application links before
// the C library, so the dynamic linker binds their calls, and everyone
// else's in the process, here instead.
extern "C" __attribute__((visibility("default"))) time_t time(time_t* t) __THROW {
    time_t now;
    int64_t fixed = fixed_clock.load();
    if (fixed >= 0) {
        now = static_cast<time_t>(fixed);
    } else {
        timespec ts{};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (t) *t = now;
    return now;
}
#endif
