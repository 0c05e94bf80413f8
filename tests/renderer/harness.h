// Running the vorn executable in a temporary folder, sound files for it, and
// the engine driven directly, to compare a render with.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "granulator.h"

namespace vorn::test {

// A text's lines, without their line ends; a whole file's bytes ("" if it
// cannot be read).
std::vector<std::string> lines_of(const std::string& text);
std::string slurp(const std::string& path);

struct Result {
    int status = -1;  // the exit code, or 128 + the signal that ended it
    std::string out, err;
    std::vector<std::string> out_lines() const;
    std::vector<std::string> err_lines() const;
};

// A fresh folder per test, removed afterwards; vorn runs inside it.
class RendererTest : public ::testing::Test {
protected:
    RendererTest();
    ~RendererTest() override;

    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    Result vorn(const std::vector<std::string>& args) const;
    // Starts vorn without waiting, as user `uid` if it is not -1; returns
    // its process id. With `file_limit` bytes (not -1) no file it writes may
    // grow past that size: a write beyond fails with EFBIG, as on a full disk.
    int start(const std::vector<std::string>& args, int uid = -1, long long file_limit = -1) const;
    Result wait(int pid) const;
    // The names in the folder, sorted.
    std::vector<std::string> listing() const;
    std::string read_file(const std::string& name) const;
    void write_file(const std::string& name, const std::string& bytes) const;

    std::string dir_;
};

// Sound files through libsndfile. `frames` holds the channels interleaved.
struct SoundFile {
    std::vector<float> samples;
    int rate = 0, channels = 0, format = 0;
    int64_t frames() const { return channels ? static_cast<int64_t>(samples.size()) / channels : 0; }
};
void write_sound(const std::string& path, const std::vector<float>& interleaved, int rate, int channels,
                 int format = 0 /* float WAV */);
SoundFile read_sound(const std::string& path);

// A test signal: a few partials and a slow swell, different for each `voice`.
std::vector<float> test_tone(int frames, int voice);

// The engine as the plug-in drives it in the stand-in host, without either:
// boxes in creation order sharing the library-wide random source, one
// sample source, and the vector loop with events before the vectors.
class DirectRender {
public:
    explicit DirectRender(uint32_t seed);
    ~DirectRender();
    // A box as "vorn~ LOG2 src PJ TR TJ PERIOD" makes it: init, then the
    // setters in the order "set" applies them.
    Granulator& box(int32_t log2, double pos_jitter, double transp, double transp_jitter, double period);
    // A box as "vorn~ LOG2 src" makes it: init only.
    Granulator& box(int32_t log2);
    Granulator& box(size_t k) { return *boxes_[k]; }
    void set_source(const std::vector<float>* samples);  // null: deleted (empty, invalid)
    void set_valid(bool valid) { source_.valid = valid && samples_ ? 1 : 0; }
    void compile(double rate);
    // `length` samples in vectors of `n`; before each vector, `before(first
    // sample of the vector, n)` delivers what is due; `position(k)` in ms.
    std::vector<float> run(int64_t length, int n, const std::function<float(int64_t)>& position,
                           const std::function<void(int64_t, int)>& before);

private:
    std::vector<std::unique_ptr<Granulator>> boxes_;
    SampleSource source_{};
    const std::vector<float>* samples_ = nullptr;
};

// The sample of a message at `ms`, at the rate the render starts with.
inline int64_t due(double ms, double rate) { return std::llround(ms * rate / 1000); }

// The samples of two renders agree bit for bit (and are not silence).
void expect_same_samples(const std::vector<float>& expected, const std::vector<float>& actual);

}  // namespace vorn::test
