#include "progress.h"

#include <cmath>
#include <cstdio>

namespace vorn::render {

namespace {

std::string clock_text(double seconds) {
    const long s = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

}  // namespace

Progress::Progress(bool shown, int64_t total)
    : shown_(shown), total_(total > 0 ? total : 1), start_(std::chrono::steady_clock::now()), last_(start_) {
    if (shown_) draw(0);
}

void Progress::update(int64_t done) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(100) && done < total_) return;
    last_ = now;
    draw(done);
}

void Progress::draw(int64_t done) {
    constexpr int kWidth = 30;
    const double part = static_cast<double>(done) / static_cast<double>(total_);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const int filled = static_cast<int>(part * kWidth);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.resize(kWidth, '.');
    const std::string remaining = done > 0 ? clock_text(elapsed / part - elapsed) : std::string("-:--");
    std::fprintf(stderr, "\r[%s] %3d%%  elapsed %s  remaining %s ", bar.c_str(), static_cast<int>(part * 100),
                 clock_text(elapsed).c_str(), remaining.c_str());
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish() {
    if (!drawn_) return;
    std::fprintf(stderr, "\r%72s\r", "");
    std::fflush(stderr);
    drawn_ = false;
}

std::string summary_line(const std::string& path, int64_t frames, int rate, const std::string& format, float peak,
                         double cpu_seconds) {
    const double seconds = static_cast<double>(frames) / rate;
    char level[32];
    if (peak > 0)
        std::snprintf(level, sizeof level, "%.1f dBFS", 20 * std::log10(static_cast<double>(peak)));
    else
        std::snprintf(level, sizeof level, "-inf dBFS (silence)");
    char speed[48];
    if (cpu_seconds > 0)
        std::snprintf(speed, sizeof speed, "%.1fx real time", seconds / cpu_seconds);
    else
        std::snprintf(speed, sizeof speed, "too fast to time");
    char line[256];
    std::snprintf(line, sizeof line, ": %.2f s, %d Hz, %s, peak %s, CPU %.2f s (%s)", seconds, rate, format.c_str(),
                  level, cpu_seconds, speed);
    return "vorn: wrote " + path + line;
}

}  // namespace vorn::render
