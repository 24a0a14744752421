// The pass loop and the control handler on real threads, racing: a disk that
// costs real time, control events at random moments from a thread of the
// "system", the tick count starting just before its wrap. Built for TSan,
// which sees every unordered access between the two; each trial also checks
// the stop protocol's promises. A trial that hangs is ctest's to stop.
//
//   abort_race [TRIALS]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "sectorsweep.h"
#include "sim/machine.h"
#include "sim/scenario.h"

namespace {

// A pass of about 8 ms: 8 MiB chunks at about 2 GB/s.
const char kMachine[] = R"(
stdout: file
stderr: file
disk 1 size=16MiB rate=2000000 latency=0
volume \\?\Volume{00000000-0000-0000-0000-000000000001}\ disk=1 type=fixed letter=E
)";

const DWORD kEvents[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT};

int IndexOf(const std::vector<std::string>& events, const std::string& text, bool last) {
    int found = -1;
    for (size_t i = 0; i < events.size(); ++i)
        if (events[i].find(text) != std::string::npos) {
            found = static_cast<int>(i);
            if (!last) break;
        }
    return found;
}

int Count(const std::vector<std::string>& events, const std::string& text) {
    int count = 0;
    for (const std::string& event : events) count += event.find(text) != std::string::npos;
    return count;
}

[[noreturn]] void Fail(int trial, const std::string& why) {
    const sim::Record& record = sim::CurrentRecord();
    std::fprintf(stderr, "trial %d: %s\n--- stdout\n%s\n--- calls\n", trial, why.c_str(),
                 sim::Shown(record.Stdout).c_str());
    for (const std::string& event : record.Events) std::fprintf(stderr, "%s\n", event.c_str());
    std::fflush(stderr);
    _exit(1);
}

}  // namespace

int main(int argc, char** argv) {
    int trials = argc > 1 ? std::atoi(argv[1]) : 500;
    std::mt19937 random(20261207u);
    sim::Scenario scenario;
    std::string error;
    if (!sim::ParseScenario(kMachine, &scenario, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 2;
    }
    scenario.Machine.FreeThreads = true;

    int stopped = 0;
    for (int trial = 0; trial < trials; ++trial) {
        sim::Config machine = scenario.Machine;
        machine.StartTick = 0xFFFFFFFFu - static_cast<uint32_t>(random() % 60);
        // Most trials verify: the read modes' buffers are slow to fill under TSan.
        unsigned pick = random() % 8;
        PassMode mode = pick < 5 ? Verify : pick < 6 ? Read : ReadTwice;
        int events = 1 + static_cast<int>(random() % 4 == 0);
        DWORD types[2] = {kEvents[random() % 5], kEvents[random() % 5]};
        int delays[2] = {static_cast<int>(random() % 12000), static_cast<int>(random() % 5000)};

        sim::Boot(machine);
        ProcessHeap = GetProcessHeap();
        FillBytes(&AbortFlags, 0, sizeof AbortFlags);
        std::thread system([&] {
            for (int i = 0; i < events; ++i) {
                std::this_thread::sleep_for(std::chrono::microseconds(delays[i]));
                while (!sim::RaiseControlEvent(types[i])) std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        DWORD code = RunDiskPass(1, mode);
        system.join();
        sim::JoinHandlerThreads();

        const sim::Record& record = sim::CurrentRecord();
        const std::vector<std::string>& calls = record.Events;
        int message = IndexOf(calls, "-> abort", false);
        if (Count(calls, "CloseHandle \\\\.\\PhysicalDrive1") != 1) Fail(trial, "the disk was not closed once");
        if ((code == 7) != (message >= 0)) Fail(trial, "exit " + std::to_string(code) + " and the message disagree");
        if (code != 7 && code != 0) Fail(trial, "exit " + std::to_string(code));
        if (message >= 0 && message < IndexOf(calls, "CloseHandle \\\\.\\PhysicalDrive1", true))
            Fail(trial, "the message came before the disk was closed");
        if (mode == ReadTwice && message >= 0 &&
            (IndexOf(calls, "FSCTL_UNLOCK_VOLUME", true) < 0 || message < IndexOf(calls, "FSCTL_UNLOCK_VOLUME", true) ||
             message < IndexOf(calls, "CloseHandle \\\\?\\Volume", true)))
            Fail(trial, "the message came before the volume was unlocked and closed");
        if (sim::OpenDevices() != 0) Fail(trial, "a disk or volume is still open");
        stopped += code == 7;
    }
    std::printf("%d trials, %d stopped by an event, %d ran to the end: 1 passed, 0 failed\n", trials, stopped,
                trials - stopped);
    return 0;
}
