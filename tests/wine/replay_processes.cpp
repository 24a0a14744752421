// Running Wine programs with their output in files or pipes, and the test disk
// driver's control program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "tests/wine/replay.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace replay {
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

fs::path DosDevices() { return fs::path(std::getenv("WINEPREFIX")) / "dosdevices"; }

}  // namespace

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

RunResult Run(const std::vector<std::string>& argv, sim::StdKind outKind, sim::StdKind errKind, const std::string& base,
              const Environment& env, const std::vector<std::string>& companion) {
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

RunResult RunQuiet(const std::vector<std::string>& argv) {
    return Run(argv, sim::StdKind::Pipe, sim::StdKind::Pipe, "");
}

std::string WinPath(const std::string& unixPath) {
    std::string path = "Z:" + fs::absolute(unixPath).lexically_normal().string();
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

bool Control(const std::vector<std::string>& words, std::string* output, std::string* error) {
    std::vector<std::string> argv = {"wine", Opt.TestDisk + "/testdiskctl.exe"};
    argv.insert(argv.end(), words.begin(), words.end());
    RunResult r = RunQuiet(argv);
    if (output) *output = r.Stdout;
    if (r.Exit != 0 && error) *error = "testdiskctl " + words[0] + ": " + r.End + " " + r.Stderr;
    return r.Exit == 0;
}

void RemoveDiskLinks() {
    std::vector<fs::path> links;
    for (const auto& entry : fs::directory_iterator(DosDevices()))
        if (entry.path().filename().string().rfind("physicaldrive", 0) == 0) links.push_back(entry.path());
    for (const fs::path& link : links) fs::remove(link);
}

void DenyOpens(int disk) {
    fs::path denied = fs::path(std::getenv("WINEPREFIX")) / "testdisk-denied";
    std::error_code ignored;
    fs::create_directories(denied, ignored);
    fs::create_directory_symlink(denied, DosDevices() / ("physicaldrive" + std::to_string(disk)), ignored);
}

Stats ParseStats(const std::string& text) {
    static const std::regex counter(R"(([^\s=]+)=(\d+))");
    Stats stats;
    for (std::sregex_iterator it(text.begin(), text.end(), counter), end; it != end; ++it)
        stats[(*it)[1]] = std::stoull((*it)[2]);
    return stats;
}

}  // namespace replay
