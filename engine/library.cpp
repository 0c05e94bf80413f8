#include "library.h"

#include <cstddef>
#include <cstdlib>
#include <initializer_list>

#include "kernels.h"
#include "random.h"
#include "tables.h"

namespace vorn {

namespace {

// Appends `text` to the line in `to`, of which `room` bytes are left
// (the terminating zero included), as much as fits.
char* append(char* to, size_t& room, const char* text) {
    for (; *text && room > 1; --room) *to++ = *text++;
    *to = '\0';
    return to;
}

}  // namespace

void post_banner(ConsoleLine post) {
    for (const char* line : kBanner) post(line);
}

void load_library(ConsoleLine post, ConsoleLine problem) {
    if (!build_tables()) problem("vorn~: out of memory for the window table: every vorn~ stays silent");
    random_seed_from_clock();
    post_banner(post);
    const char* name = std::getenv(kKernelVariable);
    const char* error = nullptr;
    if (!select_kernel(name, &error)) {
        // Put together in place: a std::string would bring the C++ library's
        // exceptions, and their imports, into the Windows plug-in. A name
        // that long is cut short.
        char line[1024];
        size_t room = sizeof line;
        char* end = line;
        for (const char* part : {"vorn~: ", kKernelVariable, "=", name, ": ", error}) end = append(end, room, part);
        problem(line);
    }
}

}  // namespace vorn
