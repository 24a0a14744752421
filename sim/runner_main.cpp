// build/host/sectorsweep: the program on the simulated machine.
//   sectorsweep --scenario FILE [CASE] [--show]   runs one scenario (one case of it) and checks it
//   sectorsweep [--realtime] ARGS...               runs the program on the demo machine
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sectorsweep.h"
#include "sim/scenario.h"

namespace {

// The demo machine: a system disk, a healthy USB stick and a stick whose
// second read of one sector differs from its first.
const char kDemoMachine[] = R"(
stdout: console 100x30
window: shell
disk 0 size=256GiB bus=17 vendor="ACME" product="ACME NV256" rate=2000000 latency=0
disk 1 size=64MiB bus=7 vendor="Generic-" product="Flash Disk" rate=30000 latency=1
disk 2 size=32MiB bus=7 vendor="Generic-" product="Card Reader" rate=20000 latency=1
flaky 2 0x1234500+4
volume \\?\Volume{11111111-0000-0000-0000-000000000001}\ disk=0 type=fixed letter=C
volume \\?\Volume{11111111-0000-0000-0000-000000000002}\ disk=0 type=fixed mount=C:\Mount\Data\
volume \\?\Volume{11111111-0000-0000-0000-000000000003}\ disk=1 type=removable letter=E
volume \\?\Volume{11111111-0000-0000-0000-000000000004}\ disk=2 type=removable letter=F
interface \\?\scsi#disk&ven_acme#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b} disk=0
interface \\?\usbstor#disk&ven_generic#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b} disk=1
interface \\?\usbstor#disk&ven_generic#2#{53f56307-b6bf-11d0-94f2-00a0c91efb8b} disk=2
)";

std::string ReadFileText(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path);
        std::exit(2);
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

int main(int argc, char** argv) {
    static sim::Scenario scenario;
    std::string error;
    if (argc >= 3 && std::string(argv[1]) == "--scenario") {
        static std::string path = argv[2];
        static const bool show = std::string(argv[argc - 1]) == "--show";
        std::string name = argc >= 4 && std::string(argv[3]) != "--show" ? argv[3] : "", text;
        for (const auto& [each, own] : sim::ScenarioCases(ReadFileText(argv[2])))
            if (each == name) text = own;
        if (!name.empty()) path += ":" + name;
        if (text.empty()) error = name.empty() ? "name one of its cases" : "no such case";
        if (!error.empty() || !sim::ParseScenario(text, &scenario, &error)) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            return 2;
        }
        sim::Boot(scenario.Machine);
        sim::OnEnd([] {
            const sim::Record& record = sim::CurrentRecord();
            std::vector<std::string> failures =
                sim::CheckScenario(scenario, record, sim::ScreenRows(), sim::Cursor(), sim::OpenDevices());
            if (!record.Abnormal && !record.Hang && !record.EndedByEvent && sim::LiveHeapBlocks() != 0)
                failures.push_back(std::to_string(sim::LiveHeapBlocks()) + " heap blocks not freed at the end");
            if (show) std::fputs(sim::ShowRun(record, sim::ScreenRows()).c_str(), stdout);
            for (const std::string& failure : failures) std::printf("FAIL %s: %s\n", path.c_str(), failure.c_str());
            if (failures.empty()) std::printf("PASS %s\n", path.c_str());
            std::fflush(stdout);
            _exit(failures.empty() ? 0 : 1);
        });
        Entry();
    }
    int first = 1;
    if (!sim::ParseScenario(kDemoMachine, &scenario, &error)) return 2;
    if (argc > 1 && std::string(argv[1]) == "--realtime") {
        scenario.Machine.RealTime = true;
        ++first;
    }
    std::string commandLine = "sectorsweep.exe";
    for (int i = first; i < argc; ++i) commandLine += std::string(" ") + argv[i];
    scenario.Machine.CommandLine = commandLine;
    scenario.Machine.Echo = true;
    sim::Boot(scenario.Machine);
    sim::OnEnd([] {
        std::fflush(stdout);
        _exit(static_cast<int>(sim::CurrentRecord().ExitCode));
    });
    Entry();
}
