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

inline void build_tables() {
    build_interp_table();
    if (!window_table) window_table = make_window_table(kWindowSize);
}

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

// What the host does at every compile: compile, then restart every
// allocated grain at position 0.
inline void compile_and_restart(Granulator& g, double rate) {
    compile(g, rate);
    for (int32_t i = 0; i < g.max_overlap; ++i) start_grain(g, 0.0, g.grains[i]);
}

}  // namespace vorn::test
