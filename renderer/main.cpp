// vorn: the command-line renderer. See docs/vorn.md.
#include <cstdio>
#include <ctime>
#include <new>

#include "cli.h"
#include "platform.h"
#include "render.h"

using namespace vorn::render;

namespace {

int run(const RenderPlan& plan) {
    Inputs inputs = load_inputs(plan);
    const int rate = static_cast<int>(inputs.rate);
    OutputFile out(plan.output, plan.container, plan.format, rate);
    Progress progress(!plan.quiet && platform::stderr_is_terminal(), inputs.position.length);
    RenderResult result = render(plan, inputs, out, progress);
    progress.finish();
    out.commit();
    const double cpu = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
    std::fprintf(stderr, "%s\n",
                 summary_line(plan.output, result.frames, rate, format_name(plan.format), result.peak, cpu).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::optional<RenderPlan> plan = read_command_line(argc, argv);
        return plan ? run(*plan) : 0;
    } catch (const Failure& f) {
        std::fflush(stdout);
        std::fprintf(stderr, "vorn: %s\n", f.message.c_str());
        return f.exit_code;
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "vorn: out of memory\n");
        return kRuntimeError;
    }
}
