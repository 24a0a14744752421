// What Wine can serve of a scenario, and how: the test disk driver's setup,
// the command line, where the output goes, and the request to hold for a
// control event.
#include <strings.h>

#include <algorithm>
#include <regex>
#include <sstream>

extern "C" {
#include "wine/driver/testdisk_ioctl.h"
}

#include "tests/wine/replay.h"

namespace replay {
namespace {

// The NTSTATUS that Wine turns back into each Win32 error a scenario may name.
const std::map<uint32_t, std::string> kStatusForError = {
    {1, "invalid-request"}, {2, "0xC0000034"},     {3, "0xC000003A"},  {5, "access-denied"},      {19, "0xC00000A2"},
    {21, "not-ready"},      {23, "crc"},           {27, "sector"},     {31, "0xC0000001"},        {32, "0xC0000043"},
    {38, "0xC0000011"},     {50, "not-supported"}, {55, "0xC00000C0"}, {87, "invalid-parameter"}, {121, "timeout"},
    {483, "hardware"},      {1112, "0xC0000178"},  {1117, "io"},       {1167, "0xC000009D"},
};

std::string ErrorStatus(uint32_t error, std::string* skip) {
    auto it = kStatusForError.find(error);
    if (it != kStatusForError.end()) return it->second;
    *skip = "no NTSTATUS known to come back from Wine as error " + std::to_string(error);
    return "";
}

// The scenario with standard output and error moved from the console to files,
// with what is not compared under Wine dropped (the screen, the cursor, calls
// other than writes).
std::string WithoutConsole(const std::string& text, const sim::Config& machine) {
    std::istringstream in(text);
    std::string line, out;
    bool inBlock = false, dropping = false, calls = false;
    while (std::getline(in, line)) {
        if (inBlock) {
            if (line == ".") inBlock = false;
            int stream;
            std::string quoted = QuotedWrite(line, &stream);
            bool compared = !calls || line == "." || (stream >= 0 && !TimedText(quoted));
            if (!dropping && compared) out += line + "\n";
            continue;
        }
        if (line.rfind("expect ", 0) == 0 && !line.empty() && line.back() == ':') {
            inBlock = true;
            dropping = line == "expect screen:";
            calls = line == "expect calls:";
        } else {
            dropping = false;
        }
        if (line.rfind("expect cursor", 0) == 0) continue;
        if (!dropping) out += line + "\n";
    }
    if (machine.Stdout == sim::StdKind::Console) out += "stdout: file\n";
    if (machine.Stderr == sim::StdKind::Console) out += "stderr: file\n";
    return out;
}

// Runs the scenario text on the simulated machine with --show; fills the
// plan's view of what the machine wrote and did. Returns whether it passed.
bool RunOnSim(const std::string& text, const std::string& scratch, Plan* plan) {
    WriteText(scratch, text);
    RunResult r = RunQuiet({Opt.Sim, "--scenario", scratch, "--show"});
    if (r.TimedOut) plan->Error = "the simulated machine gave no answer within " + std::to_string(kRunSeconds) + " s";
    sim::Scenario shown;
    std::string error;
    std::string expectations, line;
    std::istringstream in(r.Stdout);
    bool comments = false, calls = false;
    while (std::getline(in, line)) {
        // The expectations come first, then the record as comments, then the verdict.
        comments = comments || line.rfind("#", 0) == 0;
        if (line == "# calls") calls = true;
        if (calls && line.rfind("# ", 0) == 0) plan->Record.push_back(line.substr(2));
        if (!comments) expectations += line + "\n";
    }
    if (sim::ParseScenario(expectations, &shown, &error)) {
        plan->SimStdout = shown.Expect.Stdout;
        plan->SimStderr = shown.Expect.Stderr;
    }
    return r.Exit == 0;
}

// testdiskctl's words that hold the disk request in which the simulated machine
// raised its control event: "hold DISK KIND ORDINAL [OFFSET]", the ordinal
// counting the requests of that kind (at that offset) on that disk up to it.
std::vector<std::string> HoldWords(const std::vector<std::string>& record, std::string* why) {
    static const std::regex request(
        R"(^(DeviceIoControl|ReadFile) \\\\\.\\PhysicalDrive(\d+) ((IOCTL_DISK_GET_LENGTH_INFO)|(IOCTL_STORAGE_QUERY_PROPERTY)|IOCTL_DISK_VERIFY off=(\d+)|off=(\d+)))");
    std::map<std::string, int> seen;
    std::vector<std::string> hold;
    std::string previous;
    for (const std::string& line : record) {
        if (line.rfind("control event ", 0) == 0) {
            if (hold.empty()) *why = "the event comes inside a call the driver cannot hold: " + previous;
            return hold;
        }
        previous = line;
        hold.clear();
        std::smatch m;
        if (!std::regex_search(line, m, request)) continue;
        std::string offset = m[6].str() + m[7].str();
        std::string kind = m[4].matched ? "length" : m[5].matched ? "property" : m[6].matched ? "verify" : "read";
        hold = {"hold", m[2].str(), kind, std::to_string(++seen[m[2].str() + " " + kind + " " + offset])};
        if (kind == "verify" || kind == "read") hold.push_back(offset);
    }
    *why = "the simulated machine raised no control event";
    return {};
}

// The testdiskctl words of one disk.
std::vector<std::string> DiskCommand(const sim::Disk& d, std::string* reason) {
    std::vector<std::string> k = {"disk",
                                  std::to_string(d.Number),
                                  "size=" + std::to_string(d.Size),
                                  "sector=" + std::to_string(d.Sector),
                                  "seed=" + std::to_string(d.Seed),
                                  "bus=" + std::to_string(d.Bus)};
    // Every byte outside the printable ASCII range goes as \xHH: a command line carries it whole.
    auto bytes = [](const std::string& text) {
        std::string out;
        for (unsigned char c : text) {
            char hex[8];
            std::snprintf(hex, sizeof hex, c > 0x20 && c < 0x7F && c != '\\' && c != ';' ? "%c" : "\\x%02X", c);
            out += hex;
        }
        return out;
    };
    if (!d.Vendor.empty()) k.push_back("vendor=" + bytes(d.Vendor));
    if (!d.Product.empty()) k.push_back("product=" + bytes(d.Product));
    if (d.NumberRefused)
        k.push_back("number=refused");
    else if (d.DeviceNumber >= 0)
        k.push_back("number=" + std::to_string(d.DeviceNumber));
    auto answer = [&](const char* key, sim::Answer a, uint32_t error) {
        if (a == sim::Answer::Zero) k.push_back(std::string(key) + "=zero");
        if (a == sim::Answer::Fail) k.push_back(std::string(key) + "=fail:" + ErrorStatus(error, reason));
        if (a == sim::Answer::Short) *reason = "the test disk driver answers every size request in full";
    };
#define ANSWER_KEY(name, key, request, zero, error) \
    answer(key, d.Answers[DISK_ANSWER_##name].Mode, d.Answers[DISK_ANSWER_##name].Error);
    DISK_ANSWERS(ANSWER_KEY)
#undef ANSWER_KEY
    // Both fail with ERROR_INVALID_FUNCTION on the simulated machine.
    k.push_back(d.Predict == sim::Prediction::Yes  ? "predict=yes"
                : d.Predict == sim::Prediction::No ? "predict=no"
                                                   : "predict=fail:invalid-request");
    for (const sim::Fault& f : d.Faults) {
        const char* key = f.Read && f.Verify ? "fault=" : f.Read ? "read-fault=" : "verify-fault=";
        if (f.Read || f.Verify)
            k.push_back(key + std::to_string(f.Where.Start) + "+" + std::to_string(f.Where.Length) + ":" +
                        ErrorStatus(f.Error, reason));
    }
    for (const sim::Range& r : d.Flaky)
        k.push_back("flaky=" + std::to_string(r.Start) + "+" + std::to_string(r.Length));
    return k;
}

void Append(std::vector<std::string>* setup, const std::vector<std::string>& command) {
    if (!setup->empty()) setup->push_back(";");
    setup->insert(setup->end(), command.begin(), command.end());
}

}  // namespace

Plan Decide(const sim::Scenario& s, const std::string& text, const std::string& scratch) {
    Plan plan;
    const sim::Config& m = s.Machine;
    const sim::Expectations& e = s.Expect;
    const sim::Config defaults;
    bool setupFails = sim::FailsEveryCall(m, sim::kSetupFailsText);
    bool searchFails = sim::FailsEveryCall(m, sim::kVolumeSearchFailsText);
    sim::Boot(m);  // the machine whose command line the program's own splitter reads
    int count = 0;
    char* split[kMaxWords];
    ParseCommandLine(&count, split);
    std::vector<std::string>& words = plan.Words;
    words.assign(split, split + count);
    bool listing = words.size() >= 2 && strcasecmp(words[1].c_str(), "-ld") == 0;
    if (words.size() == 3) plan.Mode = ReadModeWord(words[2].c_str());
    bool readTwice = !listing && words.size() == 3 && plan.Mode == ReadTwice;
    auto skip = [&](const std::string& reason) {
        if (plan.Skip.empty()) plan.Skip = reason;
    };

    if (!s.WineNote.empty()) skip("wine: " + s.WineNote);
    if (e.Abnormal || e.Hang) skip("an abnormal end or a hang needs the simulated machine");
    if (m.Fails.size() > size_t{setupFails} + size_t{searchFails})
        skip("calls made to fail on purpose (heap, memory, ...) need the simulated machine");
    if (m.HeapCorruptAfterAlloc || m.HeapCorruptBeforeFree)
        skip("heap damage is injected only on the simulated machine");
    if (m.DefaultDirs != defaults.DefaultDirs || m.SetDllDirectory != defaults.SetDllDirectory)
        skip("the DLL search-path functions' answers are simulated");
    if (m.StartTick != defaults.StartTick) skip("the tick count's start value is simulated time");
    if (m.ConsoleWindow == sim::Window::Own) skip("the console window's owner is never the program under Wine");
    if (m.Stdout == sim::StdKind::Closed || m.Stderr == sim::StdKind::Closed)
        skip("wine hands the program no closed standard handle");
    if (m.Control.size() > 1)
        skip("Wine runs control handlers one at a time under its console lock: a second event waits for the first");

    // Disks, then the machine's volumes, letters and interfaces around them.
    Append(&plan.Setup, {"reset"});
    Append(&plan.Setup, {"mountmgr", searchFails ? "fail" : "serve"});
    if (setupFails) plan.Env.push_back({"WINEDLLOVERRIDES", "mscoree,mshtml,setupapi="});
    if (m.Disks.size() > TESTDISK_MAX_DISKS) skip("more disks than the test disk driver holds");
    std::string reason;
    for (const sim::Disk& d : m.Disks) {
        if (d.Number < 0) skip("the test disk driver takes disk numbers from 0 up");
        if (d.Power == sim::PowerState::Asleep) skip("GetDevicePowerState is a stub under Wine");
        if (d.VendorOffset >= 0 || d.ProductOffset >= 0 || d.DescriptorSize >= 0)
            skip("raw descriptor fields are simulated only");
        if (d.Size == 0) skip("the test disk driver has no disk of size 0");
        if (!d.PlatformPath.empty()) skip("Windows names disks by number alone");
        if (d.Faults.size() + d.Flaky.size() > TESTDISK_MAX_FAULTS) skip("more fault ranges than the test disk holds");
        // The simulated machine's rate sets the chunk lengths; under Wine real time does, and
        // a chunk that ends at the short point reads whole.
        if (!d.Slow.empty()) skip("a range that costs extra time is simulated only");
        if (!d.ShortAt.empty())
            skip("whether a read crosses a short point depends on the chunk lengths, which real time decides");
        if (!d.ReadOpen) {
            if (d.QueryOpen && plan.Mode == Verify && !listing)
                skip("Wine does not let a driver refuse an open, nor pass it the access asked for");
            if (d.OpenError == 5)
                plan.Denied.push_back(d.Number);
            else if (d.OpenError != 2)
                skip("under Wine a failed open gives error 2 (no device) or 5 (a denied link) only");
        }
        if (d.ReadOpen) Append(&plan.Setup, DiskCommand(d, &reason));
    }
    if (!reason.empty()) skip(reason);

    // The numbers the interfaces lead to: the disks the listing has rows for.
    std::vector<int64_t> listed;
    if (m.Interfaces.size() > TESTDISK_MAX_INTERFACES) skip("more disk interfaces than the test disk driver holds");
    for (const sim::Interface& f : m.Interfaces) {
        auto disk =
            std::find_if(m.Disks.begin(), m.Disks.end(), [&](const sim::Disk& d) { return d.Number == f.DiskNumber; });
        if (f.Late) skip("the device setup API's interface list is made once: no interface can appear late");
        if (f.DetailFails) skip("the device setup API gives every interface's detail");
        if (f.Path.size() + 8 > 1024)
            skip("the interface paths are the driver's own, all short: none overruns the detail buffer");
        if (disk == m.Disks.end()) {
            skip("an interface of a disk the scenario does not set up");
            continue;
        }
        Append(&plan.Setup, {"interface", std::to_string(disk->Number)});
        if (!disk->NumberRefused) listed.push_back(disk->DeviceNumber >= 0 ? disk->DeviceNumber : disk->Number);
    }
    if (m.Volumes.size() + m.Letters.size() > TESTDISK_MAX_VOLUMES)
        skip("more volumes than the test disk driver holds");
    for (const sim::Volume& v : m.Volumes) {
        if (v.DeviceType != sim::kDeviceTypeDisk) skip("the test disk's volumes answer as disks only");
        bool local = v.Type == 2 || v.Type == 3 || v.Type == 6;
        bool shown = std::find(listed.begin(), listed.end(), v.DiskNumber) != listed.end();
        if (listing && !v.Mounts.empty() && !searchFails && local && !v.NumberRefused && shown)
            skip("mount-point folders are never returned under Wine (drive roots only)");
        if (readTwice && (v.LockFails || v.UnlockFails))
            skip("FSCTL_LOCK_VOLUME and FSCTL_UNLOCK_VOLUME are answered inside Wine's ntdll, always with success");
        if (readTwice && v.OpenFails) skip("Wine does not let a driver refuse an open");
        std::vector<std::string> command = {"volume", v.Name, "type=" + std::to_string(v.Type),
                                            "disk=" + std::to_string(v.DiskNumber)};
        if (v.Letter) command.push_back(std::string("letter=") + v.Letter);
        if (v.NumberRefused) command.push_back("number=refused");
        Append(&plan.Setup, command);
    }
    for (const auto& [letter, bare] : m.Letters) {
        if (bare.DeviceType != sim::kDeviceTypeDisk) skip("the test disk's volumes answer as disks only");
        if (!bare.Target.empty()) skip("the DOS device targets of the test disk's letters are Wine's own");
        Append(&plan.Setup, {"volume", "-", std::string("letter=") + letter, "type=" + std::to_string(bare.Type),
                             "disk=" + std::to_string(bare.DiskNumber)});
    }

    // Plain words go through wine's argument vector; anything else (quotes,
    // runs of blanks, odd bytes, a length near the limit) through launch.exe.
    static const std::regex plain(R"(sectorsweep\.exe ([!#-~]+( [!#-~]+)*)?)");
    plan.Launcher = m.CommandLine.size() >= 200 || !std::regex_match(m.CommandLine, plain);

    if (!plan.Skip.empty()) return plan;

    // What the simulated machine does with output to files: the bytes to
    // expect where the scenario's own needed the console, and the record that
    // places a control event.
    bool console = m.Stdout == sim::StdKind::Console || m.Stderr == sim::StdKind::Console;
    bool passes = RunOnSim(WithoutConsole(text, m), scratch, &plan);
    if (console) {
        if ((e.HasScreen || e.CursorX >= 0) && !e.HasStdout && !e.HasStderr) skip("the console screen is simulated");
        plan.SimBytesExpected = !passes;
        plan.ScreenUnchecked = e.HasScreen || e.CursorX >= 0;
    }
    if (!m.Control.empty()) {
        bool handled = false;
        for (const std::string& line : plan.Record) handled = handled || line.rfind("control handler returned", 0) == 0;
        if (!handled) skip("Wine's default handling of a control event ends the process with exit code 0");
        std::string why;
        std::vector<std::string> hold = HoldWords(plan.Record, &why);
        plan.Event = !hold.empty();
        plan.EventType = m.Control[0].Type;
        if (plan.Event) Append(&plan.Setup, hold);
        skip(why);
    }
    return plan;
}

}  // namespace replay
