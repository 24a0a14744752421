// What the models of the simulated machine share: the machine's state, its
// handles, the record and the one way a call is made to fail. Private to sim/.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "sim/machine.h"

namespace sim {

using namespace win;

constexpr DWORD kProcessId = 4242;
constexpr DWORD kShellProcessId = 1000;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_NOACCESS = 998;

// Every access right that lets a handle change what it opens.
constexpr DWORD kWriteAccess = 0x40000000u /* GENERIC_WRITE */ | 0x10000000u /* GENERIC_ALL */ |
                               0x02000000u /* MAXIMUM_ALLOWED */ | 0x00000002u /* FILE_WRITE_DATA */ |
                               0x00000004u /* FILE_APPEND_DATA */ | 0x00000010u /* FILE_WRITE_EA */ |
                               0x00000100u /* FILE_WRITE_ATTRIBUTES */ | 0x00010000u /* DELETE */ |
                               0x00040000u /* WRITE_DAC */ | 0x00080000u /* WRITE_OWNER */;

enum class Kind { Disk, Volume, Letter, VolumeSearch, DeviceSet };

// One handle the program holds. Which fields mean something depends on `What`.
struct Object {
    Kind What = Kind::Disk;
    std::string Name;
    bool Open = true;
    DWORD Access = 0;          // Disk, Volume, Letter: the access asked for at the open
    bool NoBuffering = false;  // Disk
    uint64_t Position = 0;     // Disk: the file position
    size_t Disk = 0;           // Disk: index into Config::Disks
    size_t Volume = 0;         // Volume: index into Config::Volumes
    char DriveLetter = 0;      // Letter: a drive letter with no volume of the machine's own
    size_t NextVolume = 1;     // VolumeSearch: the next name FindNextVolumeA gives
    bool Walked = false;       // DeviceSet: walked to its end once, so late interfaces show
};

struct Reservation {
    BYTE* Base = nullptr;
    uint64_t Size = 0;
    uint64_t Committed = 0;
};

struct Cell {
    char Ch = ' ';
    WORD Attr = 7;
};

struct Machine {
    Config Cfg;
    Record Rec;
    std::map<uintptr_t, Object> Handles;
    uintptr_t NextHandle = 0x100;
    std::vector<Reservation> Reservations;
    std::set<void*> HeapBlocks;
    std::vector<Cell> Screen;
    int CursorX = 0;
    int CursorY = 0;
    std::vector<INPUT_RECORD> Queue;
    std::vector<INPUT_RECORD> Later;
    uint32_t TickNow = 0;
    uint64_t MicroCarry = 0;
    PHANDLER_ROUTINE CtrlHandler = nullptr;
    int Allocs = 0;
    int Frees = 0;
    bool HeapCorrupt = false;
    std::map<size_t, uint64_t> ReadCounts;
    std::vector<std::string> Bound;
    std::atomic<uint64_t> SleepCalls = 0;
    std::function<void()> End;
    std::chrono::steady_clock::time_point RealStart;
    ~Machine();  // gives the reservations and heap blocks back
};

extern Machine* M;
extern thread_local DWORD LastError;

// ---- process: threads, record, time -----------------------------------------

// Held for the length of every modelled call while threads run at once
// (Config::FreeThreads), so the machine's own state is used by one at a time.
struct CallGuard {
    CallGuard();
    ~CallGuard();
    CallGuard(const CallGuard&) = delete;
    CallGuard& operator=(const CallGuard&) = delete;
};

// Records one significant call; control events due at this call run before it returns.
void Event(const std::string& text);
// The error a `fail at` rule gives the call about to be recorded as `call`, or 0.
// Every call that can fail on purpose asks this once, before it does its work.
DWORD InjectedError(const std::string& call);
BOOL Fail(DWORD error);
// Lets the other threads run, at a point where Windows could switch threads too.
void Yield();
// Blocks the calling thread for good: only the other threads may still run.
void BlockForever();
[[noreturn]] void EndProcess();
void AdvanceMicros(uint64_t micros);
void FireControlEvent(const ControlEvent& event);
std::string Hex(uint64_t value);
std::string Lower(std::string text);
// Once per library, the first time one of its functions is called.
void Bind(const char* library);

// ---- handles ----------------------------------------------------------------

HANDLE NewHandle(const Object& object);
// The open object behind a handle, or none.
Object* Find(HANDLE handle);

// ---- storage and volumes ----------------------------------------------------

Disk& DiskOf(const Object& object);
int FindDisk(int number);
// Counts a write to a disk or volume, which no scenario allows.
void CountWrite(const std::string& what);
// A request the machine does not model: a write when its code asks for write
// access, otherwise a gap in the model that fails the scenario.
BOOL UnknownRequest(const Object& object, DWORD code);
BOOL DiskControl(Object& object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
BOOL VolumeControl(Object& object, DWORD code, void* out, DWORD outSize, DWORD* returned);
// Opens a volume by its name or a drive letter by "\\.\X:"; false when `path` names neither.
bool OpenVolume(const std::string& path, DWORD access, Object* object, DWORD* error);
// Opens a disk interface path; false when `path` names none.
bool OpenInterface(const std::string& path, Object* object, DWORD* error);
bool VolumeNameMatches(const std::string& name, const std::string& path);

// ---- console ----------------------------------------------------------------

// The standard handle's kind and which one it is (0 input, 1 output, 2 error);
// Closed when `handle` is none of them.
StdKind KindOfStd(HANDLE handle, int* which);
// Text written to standard output or error: recorded, and shown on the console's screen.
BOOL WriteStd(int which, StdKind kind, const char* text, DWORD length);
void PlaceScreenText();

// ---- memory ------------------------------------------------------------------

// A committed range of a reservation, or memory the machine does not manage.
bool Writable(const void* buffer, uint64_t length);

// ---- text --------------------------------------------------------------------

char UpperAnsi(char c);

}  // namespace sim
