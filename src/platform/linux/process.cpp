// The process on Linux: the command line built from the arguments, the end of
// the process, the last error, time, the library calls that have nothing to bind
// here, and the control events: SIGINT, SIGQUIT, SIGHUP and SIGTERM, taken by a
// thread of their own with sigwait and handed to the program's handler on a new
// thread each, as Windows does; never inside a signal handler.
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "platform/linux/internal.h"

namespace lin {
namespace {

__thread DWORD LastError;

int ArgumentCount;
char** Arguments;
char CommandLine[1024];
bool CommandLineBuilt;

PHANDLER_ROUTINE Handler;
bool SignalThreadStarted;

bool NeedsQuotes(const char* word) {
    if (word[0] == 0) return true;
    for (const char* p = word; *p != 0; ++p)
        if (*p == ' ' || *p == '\t') return true;
    return false;
}

// A disk argument that is a device path becomes the number of the disk it
// names; one that names no disk, the number that stands for it.
const char* DiskArgumentWord(const char* word, char* number, int capacity) {
    if (word[0] != '/') return word;
    struct stat status;
    int disk = -1;
    if (stat(word, &status) == 0 && S_ISBLK(status.st_mode)) {
        DWORD partition = 0;
        disk = DiskNumberOfDevice(status.st_rdev, &partition);
        if (partition != 0) disk = -1;
    }
    if (disk < 0) disk = RememberUnknownPath(word);
    number[0] = 0;
    AppendNumber(number, capacity, static_cast<unsigned long long>(disk));
    return number;
}

// The words joined by blanks, as Windows hands a command line over; a word with
// blanks is quoted. A line too long for the buffer stops there, which the
// program's own limit refuses all the same.
void BuildCommandLine() {
    char number[24];
    CommandLine[0] = 0;
    for (int i = 0; i < ArgumentCount; ++i) {
        const char* word = i == 1 ? DiskArgumentWord(Arguments[i], number, sizeof number) : Arguments[i];
        bool quoted = NeedsQuotes(word);
        if ((i > 0 && !Append(CommandLine, sizeof CommandLine, " ")) ||
            (quoted && !Append(CommandLine, sizeof CommandLine, "\"")) ||
            !Append(CommandLine, sizeof CommandLine, word) ||
            (quoted && !Append(CommandLine, sizeof CommandLine, "\"")))
            return;
    }
}

sigset_t ControlSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    return set;
}

DWORD ControlTypeOf(int signal) {
    switch (signal) {
        case SIGINT:
            return CTRL_C_EVENT;
        case SIGQUIT:
            return CTRL_BREAK_EVENT;
        case SIGHUP:
            return CTRL_CLOSE_EVENT;
        default:
            return CTRL_SHUTDOWN_EVENT;
    }
}

void* RunHandler(void* type) {
    PHANDLER_ROUTINE handler = __atomic_load_n(&Handler, __ATOMIC_ACQUIRE);
    if (handler != nullptr) handler(static_cast<DWORD>(reinterpret_cast<uintptr_t>(type)));
    return nullptr;
}

void* WaitForSignals(void*) {
    sigset_t set = ControlSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        void* type = reinterpret_cast<void*>(static_cast<uintptr_t>(ControlTypeOf(signal)));
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        // Without a thread of its own the event is handled on this one.
        if (pthread_create(&thread, &attributes, RunHandler, type) != 0) RunHandler(type);
        pthread_attr_destroy(&attributes);
    }
    return nullptr;
}

}  // namespace

BOOL Fail(DWORD error) {
    LastError = error;
    return FALSE;
}

void SetArguments(int count, char** words) {
    ArgumentCount = count;
    Arguments = words;
}

}  // namespace lin

using namespace lin;

namespace win {
extern "C" {

char* GetCommandLineA() {
    if (!CommandLineBuilt) {
        BuildCommandLine();
        CommandLineBuilt = true;
    }
    return CommandLine;
}

void ExitProcess(UINT exitCode) { _exit(static_cast<int>(exitCode)); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

// No libraries to bind or harden on Linux: every lookup finds nothing.
HMODULE GetModuleHandleA(const char*) {
    LastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

FARPROC GetProcAddress(HMODULE, const char*) {
    LastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

HMODULE LoadLibraryExA(const char*, HANDLE, DWORD) {
    LastError = ERROR_MOD_NOT_FOUND;
    return nullptr;
}

UINT GetSystemDirectoryA(char*, UINT) {
    LastError = ERROR_PATH_NOT_FOUND;
    return 0;
}

// There is no system folder to move to: the working directory stays.
BOOL SetCurrentDirectoryA(const char*) { return TRUE; }

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD code) { LastError = code; }

DWORD GetTickCount() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<unsigned long long>(now.tv_sec) * 1000 +
                              static_cast<unsigned long long>(now.tv_nsec) / 1000000);
}

void Sleep(DWORD milliseconds) {
    timespec left = {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// No speaker to sound.
BOOL Beep(DWORD, DWORD) { return TRUE; }

void DebugBreak() { __builtin_trap(); }

// The first handler blocks the control signals in the process (threads started
// later inherit that) and starts the thread that waits for them. Until then a
// signal ends the process, as a control event does on Windows before a handler.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    if (!add) {
        __atomic_store_n(&Handler, nullptr, __ATOMIC_RELEASE);
        return TRUE;
    }
    __atomic_store_n(&Handler, handler, __ATOMIC_RELEASE);
    if (SignalThreadStarted) return TRUE;
    sigset_t set = ControlSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    pthread_t thread;
    if (pthread_create(&thread, nullptr, WaitForSignals, nullptr) != 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    pthread_detach(thread);
    SignalThreadStarted = true;
    return TRUE;
}

}  // extern "C"
}  // namespace win
