// Replays scenario files on the real sectorsweep.exe under Wine, with the disks,
// volumes, drive letters and disk interfaces of testdisk.sys (wine/driver)
// standing in for the simulated machine's.
//
//   wine_replay SECTORSWEEP.EXE TESTDISK_DIR HOST_SECTORSWEEP WORK_DIR FILE...
//
// WINEPREFIX must name the prefix whose persistent wineserver has the driver
// loaded (wine/env.sh: testdisk_prefix_up); TESTDISK_DIR holds testdiskctl.exe and
// launch.exe from wine/build.sh.  Each case of a file gives one line: SKIP and why Wine
// cannot serve it, RAN when the real program did what the scenario expects, or
// FAIL and what differed.  The skips are then counted by reason, and the last
// line counts them all.
//
// What is compared: the exit code, standard output and error byte for byte
// except where real time makes them vary (status lines, the summary's speed
// and duration, the values of a listed difference: see Normalize), and the
// `expect calls` / `expect no-call` lines the driver's counters can answer,
// besides checks that hold for every run: nothing written to a disk or volume,
// every handle closed, each volume opened and dismounted as often as on the
// simulated machine, and a pass that asked for exactly the bytes its outcome
// says.
//
// A scenario whose standard output or error is the console runs with them in
// files; the bytes expected are then those the simulated machine writes to
// files (a fresh line chosen by reading the screen is the usual difference).
// A control event is sent at the request the simulated machine receives it in:
// the driver holds that request, testdiskctl starts the console control routine
// in the program, and the request goes on once the handler runs.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "tests/wine/replay.h"

namespace fs = std::filesystem;

namespace replay {

Options Opt;

namespace {

enum Verdict { Ran, Failed, Skipped };

int Counts[3] = {0, 0, 0};
std::map<std::string, std::vector<std::string>> SkipsByReason;

// A scenario that has run, waiting for the driver's counters: they are read
// by the next call of testdiskctl, which also sets up the next scenario.
struct Pending {
    std::string File;
    sim::Scenario Scenario;
    struct Plan Decided;
    struct Outcome Result;
};
std::unique_ptr<Pending> Waiting;

void Report(const std::string& file, const std::vector<std::string>& failures, const std::string& notes) {
    for (const std::string& failure : failures) std::printf("FAIL %s: %s\n", file.c_str(), failure.c_str());
    if (failures.empty()) std::printf("RAN %s%s\n", file.c_str(), notes.c_str());
    ++Counts[failures.empty() ? Ran : Failed];
    std::fflush(stdout);
}

// Checks the waiting scenario against the counters in `stats` (testdiskctl's
// output), or reports `error` when they could not be read.
void Finish(const std::string& stats, const std::string& error) {
    if (!Waiting) return;
    Pending& p = *Waiting;
    std::vector<std::string> failures;
    if (!error.empty()) {
        failures.push_back(error);
    } else {
        p.Result.Driver = ParseStats(stats);
        failures = Check(p.Scenario, p.Decided, p.Result);
    }
    std::string notes;
    if (p.Decided.Event) notes += " (control event " + std::to_string(p.Decided.EventType) + " at a held request)";
    if (p.Decided.SimBytesExpected) notes += " (output to files, bytes as the simulated machine writes them there)";
    if (p.Decided.ScreenUnchecked) notes += " (the screen rows are not compared)";
    Report(p.File, failures, notes);
    Waiting.reset();
}

// Runs testdiskctl: the counters of the waiting scenario first, then `words`.
bool Driver(const std::vector<std::string>& words, std::string* error) {
    std::vector<std::string> all;
    if (Waiting) all = {"stats", ";"};
    all.insert(all.end(), words.begin(), words.end());
    std::string output, failed;
    bool ok = Control(all, &output, &failed);
    Finish(output, failed);
    if (!ok) *error = failed;
    return ok;
}

void Replay(const std::string& file, const std::string& text, int index) {
    auto pending = std::make_unique<Pending>();
    Pending& p = *pending;
    p.File = file;
    p.Scenario.Name = file;
    std::string error;
    if (text.empty() || !sim::ParseScenario(text, &p.Scenario, &error)) {
        Report(file, {"cannot read the scenario: " + error}, "");
        return;
    }
    std::string base = Opt.Work + "/" + std::to_string(index);
    p.Decided = Decide(p.Scenario, text, base + ".scn");
    const Plan& plan = p.Decided;
    if (!plan.Error.empty()) {
        Report(file, {plan.Error}, "");
        return;
    }
    if (!plan.Skip.empty()) {
        std::printf("SKIP %s: %s\n", file.c_str(), plan.Skip.c_str());
        SkipsByReason[plan.Skip].push_back(file);
        ++Counts[Skipped];
        return;
    }

    RemoveDiskLinks();
    for (const DiskPlan& d : plan.Disks)
        if (d.Denied) DenyOpens(d.Disk->Number);
    if (!Driver(plan.Setup, &error)) {
        Report(file, {error}, "");
        return;
    }

    std::vector<std::string> argv = {"wine", Opt.Exe}, companion;
    if (plan.Launcher) {
        WriteText(base + ".cmd", plan.CommandLine);
        argv = {"wine", Opt.TestDisk + "/launch.exe", WinPath(Opt.Exe), WinPath(base + ".cmd")};
    } else {
        argv.insert(argv.end(), plan.Words.begin() + 1, plan.Words.end());
    }
    Environment env = plan.Env;
    if (plan.Event) {
        companion = {"wine", Opt.TestDisk + "/testdiskctl.exe", "event", std::to_string(plan.EventType),
                     fs::path(Opt.Exe).filename().string()};
        // Wine's server kills a process one second after it closed its connection on the way out;
        // the handler's thread exit made glibc load libgcc_s under the loader lock that exit waits
        // for, which on a busy machine took longer (exit by SIGKILL). Preloaded, it is loaded then.
        const char* preload = std::getenv("LD_PRELOAD");
        env.push_back({"LD_PRELOAD", std::string(preload ? preload : "") + (preload ? ":" : "") + "libgcc_s.so.1"});
    }
    p.Result.Run = Run(argv, p.Scenario.Machine.Stdout, p.Scenario.Machine.Stderr, base, env, companion);
    Waiting = std::move(pending);
}

}  // namespace
}  // namespace replay

int main(int argc, char** argv) {
    using namespace replay;
    if (argc < 5 || !std::getenv("WINEPREFIX")) {
        std::fprintf(
            stderr,
            "usage: WINEPREFIX=... wine_replay SECTORSWEEP.EXE TESTDISK_DIR HOST_SECTORSWEEP WORK_DIR FILE...\n");
        return 2;
    }
    Opt = {argv[1], argv[2], argv[3], argv[4], {argv + 5, argv + argc}};
    fs::create_directories(Opt.Work);
    // Wine's mount manager links PhysicalDrive0 to a disk of its own; adding and
    // removing a test disk 0 takes that name away, as on a machine without it.
    std::string error;
    if (!Control({"disk", "0", "size=1M", ";", "reset"}, nullptr, &error)) {
        std::printf("FAIL the test disk driver: %s\n0 passed, 1 failed\n", error.c_str());
        return 1;
    }
    int index = 0;
    for (const std::string& file : Opt.Files)
        for (const auto& [name, text] : sim::ScenarioCases(ReadText(file)))
            Replay(name.empty() ? file : file + ":" + name, text, ++index);
    RemoveDiskLinks();
    Driver({"reset"}, &error);
    if (!SkipsByReason.empty()) std::printf("Skipped, by reason:\n");
    for (const auto& [reason, files] : SkipsByReason) {
        std::printf("  %zu: %s\n", files.size(), reason.c_str());
        for (const std::string& file : files) std::printf("      %s\n", fs::path(file).filename().c_str());
    }
    std::printf("%d passed, %d failed, %d skipped\n", Counts[Ran], Counts[Failed], Counts[Skipped]);
    return Counts[Failed] == 0 ? 0 : 1;
}
