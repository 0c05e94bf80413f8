// A render through the stand-in host: the sounds it needs, loaded first,
// then the event order and the vector loop.
#pragma once

#include <cstdint>
#include <vector>

#include "output.h"
#include "plan.h"
#include "position.h"
#include "progress.h"
#include "soundfile.h"

namespace vorn::render {

// Everything read from files before the render starts, so that a bad file
// stops it before any output exists.
struct Inputs {
    Sound src;                       // SOUNDFILE, or the built-in sound
    std::vector<Sound> buffers;      // one per -b, in order
    std::vector<Sound> event_sounds; // one per event; filled for "host buffer" only
    double rate = 44100;             // the rate the render starts with (also the file's)
    PositionSignal position;         // with the output length
};

// Loads every file the plan names (a runtime failure naming the culprit)
// and works out the rate, the output length and the position signal.
Inputs load_inputs(const RenderPlan& plan);

struct RenderResult {
    int64_t frames = 0;
    float peak = 0;  // largest magnitude of the written samples
};

// Runs the render: buffers, boxes, "loadbang", init messages, the first
// compile, then the vectors with their timed messages; the sum of the
// boxes' outputs goes to `out`. Console lines of the plug-in go to
// standard output as they are posted.
RenderResult render(const RenderPlan& plan, const Inputs& inputs, OutputFile& out, Progress& progress);

}  // namespace vorn::render
