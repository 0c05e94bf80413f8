// The render itself, driven through the stand-in host's interface only.
#include "render.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "host.h"
#include "platform.h"
#include "text.h"

namespace vorn::render {

namespace {

void print_console_line(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// While a render runs, a console line first clears the progress bar, which
// the next update draws again below it.
struct ConsoleDuringRender {
    explicit ConsoleDuringRender(Progress& progress) {
        standin::set_console_sink([&progress](const std::string& line) {
            progress.finish();
            print_console_line(line);
        });
    }
    ~ConsoleDuringRender() { standin::set_console_sink(print_console_line); }
    ConsoleDuringRender(const ConsoleDuringRender&) = delete;
    ConsoleDuringRender& operator=(const ConsoleDuringRender&) = delete;
};

void warn(const std::string& text) { std::fprintf(stderr, "vorn: warning: %s\n", text.c_str()); }

// The host as the render sees it: the boxes and the chain's settings.
struct Host {
    std::vector<standin::Box*> boxes;
    double rate;
    int vector_size;
    void compile() const { standin::dsp_compile(rate, vector_size); }
};

void deliver(const Event& e, const Sound& sound, Host& host) {
    if (!e.host) {
        std::string why;
        // Whatever the object makes of the message is its own business; only
        // a message that the host cannot hand over (no method for it) gets a
        // word, as a host would post one.
        if (!standin::send_text(host.boxes[static_cast<size_t>(e.box - 1)], e.inlet, e.words, &why))
            warn(e.where + ": " + why + " (ignored)");
        return;
    }
    const HostCommand& c = e.command;
    switch (c.kind) {
    case HostCommand::Dsp: host.compile(); break;
    case HostCommand::Rate:
        host.rate = c.rate;
        host.compile();
        break;
    case HostCommand::Buffer:
        if (!standin::buffer_set(c.name, sound.samples, sound.rate))
            fail_runtime(e.where + ": cannot make buffer~ " + c.name + " (out of memory)");
        break;
    case HostCommand::Delete: standin::buffer_delete(c.name); break;
    case HostCommand::Invalid: standin::buffer_set_valid(c.name, false); break;
    case HostCommand::Valid: standin::buffer_set_valid(c.name, true); break;
    case HostCommand::Table: standin::table_set(c.name); break;
    case HostCommand::Loadbang: standin::loadbang_all(); break;
    }
}

// The output sample at which a timed event is due. A time past 2^62
// samples is past the end of any output (at most 2^40 samples): it is never
// due, rather than rounded to an integer it does not fit.
int64_t due_sample(const Event& e, double rate) {
    const double at = e.time_ms * rate / 1000;
    return at < 4611686018427387904.0 ? std::llround(at) : INT64_MAX;
}

}  // namespace

RenderResult render(const RenderPlan& plan, const Inputs& in, OutputFile& out, Progress& progress) {
    ConsoleDuringRender console(progress);
    if (plan.plugin_dir) standin::add_search_path(*plan.plugin_dir);
    standin::set_clock(plan.seed ? std::optional<uint32_t>(*plan.seed) : std::nullopt);

    if (!standin::buffer_set("src", in.src.samples, in.src.rate)) fail_runtime("cannot make buffer~ src (out of memory)");
    for (size_t k = 0; k < plan.buffers.size(); ++k)
        if (!standin::buffer_set(plan.buffers[k].name, in.buffers[k].samples, in.buffers[k].rate))
            fail_runtime("cannot make buffer~ " + plan.buffers[k].name + " (out of memory)");

    Host host{{}, in.rate, plan.vector_size};
    for (const std::string& args : plan.box_args) {
        std::string why;
        standin::Box* box = standin::box_create(args.empty() ? "vorn~" : "vorn~ " + args, &why);
        if (!box) fail_runtime("-a " + in_quotes(args) + ": cannot create the box: " + why);
        host.boxes.push_back(box);
    }
    standin::loadbang_all();

    const std::vector<Event>& events = plan.events;
    size_t next = 0;
    for (; next < events.size() && events[next].init; ++next) deliver(events[next], in.event_sounds[next], host);
    host.compile();

    const int n = plan.vector_size;
    const int64_t length = in.position.length;
    std::vector<float> positions(static_cast<size_t>(n)), sum(static_cast<size_t>(n));
    RenderResult result;
    for (int64_t start = 0; start < length; start += n) {
        while (next < events.size() && due_sample(events[next], in.rate) < start + n) {
            deliver(events[next], in.event_sounds[next], host);
            ++next;
        }
        fill_positions(in.position, start, positions.data(), n);
        for (standin::Box* box : host.boxes) {
            float* input = standin::signal_input(box);
            if (!input) fail_runtime("the signal chain has no input vector for a box");
            std::copy(positions.begin(), positions.end(), input);
        }
        std::string why;
        if (!standin::run_vector(&why)) fail_runtime("the signal chain stopped: " + why);
        for (size_t b = 0; b < host.boxes.size(); ++b) {
            const float* output = standin::signal_output(host.boxes[b]);
            if (!output) fail_runtime("the signal chain has no output vector for a box");
            if (b == 0)
                std::copy(output, output + n, sum.begin());
            else
                for (int j = 0; j < n; ++j) sum[static_cast<size_t>(j)] += output[j];
        }
        const int64_t count = std::min<int64_t>(n, length - start);
        for (int64_t j = 0; j < count; ++j) result.peak = std::max(result.peak, std::fabs(sum[static_cast<size_t>(j)]));
        out.write(sum.data(), static_cast<size_t>(count));
        result.frames = start + count;
        progress.update(result.frames);
        standin::take_console();  // already printed
    }
    for (; next < events.size(); ++next)
        warn(events[next].where + ": due " +
             (due_sample(events[next], in.rate) == INT64_MAX
                  ? std::string("too late for any output")
                  : "at " + std::to_string(due_sample(events[next], in.rate)) + " samples") +
             ", after the end of the output; not delivered");
    return result;
}

}  // namespace vorn::render
