// Unit tests run product functions on a fresh simulated machine.
#pragma once

#include <gtest/gtest.h>

#include "sectorsweep.h"
#include "sim/machine.h"
#include "sim/scenario.h"

// Boots a machine described in scenario syntax (file output unless said otherwise).
inline void BootMachine(const std::string& text = "stdout: file\n") {
    sim::Scenario scenario;
    std::string error;
    ASSERT_TRUE(sim::ParseScenario(text, &scenario, &error)) << error;
    sim::Boot(scenario.Machine);
    ProcessHeap = GetProcessHeap();
}

// How many record lines hold this text.
inline int CountEvents(const std::string& text) {
    int count = 0;
    for (const std::string& event : sim::CurrentRecord().Events)
        if (event.find(text) != std::string::npos) ++count;
    return count;
}

inline const std::string& Stdout() { return sim::CurrentRecord().Stdout; }
inline const std::string& Stderr() { return sim::CurrentRecord().Stderr; }
