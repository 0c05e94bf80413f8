// Reading and writing sound files. The only place that knows a sound-file
// library: soundfile_sndfile.cpp implements it with libsndfile; a build
// without one may put a 32-bit-float-WAV-only implementation in its place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "plan.h"

namespace vorn::render {

struct Sound {
    std::vector<float> samples;  // one channel
    int rate = 0;                // Hz
    int channels = 0;            // in the file
};

struct LoadOptions {
    int channel = 0;         // 1-based; 0: the mean of all channels
    bool normalise = true;   // integer samples as -1..1; false: as their integer values
};

// Loads `path` as one channel. False with a reason in *error (for example
// "no such file", "not a sound file", "holds no samples").
bool load_sound(const std::string& path, const LoadOptions& options, Sound* out, std::string* error);

// Whether this build writes `container` with `format`.
bool can_write(Container container, SampleFormat format);

// A sound file being written, one channel.
struct SoundWriter;
struct SoundWriterDelete {
    void operator()(SoundWriter* w) const;
};
using SoundWriterPtr = std::unique_ptr<SoundWriter, SoundWriterDelete>;

// Creates (or truncates) `path`. Two writes of the same samples give
// byte-identical files: no time stamps.
SoundWriterPtr open_writer(const std::string& path, Container container, SampleFormat format, int rate,
                           std::string* error);
bool write_samples(SoundWriter& w, const float* samples, size_t n, std::string* error);
// Completes the file; the writer can only be deleted afterwards.
bool close_writer(SoundWriter& w, std::string* error);

}  // namespace vorn::render
