// The renderer's own report on standard error: a progress bar while it
// renders (only on a terminal) and the closing summary line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace vorn::render {

class Progress {
public:
    // Draws nothing unless `shown`.
    Progress(bool shown, int64_t total);
    ~Progress() { finish(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    void update(int64_t done);
    // Clears the bar.
    void finish();

private:
    void draw(int64_t done);
    bool shown_;
    int64_t total_;
    std::chrono::steady_clock::time_point start_, last_;
    bool drawn_ = false;
};

// "vorn: wrote demo.wav: 12.00 s, 44100 Hz, float, peak -3.1 dBFS, CPU 0.42 s (28.6x real time)"
std::string summary_line(const std::string& path, int64_t frames, int rate, const std::string& format, float peak,
                         double cpu_seconds);

}  // namespace vorn::render
