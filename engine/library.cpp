#include "library.h"

#include <cstdlib>
#include <string>

#include "kernels.h"
#include "random.h"
#include "tables.h"

namespace vorn {

void post_banner(ConsoleLine post) {
    for (const char* line : kBanner) post(line);
}

void load_library(ConsoleLine post, ConsoleLine problem) {
    if (!build_tables()) problem("vorn~: out of memory for the window table: every vorn~ stays silent");
    random_seed_from_clock();
    post_banner(post);
    const char* name = std::getenv(kKernelVariable);
    const char* error = nullptr;
    if (!select_kernel(name, &error))
        problem((std::string("vorn~: ") + kKernelVariable + "=" + name + ": " + error).c_str());
}

}  // namespace vorn
