// The simulated Windows machine: what a scenario configures, and what the
// program did on it. Host only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sim/disk_answers.h"
#include "sim/escape.h"

namespace sim {

enum class StdKind { Console, File, Pipe, Nul, Closed };
enum class Answer { Ok, Fail, Zero, Short };  // Short: success, and no byte of the reply written
enum class Window { Own, Shell, None };
enum class Prediction { No, Yes, Unsupported };
enum class PowerState { Awake, Asleep, Unsupported };
enum class Presence { Works, Fails, Absent };

struct Range {
    uint64_t Start = 0;
    uint64_t Length = 0;
    bool Overlaps(uint64_t start, uint64_t length) const { return start < Start + Length && Start < start + length; }
};

// An answer a scenario may vary (sim/disk_answers.h): the true one, zero, or a failure with Error.
struct Reply {
    Answer Mode = Answer::Ok;
    uint32_t Error = 0;
};
#define SIM_DEFAULT_REPLY(name, key, request, zero, error) {Answer::Ok, error},

struct Fault {
    bool Verify = false;
    bool Read = false;
    Range Where;
    uint32_t Error = 0;
};

struct Disk {
    int Number = 0;
    uint64_t Size = 0;
    uint32_t Sector = 512;
    bool ReadOpen = true;   // an open with read access is granted
    bool QueryOpen = true;  // an open with no access rights is granted
    uint32_t OpenError = 5;
    Reply Answers[DISK_ANSWER_COUNT] = {DISK_ANSWERS(SIM_DEFAULT_REPLY)};  // by enum disk_answer
    Prediction Predict = Prediction::No;
    uint32_t Bus = 11;
    std::string Vendor;
    std::string Product;
    int64_t VendorOffset = -1;  // -1: where the machine puts the text
    int64_t ProductOffset = -1;
    int64_t DescriptorSize = -1;
    PowerState Power = PowerState::Awake;
    uint32_t LatencyMs = 0;
    uint64_t BytesPerMs = 0;    // 0: requests cost no time
    int64_t DeviceNumber = -1;  // answer to the device number request; -1: Number
    bool NumberRefused = false;
    uint64_t Seed = 0x5EC7025EEFULL;
    // The device path a platform other than Windows gives the disk (PlatformDiskPath);
    // empty, as on Windows: the number is the disk's only name.
    std::string PlatformPath;
    std::vector<Fault> Faults;
    std::vector<Range> Flaky;
    std::vector<uint64_t> ShortAt;
    std::vector<std::pair<Range, uint32_t>> Slow;  // a request over the range costs this many ms more
};

// What a volume's or letter's device answers to IOCTL_STORAGE_GET_DEVICE_NUMBER
// as its DeviceType: FILE_DEVICE_DISK (7), FILE_DEVICE_CD_ROM (2), ...
constexpr uint32_t kDeviceTypeDisk = 7;

struct Volume {
    std::string Name;   // "\\?\Volume{...}\"
    uint32_t Type = 3;  // GetDriveTypeA's answer for the volume and its letter
    uint32_t DeviceType = kDeviceTypeDisk;
    int DiskNumber = -1;
    char Letter = 0;
    std::vector<std::string> Mounts;
    bool OpenFails = false;
    bool LockFails = false;
    bool UnlockFails = false;
    bool NumberRefused = false;
};

struct Interface {
    std::string Path;
    int DiskNumber = -1;
    bool Late = false;  // appears only once the interfaces have been counted
    bool DetailFails = false;
};

struct InputEvent {
    uint16_t Type = 1;
    bool KeyDown = true;
    uint16_t Key = 0;
    bool Later = false;  // arrives, with the other later ones, after the prompt has flushed the queue
};

struct ControlEvent {
    uint32_t Type = 0;
    std::string CallText;  // fires inside the Nth call whose record holds this text
    int CallIndex = 1;
    int64_t AtTick = -1;  // or at the first call that sees this tick
    bool Fired = false;
    int Seen = 0;
};

// A bare drive letter: a device with no volume of the machine's own.
struct Letter {
    int DiskNumber = -1;
    uint32_t Type = 3;
    uint32_t DeviceType = kDeviceTypeDisk;
    std::string Target;  // its DOS device target; empty: a volume device's name
};

// Fail-on-the-Nth-call injection: the Nth call whose record line holds Text
// fails with Error, and with Persist every later such call too.
struct FailRule {
    std::string Text;
    int Nth = 1;
    uint32_t Error = 0;
    bool Persist = false;
    int Seen = 0;
};

// The calls whose failure on every call the Wine replay's test disk can stand in for.
constexpr const char* kSetupFailsText = "SetupDiGetClassDevsA";
constexpr const char* kVolumeSearchFailsText = "FindFirstVolumeA";

struct Config {
    std::string CommandLine = "sectorsweep.exe";
    StdKind Stdout = StdKind::Console;
    StdKind Stderr = StdKind::Console;
    bool StdinConsole = true;
    int Width = 80;
    int Rows = 25;
    Window ConsoleWindow = Window::Shell;
    uint32_t StartTick = 1000000;
    bool RealTime = false;
    // Threads run at once on real time, as on Windows, instead of handing over
    // at Sleep: for races, not for exact bytes. Implies RealTime.
    bool FreeThreads = false;
    bool Echo = false;   // mirror standard output and error to the host's
    bool Record = true;  // keep the record of calls and output (benchmarks turn it off)
    Presence DefaultDirs = Presence::Works;
    bool SetDllDirectory = true;
    int HeapCorruptAfterAlloc = 0;  // the Nth allocation finds the heap corrupt
    int HeapCorruptBeforeFree = 0;  // the Nth free finds it corrupt
    std::vector<FailRule> Fails;
    std::vector<Disk> Disks;
    std::vector<Volume> Volumes;
    std::vector<Interface> Interfaces;
    std::map<char, Letter> Letters;
    std::vector<InputEvent> Input;
    std::vector<ControlEvent> Control;
    std::vector<std::pair<uint64_t, std::string>> ScreenText;  // rows shown before the program starts
};

// What the program did.
struct Record {
    std::vector<std::string> Events;
    std::string Stdout;
    std::string Stderr;
    uint32_t ExitCode = 0;
    bool Exited = false;
    bool Abnormal = false;
    bool Hang = false;
    bool EndedByEvent = false;  // the system's default handling of a control event
    std::string HangReason;
    int DiskWrites = 0;                   // writes, and opens with write access, to disks and volumes
    std::vector<std::string> Unmodelled;  // requests the machine does not model
};

// Whether a fail rule makes every call holding `text` fail, from the first on.
bool FailsEveryCall(const Config& config, const std::string& text);

// Sets up a fresh machine; the program may run on it once.
void Boot(const Config& config);
const Config& CurrentConfig();
Record& CurrentRecord();
std::vector<std::string> ScreenRows();  // rows with trailing blanks removed
std::pair<int, int> Cursor();
uint32_t Tick();
// Replaces the text GetCommandLineA returns.
void SetCommandLine(const std::string& text);
// Disk and volume handles the program has not closed.
int OpenDevices();
// Heap blocks the program has not freed.
size_t LiveHeapBlocks();

// On a machine with free threads: delivers a control event as the system does,
// on a thread of its own; false while the program has no handler installed.
bool RaiseControlEvent(uint32_t type);
// Waits for every control handler thread to return.
void JoinHandlerThreads();

// Called once the program has ended (exit, abnormal end or hang); the runner
// installs it to check and report. It must not return.
void OnEnd(std::function<void()> end);

}  // namespace sim
