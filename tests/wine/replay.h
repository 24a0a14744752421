// What the parts of wine_replay share: the records of one scenario on its way
// from the file to the verdict, and the calls each part makes of the others.
//   replay.cpp        running Wine programs and the test disk driver, one scenario after the other
//   replay_plan.cpp   what Wine can serve of a scenario, and how: Decide
//   replay_check.cpp  the output matched by form, and the checks of a run
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "sectorsweep.h"
#include "sim/scenario.h"

namespace replay {

constexpr int kRunSeconds = 60;

struct Options {
    std::string Exe, TestDisk, Sim, Work;
};
extern Options Opt;

// ---- processes: replay.cpp -----------------------------------------------------

using Environment = std::vector<std::pair<std::string, std::string>>;

struct RunResult {
    int Exit = -1;
    bool TimedOut = false;
    std::string End;  // how it ended, in words: "exited with 7", "was killed by signal 9"
    std::string Stdout, Stderr;
    std::string CompanionEnd, CompanionError;  // how the companion ended, unless with 0; its standard error
};

using Stats = std::map<std::string, uint64_t>;

void WriteText(const std::string& path, const std::string& text);
// Runs argv to its end with standard output and error kept.
RunResult RunQuiet(const std::vector<std::string>& argv);

// ---- what Wine can serve: replay_plan.cpp -------------------------------------

struct Plan {
    std::string Skip;                // why Wine cannot serve the scenario; empty when it can
    std::vector<int> Denied;         // disks whose open fails with 5 (with 2, they are not set up)
    std::vector<std::string> Setup;  // testdiskctl's commands
    std::vector<std::string> Words;  // as the program splits the command line
    bool Launcher = false;
    PassMode Mode = Verify;
    Environment Env;
    uint32_t EventType = 0;
    bool Event = false;
    // The simulated machine with output to files: what it wrote and its record.
    std::string SimStdout, SimStderr;
    std::vector<std::string> Record;
    bool SimBytesExpected = false;  // the scenario's own bytes needed the console
    bool ScreenUnchecked = false;
    std::string Error;  // the simulated machine could not say what to expect
};

// What Wine can serve of the scenario `text` (parsed as `s`), and how; `scratch`
// is a file for the simulated machine's run.
Plan Decide(const sim::Scenario& s, const std::string& text, const std::string& scratch);

// ---- checks: replay_check.cpp -------------------------------------------------

struct Outcome {
    Stats Driver;  // the counters of every disk and volume the driver served
    RunResult Run;
};

// The text a `write stdout "..."` / `write stderr "..."` call line quotes (in
// the record's escaping, perhaps only its start), and the stream: 0 standard
// output, 1 standard error, -1 not a write.
std::string QuotedWrite(const std::string& line, int* stream);
// Quoted output whose bytes vary with real time: (a piece of) a status line or
// the summary, the values of a listed difference.
bool TimedText(const std::string& quoted);
// What differed between the scenario and the run; none when it passed.
std::vector<std::string> Check(const sim::Scenario& s, const Plan& plan, const Outcome& o);

}  // namespace replay
