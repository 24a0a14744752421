// Scenario files: a simulated machine, a command line and what must come of it.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sim/machine.h"

namespace sim {

struct Expectations {
    bool HasExit = false;
    uint32_t Exit = 0;
    bool Abnormal = false;
    bool Hang = false;
    bool HasStdout = false;
    std::string Stdout;
    bool HasStderr = false;
    std::string Stderr;
    bool HasScreen = false;
    std::vector<std::string> Screen;
    std::vector<std::string> Calls;    // in this order, among the record's lines
    std::vector<std::string> NoCalls;  // no record line holds any of these
    int CursorX = -1;
    int CursorY = -1;
};

struct Scenario {
    std::string Name;
    Config Machine;
    Expectations Expect;
    std::string WineNote;  // why the real exe under Wine cannot serve it, when it cannot
};

// The cases of a scenario file: after a shared head, each `case NAME` line
// starts one. Each comes with the file's text in which the other cases' lines
// are blank, so that line numbers stay the file's. A file without them is one
// case named "".
std::vector<std::pair<std::string, std::string>> ScenarioCases(const std::string& text);
// Parses a scenario text; on a mistake returns false and says where in `error`.
bool ParseScenario(const std::string& text, Scenario* scenario, std::string* error);
// Expands the escapes of an expectation line: \r \n \t \xHH, nothing else.
std::string Unescape(const std::string& text);
// Bytes as an expectation shows them, a line break after each \n.
std::string Shown(const std::string& bytes);
// Adds a failure to `failures` that shows where `actual` first departs from `expected`.
void ReportDifference(const std::string& what, const std::string& expected, const std::string& actual,
                      std::vector<std::string>* failures);
// What the program did, in the scenario syntax, with the record of calls as comments.
std::string ShowRun(const Record& record, const std::vector<std::string>& screen);
// Checks the record against the expectations; returns the failures, none when it passed.
std::vector<std::string> CheckScenario(const Scenario& scenario, const Record& record,
                                       const std::vector<std::string>& screen, std::pair<int, int> cursor,
                                       int openDevices);

}  // namespace sim
