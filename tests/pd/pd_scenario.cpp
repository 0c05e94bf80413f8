#include "pd_scenario.h"

#include <cmath>
#include <cstdio>

namespace vorn::pdtest {

namespace {

// The box's place in vorn render's creation order, from 1.
int vorn_index(const Scenario& s, int box) {
    const std::vector<int> order = compile_order(s);
    for (size_t i = 0; i < order.size(); ++i)
        if (order[i] == box) return static_cast<int>(i) + 1;
    return 0;
}

std::string receiver(int box, int inlet) {
    std::string r = "v";
    r += std::to_string(box);
    r += '-';
    r += std::to_string(inlet);
    return r;
}

std::string pd_line(const Event& e) { return e.box ? receiver(e.box, e.inlet) + " " + e.words : e.words; }

// Pd's logical time of each timed event, in its units from the start: a
// qlist waits each line's delay (a float) after the one before; a delay
// waits its own time from the start.
std::vector<double> pd_units(const Scenario& s) {
    std::vector<double> units;
    double at = 0, previous = 0;
    for (const Event& e : s.events) {
        if (e.ms == kInit) {
            units.push_back(-1);
            continue;
        }
        if (s.timing == Timing::Qlist) {
            at += static_cast<double>(static_cast<float>(e.ms - previous)) * kUnitsPerMs;
            previous = e.ms;
            units.push_back(at);
        } else {
            units.push_back(static_cast<double>(static_cast<float>(e.ms)) * kUnitsPerMs);
        }
    }
    return units;
}

}  // namespace

std::vector<int> compile_order(const Scenario& s) {
    if (!s.order.empty()) return s.order;
    std::vector<int> order;
    for (size_t b = 1; b <= s.boxes.size(); ++b) order.push_back(static_cast<int>(b));
    return order;
}

Event to(double ms, int box, int inlet, const std::string& words) { return Event{ms, box, inlet, words, {}}; }

Event to(double ms, int box, int inlet, const std::string& pd_words, const std::string& vorn_words) {
    return Event{ms, box, inlet, pd_words, {vorn_words}};
}

Event host(double ms, const std::string& pd, std::vector<std::string> vorn) {
    return Event{ms, 0, 0, pd, std::move(vorn)};
}

int64_t pd_delivery_sample(double units) { return static_cast<int64_t>(std::floor(units / kUnitsPerTick)) * 64; }

int64_t vorn_delivery_sample(double ms) { return std::llround(ms * kRate / 1000) / 64 * 64; }

void write_inputs(const std::string& dir, int frames) {
    const std::vector<float> src = vorn::test::test_tone(33075, 0), other = vorn::test::test_tone(26460, 1);
    write_floats(dir + "/src.wav", src);
    write_floats(dir + "/other.wav", other);
    write_floats(dir + "/other_cut.wav", std::vector<float>(other.begin(), other.begin() + 12000));
    // A slow scan through src with a wobble, in ms.
    std::vector<float> pos(static_cast<size_t>(frames));
    for (int k = 0; k < frames; ++k)
        pos[static_cast<size_t>(k)] = static_cast<float>(80 + 0.6 * k * 1000 / kRate + 25 * std::sin(k / 2000.0));
    write_floats(dir + "/pos.wav", pos);
}

Patch scenario_patch(const Scenario& s) {
    Patch p;
    const int count = static_cast<int>(s.boxes.size());
    const std::vector<int> order = compile_order(s);
    p.obj("table src");
    p.obj("table other");
    if (s.feed == Feed::Table) p.obj("table pos");
    if (s.position_tap != Scenario::Tap::None) p.obj("table posrec " + std::to_string(s.frames));
    for (int b = 1; b <= count; ++b) p.obj("table rec" + std::to_string(b) + " " + std::to_string(s.frames));

    // The sounds are in their arrays before the boxes get their loadbang.
    const int load = p.obj("loadbang");
    const int reads = p.msg(std::string("read -resize src.wav src, read -resize other.wav other") +
                            (s.feed == Feed::Table ? ", read -resize pos.wav pos" : ""));
    const int filer = p.obj("soundfiler");
    const int reader = p.obj("r reader");
    p.connect(load, 0, reads, 0);
    p.connect(reads, 0, filer, 0);
    p.connect(reader, 0, filer, 0);

    // Pd compiles boxes with nothing at their signal inlet last created
    // first; boxes fed by one outlet, in the order they were connected,
    // last connected first.
    std::vector<int> box_object(static_cast<size_t>(count) + 1);
    std::vector<int> creation;
    if (s.feed == Feed::Scalar)
        creation.assign(order.rbegin(), order.rend());
    else
        for (int b = 1; b <= count; ++b) creation.push_back(b);
    for (int b : creation) box_object[static_cast<size_t>(b)] = p.obj("vorn~ " + s.boxes[static_cast<size_t>(b) - 1]);
    for (int b = 1; b <= count; ++b)
        for (int inlet = 0; inlet <= 4; ++inlet)
            p.connect(p.obj("r " + receiver(b, inlet)), 0, box_object[static_cast<size_t>(b)], inlet);

    int feed = -1, tap = -1;
    if (s.feed != Feed::Scalar) {
        feed = p.obj(s.feed == Feed::Table ? "tabplay~ pos" : "sig~ " + number(s.constant));
        if (s.position_tap != Scenario::Tap::None) tap = p.obj("tabwrite~ posrec");
        if (s.position_tap == Scenario::Tap::Before) p.connect(feed, 0, tap, 0);
        if (s.connect_in_creation_order)
            for (int b = 1; b <= count; ++b) p.connect(feed, 0, box_object[static_cast<size_t>(b)], 0);
        else
            for (auto b = order.rbegin(); b != order.rend(); ++b) p.connect(feed, 0, box_object[static_cast<size_t>(*b)], 0);
        if (s.position_tap == Scenario::Tap::After) p.connect(feed, 0, tap, 0);
    }
    std::vector<int> recorders;
    for (int b = 1; b <= count; ++b) {
        recorders.push_back(p.obj("tabwrite~ rec" + std::to_string(b)));
        p.connect(box_object[static_cast<size_t>(b)], 0, recorders.back(), 0);
    }

    // After every box's loadbang: the score is read, the inits sent, DSP
    // started, then the recording, the position and the events start
    // together, and after `frames` samples the recordings are written.
    const int go = p.obj("loadbang");
    const int steps = p.obj("t b b b b b");
    p.connect(go, 0, steps, 0);
    int sequence = -1;
    if (s.timing == Timing::Qlist) {
        sequence = p.obj("qlist");
        const int read = p.msg("read score.txt");
        p.connect(steps, 4, read, 0);
        p.connect(read, 0, sequence, 0);
    }
    std::string inits;
    for (const Event& e : s.events)
        if (e.ms == kInit) inits += "; " + pd_line(e);
    if (!inits.empty()) p.connect(steps, 3, p.msg(inits), 0);
    p.connect(steps, 2, p.msg("; pd dsp 1"), 0);
    if (feed >= 0 && s.feed == Feed::Table) p.connect(steps, 1, feed, 0);
    if (tap >= 0) p.connect(steps, 1, tap, 0);
    for (int r : recorders) p.connect(steps, 1, r, 0);
    if (sequence >= 0) p.connect(steps, 1, sequence, 0);
    if (s.timing == Timing::Delays)
        for (const Event& e : s.events) {
            if (e.ms == kInit) continue;
            const int delay = p.obj("delay " + number(e.ms));
            p.connect(steps, 1, delay, 0);
            p.connect(delay, 0, p.msg("; " + pd_line(e)), 0);
        }
    const int end = p.obj("delay " + std::to_string(s.frames) + " 1 samp");
    const int finish = p.obj("t b b");
    std::string write = "write -wave -bytes 4 out.wav";
    for (int b = 1; b <= count; ++b) write += " rec" + std::to_string(b);
    const int writer = p.msg(write);
    const int filer2 = p.obj("soundfiler");
    p.connect(steps, 0, end, 0);
    p.connect(end, 0, finish, 0);
    p.connect(finish, 1, writer, 0);
    p.connect(writer, 0, filer2, 0);
    p.connect(finish, 0, p.msg("; pd quit"), 0);
    return p;
}

std::string scenario_score(const Scenario& s) {
    std::string score;
    double previous = 0;
    for (const Event& e : s.events) {
        if (e.ms == kInit) continue;
        score += number(e.ms - previous) + " " + escape(pd_line(e)) + ";\n";
        previous = e.ms;
    }
    return score;
}

std::vector<std::string> scenario_vorn_args(const Scenario& s, bool naive) {
    std::vector<std::string> args{"render", "src.wav", "-o", "vorn.wav", "-r", "44100", "--vector", "64",
                                  "--seed", std::to_string(s.clock), "-d", std::to_string(s.frames), "-q",
                                  "-b", "other=other.wav", "-p",
                                  s.feed == Feed::Table ? "file:pos.wav" : number(s.constant)};
    for (int b : compile_order(s)) args.insert(args.end(), {"-a", s.boxes[static_cast<size_t>(b) - 1]});
    const std::vector<double> units = pd_units(s);
    for (size_t i = 0; i < s.events.size(); ++i) {
        const Event& e = s.events[i];
        std::string time = "init";
        if (e.ms != kInit) time = naive ? number(e.ms) : number(pd_delivery_sample(units[i]) * 1000 / kRate);
        if (e.box)
            args.insert(args.end(), {"-m", time + " " + std::to_string(vorn_index(s, e.box)) + ":" +
                                               std::to_string(e.inlet) + " " +
                                               (e.vorn.empty() ? e.words : e.vorn[0])});
        else
            for (const std::string& command : e.vorn) args.insert(args.end(), {"-m", time + " host " + command});
    }
    return args;
}

}  // namespace vorn::pdtest
