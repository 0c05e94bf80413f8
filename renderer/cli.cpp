#include "cli.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <set>

#include "position.h"
#include "score.h"
#include "text.h"

#ifndef VORN_VERSION
#define VORN_VERSION "unknown"
#endif

namespace vorn::render {

namespace {

constexpr const char* kAbout =
    "vorn renders a sound through the vorn~ granular synthesis object to a sound file,\n"
    "without Max: it loads the real vorn~.mxe into a small stand-in host, creates\n"
    "buffer~ objects and vorn~ boxes, drives their position signal, delivers timed\n"
    "messages and writes the sum of the boxes' outputs.";

constexpr const char* kRenderFooter = R"(
Messages (-m and --score lines) are TIME TARGET WORDS...
  TIME    ms from the start of the output, or init (after loadbang, before the
          first compile)
  TARGET  an inlet 0 to 4 of box 1; BOX:INLET, e.g. 2:4; or host
  WORDS   for an inlet, a message as typed into a message box: 700, 0 700 1200,
          set drums 20, overlap 3, print; for host: dsp, rate HZ,
          buffer NAME FILE, delete NAME, invalid NAME, valid NAME, table NAME,
          loadbang
Examples
  vorn render -o demo.wav                          the built-in sound, stretched 2x
  vorn render voice.wav -o frozen.wav -p 1200 -d 10s
  vorn render voice.wav -o chord.wav -a "5 src 10 0" -m "init 2 0 400 700"
  vorn render drums.wav -o out.flac --score changes.txt --seed 7
The manual: docs/vorn.md.
)";

struct Options {
    std::string source;
    std::string output;
    std::string channel;
    std::vector<std::string> buffers;
    std::vector<std::string> args;
    std::string rate;
    std::string vector = "64";
    std::string position = "scan:0.5";
    std::string duration;
    std::vector<std::string> messages;
    std::string score;
    std::string format;
    std::string seed;
    std::string plugin_dir;
    bool quiet = false;
};

void describe(CLI::App& render, Options& o) {
    render.set_help_flag("-h,--help", "print this help and exit. e.g. vorn render --help");
    render.add_option("SOUNDFILE", o.source,
                      "the sound to granulate, loaded into the buffer~ src; any format\n"
                      "libsndfile reads. Without it, the built-in demo sound.\n"
                      "e.g. vorn render voice.wav -o out.wav");
    render.add_option("-o,--output", o.output,
                      "the file to write; wav, aiff, flac or ogg, from its extension.\n"
                      "Replaced only by a complete render. e.g. -o out.wav");
    render.add_option("--format", o.format,
                      "float, pcm16 or pcm24 (default: float; pcm24 for flac;\n"
                      "ogg is always Vorbis). e.g. --format pcm24");
    render.add_option("--channel", o.channel,
                      "the channel of SOUNDFILE to use, counted from 1\n"
                      "(default: the mean of all channels). e.g. --channel 2");
    render.add_option("-b,--buffer", o.buffers,
                      "another buffer~ NAME from FILE (mean of its channels);\n"
                      "repeatable. e.g. -b drums=loop.wav")
        ->take_all()
        ->allow_extra_args(false);
    render.add_option("-a,--args", o.args,
                      "the creation arguments of one vorn~ box, as typed after vorn~;\n"
                      "repeat for more boxes, created in this order (default: 3 src).\n"
                      "e.g. -a \"5 src 20 0 15 150\" -a \"3 src 0 1200\"")
        ->take_all()
        ->allow_extra_args(false);
    render.add_option("-r,--rate", o.rate,
                      "the chain's sample rate, 1 to 768000 Hz, and the file's\n"
                      "(default: SOUNDFILE's rate, or 44100). e.g. -r 48000");
    render.add_option("--vector", o.vector,
                      "the vector size, a power of two 1 to 4096 (default 64).\n"
                      "e.g. --vector 256");
    render.add_option("-p,--position", o.position,
                      "the position signal in ms, fed to every box (default scan:0.5):\n"
                      "NUMBER         constant, e.g. -p 1200\n"
                      "line:FROM:TO   linear over the output, e.g. -p line:0:3000\n"
                      "scan:SPEED[:FROM]  SPEED ms per ms of output from FROM,\n"
                      "               wrapping at the end of src, e.g. -p scan:0.25:500\n"
                      "file:PATH      the first channel of a sound file, e.g. -p file:pos.wav");
    render.add_option("-d,--duration", o.duration,
                      "the output length: 12.5s, 800ms or a number of samples\n"
                      "(default: for scan, until the position reaches the end of src;\n"
                      "for file:, that file's length; else the length of src). e.g. -d 20s");
    render.add_option("-m,--message", o.messages,
                      "a timed message TIME TARGET WORDS (below); repeatable.\n"
                      "e.g. -m \"init 2 0 -1200 700\" -m \"5000 4 250\" -m \"8000 host dsp\"")
        ->take_all()
        ->allow_extra_args(false);
    render.add_option("--score", o.score,
                      "a file of messages, one per line; # starts a comment.\n"
                      "e.g. --score changes.txt");
    render.add_option("--seed", o.seed,
                      "start vorn~'s random source as though the clock read N seconds:\n"
                      "the same arguments then give the same file. e.g. --seed 42");
    render.add_option("--plugin-dir", o.plugin_dir,
                      "look for vorn~.mxe in DIR first. e.g. --plugin-dir build/lib");
    render.add_flag("-q,--quiet", o.quiet, "no progress bar. e.g. -q");
    const std::pair<const char*, const char*> types[] = {
        {"SOUNDFILE", ""}, {"--output", "OUT"}, {"--format", "FORMAT"}, {"--channel", "N"},
        {"--buffer", "NAME=FILE"}, {"--args", "\"WORDS\""}, {"--rate", "HZ"}, {"--vector", "N"},
        {"--position", "POS"}, {"--duration", "TIME"}, {"--message", "\"TIME TARGET WORDS\""},
        {"--score", "FILE"}, {"--seed", "N"}, {"--plugin-dir", "DIR"}};
    for (auto [name, type] : types) render.get_option(name)->type_name(type);
    render.footer(kRenderFooter);
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

void read_output(const Options& o, RenderPlan& plan) {
    if (o.output.empty()) fail_usage("-o OUT is required: the file to write (see vorn render --help)");
    plan.output = o.output;
    const size_t dot = o.output.rfind('.');
    const size_t slash = o.output.find_last_of("/\\");
    const std::string ext = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                                ? std::string()
                                : lower(o.output.substr(dot + 1));
    if (ext == "wav") plan.container = Container::Wav;
    else if (ext == "aiff" || ext == "aif") plan.container = Container::Aiff;
    else if (ext == "flac") plan.container = Container::Flac;
    else if (ext == "ogg") plan.container = Container::Ogg;
    else
        fail_usage("-o " + o.output + ": " + (ext.empty() ? "no file type" : "unknown file type ." + ext) +
                   " (give .wav, .aiff, .flac or .ogg)");

    if (plan.container == Container::Ogg) {
        if (!o.format.empty()) fail_usage("--format " + o.format + ": an .ogg file is always Vorbis");
        plan.format = SampleFormat::Vorbis;
        return;
    }
    if (o.format.empty()) plan.format = plan.container == Container::Flac ? SampleFormat::Pcm24 : SampleFormat::Float;
    else if (o.format == "float") plan.format = SampleFormat::Float;
    else if (o.format == "pcm16") plan.format = SampleFormat::Pcm16;
    else if (o.format == "pcm24") plan.format = SampleFormat::Pcm24;
    else fail_usage("--format " + in_quotes(o.format) + ": give float, pcm16 or pcm24");
    if (plan.container == Container::Flac && plan.format == SampleFormat::Float)
        fail_usage("--format float: FLAC holds no float samples (give pcm16 or pcm24)");
}

int64_t whole_number(const std::string& option, const std::string& text) {
    std::optional<int64_t> n = read_integer(text);
    if (!n) fail_usage(option + " " + in_quotes(text) + ": not a whole number");
    return *n;
}

void read_numbers(const Options& o, RenderPlan& plan) {
    if (!o.rate.empty()) {
        std::optional<double> hz = read_number(o.rate);
        if (!hz) fail_usage("-r " + in_quotes(o.rate) + ": not a number");
        if (!(*hz >= 1 && *hz <= 768000)) fail_usage("-r " + o.rate + ": outside 1 to 768000 Hz");
        if (*hz != static_cast<double>(static_cast<int64_t>(*hz)))
            fail_usage("-r " + o.rate + ": give a whole number of Hz");
        plan.rate = *hz;
    }
    const int64_t n = whole_number("--vector", o.vector);
    if (n < 1 || n > 4096 || (n & (n - 1)) != 0)
        fail_usage("--vector " + o.vector + ": not a power of two between 1 and 4096");
    plan.vector_size = static_cast<int>(n);
    if (!o.channel.empty()) {
        const int64_t c = whole_number("--channel", o.channel);
        if (c < 1) fail_usage("--channel " + o.channel + ": channels count from 1");
        if (c > 65536) fail_usage("--channel " + o.channel + ": no file has that many channels");
        if (o.source.empty()) fail_usage("--channel " + o.channel + ": there is no SOUNDFILE to take it from");
        plan.channel = static_cast<int>(c);
    }
    if (!o.seed.empty()) {
        const int64_t s = whole_number("--seed", o.seed);
        if (s < 0 || s > 4294967295) fail_usage("--seed " + o.seed + ": give 0 to 4294967295");
        plan.seed = static_cast<uint32_t>(s);
    }
}

void read_buffers(const Options& o, RenderPlan& plan) {
    std::set<std::string> names{"src"};
    for (const std::string& b : o.buffers) {
        const size_t eq = b.find('=');
        const std::string culprit = "-b " + in_quotes(b);
        if (eq == std::string::npos || eq == 0 || eq + 1 == b.size()) fail_usage(culprit + ": give NAME=FILE");
        NamedFile f{b.substr(0, eq), b.substr(eq + 1)};
        if (split_words(f.name).size() != 1 || split_words(f.name)[0] != f.name)
            fail_usage(culprit + ": a buffer~ name is one word");
        if (f.name == "src") fail_usage(culprit + ": src is SOUNDFILE's buffer~; give the file as SOUNDFILE");
        if (!names.insert(f.name).second) fail_usage(culprit + ": buffer~ " + f.name + " is given twice");
        plan.buffers.push_back(std::move(f));
    }
}

void read_events(const Options& o, RenderPlan& plan) {
    if (!o.score.empty()) plan.events = read_score(o.score);
    for (const std::string& m : o.messages) plan.events.push_back(read_message(m, "-m " + in_quotes(m)));
    order_events(plan.events);
    std::vector<std::string> buffers{"src"};
    for (const NamedFile& b : plan.buffers) buffers.push_back(b.name);
    check_events(plan.events, static_cast<int>(plan.box_args.size()), buffers);
}

RenderPlan make_plan(const Options& o) {
    RenderPlan plan;
    read_output(o, plan);
    if (!o.source.empty()) plan.source_path = o.source;
    read_numbers(o, plan);
    read_buffers(o, plan);
    plan.box_args = o.args.empty() ? std::vector<std::string>{"3 src"} : o.args;
    for (std::string& a : plan.box_args) a = std::string(trim(a));
    plan.position = read_position(o.position);
    if (!o.duration.empty()) plan.duration = read_duration(o.duration);
    read_events(o, plan);
    plan.quiet = o.quiet;
    if (!o.plugin_dir.empty()) plan.plugin_dir = o.plugin_dir;
    return plan;
}

std::string one_line(std::string text) {
    for (char& c : text)
        if (c == '\n') c = ' ';
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

const char* format_name(SampleFormat f) {
    switch (f) {
    case SampleFormat::Float: return "float";
    case SampleFormat::Pcm16: return "pcm16";
    case SampleFormat::Pcm24: return "pcm24";
    case SampleFormat::Vorbis: return "vorbis";
    }
    return "";
}

std::optional<RenderPlan> read_command_line(int argc, char** argv) {
    CLI::App app(kAbout, "vorn");
    // Options are -x and --xx everywhere: on Windows too a word starting with
    // / is a path (subcommands inherit this).
    app.allow_windows_style_options(false);
    app.set_help_flag("-h,--help", "print this help and exit. e.g. vorn --help");
    app.set_version_flag("--version", "vorn " VORN_VERSION, "print the version and exit. e.g. vorn --version");
    app.footer("Commands: vorn render --help tells every option of render, with examples.");
    CLI::App* render = app.add_subcommand("render", "render a sound through vorn~ boxes to a sound file");
    Options o;
    describe(*render, o);
    app.get_formatter()->column_width(24);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return std::nullopt;
    } catch (const CLI::CallForVersion&) {
        std::cout << "vorn " VORN_VERSION "\n";
        return std::nullopt;
    } catch (const CLI::ParseError& e) {
        fail_usage(std::string(render->parsed() ? "render: " : "") + one_line(e.what()) +
                   (render->parsed() ? " (see vorn render --help)" : " (see vorn --help)"));
    }
    if (!render->parsed()) fail_usage("no command given (try vorn render -o out.wav, or vorn --help)");
    return make_plan(o);
}

}  // namespace vorn::render
