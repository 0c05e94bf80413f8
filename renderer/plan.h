// What one render is asked to do, as read from the command line and the
// score: plain data, checked for form but not yet loaded.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vorn::render {

// A failure that ends the run: a one-line message for standard error and
// the exit code (2: the command line or a score is wrong; 1: something
// went wrong while running, such as a file that cannot be read or written).
struct Failure {
    int exit_code;
    std::string message;
};
inline constexpr int kUsageError = 2;
inline constexpr int kRuntimeError = 1;

[[noreturn]] inline void fail_usage(std::string message) { throw Failure{kUsageError, std::move(message)}; }
[[noreturn]] inline void fail_runtime(std::string message) { throw Failure{kRuntimeError, std::move(message)}; }

// The position signal, in ms, fed to every box.
struct PositionShape {
    enum Kind { Constant, Line, Scan, File } kind = Scan;
    double a = 0.5;    // Constant: the value; Line: FROM; Scan: SPEED
    double b = 0.0;    // Line: TO; Scan: FROM
    std::string path;  // File
    std::string text;  // as given, for messages
};

// A length: seconds, milliseconds, or a count of samples.
struct Length {
    enum Unit { Seconds, Milliseconds, Samples } unit = Samples;
    double value = 0;
    std::string text;
};

enum class Container { Wav, Aiff, Flac, Ogg };
enum class SampleFormat { Float, Pcm16, Pcm24, Vorbis };

// What a host event does to the host itself rather than to a box.
struct HostCommand {
    enum Kind { Dsp, Rate, Buffer, Delete, Invalid, Valid, Table, Loadbang } kind = Dsp;
    std::string name;  // Buffer, Delete, Invalid, Valid, Table
    std::string path;  // Buffer: the sound file
    double rate = 0;   // Rate: Hz
};

// One timed message.
struct Event {
    bool init = false;     // delivered before the first compile
    double time_ms = 0;    // from the start of the output, when not init
    bool host = false;     // a host command rather than a message to an inlet
    int box = 1;           // 1-based
    int inlet = 0;         // 0 to 4
    std::string words;     // the message, as typed into a message box
    HostCommand command;   // when host
    std::string where;     // names the event in messages: `-m "..."` or `score.txt:12`
};

struct NamedFile {
    std::string name;
    std::string path;
};

struct RenderPlan {
    std::optional<std::string> source_path;  // SOUNDFILE; the built-in sound when absent
    int channel = 0;                         // 1-based channel of SOUNDFILE; 0: the mean of all
    std::vector<NamedFile> buffers;          // -b NAME=FILE, in order
    std::vector<std::string> box_args;       // -a, one per box, in order
    std::optional<double> rate;              // -r
    int vector_size = 64;
    PositionShape position;
    std::optional<Length> duration;
    std::vector<Event> events;  // sorted: init first, then by time; ties keep score, then -m order
    std::string output;
    Container container = Container::Wav;
    SampleFormat format = SampleFormat::Float;
    std::optional<uint32_t> seed;
    bool quiet = false;
    std::optional<std::string> plugin_dir;
};

}  // namespace vorn::render
