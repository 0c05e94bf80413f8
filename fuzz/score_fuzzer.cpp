// The renderer's command line, score, position and duration readers on
// arbitrary text. Each line before the first blank line is one argument
// after `vorn render` (after `vorn` alone if the input starts with '!');
// what follows the blank line is a score file, named with --score unless
// the arguments name one already. An input starting with '@' skips the
// command line, which is slow to set up, for the readers behind it: its
// first line is read as a position (-p) and as a duration (-d), every line
// after it as a message, and the messages are ordered and checked. No argument reaches outside the scratch
// folder: '/' becomes '_'. A read plan must be well formed: what the
// parsers promise about it is checked, and the length and position
// arithmetic is run on it.
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "cli.h"
#include "position.h"
#include "score.h"
#include "text.h"

using namespace vorn::render;

namespace {

[[noreturn]] void broken(const char* what) {
    std::fprintf(stderr, "score fuzzer: invariant broken: %s\n", what);
    std::abort();
}

void check_plan(const RenderPlan& plan) {
    const int v = plan.vector_size;
    if (v < 1 || v > 4096 || (v & (v - 1)) != 0) broken("vector size a power of two 1..4096");
    if (plan.rate && !(*plan.rate >= 1 && *plan.rate <= 768000 && *plan.rate == std::floor(*plan.rate)))
        broken("rate a whole number 1..768000");
    if (plan.output.empty()) broken("an output path");
    if (plan.box_args.empty()) broken("at least one box");
    bool timed = false;
    double last = 0;
    for (const Event& e : plan.events) {
        if (e.init && timed) broken("init events first");
        if (!e.init) {
            if (!(std::isfinite(e.time_ms) && e.time_ms >= 0)) broken("event times finite, not negative");
            if (timed && e.time_ms < last) broken("events in time order");
            timed = true;
            last = e.time_ms;
        }
        if (!e.host && (e.box < 1 || e.box > static_cast<int>(plan.box_args.size()) || e.inlet < 0 || e.inlet > 4))
            broken("events address an existing box and inlet 0..4");
        if (e.host && e.command.kind == HostCommand::Rate && !(e.command.rate >= 1 && e.command.rate <= 768000))
            broken("host rate within 1..768000");
    }
}

// The render's length and its position signal, as a render works them out.
void run_arithmetic(const RenderPlan& plan) {
    const double rates[] = {1, 44100, plan.rate.value_or(48000), 768000};
    const int64_t frames[] = {1, 3, 441000, 2147483647};
    for (double rate : rates) {
        for (int64_t src : frames) {
            PositionSignal s;
            s.shape = plan.position;
            s.rate = rate;
            s.src_frames = src;
            if (s.shape.kind == PositionShape::File) s.file = {0.0f, 1.5f, -2.0f};
            try {
                s.length = plan.duration ? duration_samples(*plan.duration, rate)
                                         : default_duration(s.shape, src, rate, static_cast<int64_t>(s.file.size()));
            } catch (const Failure& f) {
                if (f.exit_code != kUsageError || f.message.empty()) broken("a length failure is a usage failure");
                continue;
            }
            if (s.length < 1 || s.length > (int64_t{1} << 40)) broken("a length of 1 to 2^40 samples");
            float out[8];
            const int64_t starts[] = {0, s.length / 2, s.length - 1};
            for (int64_t first : starts) fill_positions(s, first, out, 8);
        }
    }
}

// '@' inputs: the readers behind the command line, without it.
void read_directly(const std::string& text) {
    RenderPlan plan;
    plan.output = "out.wav";
    plan.box_args = {"3 src", "3 src", "3 src"};
    const size_t first_end = std::min(text.find('\n'), text.size());
    const std::string first = text.substr(1, first_end - 1);
    try {
        plan.position = read_position(first);
    } catch (const Failure& f) {
        if (f.exit_code != kUsageError || f.message.empty()) broken("a position failure is a usage failure");
    }
    try {
        plan.duration = read_duration(first);
    } catch (const Failure& f) {
        if (f.exit_code != kUsageError || f.message.empty()) broken("a duration failure is a usage failure");
    }
    try {
        int number = 1;
        for (size_t at = first_end + 1; at < text.size(); ++number) {
            size_t end = std::min(text.find('\n', at), text.size());
            std::string line = text.substr(at, end - at);
            at = end + 1;
            if (size_t hash = line.find('#'); hash != std::string::npos) line.erase(hash);
            if (trim(line).empty()) continue;
            plan.events.push_back(read_message(line, "s.txt:" + std::to_string(number)));
        }
        order_events(plan.events);
        check_events(plan.events, 3, {"src", "b"});
    } catch (const Failure& f) {
        if (f.exit_code != kUsageError || f.message.empty()) broken("a message failure is a usage failure");
        return;
    }
    check_plan(plan);
    run_arithmetic(plan);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char shm[] = "/dev/shm/vorn-fuzz-score-XXXXXX";
    char tmp[] = "/tmp/vorn-fuzz-score-XXXXXX";
    char* dir = mkdtemp(shm);
    if (!dir) dir = mkdtemp(tmp);
    if (!dir || chdir(dir) != 0) {
        std::perror("score fuzzer: scratch folder");
        std::abort();
    }
    static std::string scratch = dir;
    std::atexit([] {
        std::remove((scratch + "/s.txt").c_str());
        std::remove(scratch.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!text.empty() && text[0] == '@') {
        read_directly(text);
        return 0;
    }
    for (char& c : text)
        if (c == '/') c = '_';
    std::vector<std::string> args{"vorn"};
    size_t at = 0;
    if (!text.empty() && text[0] == '!') at = 1;
    else args.push_back("render");
    bool names_score = false;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        if (end == at) {  // the blank line: the score follows
            ++at;
            break;
        }
        args.push_back(text.substr(at, end - at));
        names_score = names_score || args.back().rfind("--score", 0) == 0;
        at = end + 1;
    }
    const std::string score = at < text.size() ? text.substr(at) : std::string();
    {
        std::ofstream f("s.txt", std::ios::binary | std::ios::trunc);
        f << score;
    }
    if (!score.empty() && !names_score) {
        args.push_back("--score");
        args.push_back("s.txt");
    }
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    try {
        std::optional<RenderPlan> plan = read_command_line(static_cast<int>(args.size()), argv.data());
        if (plan) {
            check_plan(*plan);
            run_arithmetic(*plan);
        }
    } catch (const Failure& f) {
        if (f.message.empty() || (f.exit_code != kUsageError && f.exit_code != kRuntimeError))
            broken("a failure has a message and exit code 1 or 2");
        if (f.message.find('\n') != std::string::npos) broken("a failure message is one line");
    }
    return 0;
}
