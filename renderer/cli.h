// The command line: `vorn render [SOUNDFILE] -o OUT [options]`,
// `vorn --version`, `vorn --help`.
#pragma once

#include <optional>

#include "plan.h"

namespace vorn::render {

// The plan of the render that the command line asks for, checked for form
// (a usage failure names the option or the score line at fault). Nothing
// when it asked for help or the version, which have then been printed.
std::optional<RenderPlan> read_command_line(int argc, char** argv);

// "float", "pcm16", "pcm24" or "vorbis".
const char* format_name(SampleFormat f);

}  // namespace vorn::render
