// Shared setup for tests that drive the real vorn~.mxe through the stand-in host.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "granulator_object.h"
#include "host.h"

namespace vorn::test {

// The clock reading that the plug-in seeds its random source from.
inline constexpr uint32_t kSeed = 1234567;

// Console lines posted while the library was loaded (by the first box).
const std::vector<std::string>& load_banner();

// Each test starts from an empty patch with an empty console.
struct PluginTest : ::testing::Test {
    PluginTest() {
        standin::reset();
        standin::take_console();
    }
    ~PluginTest() override { standin::reset(); }

    standin::Box* make(const std::string& text) {
        std::string error;
        standin::Box* box = standin::box_create(text, &error);
        EXPECT_NE(box, nullptr) << text << ": " << error;
        return box;
    }
    static ::Granulator* object(standin::Box* box) { return reinterpret_cast<::Granulator*>(standin::box_object(box)); }
    static vorn::Granulator& engine(standin::Box* box) { return object(box)->engine; }
    static std::vector<std::string> console() { return standin::take_console(); }
    static void send(standin::Box* box, int inlet, const std::string& text) {
        std::string error;
        EXPECT_TRUE(standin::send_text(box, inlet, text, &error)) << text << ": " << error;
    }
};

}  // namespace vorn::test
