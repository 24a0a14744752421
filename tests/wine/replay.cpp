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
// each volume opened and dismounted as often as on the simulated machine, and a
// pass that asked for exactly the bytes its outcome says. (A handle left open
// Wine closes when the program ends: the host scenarios are what see one.)
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
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

#include "tests/wine/replay.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace replay {

Options Opt;

namespace {

// The write end of an output of `kind`; a pipe's reading end goes to `read`.
int OpenSink(sim::StdKind kind, const std::string& path, int* read) {
    if (kind == sim::StdKind::Nul) return open("/dev/null", O_WRONLY);
    if (kind != sim::StdKind::Pipe) return open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int ends[2];
    if (pipe(ends) != 0) return -1;
    *read = ends[0];
    fcntl(*read, F_SETFD, FD_CLOEXEC);
    return ends[1];
}

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
    dprintf(2, "cannot start %s: %s\n", args[0], std::strerror(errno));
    _exit(127);
}

std::string Ending(int status) {
    return WIFEXITED(status) ? "exited with " + std::to_string(WEXITSTATUS(status))
                             : "was killed by signal " + std::to_string(WTERMSIG(status));
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs argv to its end, its output to a pipe, to nul or else to the file `base`.out (.err), with
// `env` added to its environment and, when given, `companion` alongside.
RunResult Run(const std::vector<std::string>& argv, sim::StdKind outKind, sim::StdKind errKind, const std::string& base,
              const Environment& env = {}, const std::vector<std::string>& companion = {}) {
    static int serial = 0;
    std::string token = std::to_string(getpid()) + "-" + std::to_string(++serial);
    RunResult result;
    int reads[3] = {-1, -1, -1};  // pipes: the program's output and error, the companion's error
    std::string data[3];
    int in = open("/dev/null", O_RDONLY), out = OpenSink(outKind, base + ".out", &reads[0]),
        err = OpenSink(errKind, base + ".err", &reads[1]);
    pid_t pid = Spawn(argv, in, out, err, token, env), helper = -1;
    if (!companion.empty()) {
        int helperOut = open("/dev/null", O_WRONLY), helperErr = OpenSink(sim::StdKind::Pipe, "", &reads[2]);
        helper = Spawn(companion, in, helperOut, helperErr, token);
        close(helperOut);
        close(helperErr);
    }
    for (int fd : {in, out, err}) close(fd);
    // Reads once from each pipe that has something, waiting up to `ms` for one; false when none had.
    auto take = [&](int ms) {
        std::vector<pollfd> fds;
        for (int fd : reads)
            if (fd >= 0) fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), ms) <= 0) return false;
        for (const pollfd& p : fds) {
            if (!p.revents) continue;
            int i = static_cast<int>(std::find(reads, reads + 3, p.fd) - reads);
            char buffer[65536];
            ssize_t got = read(p.fd, buffer, sizeof buffer);
            if (got > 0)
                data[i].append(buffer, static_cast<size_t>(got));
            else
                close(p.fd), reads[i] = -1;
        }
        return true;
    };
    auto deadline = Clock::now() + std::chrono::seconds(kRunSeconds);
    int status = 0, helperStatus = 0;
    bool ended = false;
    while (!ended || helper > 0 || reads[0] >= 0 || reads[1] >= 0 || reads[2] >= 0) {
        take(10);
        if (!ended && waitpid(pid, &status, WNOHANG) == pid) ended = true;
        if (helper > 0 && waitpid(helper, &helperStatus, WNOHANG) == helper) helper = -1;
        if (Clock::now() <= deadline) continue;
        // Whatever still runs is stopped, every process the run started with it.
        result.TimedOut = true;
        std::string marker = std::string(1, '\0') + "SECTORSWEEP_REPLAY_RUN=" + token + '\0';
        for (const auto& entry : fs::directory_iterator("/proc")) {
            std::string name = entry.path().filename(), environ = '\0' + ReadText(entry.path() / "environ");
            if (name.find_first_not_of("0123456789") == std::string::npos && environ.find(marker) != std::string::npos)
                kill(std::stoi(name), SIGKILL);
        }
        if (!ended) kill(pid, SIGKILL), waitpid(pid, &status, 0);
        if (helper > 0) kill(helper, SIGKILL), waitpid(helper, &helperStatus, 0);
        while (take(0)) {
        }
        break;
    }
    for (int fd : reads)
        if (fd >= 0) close(fd);
    if (WIFEXITED(status)) result.Exit = WEXITSTATUS(status);
    result.End = Ending(status);
    using enum sim::StdKind;
    result.Stdout = outKind == Pipe ? data[0] : outKind == Nul ? "" : ReadText(base + ".out");
    result.Stderr = errKind == Pipe ? data[1] : errKind == Nul ? "" : ReadText(base + ".err");
    if (!companion.empty() && !(WIFEXITED(helperStatus) && WEXITSTATUS(helperStatus) == 0))
        result.CompanionEnd = Ending(helperStatus);
    result.CompanionError = data[2];
    return result;
}

}  // namespace

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

RunResult RunQuiet(const std::vector<std::string>& argv) {
    return Run(argv, sim::StdKind::Pipe, sim::StdKind::Pipe, "");
}

namespace {

std::string WinPath(const std::string& unixPath) {
    std::string path = "Z:" + fs::absolute(unixPath).lexically_normal().string();
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// The test disks' drive links: none, but for each disk in `denied` a link to a directory, which
// CreateFile itself fails to open with ERROR_ACCESS_DENIED.
void LinkDisks(const std::vector<int>& denied) {
    fs::path prefix = std::getenv("WINEPREFIX"), devices = prefix / "dosdevices",
             directory = prefix / "testdisk-denied";
    std::vector<fs::path> links;
    for (const auto& entry : fs::directory_iterator(devices))
        if (entry.path().filename().string().starts_with("physicaldrive")) links.push_back(entry.path());
    for (const fs::path& link : links) fs::remove(link);
    std::error_code ignored;
    fs::create_directories(directory, ignored);
    for (int disk : denied)
        fs::create_directory_symlink(directory, devices / ("physicaldrive" + std::to_string(disk)), ignored);
}

int Ran = 0, Failed = 0, Skipped = 0;
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
    ++(failures.empty() ? Ran : Failed);
    std::fflush(stdout);
}

// Runs testdiskctl with `words`, and first reads the waiting scenario's counters, checks and reports it.
bool Driver(std::vector<std::string> words, std::string* error) {
    if (Waiting) words.insert(words.begin(), {"stats", ";"});
    words.insert(words.begin(), {"wine", Opt.TestDisk + "/testdiskctl.exe"});
    RunResult r = RunQuiet(words);
    if (r.Exit != 0) *error = "testdiskctl " + words[2] + ": " + r.End + " " + r.Stderr;
    if (!Waiting) return r.Exit == 0;
    Pending& p = *Waiting;
    std::vector<std::string> failures = {*error};
    if (r.Exit == 0) {
        static const std::regex counter(R"(([^\s=]+)=(\d+))");  // keyed "disk.N.name", "volume.K.name", "held"
        for (std::sregex_iterator it(r.Stdout.begin(), r.Stdout.end(), counter), end; it != end; ++it)
            p.Result.Driver[(*it)[1]] = std::stoull((*it)[2]);
        failures = Check(p.Scenario, p.Decided, p.Result);
    }
    std::string notes;
    if (p.Decided.Event) notes += " (control event " + std::to_string(p.Decided.EventType) + " at a held request)";
    if (p.Decided.SimBytesExpected) notes += " (output to files, bytes as the simulated machine writes them there)";
    if (p.Decided.ScreenUnchecked) notes += " (the screen rows are not compared)";
    Report(p.File, failures, notes);
    Waiting.reset();
    return r.Exit == 0;
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
        ++Skipped;
        return;
    }

    LinkDisks(plan.Denied);
    if (!Driver(plan.Setup, &error)) {
        Report(file, {error}, "");
        return;
    }

    std::vector<std::string> argv = {"wine", Opt.Exe}, companion;
    if (plan.Launcher) {
        WriteText(base + ".cmd", p.Scenario.Machine.CommandLine);
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
    Opt = {argv[1], argv[2], argv[3], argv[4]};
    fs::create_directories(Opt.Work);
    // Wine's mount manager links PhysicalDrive0 to a disk of its own; adding and
    // removing a test disk 0 takes that name away, as on a machine without it.
    std::string error;
    if (!Driver({"disk", "0", "size=1M", ";", "reset"}, &error)) {
        std::printf("FAIL the test disk driver: %s\n0 passed, 1 failed\n", error.c_str());
        return 1;
    }
    int index = 0;
    for (std::string file : std::vector<std::string>(argv + 5, argv + argc))
        for (const auto& [name, text] : sim::ScenarioCases(ReadText(file)))
            Replay(name.empty() ? file : file + ":" + name, text, ++index);
    LinkDisks({});
    Driver({"reset"}, &error);
    if (!SkipsByReason.empty()) std::printf("Skipped, by reason:\n");
    for (const auto& [reason, files] : SkipsByReason) {
        std::printf("  %zu: %s\n", files.size(), reason.c_str());
        for (const std::string& file : files) std::printf("      %s\n", fs::path(file).filename().c_str());
    }
    std::printf("%d passed, %d failed, %d skipped\n", Ran, Failed, Skipped);
    return Failed == 0 ? 0 : 1;
}
