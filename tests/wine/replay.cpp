// Replays scenario files on the real sectorsweep.exe under Wine, with the disks
// of testdisk.sys (wine/driver) standing in for the simulated machine's.
//
//   wine_replay --exe SECTORSWEEP.EXE --testdisk DIR --sim HOST_SECTORSWEEP --work DIR FILE...
//
// WINEPREFIX must name the prefix whose persistent wineserver has the driver
// loaded (wine/env.sh: testdisk_prefix_up); DIR holds testdiskctl.exe and
// launch.exe from wine/build.sh.  Each file gives one line: SKIP and why Wine
// cannot serve it, RAN when the real program did what the scenario expects, or
// FAIL and what differed.  The last line counts them.
//
// What is compared: the exit code, standard output and error byte for byte
// except where real time makes them vary (status lines, the summary's speed
// and duration, the values of a listed difference: see Normalize), and the
// `expect calls` / `expect no-call` lines the driver's counters can answer,
// besides checks that hold for every run: nothing written, every handle
// closed, and a pass that asked for exactly the bytes its outcome says.
//
// A scenario whose standard output or error is the console runs with them in
// files; it is served only when the simulated machine, given files too, still
// produces the bytes the scenario expects (a fresh line chosen by reading the
// screen is the usual difference). Ctrl+C, the one control event Wine delivers
// (SIGINT reaches the console control handler), is sent once the pass has
// printed a status line, its disk slowed down so that the signal lands mid-pass.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim/scenario.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDriverDisks = 16;   // TESTDISK_MAX_DISKS
constexpr int kDriverRanges = 16;  // TESTDISK_MAX_FAULTS: faults and flaky ranges together
constexpr uint64_t kFirstChunk = 0x800000;
constexpr int kRunSeconds = 60;

struct Options {
    std::string Exe, TestDisk, Sim, Work, Wine = "wine";
    std::vector<std::string> Files;
};
Options Opt;

// ---- text helpers -------------------------------------------------------------

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// The record's escaping of written bytes, so that `write stdout "..."` lines of a
// scenario can be looked up in real output.
std::string Escape(const std::string& bytes) { return sim::Escape(bytes.data(), bytes.size(), false); }

// Bytes as a reader wants them in a failure message; the tokens of Normalize shown by name.
std::string Shown(const std::string& text) {
    std::string out;
    size_t from = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && (text[i] < 1 || text[i] > 3)) continue;
        out += sim::Escape(text.data() + from, i - from, false);
        if (i < text.size()) out += text[i] == 1 ? "<status lines>" : text[i] == 2 ? "<real time>" : "<byte>";
        from = i + 1;
    }
    return out;
}

// The words of a command line as the program splits it: blanks separate, a
// quoted stretch stays in its word.
std::vector<std::string> CommandWords(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') quoted = !quoted;
        if (c == ' ' && !quoted) {
            if (!word.empty()) words.push_back(word);
            word.clear();
        } else {
            word += c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// ---- output forms -------------------------------------------------------------

// Real time decides how many status lines a pass prints and what they say, the
// summary's speed and duration, and (through the chunk lengths) which read of
// the disk met a flaky byte and so the values listed for it.  Those are matched
// by form: a run of status lines becomes one token, the summary keeps its size
// (the disk's), a listed difference keeps its position.
const std::regex kStatusLine(
    R"(\r\d+(\.\d{1,3})? (KB|MB|GB)?  \((\d+ B/s|\d+\.\d [KMG]B/s)\)  -  ETA +\d+\.\d (seconds|minutes|hours)   \r)");
const std::regex kStatusRun("\x01+");
const std::regex kSummary(
    R"((\d+(\.\d{1,3})? (KB|MB|GB)?)  \((\d+ B/s|\d+\.\d [KMG]B/s)\)  -  +\d+\.\d (seconds|minutes|hours)\r\n)");
const std::regex kDifference(R"(([0-9A-F]{8}|[0-9A-F]{12}|[0-9A-F]{16}): [0-9A-F]{2} [0-9A-F]{2}\r\n)");

std::string Normalize(const std::string& text) {
    std::string out = std::regex_replace(text, kStatusLine, "\x01");
    out = std::regex_replace(out, kStatusRun, "\x01");
    out = std::regex_replace(out, kSummary, "$1  (\x02)  -  \x02\r\n");
    return std::regex_replace(out, kDifference, "$1: \x03 \x03\r\n");
}

// The text a `write stdout "..."` / `write stderr "..."` call line quotes (in
// the record's escaping, perhaps only its start), and the stream: 0 standard
// output, 1 standard error, -1 not a write.
std::string QuotedWrite(const std::string& line, int* stream) {
    *stream = line.rfind("write stdout \"", 0) == 0 ? 0 : line.rfind("write stderr \"", 0) == 0 ? 1 : -1;
    if (*stream < 0) return "";
    std::string quoted = line.substr(14);
    if (!quoted.empty() && quoted.back() == '"' && (quoted.size() < 2 || quoted[quoted.size() - 2] != '\\'))
        quoted.pop_back();
    return quoted;
}

// Quoted output whose bytes vary with real time: status lines, the summary,
// the values of a listed difference.
bool TimedText(const std::string& quoted) {
    static const std::regex timed(R"(B/s|ETA|  \(|^\\r\d|^[0-9A-F]{2} [0-9A-F]{2})");
    return std::regex_search(quoted, timed);
}

void CompareOutput(const char* what, const std::string& expected, const std::string& actual,
                   std::vector<std::string>* failures) {
    std::string want = Normalize(expected), got = Normalize(actual);
    if (want == got) return;
    size_t at = 0;
    while (at < want.size() && at < got.size() && want[at] == got[at]) ++at;
    size_t from = at > 60 ? at - 60 : 0;
    failures->push_back(std::string(what) + " differs (matched by form)\n--- expected\n" +
                        Shown(want.substr(from, 300)) + "\n--- actual\n" + Shown(got.substr(from, 300)));
}

// ---- processes ----------------------------------------------------------------

enum class SinkKind { File, Pipe, Null };

struct Sink {
    SinkKind Kind = SinkKind::File;
    std::string Path;  // File
    int Read = -1;     // Pipe: the reading end
    std::string Data;
};

int OpenSink(Sink& sink) {
    if (sink.Kind == SinkKind::Null) return open("/dev/null", O_WRONLY);
    if (sink.Kind == SinkKind::File) return open(sink.Path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int ends[2];
    if (pipe(ends) != 0) return -1;
    sink.Read = ends[0];
    fcntl(sink.Read, F_SETFD, FD_CLOEXEC);
    return ends[1];
}

pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err, const std::string& token) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setenv("SECTORSWEEP_REPLAY_RUN", token.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

struct RunResult {
    int Exit = -1;
    bool TimedOut = false;
    bool Interrupted = false;  // SIGINT was sent
    std::string Stdout, Stderr;
};

// The processes that carry `token` in their environment, but `except`.
std::vector<pid_t> ProcessesWithToken(const std::string& token, pid_t except) {
    std::vector<pid_t> found;
    std::string marker = "SECTORSWEEP_REPLAY_RUN=" + token;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        pid_t pid = std::stoi(name);
        if (pid == except) continue;
        std::string environ = ReadText(entry.path() / "environ");
        size_t at = 0;
        while (at < environ.size()) {
            size_t end = environ.find('\0', at);
            if (end == std::string::npos) end = environ.size();
            if (environ.compare(at, end - at, marker) == 0) {
                found.push_back(pid);
                break;
            }
            at = end + 1;
        }
    }
    return found;
}

// Runs argv to its end. With `interruptAfter`, sends SIGINT to the program once
// its standard output holds that text; `viaLauncher` says the program is a
// child of the process started here rather than that process itself.
RunResult Run(const std::vector<std::string>& argv, Sink out, Sink err, const std::string& interruptAfter = "",
              bool viaLauncher = false) {
    static int serial = 0;
    std::string token = std::to_string(getpid()) + "-" + std::to_string(++serial);
    RunResult result;
    int in = open("/dev/null", O_RDONLY);
    int outFd = OpenSink(out), errFd = OpenSink(err);
    pid_t pid = Spawn(argv, in, outFd, errFd, token);
    close(in);
    close(outFd);
    close(errFd);
    auto deadline = Clock::now() + std::chrono::seconds(kRunSeconds);
    int status = 0;
    bool ended = false;
    for (;;) {
        std::vector<pollfd> fds;
        for (Sink* sink : {&out, &err})
            if (sink->Read >= 0) fds.push_back({sink->Read, POLLIN, 0});
        if (!fds.empty()) poll(fds.data(), fds.size(), 10);
        for (Sink* sink : {&out, &err}) {
            if (sink->Read < 0) continue;
            pollfd one = {sink->Read, POLLIN, 0};
            while (poll(&one, 1, 0) > 0) {
                char buffer[65536];
                ssize_t got = read(sink->Read, buffer, sizeof buffer);
                if (got <= 0) {
                    close(sink->Read);
                    sink->Read = -1;
                    break;
                }
                sink->Data.append(buffer, static_cast<size_t>(got));
            }
        }
        if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
        if (ended && out.Read < 0 && err.Read < 0) break;
        if (!interruptAfter.empty() && !result.Interrupted && !ended) {
            std::string sofar = out.Kind == SinkKind::File ? ReadText(out.Path) : out.Data;
            if (sofar.find(interruptAfter) != std::string::npos) {
                std::vector<pid_t> targets;
                if (viaLauncher)
                    targets = ProcessesWithToken(token, pid);
                else
                    targets.push_back(pid);
                for (pid_t target : targets) kill(target, SIGINT);
                result.Interrupted = !targets.empty();
            }
        }
        if (Clock::now() > deadline) {
            result.TimedOut = true;
            kill(pid, SIGKILL);
            for (pid_t other : ProcessesWithToken(token, pid)) kill(other, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        if (fds.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (Sink* sink : {&out, &err})
        if (sink->Read >= 0) close(sink->Read);
    if (WIFEXITED(status)) result.Exit = WEXITSTATUS(status);
    result.Stdout = out.Kind == SinkKind::File ? ReadText(out.Path) : out.Data;
    result.Stderr = err.Kind == SinkKind::File ? ReadText(err.Path) : err.Data;
    return result;
}

RunResult RunQuiet(const std::vector<std::string>& argv) {
    Sink out, err;
    out.Kind = err.Kind = SinkKind::Pipe;
    return Run(argv, out, err);
}

// ---- the test disk driver -----------------------------------------------------

std::string WinPath(const std::string& unixPath) {
    std::string path = "Z:" + fs::absolute(unixPath).lexically_normal().string();
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool Control(const std::vector<std::string>& words, std::string* output, std::string* error) {
    std::vector<std::string> argv = {Opt.Wine, Opt.TestDisk + "/testdiskctl.exe"};
    argv.insert(argv.end(), words.begin(), words.end());
    RunResult r = RunQuiet(argv);
    if (output) *output = r.Stdout;
    if (r.Exit != 0 && error) *error = "testdiskctl " + words[0] + ": exit " + std::to_string(r.Exit) + " " + r.Stderr;
    return r.Exit == 0;
}

fs::path DosDevices() { return fs::path(std::getenv("WINEPREFIX")) / "dosdevices"; }

// No test disk, and no drive link that would stand for one.
bool ResetDisks(std::string* error) {
    std::vector<fs::path> links;
    for (const auto& entry : fs::directory_iterator(DosDevices()))
        if (entry.path().filename().string().rfind("physicaldrive", 0) == 0) links.push_back(entry.path());
    for (const fs::path& link : links) fs::remove(link);
    return Control({"reset"}, nullptr, error);
}

// A drive link to a directory: CreateFile itself fails with ERROR_ACCESS_DENIED.
void DenyOpens(int disk) {
    fs::path denied = fs::path(std::getenv("WINEPREFIX")) / "testdisk-denied";
    std::error_code ignored;
    fs::create_directories(denied, ignored);
    fs::create_directory_symlink(denied, DosDevices() / ("physicaldrive" + std::to_string(disk)), ignored);
}

using Stats = std::map<std::string, uint64_t>;

std::optional<Stats> DiskStats(int disk, std::string* error) {
    std::string text;
    if (!Control({"stats", std::to_string(disk)}, &text, error)) return std::nullopt;
    Stats stats;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string value = line.substr(equals + 1);
        if (!value.empty() && std::isdigit(static_cast<unsigned char>(value[0])))
            stats[line.substr(0, equals)] = std::stoull(value, nullptr, 0);
    }
    return stats;
}

// ---- what Wine can serve ------------------------------------------------------

// The NTSTATUS that Wine turns back into each Win32 error a scenario may name.
const std::map<uint32_t, std::string> kStatusForError = {
    {1, "invalid-request"}, {2, "0xC0000034"},     {3, "0xC000003A"},  {5, "access-denied"},      {19, "0xC00000A2"},
    {21, "not-ready"},      {23, "crc"},           {27, "sector"},     {31, "0xC0000001"},        {32, "0xC0000043"},
    {38, "0xC0000011"},     {50, "not-supported"}, {55, "0xC00000C0"}, {87, "invalid-parameter"}, {121, "timeout"},
    {483, "hardware"},      {1112, "0xC0000178"},  {1117, "io"},       {1167, "0xC000009D"},
};

enum PassMode { Verify, Read, ReadTwice };

struct DiskPlan {
    const sim::Disk* Disk = nullptr;
    std::vector<std::string> Keys;  // for testdiskctl add
    bool Denied = false;            // CreateFile fails with 5
    bool Absent = false;            // no device: CreateFile fails with 2
};

struct Plan {
    std::string Skip;  // why Wine cannot serve the scenario; empty when it can
    std::vector<DiskPlan> Disks;
    std::string CommandLine;
    bool Launcher = false;
    SinkKind Stdout = SinkKind::File, Stderr = SinkKind::File;
    PassMode Mode = Verify;
    bool CtrlC = false;
    std::string CtrlPrefix;  // the expected output before its status lines, normalized
    bool ScreenUnchecked = false;
};

const char kCtrlTail[] = "Ctrl+C pressed -> abort\r\n\r\n";

bool IsPassCall(const std::string& text) {
    return text.find("IOCTL_DISK_VERIFY") != std::string::npos || text.find("ReadFile") != std::string::npos;
}

std::string ErrorStatus(uint32_t error, std::string* skip) {
    auto it = kStatusForError.find(error);
    if (it != kStatusForError.end()) return it->second;
    *skip = "no NTSTATUS known to come back from Wine as error " + std::to_string(error);
    return "";
}

// The scenario with standard output and error moved from the console to files,
// on the simulated machine, with what is not compared under Wine dropped (the
// screen, the cursor, calls other than writes): when it still passes, none of
// the expected bytes needed a console.
bool PassesWithoutConsole(const std::string& text, const sim::Config& machine, const std::string& scratch) {
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
    WriteText(scratch, out);
    return RunQuiet({Opt.Sim, "--scenario", scratch}).Exit == 0;
}

Plan Decide(const sim::Scenario& s, const std::string& text, const std::string& scratch) {
    Plan plan;
    const sim::Config& m = s.Machine;
    const sim::Expectations& e = s.Expect;
    const sim::Config defaults;
    plan.CommandLine = m.CommandLine;
    std::vector<std::string> words = CommandWords(m.CommandLine);
    if (words.size() == 3) {
        const std::string& w = words[2];
        plan.Mode = w.size() < 2 || (w[1] != 'r' && w[1] != 'R') ? Verify
                    : w.size() > 2 && w[2] == '2'                ? ReadTwice
                                                                 : Read;
    }
    auto skip = [&](const std::string& reason) {
        if (plan.Skip.empty()) plan.Skip = reason;
    };

    if (!s.WineNote.empty()) skip("wine: " + s.WineNote);
    if (e.Abnormal || e.Hang) skip("an abnormal end or a hang needs the simulated machine");
    bool setupFails = sim::FailsEveryCall(m, sim::kSetupFailsText);
    bool searchFails = sim::FailsEveryCall(m, sim::kVolumeSearchFailsText);
    if (m.Fails.size() > (setupFails ? 1u : 0u) + (searchFails ? 1u : 0u))
        skip("calls made to fail on purpose need the simulated machine");
    if (m.HeapCorruptAfterAlloc || m.HeapCorruptBeforeFree)
        skip("heap damage is injected only on the simulated machine");
    if (m.DefaultDirs != defaults.DefaultDirs || m.SetDllDirectory != defaults.SetDllDirectory)
        skip("the DLL search-path functions' answers are simulated");
    if (m.StartTick != defaults.StartTick) skip("the tick count's start value is simulated time");
    if (m.ConsoleWindow == sim::Window::Own) skip("the console window's owner is never the program under Wine");
    // The listing shows the disks of the interface set, which Wine leaves empty
    // (and whose absence the simulated machine can also express); volumes and
    // drive letters only ever add to its rows. Of the passes only ReadTwice
    // looks for volumes, to lock those of its disk.
    bool listing = words.size() >= 2 && Lower(words[1]) == "-ld";
    if ((listing && (setupFails || !m.Interfaces.empty())) ||
        (!listing && plan.Mode == ReadTwice && (searchFails || !m.Volumes.empty() || !m.Letters.empty())))
        skip("Wine has no disk interfaces or volumes for the test disk");
    if (m.Stdout == sim::StdKind::Closed || m.Stderr == sim::StdKind::Closed)
        skip("wine hands the program no closed standard handle");

    if (!m.Control.empty()) {
        const sim::ControlEvent& c = m.Control[0];
        bool onlyCtrlC = true;
        for (const sim::ControlEvent& event : m.Control) onlyCtrlC = onlyCtrlC && event.Type == 0;
        if (!onlyCtrlC) skip("only Ctrl+C (SIGINT) reaches the program under Wine");
        // Stopped mid-pass: status lines, then (on a console, a fresh line and) the message.
        std::string expected = Normalize(e.Stdout);
        size_t status = expected.find('\x01');
        std::string after = status == std::string::npos ? "" : expected.substr(status + 1);
        bool stopsPass = m.Control.size() == 1 && IsPassCall(c.CallText) && e.HasExit && e.Exit == 7 &&
                         (!e.HasStdout || after == kCtrlTail || after == "\r\n" + std::string(kCtrlTail));
        if (!stopsPass) skip("a control event at an exact call needs the simulated machine");
        plan.CtrlC = true;
        if (e.HasStdout && status != std::string::npos) plan.CtrlPrefix = expected.substr(0, status);
    }

    for (const sim::Disk& d : m.Disks) {
        DiskPlan disk;
        disk.Disk = &d;
        std::string n = std::to_string(d.Number);
        if (d.Number < 0 || d.Number >= kDriverDisks) skip("the test disk driver serves disks 0 to 15 only");
        if (d.Power == sim::PowerState::Asleep) skip("GetDevicePowerState is a stub under Wine");
        if (d.VendorOffset >= 0 || d.ProductOffset >= 0 || d.DescriptorSize >= 0)
            skip("raw descriptor fields are simulated only");
        if (d.DeviceNumber >= 0 || d.NumberRefused) skip("the device-number answer is simulated only");
        if (!d.ShortAt.empty()) skip("a read that stops short without an error is simulated only");
        if (d.Size == 0 || d.Size % d.Sector != 0) skip("the test disk driver takes sizes of whole sectors only");
        if (d.Faults.size() + d.Flaky.size() > kDriverRanges) skip("more fault ranges than the test disk holds");
        if (!d.ReadOpen) {
            if (d.QueryOpen && plan.Mode == Verify) skip("Wine does not refuse the open of a driver's device");
            if (d.OpenError == 2)
                disk.Absent = true;
            else if (d.OpenError == 5)
                disk.Denied = true;
            else
                skip("under Wine a failed open gives error 2 (no device) or 5 (a denied link) only");
        }
        auto& k = disk.Keys;
        k = {"add",
             n,
             "size=" + std::to_string(d.Size),
             "sector=" + std::to_string(d.Sector),
             "seed=" + std::to_string(d.Seed),
             "bus=" + std::to_string(d.Bus)};
        if (!d.Vendor.empty()) k.push_back("vendor=" + d.Vendor);
        if (!d.Product.empty()) k.push_back("product=" + d.Product);
        std::string reason;
        auto answer = [&](const char* key, sim::Answer a, uint32_t error) {
            if (a == sim::Answer::Zero) k.push_back(std::string(key) + "=zero");
            if (a == sim::Answer::Fail) k.push_back(std::string(key) + "=fail:" + ErrorStatus(error, &reason));
        };
        answer("length", d.Length, d.LengthError);
        answer("geometry", d.Geometry, d.GeometryError);
        // Both fail with ERROR_INVALID_FUNCTION on the simulated machine.
        k.push_back(d.Predict == sim::Prediction::Yes  ? "predict=yes"
                    : d.Predict == sim::Prediction::No ? "predict=no"
                                                       : "predict=fail:invalid-request");
        if (d.DescriptorFails) k.push_back("property=fail:invalid-request");
        for (const sim::Fault& f : d.Faults) {
            const char* key = f.Read && f.Verify ? "fault=" : f.Read ? "read-fault=" : "verify-fault=";
            if (f.Read || f.Verify)
                k.push_back(key + std::to_string(f.Where.Start) + "+" + std::to_string(f.Where.Length) + ":" +
                            ErrorStatus(f.Error, &reason));
        }
        for (const sim::Range& r : d.Flaky)
            k.push_back("flaky=" + std::to_string(r.Start) + "+" + std::to_string(r.Length));
        if (plan.CtrlC) {
            // Long enough for the signal to land mid-pass: about a second after the first status line.
            uint64_t rest = (d.Size + kFirstChunk - 1) / kFirstChunk - 1;
            uint64_t ms = std::clamp<uint64_t>(rest ? 800 / rest : 800, 100, 800);
            k.push_back("latency-us=" + std::to_string(ms * 1000));
        }
        if (!reason.empty()) skip(reason);
        plan.Disks.push_back(disk);
    }

    // Plain words go through wine's argument vector; anything else (quotes,
    // runs of blanks, odd bytes, a length near the limit) through launch.exe.
    const std::string prefix = "sectorsweep.exe ";
    bool plain = m.CommandLine.rfind(prefix, 0) == 0 && m.CommandLine.size() < 200;
    std::string rest = plain ? m.CommandLine.substr(prefix.size()) : "";
    std::string joined;
    for (const std::string& w : CommandWords(rest)) joined += (joined.empty() ? "" : " ") + w;
    for (unsigned char c : rest)
        if (c != ' ' && (c < 0x21 || c > 0x7E || c == '"')) plain = false;
    plan.Launcher = !plain || joined != rest;

    auto sinkOf = [](sim::StdKind kind) {
        return kind == sim::StdKind::Pipe  ? SinkKind::Pipe
               : kind == sim::StdKind::Nul ? SinkKind::Null
                                           : SinkKind::File;
    };
    plan.Stdout = sinkOf(m.Stdout);
    plan.Stderr = sinkOf(m.Stderr);
    bool console = m.Stdout == sim::StdKind::Console || m.Stderr == sim::StdKind::Console;
    if (plan.Skip.empty() && console) {
        // A console run goes to files. Only what a file receives is compared:
        // where the expected bytes needed the console (a fresh line chosen by
        // reading the screen), the scenario cannot be replayed. A Ctrl+C run is
        // compared by its own form, the fresh line aside.
        if ((e.HasScreen || e.CursorX >= 0) && !e.HasStdout && !e.HasStderr)
            skip("the console screen is simulated");
        else if (!plan.CtrlC && !PassesWithoutConsole(text, m, scratch))
            skip(RunQuiet({Opt.Sim, "--scenario", s.Name}).Exit == 0
                     ? "its output depends on the console screen, which is simulated"
                     : "it fails on the simulated machine itself");
        plan.ScreenUnchecked = e.HasScreen || e.CursorX >= 0;
    }
    return plan;
}

// ---- checks -------------------------------------------------------------------

// Record texts the driver's counters answer: the text, the counter, and
// whether each expected line stands for one request of its own (one-off
// queries) or only for "at least one" (chunks, whose number real time decides).
struct CounterText {
    const char* Text;
    const char* Counter;
    bool PerLine;
};
const CounterText kCounterTexts[] = {
    {"IOCTL_DISK_GET_LENGTH_INFO", "length_queries", true},
    {"IOCTL_DISK_GET_DRIVE_GEOMETRY", "geometry_queries", true},
    {"IOCTL_STORAGE_PREDICT_FAILURE", "predict_queries", true},
    {"IOCTL_STORAGE_QUERY_PROPERTY", "property_queries", true},
    {"IOCTL_STORAGE_GET_DEVICE_NUMBER", "number_queries", true},
    {"IOCTL_DISK_VERIFY", "verifies", false},
    {"ReadFile \\\\.\\PhysicalDrive", "reads", false},
    {"CreateFileA \\\\.\\PhysicalDrive", "creates", true},
    {"CloseHandle \\\\.\\PhysicalDrive", "closes", true},
};

// The disk a record line names ("\\.\PhysicalDriveN"), or -1.
int NamedDisk(const std::string& line) {
    size_t at = line.find("PhysicalDrive");
    if (at == std::string::npos) return -1;
    at += 13;
    size_t end = at;
    while (end < line.size() && std::isdigit(static_cast<unsigned char>(line[end]))) ++end;
    return end > at ? std::stoi(line.substr(at, end - at)) : -1;
}

struct Outcome {
    std::map<int, Stats> Disks;  // the counters of each disk the driver served
    RunResult Run;
};

uint64_t Sum(const Outcome& o, const std::string& counter, int disk = -1) {
    uint64_t total = 0;
    for (const auto& [number, stats] : o.Disks) {
        if (disk >= 0 && number != disk) continue;
        auto it = stats.find(counter);
        if (it != stats.end()) total += it->second;
    }
    return total;
}

void CheckCalls(const sim::Scenario& s, const Outcome& o, std::vector<std::string>* failures) {
    // Counted request kinds.
    std::map<std::pair<std::string, int>, uint64_t> wanted;  // (counter, disk) -> lines
    for (const std::string& line : s.Expect.Calls) {
        if (line.rfind("write ", 0) == 0) continue;
        for (const CounterText& c : kCounterTexts) {
            if (line.find(c.Text) == std::string::npos) continue;
            int disk = NamedDisk(line);
            if (disk >= 0 && !o.Disks.count(disk)) break;  // a device the driver does not serve
            bool failed = line.find("-> fail") != std::string::npos;
            if (std::string(c.Counter) == "creates" && failed) break;  // refused before the driver
            auto& count = wanted[{c.Counter, disk}];
            count = c.PerLine ? count + 1 : 1;
            if (failed && (std::string(c.Counter) == "verifies" || std::string(c.Counter) == "reads"))
                wanted[{std::string(c.Counter) == "verifies" ? "verify_errors" : "read_errors", disk}] = 1;
            break;
        }
    }
    for (const auto& [key, lines] : wanted) {
        uint64_t have = Sum(o, key.first, key.second);
        if (have < lines)
            failures->push_back("expect calls: " + std::to_string(lines) + " " + key.first +
                                " expected, the driver counted " + std::to_string(have));
    }
    // Quoted output, in order within each stream, unless real time shapes it.
    size_t at[2] = {0, 0};
    std::string streams[2] = {Escape(o.Run.Stdout), Escape(o.Run.Stderr)};
    for (const std::string& line : s.Expect.Calls) {
        int which;
        std::string quoted = QuotedWrite(line, &which);
        if (which < 0 || TimedText(quoted)) continue;
        size_t found = streams[which].find(quoted, at[which]);
        if (found == std::string::npos)
            failures->push_back("expect calls: not written in order: " + line);
        else
            at[which] = found + quoted.size();
    }
    for (const std::string& text : s.Expect.NoCalls) {
        for (const CounterText& c : kCounterTexts) {
            // Only a text that names a whole request kind (perhaps of one disk) says none was made.
            std::string kind = c.Text;
            bool whole =
                kind.rfind(text, 0) == 0 ||
                (text.rfind(kind, 0) == 0 && text.find_first_not_of("0123456789", kind.size()) == std::string::npos);
            if (!whole || text.size() < 8) continue;
            uint64_t have = Sum(o, c.Counter, NamedDisk(text));
            if (have != 0)
                failures->push_back("expect no-call " + text + ": the driver counted " + std::to_string(have));
        }
        for (int which : {0, 1}) {
            std::string record = std::string("write ") + (which ? "stderr" : "stdout") + " \"" + streams[which] + "\"";
            if (record.find(text) != std::string::npos)
                failures->push_back("expect no-call " + text + ": it was written");
        }
    }
}

// What holds after every run, whatever the scenario says.
void CheckDisks(const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    auto stat = [](const Stats& s, const char* key) {
        auto it = s.find(key);
        return it == s.end() ? uint64_t{0} : it->second;
    };
    std::vector<std::pair<const DiskPlan*, const Stats*>> active;
    for (const DiskPlan& d : plan.Disks) {
        auto it = o.Disks.find(d.Disk->Number);
        if (it == o.Disks.end()) continue;
        const Stats& s = it->second;
        std::string disk = "disk " + std::to_string(d.Disk->Number) + ": ";
        if (stat(s, "writes") != 0) failures->push_back(disk + std::to_string(stat(s, "writes")) + " writes");
        if (stat(s, "open_handles") != 0)
            failures->push_back(disk + std::to_string(stat(s, "open_handles")) + " handles still open at the end");
        if (stat(s, "verifies") + stat(s, "reads") != 0) active.push_back({&d, &s});
    }
    int code = o.Run.Exit;
    if (code >= 1 && code <= 5 && !active.empty())
        failures->push_back("exit " + std::to_string(code) + " but disk " +
                            std::to_string(active[0].first->Disk->Number) + " was read or verified");
    if (code != 0 && code != 6 && code != 7) return;
    if (active.size() != 1) {
        if (code == 0 && active.size() > 1) failures->push_back("more than one disk was read or verified");
        return;
    }
    const sim::Disk& disk = *active[0].first->Disk;
    const Stats& s = *active[0].second;
    bool verify = plan.Mode == Verify;
    uint64_t copies = plan.Mode == ReadTwice ? 2 : 1;
    uint64_t bytes = stat(s, verify ? "verify_bytes" : "read_bytes");
    uint64_t errors = stat(s, verify ? "verify_errors" : "read_errors");
    uint64_t off = stat(s, verify ? "last_verify_offset" : "last_read_offset");
    uint64_t len = stat(s, verify ? "last_verify_length" : "last_read_length");
    std::string name = "disk " + std::to_string(disk.Number) + ": ";
    if (stat(s, verify ? "reads" : "verifies") != 0)
        failures->push_back(name + (verify ? "read in a Verify pass" : "verified in a read pass"));
    auto expectBytes = [&](uint64_t want, const char* what) {
        if (bytes != want)
            failures->push_back(name + std::to_string(bytes) + " bytes " + (verify ? "verified" : "read") +
                                ", expected " + std::to_string(want) + " (" + what + ")");
    };
    if (code == 0) {
        expectBytes(disk.Size * copies, "every byte of the disk");
        if (errors != 0) failures->push_back(name + "a clean pass met " + std::to_string(errors) + " errors");
    } else if (code == 7) {
        if (bytes >= disk.Size * copies)
            failures->push_back(name + "the pass reached the end of the disk before Ctrl+C");
        if (errors != 0) failures->push_back(name + "a stopped pass met errors");
    } else {
        auto overlaps = [&](const sim::Range& r) { return off < r.Start + r.Length && r.Start < off + len; };
        bool faulty = false, met = false;
        for (const sim::Fault& f : disk.Faults)
            if (verify ? f.Verify : f.Read) faulty = true, met = met || overlaps(f.Where);
        if (faulty) {
            // The pass stops at the first failing request, having moved every chunk before it.
            if (errors != 1) failures->push_back(name + std::to_string(errors) + " failed requests, expected 1");
            if (!met) failures->push_back(name + "the last request does not meet a fault range");
            if (bytes != off * copies && bytes != off * copies + len * (copies - 1))
                expectBytes(off * copies, "every chunk before the failing one");
        } else if (plan.Mode == ReadTwice && !disk.Flaky.empty()) {
            bool flaky = false;
            for (const sim::Range& r : disk.Flaky) flaky = flaky || overlaps(r);
            if (!flaky) failures->push_back(name + "the pass stopped on a chunk without flaky bytes");
            expectBytes((off + len) * 2, "both reads of every chunk up to the differing one");
        }
    }
}

std::vector<std::string> Check(const sim::Scenario& s, const Plan& plan, const Outcome& o) {
    std::vector<std::string> failures;
    const sim::Expectations& e = s.Expect;
    const RunResult& r = o.Run;
    if (r.TimedOut) failures.push_back("no end within " + std::to_string(kRunSeconds) + " s");
    if (e.HasExit && r.Exit != static_cast<int>(e.Exit & 0xFF))
        failures.push_back("exit code " + std::to_string(r.Exit) + ", expected " + std::to_string(e.Exit));
    if (plan.CtrlC) {
        if (!r.Interrupted) failures.push_back("the pass ended before Ctrl+C could be sent");
        // The shell owns the window, so the message is followed by an empty line;
        // with output to a file there is no fresh line before it.
        std::string want = plan.CtrlPrefix + "\x01" + kCtrlTail;
        std::string got = Normalize(r.Stdout);
        size_t status = got.find('\x01');
        bool ok = plan.CtrlPrefix.empty() ? status != std::string::npos && got.substr(status) == want : got == want;
        if (!ok)
            failures.push_back("standard output after Ctrl+C\n--- expected\n" + Shown(want) + "\n--- actual\n" +
                               Shown(got));
    } else if (e.HasStdout) {
        CompareOutput("standard output", e.Stdout, r.Stdout, &failures);
    }
    if (e.HasStderr) CompareOutput("standard error", e.Stderr, r.Stderr, &failures);
    for (auto it = std::sregex_iterator(r.Stdout.begin(), r.Stdout.end(), kDifference); it != std::sregex_iterator();
         ++it) {
        std::string line = it->str();
        size_t colon = line.find(':');
        if (line.substr(colon + 2, 2) == line.substr(colon + 5, 2))
            failures.push_back("a listed difference shows equal bytes: " + Shown(line));
    }
    CheckCalls(s, o, &failures);
    CheckDisks(plan, o, &failures);
    return failures;
}

// ---- one scenario -------------------------------------------------------------

enum Verdict { Ran, Failed, Skipped };

Verdict Replay(const std::string& file, int index) {
    std::string text = ReadText(file);
    sim::Scenario scenario;
    scenario.Name = file;
    std::string error;
    if (text.empty() || !sim::ParseScenario(text, &scenario, &error)) {
        std::printf("FAIL %s: cannot read the scenario: %s\n", file.c_str(), error.c_str());
        return Failed;
    }
    std::string base = Opt.Work + "/" + std::to_string(index);
    Plan plan = Decide(scenario, text, base + ".scn");
    if (!plan.Skip.empty()) {
        std::printf("SKIP %s: %s\n", file.c_str(), plan.Skip.c_str());
        return Skipped;
    }

    if (!ResetDisks(&error)) {
        std::printf("FAIL %s: %s\n", file.c_str(), error.c_str());
        return Failed;
    }
    for (const DiskPlan& d : plan.Disks) {
        if (d.Denied) DenyOpens(d.Disk->Number);
        if (!d.Denied && !d.Absent && !Control(d.Keys, nullptr, &error)) {
            std::printf("FAIL %s: %s\n", file.c_str(), error.c_str());
            return Failed;
        }
    }

    std::vector<std::string> argv = {Opt.Wine};
    if (plan.Launcher) {
        WriteText(base + ".cmd", plan.CommandLine);
        argv.insert(argv.end(), {Opt.TestDisk + "/launch.exe", WinPath(Opt.Exe), WinPath(base + ".cmd")});
    } else {
        std::vector<std::string> words = CommandWords(plan.CommandLine);
        argv.push_back(Opt.Exe);
        argv.insert(argv.end(), words.begin() + 1, words.end());
    }
    Sink out, err;
    out.Kind = plan.Stdout;
    out.Path = base + ".out";
    err.Kind = plan.Stderr;
    err.Path = base + ".err";
    Outcome outcome;
    outcome.Run = Run(argv, out, err, plan.CtrlC ? "  -  ETA " : "", plan.Launcher);

    for (const DiskPlan& d : plan.Disks) {
        if (d.Denied || d.Absent) continue;
        std::optional<Stats> stats = DiskStats(d.Disk->Number, &error);
        if (!stats) {
            std::printf("FAIL %s: %s\n", file.c_str(), error.c_str());
            return Failed;
        }
        outcome.Disks[d.Disk->Number] = *stats;
    }
    std::vector<std::string> failures = Check(scenario, plan, outcome);
    for (const std::string& failure : failures) std::printf("FAIL %s: %s\n", file.c_str(), failure.c_str());
    if (!failures.empty()) return Failed;
    std::printf("RAN %s%s%s\n", file.c_str(), plan.CtrlC ? " (Ctrl+C as SIGINT)" : "",
                plan.ScreenUnchecked ? " (output to files; the screen rows are not compared)" : "");
    return Ran;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 < argc) *into = argv[++i];
        };
        if (arg == "--exe")
            value(&Opt.Exe);
        else if (arg == "--testdisk")
            value(&Opt.TestDisk);
        else if (arg == "--sim")
            value(&Opt.Sim);
        else if (arg == "--work")
            value(&Opt.Work);
        else if (arg == "--wine")
            value(&Opt.Wine);
        else
            Opt.Files.push_back(arg);
    }
    if (Opt.Exe.empty() || Opt.TestDisk.empty() || Opt.Sim.empty() || Opt.Work.empty() || !std::getenv("WINEPREFIX")) {
        std::fprintf(stderr,
                     "usage: WINEPREFIX=... wine_replay --exe SECTORSWEEP.EXE --testdisk DIR --sim HOST_SECTORSWEEP "
                     "--work DIR FILE...\n");
        return 2;
    }
    for (const std::string& path :
         {Opt.Exe, Opt.Sim, Opt.TestDisk + "/testdiskctl.exe", Opt.TestDisk + "/launch.exe"}) {
        if (access(path.c_str(), R_OK) != 0) {
            std::printf("FAIL %s is missing\n0 passed, 1 failed\n", path.c_str());
            return 1;
        }
    }
    fs::create_directories(Opt.Work);
    // Wine's mount manager links PhysicalDrive0 to a disk of its own; adding and
    // removing a test disk 0 takes that name away, as on a machine without it.
    std::string error;
    if (!Control({"add", "0", "size=1M"}, nullptr, &error) || !ResetDisks(&error)) {
        std::printf("FAIL the test disk driver: %s\n0 passed, 1 failed\n", error.c_str());
        return 1;
    }
    int counts[3] = {0, 0, 0};
    int index = 0;
    for (const std::string& file : Opt.Files) {
        ++counts[Replay(file, ++index)];
        std::fflush(stdout);
    }
    ResetDisks(&error);
    std::printf("%d passed, %d failed, %d skipped\n", counts[Ran], counts[Failed], counts[Skipped]);
    return counts[Failed] == 0 ? 0 : 1;
}
