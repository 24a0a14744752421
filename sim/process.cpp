// The process on the simulated machine: its threads (one runs at a time,
// handing over at Sleep), the record, virtual time, control events, the
// library search calls, and the machine's start and end.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/internal.h"

namespace sim {

Machine* M = nullptr;
thread_local DWORD LastError = 0;

namespace {

std::mutex BatonLock;
std::condition_variable BatonMoved;
int Baton = 0;
int NextThreadId = 1;
std::vector<int> LiveThreads = {0};
std::vector<int> BlockedThreads;
thread_local int Self = 0;

std::mutex CallLock;
thread_local int CallDepth = 0;
std::vector<std::thread> HandlerThreads;

bool Free() { return M->Cfg.FreeThreads; }

int NextRunnable(int after) {
    std::vector<int> runnable;
    for (int id : LiveThreads)
        if (std::find(BlockedThreads.begin(), BlockedThreads.end(), id) == BlockedThreads.end()) runnable.push_back(id);
    if (runnable.empty()) return -1;
    for (int id : runnable)
        if (id > after) return id;
    return runnable.front();
}

// Gives the baton to the next runnable thread after `after`; a machine where
// every thread waits for ever has hung. Called with the lock held.
void HandOn(std::unique_lock<std::mutex>& lock, int after) {
    int next = NextRunnable(after);
    if (next < 0) {
        M->Rec.Hang = true;
        M->Rec.HangReason = "every thread waits for something that never comes";
        lock.unlock();
        EndProcess();
    }
    Baton = next;
    BatonMoved.notify_all();
}

// Hands the baton on and waits until it comes back. Called with the lock held.
void PassBaton(std::unique_lock<std::mutex>& lock) {
    HandOn(lock, Self);
    BatonMoved.wait(lock, [] { return Baton == Self; });
}

void CheckTickEvents() {
    if (Self != 0) return;
    for (ControlEvent& event : M->Cfg.Control) {
        if (event.Fired || event.AtTick < 0 || M->TickNow < static_cast<uint32_t>(event.AtTick)) continue;
        event.Fired = true;
        FireControlEvent(event);
    }
}

uint32_t RealTick() {
    auto elapsed = std::chrono::steady_clock::now() - M->RealStart;
    return M->Cfg.StartTick +
           static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

BOOL SetDefaultDllDirectoriesSim(DWORD flags) {
    bool works = M->Cfg.DefaultDirs == Presence::Works;
    Event("SetDefaultDllDirectories " + Hex(flags) + (works ? " -> 1" : " -> 0"));
    return works ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL SetDllDirectoryASim(const char* path) {
    Event(std::string("SetDllDirectoryA \"") + path + "\"");
    return TRUE;
}

}  // namespace

CallGuard::CallGuard() {
    if (Free() && CallDepth++ == 0) CallLock.lock();
}

CallGuard::~CallGuard() {
    if (Free() && --CallDepth == 0) CallLock.unlock();
}

void Yield() {
    if (Free()) return;
    std::unique_lock<std::mutex> lock(BatonLock);
    PassBaton(lock);
}

void BlockForever() {
    std::unique_lock<std::mutex> lock(BatonLock);
    BlockedThreads.push_back(Self);
    PassBaton(lock);
}

void Event(const std::string& text) {
    if (!M->Cfg.Record) return;
    M->Rec.Events.push_back(text);
    if (Self != 0) return;
    for (ControlEvent& event : M->Cfg.Control) {
        if (event.Fired || event.CallText.empty() || text.find(event.CallText) == std::string::npos) continue;
        if (++event.Seen < event.CallIndex) continue;
        event.Fired = true;
        FireControlEvent(event);
    }
}

DWORD InjectedError(const std::string& call) {
    DWORD error = 0;
    for (FailRule& rule : M->Cfg.Fails) {
        if (call.find(rule.Text) == std::string::npos) continue;
        ++rule.Seen;
        if (error == 0 && (rule.Seen == rule.Nth || (rule.Persist && rule.Seen > rule.Nth))) error = rule.Error;
    }
    return error;
}

bool FailsEveryCall(const Config& config, const std::string& text) {
    for (const FailRule& rule : config.Fails)
        if (rule.Persist && rule.Nth == 1 && text.find(rule.Text) != std::string::npos) return true;
    return false;
}

BOOL Fail(DWORD error) {
    LastError = error;
    return FALSE;
}

[[noreturn]] void EndProcess() {
    if (M->End) M->End();
    std::fflush(nullptr);
    _exit(M->Rec.Hang ? 3 : 0);
}

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void Bind(const char* library) {
    for (const std::string& name : M->Bound)
        if (name == library) return;
    M->Bound.push_back(library);
    Event(std::string("bind ") + library);
}

void AdvanceMicros(uint64_t micros) {
    if (M->Cfg.RealTime) {
        // A request in progress does not keep the other threads out of the machine.
        bool held = Free() && CallDepth > 0;
        if (held) CallLock.unlock();
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
        if (held) CallLock.lock();
        return;
    }
    uint64_t total = M->MicroCarry + micros;
    M->TickNow += static_cast<uint32_t>(total / 1000);
    M->MicroCarry = total % 1000;
    CheckTickEvents();
}

// The system starts the handler on a thread of its own; the event's call
// waits until the handler has run up to its first hand-over.
void FireControlEvent(const ControlEvent& event) {
    M->Rec.Events.push_back("control event " + std::to_string(event.Type));
    if (M->CtrlHandler == nullptr) {
        // The system's default handling ends the process.
        M->Rec.Events.push_back("process ended by the control event");
        M->Rec.ExitCode = 0xC000013A;
        M->Rec.Exited = true;
        M->Rec.EndedByEvent = true;
        EndProcess();
    }
    PHANDLER_ROUTINE handler = M->CtrlHandler;
    DWORD type = event.Type;
    if (Free()) {
        HandlerThreads.emplace_back([handler, type] {
            BOOL result = handler(type);
            CallGuard guard;
            M->Rec.Events.push_back("control handler returned " + std::to_string(result));
        });
        return;
    }
    std::unique_lock<std::mutex> lock(BatonLock);
    int id = NextThreadId++;
    LiveThreads.push_back(id);
    std::thread([handler, type, id] {
        {
            std::unique_lock<std::mutex> wait(BatonLock);
            Self = id;
            BatonMoved.wait(wait, [id] { return Baton == id; });
        }
        BOOL result = handler(type);
        std::unique_lock<std::mutex> done(BatonLock);
        M->Rec.Events.push_back("control handler returned " + std::to_string(result));
        LiveThreads.erase(std::find(LiveThreads.begin(), LiveThreads.end(), id));
        HandOn(done, id);
    }).detach();
    Baton = id;
    BatonMoved.notify_all();
    BatonMoved.wait(lock, [] { return Baton == Self; });
}

bool RaiseControlEvent(uint32_t type) {
    CallGuard guard;
    if (M->CtrlHandler == nullptr) return false;
    ControlEvent event;
    event.Type = type;
    FireControlEvent(event);
    return true;
}

void JoinHandlerThreads() {
    for (;;) {
        std::thread next;
        {
            CallGuard guard;
            if (HandlerThreads.empty()) return;
            next = std::move(HandlerThreads.back());
            HandlerThreads.pop_back();
        }
        next.join();
    }
}

Machine::~Machine() {
    for (const Reservation& r : Reservations) munmap(r.Base, r.Size);
    for (void* block : HeapBlocks) std::free(block);
}

void Boot(const Config& config) {
    delete M;  // a test may boot several machines in turn
    M = new Machine();
    M->Cfg = config;
    if (config.FreeThreads) M->Cfg.RealTime = true;
    M->TickNow = config.StartTick;
    M->RealStart = std::chrono::steady_clock::now();
    PlaceScreenText();
}

const Config& CurrentConfig() { return M->Cfg; }
Record& CurrentRecord() { return M->Rec; }
uint32_t Tick() { return M->Cfg.RealTime ? RealTick() : M->TickNow; }
void OnEnd(std::function<void()> end) { M->End = std::move(end); }
void SetCommandLine(const std::string& text) { M->Cfg.CommandLine = text; }

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

char* GetCommandLineA() { return M->Cfg.CommandLine.data(); }

void ExitProcess(UINT exitCode) {
    CallGuard guard;
    Event("ExitProcess " + std::to_string(exitCode));
    M->Rec.ExitCode = exitCode;
    M->Rec.Exited = true;
    EndProcess();
}

DWORD GetCurrentProcessId() { return kProcessId; }

HMODULE GetModuleHandleA(const char* name) {
    CallGuard guard;
    return Lower(name) == "kernel32.dll" ? reinterpret_cast<HMODULE>(0x7FF0000) : nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    CallGuard guard;
    if (module != reinterpret_cast<HMODULE>(0x7FF0000)) return nullptr;
    std::string procedure = name;
    if (procedure == "SetDefaultDllDirectories" && M->Cfg.DefaultDirs != Presence::Absent)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDefaultDllDirectoriesSim));
    if (procedure == "SetDllDirectoryA" && M->Cfg.SetDllDirectory)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDllDirectoryASim));
    return nullptr;
}

HMODULE LoadLibraryExA(const char* name, HANDLE, DWORD flags) {
    CallGuard guard;
    Event(std::string("LoadLibraryExA ") + name + " " + Hex(flags));
    return nullptr;
}

UINT GetSystemDirectoryA(char* buffer, UINT size) {
    const char path[] = "C:\\Windows\\System32";
    if (size < sizeof path) return sizeof path;
    std::memcpy(buffer, path, sizeof path);
    return sizeof path - 1;
}

BOOL SetCurrentDirectoryA(const char* path) {
    CallGuard guard;
    Event(std::string("SetCurrentDirectoryA ") + path);
    return TRUE;
}

DWORD GetLastError() { return LastError; }
void SetLastError(DWORD code) { LastError = code; }
DWORD GetTickCount() { return Tick(); }

void Sleep(DWORD milliseconds) {
    if (++M->SleepCalls > 2000000) {
        M->Rec.Hang = true;
        M->Rec.HangReason = "still sleeping after two million naps";
        EndProcess();
    }
    if (M->Cfg.RealTime)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    else
        AdvanceMicros(static_cast<uint64_t>(milliseconds) * 1000);
    Yield();
}

BOOL Beep(DWORD frequency, DWORD duration) {
    CallGuard guard;
    Event("Beep " + std::to_string(frequency) + " " + std::to_string(duration));
    return TRUE;
}

void DebugBreak() {
    CallGuard guard;
    Event("DebugBreak");
    M->Rec.Abnormal = true;
    EndProcess();
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    CallGuard guard;
    Event("SetConsoleCtrlHandler " + std::to_string(add));
    if (add) M->CtrlHandler = handler;
    return TRUE;
}

}  // extern "C"
}  // namespace win
