// Loading the sounds of a render and working out its rate and length.
#include "demo_sound.h"
#include "render.h"

namespace vorn::render {

namespace {

Sound load(const std::string& culprit, const std::string& path, const LoadOptions& options) {
    Sound s;
    std::string why;
    if (!load_sound(path, options, &s, &why)) fail_runtime(culprit + ": " + why);
    return s;
}

}  // namespace

Inputs load_inputs(const RenderPlan& plan) {
    Inputs in;
    if (plan.source_path) {
        in.src = load(*plan.source_path, *plan.source_path, LoadOptions{plan.channel, true});
    } else {
        in.src.samples = demo_sound();
        in.src.rate = kDemoRate;
        in.src.channels = 1;
    }
    for (const NamedFile& b : plan.buffers)
        in.buffers.push_back(load("-b " + b.name + "=" + b.path, b.path, LoadOptions{}));
    in.event_sounds.resize(plan.events.size());
    for (size_t k = 0; k < plan.events.size(); ++k) {
        const Event& e = plan.events[k];
        if (e.host && e.command.kind == HostCommand::Buffer)
            in.event_sounds[k] = load(e.where + ": " + e.command.path, e.command.path, LoadOptions{});
    }

    if (plan.rate) {
        in.rate = *plan.rate;
    } else if (plan.source_path) {
        if (in.src.rate < 1 || in.src.rate > 768000)
            fail_runtime(*plan.source_path + ": its rate, " + std::to_string(in.src.rate) +
                         " Hz, is outside 1 to 768000 Hz (give -r)");
        in.rate = in.src.rate;
    } else {
        in.rate = 44100;
    }

    PositionSignal& p = in.position;
    p.shape = plan.position;
    p.rate = in.rate;
    p.src_frames = static_cast<int64_t>(in.src.samples.size());
    if (p.shape.kind == PositionShape::File)
        p.file = load("-p " + p.shape.text, p.shape.path, LoadOptions{1, false}).samples;
    p.length = plan.duration ? duration_samples(*plan.duration, in.rate)
                             : default_duration(p.shape, p.src_frames, in.rate, static_cast<int64_t>(p.file.size()));
    return in;
}

}  // namespace vorn::render
