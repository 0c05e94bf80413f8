// libvorn_rtguard: counts what a perform routine must never do (allocate or
// free, lock, touch files or the console, sleep, make a system call) while
// a thread is inside one. Test-only, never installed; preloaded into Pd, or
// linked into a stand-in host test. See rtguard.cpp for how it hooks.
//
// Environment:
//   VORN_RTGUARD_LIBRARY  colon-separated parts of file names: the libraries
//                         whose perform routines are guarded (default vorn~)
//   VORN_RTGUARD_REPORT   where the report goes at exit, in a process that
//                         guarded any library; without it, a report of
//                         forbidden calls goes to stderr.
#pragma once

#include <dlfcn.h>

#include <cstddef>
#include <cstdio>
#include <string>

extern "C" {
// The report: its first line "vorn_rtguard: N guarded perform calls, M
// forbidden calls", then a line per forbidden function and routine, such as
// "vorn_rtguard: malloc in granulator_perform (/path/vorn~.mxe): 3 calls".
// Writes at most `size` bytes, terminated; returns the whole length.
size_t vorn_rtguard_report(char* out, size_t size);
// Forgets every count.
void vorn_rtguard_reset(void);
}

namespace vorn::rtguard {

// A report read back: -1 for counts that it lacks (no report at all).
struct Report {
    long guarded = -1;
    long forbidden = -1;
    std::string text;
};

inline Report parse(const std::string& text) {
    Report r;
    r.text = text;
    if (std::sscanf(text.c_str(), "vorn_rtguard: %ld guarded perform calls, %ld forbidden calls", &r.guarded,
                    &r.forbidden) != 2)
        r.guarded = r.forbidden = -1;
    return r;
}

// The guard's own report, in a program that has it linked or preloaded
// (looked up by name, which finds it either way); counts of -1 without it.
inline Report in_process() {
    auto* report = reinterpret_cast<decltype(&vorn_rtguard_report)>(dlsym(RTLD_DEFAULT, "vorn_rtguard_report"));
    if (!report) return {};
    std::string text(report(nullptr, 0), '\0');
    report(text.data(), text.size() + 1);
    return parse(text);
}

inline void reset() {
    if (auto* f = reinterpret_cast<decltype(&vorn_rtguard_reset)>(dlsym(RTLD_DEFAULT, "vorn_rtguard_reset"))) f();
}

}  // namespace vorn::rtguard
