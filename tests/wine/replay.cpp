// Replays scenario files on the real sectorsweep.exe under Wine, with the disks,
// volumes, drive letters and disk interfaces of testdisk.sys (wine/driver)
// standing in for the simulated machine's.
//
//   wine_replay --exe SECTORSWEEP.EXE --testdisk DIR --sim HOST_SECTORSWEEP --work DIR FILE...
//
// WINEPREFIX must name the prefix whose persistent wineserver has the driver
// loaded (wine/env.sh: testdisk_prefix_up); DIR holds testdiskctl.exe and
// launch.exe from wine/build.sh.  Each file gives one line: SKIP and why Wine
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
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include "wine/driver/testdisk_ioctl.h"
}

#include "sectorsweep.h"
#include "sim/scenario.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

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
// (the disk's), a listed difference keeps its position.  The forms are the
// program's own formats, each text field any run of characters on one line.
std::string FormRegex(const std::string& format) {
    std::string out;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format.compare(i, 2, "%s") == 0) {
            out += "([^\\r\\n]*?)";
            ++i;
        } else if (format[i] == '\n') {
            out += "\\r\\n";  // Print writes a line end as CR LF
        } else if (format[i] == '\r') {
            out += "\\r";
        } else {
            if (std::strchr(".^$|()[]{}*+?\\", format[i]) != nullptr) out += '\\';
            out += format[i];
        }
    }
    return out;
}

// The summary with its size kept and the rest as real-time tokens.
std::string SummaryForm() {
    std::string out, format = kSummaryFormat;
    int field = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format.compare(i, 2, "%s") == 0) {
            out += field++ == 0 ? "$1" : "\x02";
            ++i;
        } else {
            out += format[i] == '\n' ? std::string("\r\n") : std::string(1, format[i]);
        }
    }
    return out;
}

const std::regex kStatusLine(FormRegex(kStatusLineFormat));
const std::regex kStatusRun("\x01+");
const std::regex kSummary(FormRegex(kSummaryFormat));
const std::regex kDifference(R"(([0-9A-F]{8}|[0-9A-F]{12}|[0-9A-F]{16}): [0-9A-F]{2} [0-9A-F]{2}\r\n)");

std::string Normalize(const std::string& text) {
    std::string out = std::regex_replace(text, kStatusLine, "\x01");
    out = std::regex_replace(out, kStatusRun, "\x01");
    out = std::regex_replace(out, kSummary, SummaryForm());
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

// Quoted output whose bytes vary with real time: (a piece of) a status line or
// the summary, the values of a listed difference.
bool TimedText(const std::string& quoted) {
    std::string text = sim::Unescape(quoted);
    for (const char* format : {kStatusLineFormat, kSummaryFormat}) {
        std::string f = format;
        for (size_t from = 0, at; from < f.size(); from = at + 2) {
            at = f.find("%s", from);
            if (at == std::string::npos) at = f.size();
            std::string piece = f.substr(from, at - from);
            if (piece.size() >= 3 && text.find(piece) != std::string::npos) return true;
        }
    }
    static const std::regex values(R"(^[0-9A-F]{2} [0-9A-F]{2})");
    return std::regex_search(text, values);
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

using Environment = std::vector<std::pair<std::string, std::string>>;

pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err, const std::string& token,
            const Environment& env = {}) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setenv("SECTORSWEEP_REPLAY_RUN", token.c_str(), 1);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

struct RunResult {
    int Exit = -1;
    bool TimedOut = false;
    std::string Stdout, Stderr;
    int CompanionExit = 0;
    std::string CompanionError;
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

// Runs argv to its end, with `env` added to its environment and, when given,
// `companion` alongside (its standard error is kept in CompanionError).
RunResult Run(const std::vector<std::string>& argv, Sink out, Sink err, const Environment& env = {},
              const std::vector<std::string>& companion = {}) {
    static int serial = 0;
    std::string token = std::to_string(getpid()) + "-" + std::to_string(++serial);
    RunResult result;
    int in = open("/dev/null", O_RDONLY);
    int outFd = OpenSink(out), errFd = OpenSink(err);
    pid_t pid = Spawn(argv, in, outFd, errFd, token, env);
    Sink helperErr;
    helperErr.Kind = SinkKind::Pipe;
    pid_t helper = -1;
    if (!companion.empty()) {
        int helperOut = open("/dev/null", O_WRONLY), helperErrFd = OpenSink(helperErr);
        helper = Spawn(companion, in, helperOut, helperErrFd, token);
        close(helperOut);
        close(helperErrFd);
    }
    close(in);
    close(outFd);
    close(errFd);
    auto deadline = Clock::now() + std::chrono::seconds(kRunSeconds);
    int status = 0, helperStatus = 0;
    bool ended = false;
    for (;;) {
        std::vector<pollfd> fds;
        for (Sink* sink : {&out, &err, &helperErr})
            if (sink->Read >= 0) fds.push_back({sink->Read, POLLIN, 0});
        if (!fds.empty()) poll(fds.data(), fds.size(), 10);
        for (Sink* sink : {&out, &err, &helperErr}) {
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
        if (helper > 0 && waitpid(helper, &helperStatus, WNOHANG) == helper) {
            result.CompanionExit = WIFEXITED(helperStatus) ? WEXITSTATUS(helperStatus) : -1;
            helper = -1;
        }
        if (ended && helper < 0 && out.Read < 0 && err.Read < 0 && helperErr.Read < 0) break;
        if (Clock::now() > deadline) {
            result.TimedOut = true;
            for (pid_t child : {pid, helper})
                if (child > 0) kill(child, SIGKILL);
            for (pid_t other : ProcessesWithToken(token, pid)) kill(other, SIGKILL);
            if (!ended) waitpid(pid, &status, 0);
            if (helper > 0) waitpid(helper, &helperStatus, 0);
            break;
        }
        if (fds.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    for (Sink* sink : {&out, &err, &helperErr})
        if (sink->Read >= 0) close(sink->Read);
    if (WIFEXITED(status)) result.Exit = WEXITSTATUS(status);
    result.Stdout = out.Kind == SinkKind::File ? ReadText(out.Path) : out.Data;
    result.Stderr = err.Kind == SinkKind::File ? ReadText(err.Path) : err.Data;
    result.CompanionError = helperErr.Data;
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

// No drive link that would stand for a test disk.
void RemoveDiskLinks() {
    std::vector<fs::path> links;
    for (const auto& entry : fs::directory_iterator(DosDevices()))
        if (entry.path().filename().string().rfind("physicaldrive", 0) == 0) links.push_back(entry.path());
    for (const fs::path& link : links) fs::remove(link);
}

// A drive link to a directory: CreateFile itself fails with ERROR_ACCESS_DENIED.
void DenyOpens(int disk) {
    fs::path denied = fs::path(std::getenv("WINEPREFIX")) / "testdisk-denied";
    std::error_code ignored;
    fs::create_directories(denied, ignored);
    fs::create_directory_symlink(denied, DosDevices() / ("physicaldrive" + std::to_string(disk)), ignored);
}

using Stats = std::map<std::string, uint64_t>;

// Every counter of the driver (`testdiskctl stats`), keyed "disk.N.name", "volume.K.name", "held".
Stats ParseStats(const std::string& text) {
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

struct DiskPlan {
    const sim::Disk* Disk = nullptr;
    bool Denied = false;  // CreateFile fails with 5
    bool Absent = false;  // no device: CreateFile fails with 2
};

// A request of the simulated machine's record: what the driver can hold.
struct HeldRequest {
    int Disk = -1;
    std::string Kind;  // length, property, verify, read
    uint64_t Offset = 0;
    int Ordinal = 0;  // among the requests of that kind (at that offset) on that disk
};

struct Plan {
    std::string Skip;  // why Wine cannot serve the scenario; empty when it can
    std::vector<DiskPlan> Disks;
    std::vector<std::string> Setup;  // testdiskctl's commands
    std::string CommandLine;
    bool Launcher = false;
    SinkKind Stdout = SinkKind::File, Stderr = SinkKind::File;
    PassMode Mode = Verify;
    Environment Env;
    uint32_t EventType = 0;
    bool Event = false;
    // The simulated machine with output to files: what it wrote and its record.
    std::string SimStdout, SimStderr;
    std::vector<std::string> Record;
    bool SimBytesExpected = false;  // the scenario's own bytes needed the console
    bool ScreenUnchecked = false;
};

std::string ErrorStatus(uint32_t error, std::string* skip) {
    auto it = kStatusForError.find(error);
    if (it != kStatusForError.end()) return it->second;
    *skip = "no NTSTATUS known to come back from Wine as error " + std::to_string(error);
    return "";
}

// The machine's failures that are configured rather than simulated, as Wine
// serves them: the setup API not loading, the volume search failing.
struct MachineFailures {
    bool SetupApi = false;
    bool VolumeSearch = false;
};
MachineFailures FailuresOf(const sim::Config& m) {
    return {sim::FailsEveryCall(m, sim::kSetupFailsText), sim::FailsEveryCall(m, sim::kVolumeSearchFailsText)};
}

// Why a scenario's injected failures keep it on the simulated machine, if they do.
std::string SimulatedOnlyFailure(const sim::Config& m) {
    MachineFailures served = FailuresOf(m);
    if (m.Fails.size() > size_t{served.SetupApi} + size_t{served.VolumeSearch})
        return "calls made to fail on purpose (heap, memory, ...) need the simulated machine";
    if (m.HeapCorruptAfterAlloc || m.HeapCorruptBeforeFree)
        return "heap damage is injected only on the simulated machine";
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

// The disk request in which the simulated machine raised its control event:
// the request the driver is to hold while the event is sent.
std::optional<HeldRequest> EventRequest(const std::vector<std::string>& record, std::string* why) {
    static const std::regex request(
        R"(^(DeviceIoControl|ReadFile) \\\\\.\\PhysicalDrive(\d+) (IOCTL_DISK_GET_LENGTH_INFO|IOCTL_STORAGE_QUERY_PROPERTY|IOCTL_DISK_VERIFY off=(\d+)|off=(\d+)))");
    auto kindOf = [](const std::smatch& m) {
        std::string what = m[3].str();
        return m[1] == "ReadFile"                                 ? std::string("read")
               : what.rfind("IOCTL_DISK_GET_LENGTH_INFO", 0) == 0 ? std::string("length")
               : what.rfind("IOCTL_STORAGE_QUERY", 0) == 0        ? std::string("property")
                                                                  : std::string("verify");
    };
    for (size_t i = 0; i < record.size(); ++i) {
        if (record[i].rfind("control event ", 0) != 0) continue;
        std::smatch m;
        if (i == 0 || !std::regex_search(record[i - 1], m, request)) {
            *why = "the event comes inside a call the driver cannot hold: " + (i ? record[i - 1] : "");
            return std::nullopt;
        }
        HeldRequest held;
        held.Disk = std::stoi(m[2].str());
        held.Kind = kindOf(m);
        std::string offset = m[4].matched ? m[4].str() : m[5].str();
        held.Offset = offset.empty() ? 0 : std::stoull(offset);
        for (size_t k = 0; k < i; ++k) {
            std::smatch other;
            if (std::regex_search(record[k], other, request) && std::stoi(other[2].str()) == held.Disk &&
                kindOf(other) == held.Kind) {
                std::string at = other[4].matched ? other[4].str() : other[5].str();
                if ((at.empty() ? 0 : std::stoull(at)) == held.Offset) ++held.Ordinal;
            }
        }
        return held;
    }
    *why = "the simulated machine raised no control event";
    return std::nullopt;
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
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
        char hex[8];
        for (unsigned char c : text) {
            bool plain = c > 0x20 && c < 0x7F && c != '\\' && c != ';';
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += plain ? std::string(1, static_cast<char>(c)) : std::string(hex);
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

Plan Decide(const sim::Scenario& s, const std::string& text, const std::string& scratch) {
    Plan plan;
    const sim::Config& m = s.Machine;
    const sim::Expectations& e = s.Expect;
    const sim::Config defaults;
    MachineFailures failures = FailuresOf(m);
    plan.CommandLine = m.CommandLine;
    std::vector<std::string> words = CommandWords(m.CommandLine);
    bool listing = words.size() >= 2 && Lower(words[1]) == "-ld";
    if (words.size() == 3) plan.Mode = ReadModeWord(words[2].c_str());
    bool readTwice = !listing && words.size() == 3 && plan.Mode == ReadTwice;
    auto skip = [&](const std::string& reason) {
        if (plan.Skip.empty()) plan.Skip = reason;
    };

    if (!s.WineNote.empty()) skip("wine: " + s.WineNote);
    if (e.Abnormal || e.Hang) skip("an abnormal end or a hang needs the simulated machine");
    std::string simulated = SimulatedOnlyFailure(m);
    if (!simulated.empty()) skip(simulated);
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
    Append(&plan.Setup, {"mountmgr", failures.VolumeSearch ? "fail" : "serve"});
    if (failures.SetupApi) plan.Env.push_back({"WINEDLLOVERRIDES", "mscoree,mshtml,setupapi="});
    if (m.Disks.size() > TESTDISK_MAX_DISKS) skip("more disks than the test disk driver holds");
    std::string reason;
    for (const sim::Disk& d : m.Disks) {
        DiskPlan disk;
        disk.Disk = &d;
        if (d.Number < 0) skip("the test disk driver takes disk numbers from 0 up");
        if (d.Power == sim::PowerState::Asleep) skip("GetDevicePowerState is a stub under Wine");
        if (d.VendorOffset >= 0 || d.ProductOffset >= 0 || d.DescriptorSize >= 0)
            skip("raw descriptor fields are simulated only");
        if (d.Size == 0) skip("the test disk driver has no disk of size 0");
        if (d.Faults.size() + d.Flaky.size() > TESTDISK_MAX_FAULTS) skip("more fault ranges than the test disk holds");
        // The simulated machine's rate sets the chunk lengths; under Wine real time does, and
        // a chunk that ends at the short point reads whole.
        if (!d.ShortAt.empty())
            skip("whether a read crosses a short point depends on the chunk lengths, which real time decides");
        if (!d.ReadOpen) {
            if (d.QueryOpen && plan.Mode == Verify && !listing)
                skip("Wine does not let a driver refuse an open, nor pass it the access asked for");
            if (d.OpenError == 2)
                disk.Absent = true;
            else if (d.OpenError == 5)
                disk.Denied = true;
            else
                skip("under Wine a failed open gives error 2 (no device) or 5 (a denied link) only");
        }
        if (!disk.Absent && !disk.Denied) Append(&plan.Setup, DiskCommand(d, &reason));
        plan.Disks.push_back(disk);
    }
    if (!reason.empty()) skip(reason);

    // The numbers the interfaces lead to: the disks the listing has rows for.
    std::vector<int64_t> listed;
    if (m.Interfaces.size() > TESTDISK_MAX_INTERFACES) skip("more disk interfaces than the test disk driver holds");
    for (const sim::Interface& f : m.Interfaces) {
        const sim::Disk* disk = nullptr;
        for (const sim::Disk& d : m.Disks)
            if (d.Number == f.DiskNumber) disk = &d;
        if (f.Late) skip("the device setup API's interface list is made once: no interface can appear late");
        if (f.DetailFails) skip("the device setup API gives every interface's detail");
        if (f.Path.size() + 8 > 1024)
            skip("the interface paths are the driver's own, all short: none overruns the detail buffer");
        if (!disk) {
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
        if (listing && !v.Mounts.empty() && !failures.VolumeSearch && local && !v.NumberRefused && shown)
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
        Append(&plan.Setup, {"volume", "-", std::string("letter=") + letter, "type=" + std::to_string(bare.Type),
                             "disk=" + std::to_string(bare.DiskNumber)});
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
        std::optional<HeldRequest> held = EventRequest(plan.Record, &why);
        if (!held) {
            skip(why);
        } else {
            plan.Event = true;
            plan.EventType = m.Control[0].Type;
            std::vector<std::string> hold = {"hold", std::to_string(held->Disk), held->Kind,
                                             std::to_string(held->Ordinal)};
            if (held->Kind == "verify" || held->Kind == "read") hold.push_back(Hex(held->Offset));
            Append(&plan.Setup, hold);
        }
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
    Stats Driver;  // the counters of every disk and volume the driver served
    RunResult Run;
};

uint64_t Counter(const Stats& stats, const std::string& key) {
    auto it = stats.find(key);
    return it == stats.end() ? 0 : it->second;
}

// A disk counter, of one disk or summed over all.
uint64_t Sum(const Outcome& o, const std::string& counter, int disk = -1) {
    uint64_t total = 0;
    for (const auto& [key, value] : o.Driver) {
        if (key.rfind("disk.", 0) != 0 || key.size() < counter.size() + 1 ||
            key.compare(key.size() - counter.size() - 1, std::string::npos, "." + counter) != 0)
            continue;
        if (disk >= 0 && key != "disk." + std::to_string(disk) + "." + counter) continue;
        total += value;
    }
    return total;
}

bool Served(const Outcome& o, int disk) { return o.Driver.count("disk." + std::to_string(disk) + ".creates") != 0; }

void CheckCalls(const sim::Scenario& s, const Outcome& o, std::vector<std::string>* failures) {
    // Counted request kinds.
    std::map<std::pair<std::string, int>, uint64_t> wanted;  // (counter, disk) -> lines
    for (const std::string& line : s.Expect.Calls) {
        if (line.rfind("write ", 0) == 0) continue;
        for (const CounterText& c : kCounterTexts) {
            if (line.find(c.Text) == std::string::npos) continue;
            int disk = NamedDisk(line);
            if (disk >= 0 && !Served(o, disk)) break;  // a device the driver does not serve
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

// Each volume device: opened as often as the simulated machine's record opens
// it (by name or by drive letter, and once more for the drive type of every
// volume the search returns), every handle closed, the dismounts of the record
// received, nothing written.
void CheckVolumes(const sim::Config& m, const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    struct Device {
        std::string Name;  // without its backslash
        char Letter;
        bool Folders;  // the simulated machine opens it once more for each folder Wine does not return
    };
    std::vector<Device> devices;
    for (const sim::Volume& v : m.Volumes)
        devices.push_back({v.Name.substr(0, v.Name.size() - 1), v.Letter, !v.Mounts.empty()});
    for (const auto& [letter, disk] : m.Letters) devices.push_back({"", letter, false});
    for (size_t i = 0; i < devices.size(); ++i) {
        const auto& [name, letter, folders] = devices[i];
        std::string key = "volume." + std::to_string(i) + ".";
        uint64_t opens = 0, dismounts = 0;
        std::string byLetter = std::string("CreateFileA \\\\.\\") + letter + ": ";
        for (const std::string& line : plan.Record) {
            bool named = !name.empty() && line.find(name) != std::string::npos;
            if ((named && line.rfind("CreateFileA ", 0) == 0) || (letter && line.rfind(byLetter, 0) == 0)) ++opens;
            if (named && (line.rfind("FindFirstVolumeA ", 0) == 0 || line.rfind("FindNextVolumeA ", 0) == 0)) ++opens;
            if (named && line.find("FSCTL_DISMOUNT_VOLUME") != std::string::npos) ++dismounts;
        }
        std::string what = name.empty() ? std::string("drive ") + letter + ":" : name;
        uint64_t creates = Counter(o.Driver, key + "creates"), closes = Counter(o.Driver, key + "closes");
        if (creates != opens && !folders)
            failures->push_back(what + ": opened " + std::to_string(creates) + " times, the simulated machine " +
                                std::to_string(opens));
        if (closes != creates)
            failures->push_back(what + ": " + std::to_string(creates - closes) + " handles left open");
        if (Counter(o.Driver, key + "dismounts") != dismounts)
            failures->push_back(what + ": " + std::to_string(Counter(o.Driver, key + "dismounts")) +
                                " dismount requests, the simulated machine " + std::to_string(dismounts));
        if (Counter(o.Driver, key + "writes") != 0)
            failures->push_back(what + ": " + std::to_string(Counter(o.Driver, key + "writes")) + " writes");
    }
}

// What holds after every run, whatever the scenario says.
void CheckDisks(const Plan& plan, const Outcome& o, std::vector<std::string>* failures) {
    std::vector<const sim::Disk*> active;
    for (const DiskPlan& d : plan.Disks) {
        int n = d.Disk->Number;
        if (!Served(o, n)) continue;
        std::string disk = "disk " + std::to_string(n) + ": ";
        if (Sum(o, "writes", n) != 0) failures->push_back(disk + std::to_string(Sum(o, "writes", n)) + " writes");
        if (Sum(o, "creates", n) != Sum(o, "closes", n))
            failures->push_back(disk + std::to_string(Sum(o, "creates", n) - Sum(o, "closes", n)) +
                                " handles still open at the end");
        if (Sum(o, "verifies", n) + Sum(o, "reads", n) != 0) active.push_back(d.Disk);
    }
    int code = o.Run.Exit;
    if (code >= 1 && code <= 5 && !active.empty())
        failures->push_back("exit " + std::to_string(code) + " but disk " + std::to_string(active[0]->Number) +
                            " was read or verified");
    if (code != 0 && code != 6 && code != 7) return;
    if (active.size() != 1) {
        if (code == 0 && active.size() > 1) failures->push_back("more than one disk was read or verified");
        return;
    }
    const sim::Disk& disk = *active[0];
    int n = disk.Number;
    bool verify = plan.Mode == Verify;
    uint64_t copies = plan.Mode == ReadTwice ? 2 : 1;
    uint64_t bytes = Sum(o, verify ? "verify_bytes" : "read_bytes", n);
    uint64_t errors = Sum(o, verify ? "verify_errors" : "read_errors", n);
    uint64_t off = Sum(o, verify ? "last_verify_offset" : "last_read_offset", n);
    uint64_t len = Sum(o, verify ? "last_verify_length" : "last_read_length", n);
    std::string name = "disk " + std::to_string(n) + ": ";
    if (Sum(o, verify ? "reads" : "verifies", n) != 0)
        failures->push_back(name + (verify ? "read in a Verify pass" : "verified in a read pass"));
    auto expectBytes = [&](uint64_t want, const char* what) {
        if (bytes != want)
            failures->push_back(name + std::to_string(bytes) + " bytes " + (verify ? "verified" : "read") +
                                ", expected " + std::to_string(want) + " (" + what + ")");
    };
    auto overlaps = [&](const sim::Range& r) { return off < r.Start + r.Length && r.Start < off + len; };
    if (code == 0) {
        expectBytes(disk.Size * copies, "every byte of the disk");
        if (errors != 0) failures->push_back(name + "a clean pass met " + std::to_string(errors) + " errors");
    } else if (code == 7) {
        if (errors != 0) failures->push_back(name + "a stopped pass met errors");
    } else {
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
    if (plan.Event && r.CompanionExit != 0) failures.push_back("the control event was not sent: " + r.CompanionError);
    if (plan.Event && Counter(o.Driver, "released") != 1) failures.push_back("the held request was not released");
    if (e.HasExit && r.Exit != static_cast<int>(e.Exit & 0xFF))
        failures.push_back("exit code " + std::to_string(r.Exit) + ", expected " + std::to_string(e.Exit));
    if (plan.SimBytesExpected) {
        CompareOutput("standard output (as the simulated machine writes it to a file)", plan.SimStdout, r.Stdout,
                      &failures);
        CompareOutput("standard error (as the simulated machine writes it to a file)", plan.SimStderr, r.Stderr,
                      &failures);
    } else {
        if (e.HasStdout) CompareOutput("standard output", e.Stdout, r.Stdout, &failures);
        if (e.HasStderr) CompareOutput("standard error", e.Stderr, r.Stderr, &failures);
    }
    for (auto it = std::sregex_iterator(r.Stdout.begin(), r.Stdout.end(), kDifference); it != std::sregex_iterator();
         ++it) {
        std::string line = it->str();
        size_t colon = line.find(':');
        if (line.substr(colon + 2, 2) == line.substr(colon + 5, 2))
            failures.push_back("a listed difference shows equal bytes: " + Shown(line));
    }
    CheckCalls(s, o, &failures);
    CheckDisks(plan, o, &failures);
    CheckVolumes(s.Machine, plan, o, &failures);
    return failures;
}

// ---- one scenario -------------------------------------------------------------

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

void Replay(const std::string& file, int index) {
    auto pending = std::make_unique<Pending>();
    Pending& p = *pending;
    p.File = file;
    std::string text = ReadText(file);
    p.Scenario.Name = file;
    std::string error;
    if (text.empty() || !sim::ParseScenario(text, &p.Scenario, &error)) {
        Report(file, {"cannot read the scenario: " + error}, "");
        return;
    }
    std::string base = Opt.Work + "/" + std::to_string(index);
    p.Decided = Decide(p.Scenario, text, base + ".scn");
    const Plan& plan = p.Decided;
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

    std::vector<std::string> argv = {Opt.Wine};
    if (plan.Launcher) {
        WriteText(base + ".cmd", plan.CommandLine);
        argv.insert(argv.end(), {Opt.TestDisk + "/launch.exe", WinPath(Opt.Exe), WinPath(base + ".cmd")});
    } else {
        std::vector<std::string> words = CommandWords(plan.CommandLine);
        argv.push_back(Opt.Exe);
        argv.insert(argv.end(), words.begin() + 1, words.end());
    }
    std::vector<std::string> companion;
    if (plan.Event)
        companion = {Opt.Wine, Opt.TestDisk + "/testdiskctl.exe", "event", std::to_string(plan.EventType),
                     fs::path(Opt.Exe).filename().string()};
    Sink out, err;
    out.Kind = plan.Stdout;
    out.Path = base + ".out";
    err.Kind = plan.Stderr;
    err.Path = base + ".err";
    p.Result.Run = Run(argv, out, err, plan.Env, companion);
    Waiting = std::move(pending);
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
    if (!Control({"disk", "0", "size=1M", ";", "reset"}, nullptr, &error)) {
        std::printf("FAIL the test disk driver: %s\n0 passed, 1 failed\n", error.c_str());
        return 1;
    }
    int index = 0;
    for (const std::string& file : Opt.Files) Replay(file, ++index);
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
