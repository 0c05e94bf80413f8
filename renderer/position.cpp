#include "position.h"

#include <algorithm>
#include <cmath>

#include "text.h"

namespace vorn::render {

namespace {

constexpr int64_t kMaxSamples = int64_t{1} << 40;

double number_in(const std::string& word, const std::string& text, const char* what) {
    std::optional<double> v = read_number(word);
    if (!v) fail_usage("-p " + text + ": " + what + " " + in_quotes(word) + " is not a number");
    return *v;
}

std::vector<std::string> split_colons(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t colon; (colon = text.find(':', start)) != std::string::npos; start = colon + 1)
        parts.push_back(text.substr(start, colon - start));
    parts.push_back(text.substr(start));
    return parts;
}

// x wrapped into [0, length).
double wrap(double x, double length) {
    double w = x - length * std::floor(x / length);
    return w >= 0 && w < length ? w : 0.0;
}

}  // namespace

PositionShape read_position(const std::string& text) {
    PositionShape p;
    p.text = text;
    if (text.rfind("file:", 0) == 0) {
        p.kind = PositionShape::File;
        p.path = text.substr(5);
        if (p.path.empty()) fail_usage("-p " + text + ": no file after file:");
        return p;
    }
    std::vector<std::string> parts = split_colons(text);
    if (parts.size() == 1) {
        std::optional<double> v = read_number(text);
        if (!v)
            fail_usage("-p " + in_quotes(text) + ": not a position (give NUMBER, line:FROM:TO, scan:SPEED[:FROM] or file:PATH)");
        p.kind = PositionShape::Constant;
        p.a = *v;
    } else if (parts[0] == "line") {
        if (parts.size() != 3) fail_usage("-p " + text + ": give line:FROM:TO");
        p.kind = PositionShape::Line;
        p.a = number_in(parts[1], text, "FROM");
        p.b = number_in(parts[2], text, "TO");
    } else if (parts[0] == "scan") {
        if (parts.size() != 2 && parts.size() != 3) fail_usage("-p " + text + ": give scan:SPEED or scan:SPEED:FROM");
        p.kind = PositionShape::Scan;
        p.a = number_in(parts[1], text, "SPEED");
        p.b = parts.size() == 3 ? number_in(parts[2], text, "FROM") : 0.0;
    } else {
        fail_usage("-p " + in_quotes(text) + ": unknown kind " + in_quotes(parts[0]) + " (give NUMBER, line:FROM:TO, scan:SPEED[:FROM] or file:PATH)");
    }
    return p;
}

Length read_duration(const std::string& text) {
    Length d;
    d.text = text;
    std::string number = text;
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        d.unit = Length::Milliseconds;
        number = text.substr(0, text.size() - 2);
    } else if (text.size() > 1 && text.back() == 's') {
        d.unit = Length::Seconds;
        number = text.substr(0, text.size() - 1);
    }
    const char* form = " (give 12.5s, 800ms or a whole number of samples)";
    if (d.unit == Length::Samples) {
        std::optional<int64_t> n = read_integer(number);
        if (!n) fail_usage("-d " + in_quotes(text) + ": not a duration" + form);
        d.value = static_cast<double>(*n);
    } else {
        std::optional<double> v = read_number(number);
        if (!v) fail_usage("-d " + in_quotes(text) + ": not a duration" + form);
        d.value = *v;
    }
    if (!(d.value > 0)) fail_usage("-d " + text + ": the duration must be more than zero");
    return d;
}

int64_t duration_samples(const Length& d, double rate) {
    double samples = d.unit == Length::Seconds        ? d.value * rate
                     : d.unit == Length::Milliseconds ? d.value * rate / 1000
                                                            : d.value;
    if (!(samples < static_cast<double>(kMaxSamples))) fail_usage("-d " + d.text + ": too long");
    int64_t n = std::llround(samples);
    if (n < 1) fail_usage("-d " + d.text + ": shorter than one sample at " + std::to_string(std::lround(rate)) + " Hz");
    return n;
}

int64_t default_duration(const PositionShape& p, int64_t src_frames, double rate, int64_t file_frames) {
    if (p.kind == PositionShape::File) return file_frames;
    if (p.kind != PositionShape::Scan || p.a == 0) return src_frames;
    // Until the position reaches the end of src (the start, when moving
    // backwards), from FROM wrapped into src.
    const double length_ms = static_cast<double>(src_frames) * 1000 / rate;
    const double from = wrap(p.b, length_ms);
    const double remaining_ms = p.a > 0 ? length_ms - from : (from > 0 ? from : length_ms);
    const double samples = remaining_ms / std::fabs(p.a) * rate / 1000;
    if (!(samples < static_cast<double>(kMaxSamples)))
        fail_usage("-p " + p.text + ": the scan is too slow to reach the end of src; give -d");
    return std::max<int64_t>(1, std::llround(samples));
}

namespace {

// The length of src in ms, which a scan wraps at.
double scan_length_ms(const PositionSignal& s) { return static_cast<double>(s.src_frames) * 1000 / s.rate; }

double scan_at(const PositionSignal& s, int64_t k, double length_ms) {
    const double elapsed_ms = static_cast<double>(k) * 1000 / s.rate;
    return wrap(s.shape.b + s.shape.a * elapsed_ms, length_ms);
}

}  // namespace

double position_at(const PositionSignal& s, int64_t k) {
    const PositionShape& p = s.shape;
    switch (p.kind) {
    case PositionShape::Constant: return p.a;
    case PositionShape::Line: {
        if (s.length < 2) return p.a;
        const double t = static_cast<double>(k) / static_cast<double>(s.length - 1);
        return p.a * (1 - t) + p.b * t;  // FROM at the first sample, TO exactly at the last
    }
    case PositionShape::Scan: return scan_at(s, k, scan_length_ms(s));
    case PositionShape::File:
        if (s.file.empty()) return 0;
        return s.file[static_cast<size_t>(std::min<int64_t>(k, static_cast<int64_t>(s.file.size()) - 1))];
    }
    return 0;
}

void fill_positions(const PositionSignal& s, int64_t first, float* out, int n) {
    if (s.shape.kind == PositionShape::Scan) {  // the commonest, with its length worked out once
        const double length_ms = scan_length_ms(s);
        for (int j = 0; j < n; ++j) out[j] = static_cast<float>(scan_at(s, first + j, length_ms));
        return;
    }
    for (int j = 0; j < n; ++j) out[j] = static_cast<float>(position_at(s, first + j));
}

}  // namespace vorn::render
