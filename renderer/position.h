// The position signal (ms) that every box receives, and the output length.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plan.h"

namespace vorn::render {

// "-p" text: NUMBER, line:FROM:TO, scan:SPEED[:FROM] or file:PATH.
PositionShape read_position(const std::string& text);
// "-d" text: 12.5s, 800ms or a whole number of samples.
Length read_duration(const std::string& text);

// The output length in samples at `rate`: rounded to the nearest sample,
// halves away from zero; at least one.
int64_t duration_samples(const Length& d, double rate);

// The output length when -d is absent. `src_frames` is the length of src,
// `file_frames` that of the position file (File only).
int64_t default_duration(const PositionShape& p, int64_t src_frames, double rate, int64_t file_frames);

// The position signal of one render.
struct PositionSignal {
    PositionShape shape;
    double rate = 44100;         // output samples per second (the rate the render starts with)
    int64_t length = 1;          // output samples
    int64_t src_frames = 1;      // the wrap length of scan
    std::vector<float> file;     // File: the values, one per output sample
};

// The position at output sample k, in ms, computed in double precision.
double position_at(const PositionSignal& s, int64_t k);

// Positions of output samples first .. first + n - 1, rounded to float.
void fill_positions(const PositionSignal& s, int64_t first, float* out, int n);

}  // namespace vorn::render
