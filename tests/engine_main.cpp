// The engine tests' entry: they run in the x87 state that VORN_X87_CONTROL
// asks for, as externals do in a host that sets it (on Windows, 0x027F is
// what hosts built with Microsoft's compiler run at).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "fpu.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (!standin::fpu::apply_x87_from_environment(&why)) {
        std::fprintf(stderr, "engine tests: %s\n", why.c_str());
        return 2;
    }
    return RUN_ALL_TESTS();
}
