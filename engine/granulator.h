// The grain engine: one Granulator per object, many Grains per Granulator.
//
// Plain records and free functions. The records hold no constructors so that
// a host may place them in zeroed memory of its own; `init` sets every field
// and `release` frees what `init` allocated.
#pragma once

#include <cstdint>

namespace vorn {

// The engine's view of a sample buffer: one channel, frame k at
// samples[k * stride]. A stride of 1 is a contiguous mono buffer; 2 a Pd
// array (a float and its padding per slot on 64-bit Pd) or the first channel
// of an interleaved stereo buffer; N the first of N interleaved channels. A
// stride below 1 reads as 1. The binding sets it from its host's buffer
// record (before each vector where the host may change that record between
// vectors); the loop reads it once per vector. The default, valid 0, is no
// source: silence.
struct SampleSource {
    int32_t valid = 0;               // 0: not to be read
    const float* samples = nullptr;  // frame k is samples[k * stride]
    int32_t frames = 0;              // signed frame count
    int32_t stride = 1;              // floats from one frame to the next
};

// One grain voice. Read position and increment are signed 32.32 fixed point.
struct Grain {
    int32_t index;       // integer part of the read position, samples; may be negative
    uint32_t frac;       // fractional part, units of 2^-32
    int32_t step;        // integer part of the read increment per output sample
    uint32_t step_frac;  // fractional part of the increment, units of 2^-32
    uint32_t offset;     // fixed phase offset, master-phase units (2^31 = one period)
};

inline constexpr int kMaxTransp = 256;
inline constexpr int32_t kMaxOverlap = 1024;

// The master phase and every grain phase: 31 bits of a 32-bit word, 2^31
// being one grain period.
inline constexpr int kPhaseBits = 31;
inline constexpr uint64_t kPeriodPhase = uint64_t{1} << kPhaseBits;
inline constexpr uint32_t kPhaseMask = static_cast<uint32_t>(kPeriodPhase - 1);

struct Granulator {
    double pos_jitter;          // half-width of the start jitter, samples (ms before compile)
    double transp[kMaxTransp];  // transposition list, cents
    double ratio[kMaxTransp];   // each entry's reading speed, exp_cr(cents * ln 2 / 1200), set with it
    double transp_jitter;       // half-width of the detune, cents; effective only when > 0
    double period;              // grain period, samples (ms before compile)
    int32_t n_transp;           // used entries of transp, 1..256
    SampleSource source;        // what the loop reads; valid 0 while none is bound
    uint32_t phase;             // master phase; 2^31 is one period, only the low 31 bits count
    int32_t phase_incr;         // master phase step per output sample
    Grain* grains;              // max_overlap voices; null if their allocation failed
    double ms_scale;            // samples per millisecond; 1.0 until the first compile
    int32_t max_overlap;        // allocated grains, power of two 2..1024
    int32_t overlap;            // active grains, power of two 1..max_overlap
    float gain;                 // applied to every grain's contribution
    bool compiled;              // true once compile has run (ms settings converted)
};

// Sets max_overlap from the exponent (absent: 8 grains; bounded to 2..1024),
// allocates the grains with their bit-reversed phase offsets and sets every
// default. If the grain array cannot be allocated, `grains` stays null and
// the instance renders silence.
void init(Granulator& g, bool has_log2, int32_t log2);
inline void init(Granulator& g) { init(g, false, 0); }
inline void init(Granulator& g, int32_t log2) { init(g, true, log2); }

// Frees the grain array. The record may be initialised again afterwards.
void release(Granulator& g);

// True when the instance can synthesise (its grain array exists).
inline bool usable(const Granulator& g) { return g.grains != nullptr; }

void set_pos_jitter(Granulator& g, double ms);
void set_transposition(Granulator& g, double cents);
// Keeps at most the first 256 values; a count of 0 or less gives one entry of 0 cents.
void set_transp_list(Granulator& g, const double* values, int32_t count);
void set_transp_jitter(Granulator& g, double cents);
void set_period(Granulator& g, double ms);
// Number of active grains as a power-of-two exponent, bounded to 1..max_overlap.
void set_overlap(Granulator& g, int32_t log2);

// Prepares the engine for a signal chain at `sample_rate` Hz: converts the
// millisecond settings at the first compile (later ones keep the sample
// counts), clamps the period to 4 samples, resets the master phase. Part of
// compile_and_restart, which is what a binding calls.
void compile(Granulator& g, double sample_rate);

// What a binding calls each time its host compiles the signal chain, before
// it installs its perform routine: compile at `sample_rate` Hz, then restart
// every allocated grain, switched on or not, in index order, at position 0.
// Each restart draws from the library-wide random source, so the draws at a
// compile depend on max_overlap, and boxes draw in the order the host
// compiles them.
void compile_and_restart(Granulator& g, double sample_rate);

// The reading speed of a transposition in cents: e^(cents * 0.00057762265047),
// 0.00057762265047 being ln(2)/1200 to eleven digits, through exp_cr, not the
// C library's exp, which rounds some arguments the other way on some
// platforms: every build gets the same ratio.
double speed_of(double cents);

// Starts `grain` afresh around `position` (samples), drawing its jitter,
// transposition and detune from the library-wide random source.
void start_grain(Granulator& g, double position, Grain& grain);

// Renders n samples into out; in carries the read position in ms.
// in and out must be distinct arrays: out is cleared before in is read.
// Allocates nothing, takes no lock and makes no system call: it runs on the
// host's audio thread. The synthesis kernel is the one chosen at load
// (kernels.h).
void perform(Granulator& g, const float* in, float* out, int32_t n);

}  // namespace vorn
