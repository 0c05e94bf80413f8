// The engine tests' entry. They run with the kernel that VORN_KERNEL names
// (a run for a kernel that this processor lacks is skipped, saying so), and in the x87 state that VORN_X87_CONTROL asks for,
// as externals do in a host that sets it (on Windows, 0x027F is what hosts
// built with Microsoft's compiler run at).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fpu.h"
#include "kernels.h"

// The exit status that CTest counts as a skipped test (SKIP_RETURN_CODE in
// tests/CMakeLists.txt).
constexpr int kSkipped = 77;

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::string why;
    if (!standin::fpu::apply_x87_from_environment(&why)) {
        std::fprintf(stderr, "engine tests: %s\n", why.c_str());
        return 2;
    }
    const char* kernel = std::getenv(vorn::kKernelVariable);
    const char* error = nullptr;
    if (!vorn::select_kernel(kernel, &error) && !::testing::GTEST_FLAG(list_tests)) {
        std::printf("skipped: %s=%s: %s\n", vorn::kKernelVariable, kernel, error);
        return kSkipped;
    }
    return RUN_ALL_TESTS();
}
