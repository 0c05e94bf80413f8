// Shared setup for engine tests: tables built, random source saved and
// restored, granulators released.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "granulator.h"
#include "random.h"
#include "tables.h"

namespace vorn::test {

// A Granulator that frees its grains at the end of the scope.
struct Owned {
    Granulator g{};
    explicit Owned() { init(g); }
    explicit Owned(int32_t log2) { init(g, log2); }
    ~Owned() { release(g); }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Granulator* operator->() { return &g; }
    Granulator& operator*() { return g; }
};

struct EngineTest : ::testing::Test {
    uint32_t saved_state = random_state;
    EngineTest() {
        build_tables();
        random_state = 1;
    }
    ~EngineTest() override { random_state = saved_state; }
};

}  // namespace vorn::test
