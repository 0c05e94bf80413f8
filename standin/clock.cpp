// The calendar clock as externals see it.
#include <time.h>

#include <atomic>
#include <cstdint>

#include "host.h"

namespace {

// The fixed reading in seconds, or -1 for the real clock. Constant
// initialized, so time() works before any of this library's constructors.
std::atomic<int64_t> fixed_clock{-1};

}  // namespace

void standin::set_clock(std::optional<uint32_t> seconds) { fixed_clock = seconds ? int64_t{*seconds} : -1; }

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
