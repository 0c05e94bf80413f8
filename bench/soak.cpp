// The soak: ten minutes of output (by default) from one vorn~ box of 1024
// grains in the stand-in host, every parameter changed every 50 ms of
// output and the buffer~ replaced every second. Reports resident memory
// through the run, the time each vector took (min, median, 99th percentile,
// max), on the wall clock and in this thread's CPU time (which leaves out
// the time other processes had the processor), and whether every output
// sample was finite; exits 1 if one was not.
// Usage: vorn_soak [SECONDS]
#include <malloc.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "host.h"

namespace {

constexpr double kRate = 44100.0;
constexpr int kVector = 64;

uint64_t cpu_ns() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

long heap_used_kib() {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<long>((m.uordblks + m.hblkhd) / 1024);
}

long resident_kib() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// A small deterministic generator for the changing settings.
struct Lcg {
    uint64_t s = 0x2545f4914f6cdd1dULL;
    double next() {  // in [0, 1)
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(s >> 11) * 0x1.0p-53;
    }
    double in(double lo, double hi) { return lo + (hi - lo) * next(); }
};

std::vector<float> sound(int seconds_tenths, int variant) {
    const size_t n = static_cast<size_t>(kRate * seconds_tenths / 10);
    std::vector<float> s(n);
    const double f = 110.0 * (1 + variant % 5);
    for (size_t k = 0; k < n; ++k) {
        const double t = static_cast<double>(k) / kRate;
        s[k] = static_cast<float>(0.5 * std::sin(2 * M_PI * f * t) + 0.25 * std::sin(2 * M_PI * 2.01 * f * t) *
                                                                         std::sin(M_PI * t / 3));
    }
    return s;
}

void send(standin::Box* box, int inlet, const std::string& text) {
    std::string why;
    if (!standin::send_text(box, inlet, text, &why)) {
        std::fprintf(stderr, "vorn_soak: %s: %s\n", text.c_str(), why.c_str());
        std::exit(2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 600.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: vorn_soak [SECONDS of output]\n");
        return 2;
    }
    standin::add_search_path(VORN_PLUGIN_DIR);
    standin::set_clock(20240101u);
    standin::set_console_sink(nullptr);

    std::vector<std::vector<float>> sounds;
    // Tenths of a second: replaced by longer and shorter ones, each holding
    // the positions read, so that every vector does the full work.
    const int lengths[] = {100, 21, 55, 30, 80};
    for (int v = 0; v < 5; ++v) sounds.push_back(sound(lengths[v], v));
    standin::buffer_set("a", sounds[0], kRate);
    std::string why;
    standin::Box* box = standin::box_create("vorn~ 10 a 5 0 0 100", &why);
    if (!box) {
        std::fprintf(stderr, "vorn_soak: cannot create vorn~: %s\n", why.c_str());
        return 2;
    }
    standin::dsp_compile(kRate, kVector);
    standin::take_console();

    const int64_t total = static_cast<int64_t>(std::llround(seconds * kRate));
    const int64_t change_every = static_cast<int64_t>(kRate * 0.050);
    const int64_t replace_every = static_cast<int64_t>(kRate);
    // The timings' own memory is touched now, so that it does not show as
    // growth in the resident memory measured during the run.
    const size_t vectors = static_cast<size_t>((total + kVector - 1) / kVector);
    std::vector<uint32_t> ns(vectors, 1), cpu(vectors, 1);
    size_t done = 0;
    struct Memory {
        double at;        // output seconds
        long resident;    // KiB
        long heap_used;   // KiB allocated by the C library's malloc (all sizes)
    };
    std::vector<Memory> rss;
    Lcg rng;
    int64_t next_change = 0, next_replace = replace_every, next_rss = 0;
    int64_t changes = 0, replacements = 0, non_finite = 0;
    float peak = 0;
    int variant = 0;
    const auto wall_start = std::chrono::steady_clock::now();

    for (int64_t start = 0; start < total; start += kVector) {
        if (start >= next_rss) {
            rss.push_back({static_cast<double>(start) / kRate, resident_kib(), heap_used_kib()});
            next_rss += static_cast<int64_t>(kRate * 60);
        }
        if (start >= next_change) {  // every parameter, by its inlet
            send(box, 1, std::to_string(rng.in(0, 40)));                    // position jitter, ms
            const int n = 1 + static_cast<int>(rng.next() * 6);             // transpositions, cents
            std::string list;
            for (int k = 0; k < n; ++k) {
                if (k) list += ' ';
                list += std::to_string(rng.in(-2400, 1200));
            }
            send(box, 2, n == 1 ? list + " 0" : list);
            send(box, 3, std::to_string(rng.in(0, 50)));                    // detune, cents
            send(box, 4, std::to_string(rng.in(10, 250)));                  // period, ms
            send(box, 0, changes % 8 == 7 ? "overlap 9" : "overlap 10");    // grains: 1024, now and then 512
            ++changes;
            next_change += change_every;
        }
        if (start >= next_replace) {
            variant = (variant + 1) % 5;
            standin::buffer_set("a", sounds[static_cast<size_t>(variant)], kRate);
            ++replacements;
            next_replace += replace_every;
        }
        // The position: a slow scan over the first two seconds and back.
        float* in = standin::signal_input(box);
        for (int j = 0; j < kVector; ++j) {
            const double t = static_cast<double>(start + j) / kRate;
            in[j] = static_cast<float>(1000.0 + 900.0 * std::sin(t * 0.3));
        }
        const uint64_t c0 = cpu_ns();
        const auto t0 = std::chrono::steady_clock::now();
        if (!standin::run_vector(&why)) {
            std::fprintf(stderr, "vorn_soak: the chain stopped: %s\n", why.c_str());
            return 2;
        }
        const auto t1 = std::chrono::steady_clock::now();
        cpu[done] = static_cast<uint32_t>(cpu_ns() - c0);
        ns[done++] = static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count());
        const float* out = standin::signal_output(box);
        for (int j = 0; j < kVector; ++j) {
            if (!std::isfinite(out[j])) ++non_finite;
            else peak = std::max(peak, std::fabs(out[j]));
        }
        standin::take_console();
    }
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
    rss.push_back({static_cast<double>(total) / kRate, resident_kib(), heap_used_kib()});

    auto quantiles = [](std::vector<uint32_t> v) {
        std::sort(v.begin(), v.end());
        auto at = [&](double q) { return v[static_cast<size_t>(q * static_cast<double>(v.size() - 1))] / 1000.0; };
        char text[160];
        std::snprintf(text, sizeof text, "min %.1f us, median %.1f us, p99 %.1f us, max %.1f us", at(0), at(0.5),
                      at(0.99), at(1));
        return std::string(text);
    };
    std::printf("vorn_soak: %.0f s of output at %.0f Hz, vectors of %d, 1024 grains (512 one change in 8)\n", seconds,
                kRate, kVector);
    std::printf("  %lld vectors, %lld setting changes (every parameter each), %lld buffer~ replacements\n",
                static_cast<long long>(ns.size()), static_cast<long long>(changes),
                static_cast<long long>(replacements));
    std::printf("  wall time %.1f s (%.1fx real time; real time allows %.1f us a vector)\n", wall, seconds / wall,
                kVector / kRate * 1e6);
    std::printf("  time per vector, wall clock: %s\n", quantiles(ns).c_str());
    std::printf("  time per vector, CPU:        %s\n", quantiles(cpu).c_str());
    // The median of each tenth of the run: stable if the time per vector is.
    std::printf("  median CPU time per tenth of the run (us):");
    for (int part = 0; part < 10; ++part) {
        std::vector<uint32_t> slice(cpu.begin() + static_cast<long>(cpu.size() * part / 10),
                                    cpu.begin() + static_cast<long>(cpu.size() * (part + 1) / 10));
        std::nth_element(slice.begin(), slice.begin() + static_cast<long>(slice.size() / 2), slice.end());
        std::printf(" %.1f", slice[slice.size() / 2] / 1000.0);
    }
    std::printf("\n  resident memory / heap in use (KiB) at output second:");
    for (const Memory& m : rss) std::printf(" %.0f:%ld/%ld", m.at, m.resident, m.heap_used);
    std::printf("\n  resident memory: start %ld KiB, end %ld KiB; heap in use: start %ld KiB, end %ld KiB\n",
                rss.front().resident, rss.back().resident, rss.front().heap_used, rss.back().heap_used);
    std::printf("  output: %lld non-finite samples, peak %.3f\n", static_cast<long long>(non_finite),
                static_cast<double>(peak));
    standin::reset();
    return non_finite == 0 ? 0 : 1;
}
