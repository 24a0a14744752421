// libFuzzer: any command line is split without writing or reading out of bounds,
// and the whole dispatch, run on a simulated machine, stays safe and consistent:
// nothing written, every handle closed, only the disk the line names opened.
#include <cstdio>
#include <cstring>
#include <string>

#include "sectorsweep.h"
#include "sim/machine.h"
#include "sim/scenario.h"

namespace {

// Disk 0 can be read, disk 1 only queried (no administrator rights); there is
// no other. Both are smaller than a chunk, so every pass is one request.
const char kMachine[] = R"(
stdout: file
disk 0 size=4096
disk 1 size=4096 open=query-only
)";

bool Holds(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// What any dispatch on this machine must do, whatever its words: the rules
// themselves are pinned case by case by the unit tests and the usage scenarios.
void CheckRun(const std::string& line, DWORD code) {
    const sim::Record& record = sim::CurrentRecord();
    const char* broken = nullptr;
    if (!sim::CheckScenario(sim::Scenario{}, record, {}, {0, 0}, sim::OpenDevices()).empty())
        broken = "a write, a request the machine does not model or a handle left open";
    else if (code != 0 && code != 1 && code != 2 && code != 3 && code != 5)
        broken = "an exit code this machine cannot give";
    else if (Holds(record.Stdout, "Usage:\r\n") != (code == 1 || code == 2))
        broken = "the usage text without its exit code, or the other way round";
    int reserves = 0;
    for (const std::string& event : record.Events) {
        reserves += Holds(event, "VirtualAlloc reserve");
        // Disk 0 is also the number of a disk word without digits, as "disk".
        const std::string open = "CreateFileA \\\\.\\PhysicalDrive";
        if (event.rfind(open, 0) != 0) continue;
        std::string number = event.substr(open.size(), event.find(' ', open.size()) - open.size());
        if (number != "0" && !Holds(line, number.c_str())) broken = "a disk opened whose number the line does not hold";
    }
    const char* headers[] = {"calling IOCTL_DISK_VERIFY for all of Disk ", "reading for all of Disk ",
                             "reading twice all of Disk "};
    if (Holds(record.Stdout, " all of Disk ") && (reserves > 2 || !Holds(record.Stdout, headers[reserves])))
        broken = "a header that names another mode than the buffers say";
    if (broken != nullptr) {
        std::fprintf(stderr, "command line [%s], exit %u: %s\n", line.c_str(), code, broken);
        __builtin_trap();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static sim::Scenario machine;
    static bool parsed = false;
    if (!parsed) {
        std::string error;
        if (!sim::ParseScenario(kMachine, &machine, &error)) __builtin_trap();
        parsed = true;
    }
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));
    sim::Boot(machine.Machine);
    ProcessHeap = GetProcessHeap();
    sim::SetCommandLine(text);

    int count = -1;
    char* words[kMaxWords];
    ParseCommandLine(&count, words);
    if (count < 0 || count > kMaxWords) __builtin_trap();
    if (text.size() >= kMaxCommandLine && count != 0) __builtin_trap();
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += std::strlen(words[i]);
    if (total > text.size()) __builtin_trap();

    CheckRun(text, RunMain(count, words));
    return 0;
}
