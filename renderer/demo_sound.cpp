#include "demo_sound.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vorn::render {

namespace {

constexpr double kRate = kDemoRate;
constexpr double kSeconds = 6.0;
constexpr double kPi = 3.14159265358979323846;

double midi_hz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// A fixed noise source, so that the plucks come out the same every time.
struct Noise {
    uint32_t state = 20240607u;
    double next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<double>(state >> 8) / 8388608.0 - 1.0;
    }
};

// Karplus-Strong: a burst of soft noise circulating in a delay line of one
// period, averaged (a gentle low-pass) and damped on every trip.
void add_pluck(std::vector<double>& out, double start_s, int note, double level, Noise& noise) {
    const double hz = midi_hz(note);
    const size_t delay = static_cast<size_t>(std::lround(kRate / hz - 0.5));  // the average adds half a sample
    std::vector<double> line(delay);
    double smooth = 0;
    double mean = 0;
    for (double& x : line) {
        smooth = 0.6 * smooth + 0.4 * noise.next();
        x = smooth;
        mean += x / static_cast<double>(delay);
    }
    for (double& x : line) x -= mean;  // the loop would keep any offset ringing
    const size_t first = static_cast<size_t>(start_s * kRate);
    double previous = line[delay - 1];
    for (size_t i = first, k = 0; i < out.size(); ++i, k = (k + 1) % delay) {
        const double x = line[k];
        line[k] = 0.996 * 0.5 * (x + previous);
        previous = x;
        out[i] += level * x;
    }
}

// A struck bell: inharmonic partials, each with its own decay.
void add_bell(std::vector<double>& out, double start_s, int note, double level) {
    constexpr double ratio[] = {1.0, 2.0, 2.76, 5.40, 8.93};
    constexpr double amp[] = {1.0, 0.6, 0.4, 0.25, 0.15};
    constexpr double decay_s[] = {2.5, 1.6, 1.0, 0.6, 0.35};
    const double hz = midi_hz(note);
    const size_t first = static_cast<size_t>(start_s * kRate);
    for (int p = 0; p < 5; ++p) {
        const double w = 2 * kPi * hz * ratio[p] / kRate;
        if (w >= kPi) continue;
        for (size_t i = first; i < out.size(); ++i) {
            const double t = static_cast<double>(i - first) / kRate;
            const double attack = std::min(1.0, t / 0.002);
            out[i] += level * amp[p] * attack * std::exp(-t / decay_s[p]) * std::sin(w * static_cast<double>(i - first));
        }
    }
}

// A band-pass filter with 0 dB gain at its centre.
struct BandPass {
    double b0 = 0, b2 = 0, a1 = 0, a2 = 0, x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    void tune(double hz, double bandwidth_hz) {
        const double w = 2 * kPi * hz / kRate;
        const double alpha = std::sin(w) / (2 * hz / bandwidth_hz);
        const double a0 = 1 + alpha;
        b0 = alpha / a0;
        b2 = -alpha / a0;
        a1 = -2 * std::cos(w) / a0;
        a2 = (1 - alpha) / a0;
    }
    double run(double x) {
        const double y = b0 * x + b2 * x2 - a1 * y1 - a2 * y2;
        x2 = x1;
        x1 = x;
        y2 = y1;
        y1 = y;
        return y;
    }
};

// A sung vowel moving from "ah" to "oh": two sawtooth voices a fifth apart,
// with a slow vibrato, through three formant filters.
void add_pad(std::vector<double>& out, double level) {
    const double voice_hz[] = {midi_hz(45) * 0.999, midi_hz(52) * 1.001};
    double phase[] = {0.0, 0.37};
    constexpr double ah[] = {730, 1090, 2440}, oh[] = {570, 840, 2410};
    constexpr double bandwidth[] = {80, 90, 120}, gain[] = {1.0, 0.5, 0.25};
    BandPass formant[3];
    const double length = static_cast<double>(out.size());
    for (size_t i = 0; i < out.size(); ++i) {
        const double t = static_cast<double>(i) / kRate;
        if (i % 64 == 0) {
            const double morph = 0.5 - 0.5 * std::cos(kPi * static_cast<double>(i) / length);
            for (int f = 0; f < 3; ++f) formant[f].tune(ah[f] + (oh[f] - ah[f]) * morph, bandwidth[f]);
        }
        double saw = 0;
        for (int v = 0; v < 2; ++v) {
            const double hz = voice_hz[v] * (1 + 0.004 * std::sin(2 * kPi * (5.0 + v * 0.3) * t));
            const double dt = hz / kRate;
            double s = 2 * phase[v] - 1;
            // PolyBLEP: rounds off the jump so that it does not alias.
            if (phase[v] < dt) {
                const double x = phase[v] / dt;
                s -= x + x - x * x - 1;
            } else if (phase[v] > 1 - dt) {
                const double x = (phase[v] - 1) / dt;
                s -= x * x + x + x + 1;
            }
            saw += s;
            phase[v] += dt;
            if (phase[v] >= 1) phase[v] -= 1;
        }
        double voiced = 0;
        for (int f = 0; f < 3; ++f) voiced += gain[f] * formant[f].run(saw);
        const double fade = std::min({1.0, t / 1.0, (kSeconds - t) / 1.5});
        out[i] += level * fade * voiced;
    }
}

}  // namespace

std::vector<float> demo_sound() {
    std::vector<double> mix(static_cast<size_t>(kSeconds * kRate), 0.0);
    add_pad(mix, 1.0);
    Noise noise;
    struct Note {
        double at_s;
        int note;
        bool bell;
    };
    constexpr Note phrase[] = {{0.00, 69, true},  {0.50, 72, false}, {1.00, 76, false}, {1.50, 74, false},
                               {2.00, 72, true},  {2.50, 69, false}, {3.00, 67, false}, {3.75, 69, true}};
    for (const Note& n : phrase) {
        add_pluck(mix, n.at_s, n.note, 0.8, noise);
        if (n.bell) add_bell(mix, n.at_s, n.note + 12, 0.25);
    }
    double peak = 0;
    for (double x : mix) peak = std::max(peak, std::fabs(x));
    const double scale = peak > 0 ? std::pow(10.0, -2.0 / 20) / peak : 0;
    std::vector<float> out(mix.size());
    for (size_t i = 0; i < mix.size(); ++i) out[i] = static_cast<float>(mix[i] * scale);
    return out;
}

}  // namespace vorn::render
