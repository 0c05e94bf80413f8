// The processor's floating-point control state as a host sees it: the x87
// control word (precision and rounding of the x87 unit) and SSE's MXCSR
// (rounding, flush-to-zero, exception masks). A host sets them before it
// loads externals, and an external must leave them as it found them.
// Header-only, so that test programs that do not link the host use it too.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <string>

namespace standin::fpu {

struct State {
    uint16_t x87 = 0;    // control word; 0 where there is no x87 unit
    uint32_t mxcsr = 0;  // 0 where there is no SSE
    bool operator==(const State&) const = default;
};

// MXCSR's control bits (denormals-are-zero, exception masks, rounding,
// flush-to-zero), without its sticky exception flags: arithmetic sets
// those, and they change nothing.
inline constexpr uint32_t kMxcsrControl = 0xFFC0;

inline State control_of(State s) {
    s.mxcsr &= kMxcsrControl;
    return s;
}

#if defined(__i386__) || defined(__x86_64__)
inline State read() {
    State s;
    asm volatile("fnstcw %0" : "=m"(s.x87));
    asm volatile("stmxcsr %0" : "=m"(s.mxcsr));
    return s;
}

inline void write(const State& s) {
    asm volatile("fldcw %0" : : "m"(s.x87));
    asm volatile("ldmxcsr %0" : : "m"(s.mxcsr));
}
#else
inline State read() { return {}; }
inline void write(const State&) {}
#endif

// The environment variable that sets the x87 control word of the host's
// threads, as a real host runs them: 0x027F (53-bit precision) for hosts
// built with Microsoft's compiler; Wine and Linux start at 0x037F.
inline constexpr const char* kX87Variable = "VORN_X87_CONTROL";

// The control word VORN_X87_CONTROL asks for (decimal, or hex with 0x):
// false if it is unset; false with a reason in *error if it is not a 16-bit
// number.
inline bool x87_from_environment(uint16_t* word, std::string* error) {
    const char* text = std::getenv(kX87Variable);
    if (!text) return false;
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 0);
    if (!*text || *end || value > 0xFFFF || text[0] == '-') {
        if (error) *error = std::string(kX87Variable) + "=" + text + ": not a 16-bit control word (e.g. 0x027F)";
        return false;
    }
    *word = static_cast<uint16_t>(value);
    return true;
}

// Sets this thread's x87 control word from VORN_X87_CONTROL, if it is set.
// False with a reason in *error if it is set but not a control word.
inline bool apply_x87_from_environment(std::string* error) {
    uint16_t word = 0;
    std::string why;
    if (!x87_from_environment(&word, &why)) {
        if (why.empty()) return true;
        if (error) *error = why;
        return false;
    }
    State s = read();
    s.x87 = word;
    write(s);
    return true;
}

}  // namespace standin::fpu
