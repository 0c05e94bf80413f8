// Loads vorn~.mxe once, with a fixed clock, before any test runs.
#include <gtest/gtest.h>

#include "plugin_fixture.h"

namespace vorn::test {

namespace {
std::vector<std::string> banner;
}

const std::vector<std::string>& load_banner() { return banner; }

}  // namespace vorn::test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    standin::add_search_path(VORN_PLUGIN_DIR);
    standin::set_clock(vorn::test::kSeed);
    standin::take_console();
    std::string error;
    if (!standin::box_create("vorn~", &error)) {
        fprintf(stderr, "cannot load vorn~: %s\n", error.c_str());
        return 1;
    }
    vorn::test::banner = standin::take_console();
    standin::reset();
    return RUN_ALL_TESTS();
}
