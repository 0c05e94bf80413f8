// vorn~ in real Pd: patches written object by object, Pd run in batch mode
// (no audio device, as fast as it computes) under libfaketime with the clock
// stopped, and under the real-time guard (tests/rtguard) where it is built,
// and its console read back. The patches record vorn~'s output into
// arrays and write them with soundfiler, synchronously, before "; pd quit".
//
// The same tests run in a Windows Pd under Wine (tests/windows/pd_windows.sh)
// when VORN_WINPD_ARCH names its architecture (amd64, i386): Wine may run
// in a virtual machine, so each Pd run becomes a job for the Windows job
// runner (tests/windows/winjob.sh). A first pass with VORN_WINPD_JOBS=DIR
// writes the jobs there, each test stopping at its Pd run; the runner runs
// them; a second pass with VORN_WINPD_RESULTS=DIR takes each run's results
// from there and checks them. VORN_WINPD_EXTERNAL is the folder of
// vorn~.m_ARCH and its help patch. Wine's clock cannot be stopped: such a run
// gives the clock readings between which Pd started (clock_from, clock_to).
//
// pd is looked up on PATH and libfaketime in the system's library folders
// when a test runs (Debian's puredata-core and faketime, from
// scripts/install-deps.sh build); a test fails, saying which is missing, if
// either is not there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "harness.h"
#include "rtguard.h"

namespace vorn::pdtest {

// A patch file: boxes in creation order, numbered from 0 as "#X connect"
// counts them, and their connections. Box texts are written as typed into a
// box: commas and semicolons in them are escaped on the way out.
class Patch {
public:
    int obj(const std::string& text);
    int msg(const std::string& text);
    // A subpatch [pd NAME] holding `inner` (its own numbering); Pd binds it
    // to "pd-NAME".
    int subpatch(const std::string& name, const Patch& inner);
    void connect(int from, int outlet, int to, int inlet);
    std::string text() const;

private:
    int add(const std::string& line);
    std::vector<std::string> lines_;
    std::vector<std::string> connections_;
    int count_ = 0;
};

// A number as Pd and vorn render both read it back exactly: every time and
// value the tests use is a float with a short binary fraction.
std::string number(double v);

// Pd's escaping of a box's text in a patch file.
std::string escape(const std::string& text);

struct PdRun {
    int status = -1;                   // exit code, or 128 + the signal that ended it
    std::vector<std::string> console;  // Pd's console (its standard error), line by line
    std::string raw;                   // all of its standard error, for messages
    bool timed_out = false;
    // Where the real-time guard is built (not in the sanitizer builds), Pd
    // runs with it preloaded (after libfaketime) and vorn~'s perform routine
    // guarded: its report at Pd's exit. A forbidden call fails the test.
    vorn::rtguard::Report guard;
    // A Windows Pd's run: the calendar clock when it started and ended, in
    // seconds; vorn~ was seeded from a reading between them. -1 elsewhere.
    int64_t clock_from = -1, clock_to = -1;
};

// Whether the tests run in a Windows Pd (VORN_WINPD_ARCH), and its
// architecture.
bool in_windows_pd();
std::string windows_pd_arch();

// Whether Pd runs under the real-time guard in this build.
constexpr bool kGuarded =
#ifdef VORN_RTGUARD
    true;
#else
    false;
#endif

struct PdOptions {
    // The folder that holds vorn~ for Pd: the shipped build or the tests'.
    std::string external_dir = {};
    // Pd runs under libfaketime, with the clock that time() reads stopped at
    // `clock` seconds since 1970 (UTC): vorn~'s random source is seeded
    // from it. Tests that need no known seed let the clock run; in the
    // sanitizer build those also check for leaks.
    bool stop_clock = true;
    int64_t clock = 1700000000;
    std::vector<std::string> extra = {};  // more flags, before the patch
};

// The shipped external and the tests' reporting build of it.
std::string shipped_external();
std::string reporting_external();

// Whether the guard saw vorn~'s perform routine run, where Pd runs under
// it: a hook that failed must not pass for a clean run.
::testing::AssertionResult ran_guarded(const PdRun& run);

// Sanitizer messages in Pd's console; empty if there are none.
std::string sanitizer_report(const PdRun& run);

// The console lines that vorn~'s "print", banner and binding failures post
// in Max's wording, as vorn render prints them, put into the wording of the
// Pd binding: "buffer~" becomes "array", print's buffer line drops the
// rate, "no buffers" becomes "no arrays", and a failed lookup is one of
// Pd's error lines (pd_error), "error: " in front.
std::vector<std::string> pd_wording(const std::vector<std::string>& max_lines);

class PdTest : public vorn::test::RendererTest {
protected:
    // Writes `patch` as NAME.pd in the test's folder and runs it, under
    // libfaketime with the clock stopped at options.clock.
    PdRun pd(const std::string& name, const Patch& patch, const PdOptions& options);
    PdRun pd(const std::string& name, const std::string& patch_text, const PdOptions& options);
};

// Float WAV files, one channel per array written.
void write_floats(const std::string& path, const std::vector<float>& samples);

// "YYYY-MM-DD hh:mm:ss" of a reading in seconds (UTC): as FAKETIME, a
// clock stopped there.
std::string clock_text(int64_t seconds);

// Exact bit patterns, sample for sample; reports the first difference.
::testing::AssertionResult same_bits(const std::vector<float>& expected, const std::vector<float>& actual);

}  // namespace vorn::pdtest
