// Unit tests run product functions on a fresh simulated machine.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

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

// Runs `body` in a child process, for a test that leaves process-wide state of
// the program behind (the difference print limit): the tests after it, in any
// order, start from the state the process started with. The child reports its
// own failures; any of them fails the test.
template <typename Body>
void InOwnProcess(Body body) {
    std::fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        body();
        std::fflush(nullptr);
        _exit(::testing::Test::HasFailure() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the test's own process failed";
}
