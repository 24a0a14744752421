// The simulated Windows machine: the Win32 subset of src/platform/win32.h,
// modelled as the program expects each call to behave, on virtual time.
#include "sim/machine.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/win32.h"
#include "sim/format/wsprintf.h"

using namespace win;

namespace sim {

std::string Escape(const void* data, size_t length, bool breakLines) {
    std::string out;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = p[i];
        if (c == '\r')
            out += "\\r";
        else if (c == '\n')
            out += breakLines ? "\\n\n" : "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c < 0x20 || c >= 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

constexpr DWORD kProcessId = 4242;
constexpr DWORD kShellProcessId = 1000;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;

enum class Kind { Std, Disk, Volume, VolumeSearch, DeviceSet };

struct Object {
    Kind What = Kind::Std;
    int Index = 0;  // disk or volume index; for standard handles 0, 1, 2
    std::string Name;
    DWORD Access = 0;
    bool NoBuffering = false;
    uint64_t Position = 0;
    bool Open = true;
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
    int Reserves = 0;
    int Commits = 0;
    bool HeapCorrupt = false;
    std::map<int, uint64_t> ReadCounts;
    std::vector<std::string> Bound;
    uint64_t SleepCalls = 0;
    std::function<void()> End;
    std::chrono::steady_clock::time_point RealStart;
};

Machine* M = nullptr;
thread_local DWORD LastError = 0;

// ---- threads: one runs at a time, handing over at Sleep -------------------

std::mutex BatonLock;
std::condition_variable BatonMoved;
int Baton = 0;
int NextThreadId = 1;
std::vector<int> LiveThreads = {0};
std::vector<int> BlockedThreads;
thread_local int Self = 0;

[[noreturn]] void EndProcess();

int NextRunnable(int after) {
    std::vector<int> runnable;
    for (int id : LiveThreads)
        if (std::find(BlockedThreads.begin(), BlockedThreads.end(), id) == BlockedThreads.end()) runnable.push_back(id);
    if (runnable.empty()) return -1;
    for (int id : runnable)
        if (id > after) return id;
    return runnable.front();
}

// Hands the baton on and waits until it comes back. Called with the lock held.
void PassBaton(std::unique_lock<std::mutex>& lock) {
    int next = NextRunnable(Self);
    if (next < 0) {
        M->Rec.Hang = true;
        M->Rec.HangReason = "every thread waits for something that never comes";
        lock.unlock();
        EndProcess();
    }
    Baton = next;
    BatonMoved.notify_all();
    BatonMoved.wait(lock, [] { return Baton == Self; });
}

void Yield() {
    std::unique_lock<std::mutex> lock(BatonLock);
    PassBaton(lock);
}

// ---- record ----------------------------------------------------------------

std::string Hex(uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

void FireControlEvent(const ControlEvent& event);

// Records one significant call; control events due at this call run before it returns.
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

void CheckTickEvents() {
    if (Self != 0) return;
    for (ControlEvent& event : M->Cfg.Control) {
        if (event.Fired || event.AtTick < 0 || M->TickNow < static_cast<uint32_t>(event.AtTick)) continue;
        event.Fired = true;
        FireControlEvent(event);
    }
}

[[noreturn]] void EndProcess() {
    if (M->End) M->End();
    std::fflush(nullptr);
    _exit(M->Rec.Hang ? 3 : 0);
}

// ---- time -------------------------------------------------------------------

uint32_t RealTick() {
    auto elapsed = std::chrono::steady_clock::now() - M->RealStart;
    return M->Cfg.StartTick +
           static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

void AdvanceMicros(uint64_t micros) {
    if (M->Cfg.RealTime) {
        std::this_thread::sleep_for(std::chrono::microseconds(micros));
        return;
    }
    uint64_t total = M->MicroCarry + micros;
    M->TickNow += static_cast<uint32_t>(total / 1000);
    M->MicroCarry = total % 1000;
    CheckTickEvents();
}

// ---- console screen -----------------------------------------------------------

Cell& At(int x, int y) { return M->Screen[static_cast<size_t>(y * M->Cfg.Width + x)]; }

void NewLine() {
    M->CursorX = 0;
    if (++M->CursorY < M->Cfg.Rows) return;
    M->Screen.erase(M->Screen.begin(), M->Screen.begin() + M->Cfg.Width);
    M->Screen.resize(static_cast<size_t>(M->Cfg.Width * M->Cfg.Rows));
    M->CursorY = M->Cfg.Rows - 1;
}

void ConsoleWrite(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\r') {
            M->CursorX = 0;
        } else if (c == '\n') {
            NewLine();
        } else {
            At(M->CursorX, M->CursorY).Ch = c;
            if (++M->CursorX == M->Cfg.Width) NewLine();
        }
    }
}

// ---- handles ------------------------------------------------------------------

HANDLE NewHandle(const Object& object) {
    uintptr_t id = M->NextHandle;
    M->NextHandle += 4;
    M->Handles[id] = object;
    return reinterpret_cast<HANDLE>(id);
}

Object* Find(HANDLE handle) {
    auto it = M->Handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == M->Handles.end() || !it->second.Open) return nullptr;
    return &it->second;
}

HANDLE StdHandle(int which) {
    StdKind kind = which == 0   ? (M->Cfg.StdinConsole ? StdKind::Console : StdKind::File)
                   : which == 1 ? M->Cfg.Stdout
                                : M->Cfg.Stderr;
    if (kind == StdKind::Closed) return nullptr;
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x10 + 4 * which));
}

StdKind KindOfStd(HANDLE handle, int* which) {
    uintptr_t id = reinterpret_cast<uintptr_t>(handle);
    if (id != 0x10 && id != 0x14 && id != 0x18) return StdKind::Closed;
    *which = static_cast<int>((id - 0x10) / 4);
    if (*which == 0) return M->Cfg.StdinConsole ? StdKind::Console : StdKind::File;
    return *which == 1 ? M->Cfg.Stdout : M->Cfg.Stderr;
}

Disk* DiskOf(const Object& object) { return &M->Cfg.Disks[static_cast<size_t>(object.Index)]; }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int FindDisk(int number) {
    for (size_t i = 0; i < M->Cfg.Disks.size(); ++i)
        if (M->Cfg.Disks[i].Number == number) return static_cast<int>(i);
    return -1;
}

// The disk number a device answers with, or -1 when it refuses.
int DeviceNumberOf(const Object& object) {
    if (object.What == Kind::Disk) {
        const Disk& disk = *DiskOf(object);
        if (disk.NumberRefused) return -1;
        return disk.DeviceNumber >= 0 ? static_cast<int>(disk.DeviceNumber) : disk.Number;
    }
    if (object.What == Kind::Volume) {
        if (object.Index >= 0) {
            const Volume& volume = M->Cfg.Volumes[static_cast<size_t>(object.Index)];
            return volume.NumberRefused ? -1 : volume.DiskNumber;
        }
        return -2 - object.Index;  // a bare drive letter: its disk, encoded in the index
    }
    return -1;
}

bool VolumeNameMatches(const std::string& name, const std::string& path) {
    std::string bare = name;
    if (!bare.empty() && bare.back() == '\\') bare.pop_back();
    return Lower(bare) == Lower(path);
}

// ---- disk data ----------------------------------------------------------------

BYTE PatternByte(const Disk& disk, uint64_t offset) {
    uint64_t word = (offset / 8) * 0x9E3779B97F4A7C15ULL ^ disk.Seed;
    return static_cast<BYTE>(word >> (8 * (offset % 8)));
}

void FillFromDisk(const Disk& disk, uint64_t offset, BYTE* out, uint64_t length, uint64_t readNumber) {
    uint64_t i = 0;
    for (; i < length && (offset + i) % 8 != 0; ++i) out[i] = PatternByte(disk, offset + i);
    for (; i + 8 <= length; i += 8) {
        uint64_t word = ((offset + i) / 8) * 0x9E3779B97F4A7C15ULL ^ disk.Seed;
        std::memcpy(out + i, &word, 8);
    }
    for (; i < length; ++i) out[i] = PatternByte(disk, offset + i);
    for (const Range& flaky : disk.Flaky) {
        if (!flaky.Overlaps(offset, length)) continue;
        uint64_t from = std::max(flaky.Start, offset);
        uint64_t to = std::min(flaky.Start + flaky.Length, offset + length);
        for (uint64_t p = from; p < to; ++p) out[p - offset] = static_cast<BYTE>(out[p - offset] + readNumber);
    }
}

void ChargeRequest(const Disk& disk, uint64_t bytes) {
    uint64_t micros = static_cast<uint64_t>(disk.LatencyMs) * 1000;
    if (disk.BytesPerMs != 0) micros += bytes * 1000 / disk.BytesPerMs;
    AdvanceMicros(micros);
}

const Fault* FaultAt(const Disk& disk, bool verify, uint64_t offset, uint64_t length) {
    for (const Fault& fault : disk.Faults)
        if ((verify ? fault.Verify : fault.Read) && fault.Where.Overlaps(offset, length)) return &fault;
    return nullptr;
}

// A committed range of a reservation, or memory the machine does not manage.
bool Writable(const void* buffer, uint64_t length) {
    const BYTE* p = static_cast<const BYTE*>(buffer);
    for (const Reservation& r : M->Reservations)
        if (p >= r.Base && p < r.Base + r.Size) return p + length <= r.Base + r.Committed;
    return buffer != nullptr;
}

BOOL Fail(DWORD error) {
    LastError = error;
    return FALSE;
}

const char* IoctlName(DWORD code) {
    switch (code) {
        case IOCTL_DISK_GET_LENGTH_INFO:
            return "IOCTL_DISK_GET_LENGTH_INFO";
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
            return "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX";
        case IOCTL_DISK_VERIFY:
            return "IOCTL_DISK_VERIFY";
        case IOCTL_STORAGE_PREDICT_FAILURE:
            return "IOCTL_STORAGE_PREDICT_FAILURE";
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return "IOCTL_STORAGE_QUERY_PROPERTY";
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            return "IOCTL_STORAGE_GET_DEVICE_NUMBER";
        case FSCTL_LOCK_VOLUME:
            return "FSCTL_LOCK_VOLUME";
        case FSCTL_UNLOCK_VOLUME:
            return "FSCTL_UNLOCK_VOLUME";
        case FSCTL_DISMOUNT_VOLUME:
            return "FSCTL_DISMOUNT_VOLUME";
        default:
            return nullptr;
    }
}

BOOL DiskControl(Object& object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    Disk& disk = *DiskOf(object);
    auto reply = [&](const void* data, DWORD size) -> BOOL {
        if (outSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(out, data, size);
        *returned = size;
        return TRUE;
    };
    switch (code) {
        case IOCTL_DISK_GET_LENGTH_INFO: {
            if ((object.Access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED);
            if (disk.Length == Answer::Fail) return Fail(disk.LengthError);
            GET_LENGTH_INFORMATION info = {disk.Length == Answer::Zero ? 0 : static_cast<LONGLONG>(disk.Size)};
            return reply(&info, sizeof info);
        }
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
            if (disk.Geometry == Answer::Fail) return Fail(disk.GeometryError);
            BYTE data[32] = {};
            DISK_GEOMETRY geometry = {static_cast<LONGLONG>(disk.Size / (255 * 63 * disk.Sector)), 12, 255, 63,
                                      disk.Sector};
            std::memcpy(data, &geometry, sizeof geometry);
            LONGLONG size = disk.Geometry == Answer::Zero ? 0 : static_cast<LONGLONG>(disk.Size);
            std::memcpy(data + 24, &size, 8);
            return reply(data, sizeof data);
        }
        case IOCTL_STORAGE_PREDICT_FAILURE: {
            if (disk.Predict < 0) return Fail(ERROR_INVALID_FUNCTION);
            STORAGE_PREDICT_FAILURE answer = {};
            answer.PredictFailure = static_cast<DWORD>(disk.Predict);
            return reply(&answer, sizeof answer);
        }
        case IOCTL_STORAGE_QUERY_PROPERTY: {
            if (disk.DescriptorFails) return Fail(ERROR_INVALID_FUNCTION);
            if (inSize < sizeof(STORAGE_PROPERTY_QUERY) || in == nullptr) return Fail(ERROR_INVALID_PARAMETER);
            std::vector<BYTE> data(1024, 0);
            auto* descriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(data.data());
            DWORD at = 40;
            descriptor->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
            descriptor->BusType = disk.Bus;
            auto place = [&](const std::string& text, int64_t wanted) -> DWORD {
                if (text.empty() && wanted < 0) return 0;
                DWORD offset = wanted >= 0 ? static_cast<DWORD>(wanted) : at;
                for (size_t i = 0; i < text.size() && offset + i < data.size(); ++i)
                    data[offset + i] = static_cast<BYTE>(text[i]);
                if (wanted < 0) at += static_cast<DWORD>(text.size()) + 1;
                return offset;
            };
            descriptor->VendorIdOffset = place(disk.Vendor, disk.VendorOffset);
            descriptor->ProductIdOffset = place(disk.Product, disk.ProductOffset);
            descriptor->Size =
                disk.DescriptorSize >= 0 ? static_cast<DWORD>(disk.DescriptorSize) : std::min<DWORD>(at, 1024);
            DWORD size = std::min<DWORD>(outSize, 1024);
            std::memcpy(out, data.data(), size);
            *returned = size;
            return TRUE;
        }
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
            int number = DeviceNumberOf(object);
            if (number < 0) return Fail(ERROR_INVALID_FUNCTION);
            STORAGE_DEVICE_NUMBER answer = {7, static_cast<DWORD>(number), 0};
            return reply(&answer, sizeof answer);
        }
        case IOCTL_DISK_VERIFY: {
            if (inSize < sizeof(VERIFY_INFORMATION) || in == nullptr) return Fail(ERROR_INVALID_PARAMETER);
            VERIFY_INFORMATION request;
            std::memcpy(&request, in, sizeof request);
            uint64_t offset = static_cast<uint64_t>(request.StartingOffset);
            if (request.StartingOffset < 0 || offset + request.Length > disk.Size) return Fail(ERROR_SECTOR_NOT_FOUND);
            ChargeRequest(disk, request.Length);
            if (const Fault* fault = FaultAt(disk, true, offset, request.Length)) return Fail(fault->Error);
            *returned = 0;
            return TRUE;
        }
        default:
            M->Rec.DiskWrites += 1;  // nothing else may be sent to a disk
            return Fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL VolumeControl(Object& object, DWORD code, void* out, DWORD outSize, DWORD* returned) {
    Volume* volume = object.Index >= 0 ? &M->Cfg.Volumes[static_cast<size_t>(object.Index)] : nullptr;
    switch (code) {
        case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
            int number = DeviceNumberOf(object);
            if (number < 0) return Fail(ERROR_INVALID_FUNCTION);
            if (outSize < sizeof(STORAGE_DEVICE_NUMBER)) return Fail(ERROR_INSUFFICIENT_BUFFER);
            STORAGE_DEVICE_NUMBER answer = {7, static_cast<DWORD>(number), 1};
            std::memcpy(out, &answer, sizeof answer);
            *returned = sizeof answer;
            return TRUE;
        }
        case FSCTL_LOCK_VOLUME:
            if (volume == nullptr || (object.Access & GENERIC_READ) == 0 || volume->LockFails)
                return Fail(ERROR_ACCESS_DENIED);
            return TRUE;
        case FSCTL_DISMOUNT_VOLUME:
            return volume != nullptr && (object.Access & GENERIC_READ) != 0 ? TRUE : Fail(ERROR_ACCESS_DENIED);
        case FSCTL_UNLOCK_VOLUME:
            if (volume == nullptr || volume->UnlockFails) return Fail(ERROR_NOT_READY);
            return TRUE;
        default:
            M->Rec.DiskWrites += 1;
            return Fail(ERROR_INVALID_FUNCTION);
    }
}

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
        int next = NextRunnable(id);
        if (next < 0) {
            M->Rec.Hang = true;
            M->Rec.HangReason = "every thread waits for something that never comes";
            done.unlock();
            EndProcess();
        }
        Baton = next;
        BatonMoved.notify_all();
    }).detach();
    Baton = id;
    BatonMoved.notify_all();
    BatonMoved.wait(lock, [] { return Baton == Self; });
}

void Bind(const char* library) {
    for (const std::string& name : M->Bound)
        if (name == library) return;
    M->Bound.push_back(library);
    Event(std::string("bind ") + library);
}

char UpperAnsi(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 'a' && u <= 'z') return static_cast<char>(u - 32);
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 32);
    if (u == 0x9A || u == 0x9C || u == 0x9E) return static_cast<char>(u - 16);
    if (u == 0xFF) return static_cast<char>(0x9F);
    return c;
}

BOOL SetDefaultDllDirectoriesSim(DWORD flags) {
    Event("SetDefaultDllDirectories " + Hex(flags) + (M->Cfg.DefaultDirs > 0 ? " -> 1" : " -> 0"));
    if (M->Cfg.DefaultDirs > 0) return TRUE;
    return Fail(ERROR_INVALID_PARAMETER);
}

BOOL SetDllDirectoryASim(const char* path) {
    Event(std::string("SetDllDirectoryA \"") + path + "\"");
    return TRUE;
}

}  // namespace

void Boot(const Config& config) {
    delete M;  // a test may boot several machines in turn
    M = new Machine();
    M->Cfg = config;
    M->TickNow = config.StartTick;
    M->RealStart = std::chrono::steady_clock::now();
    M->Screen.assign(static_cast<size_t>(config.Width * config.Rows), Cell());
    for (auto& [row, text] : config.ScreenText)
        for (size_t x = 0; x < text.size() && static_cast<int>(x) < config.Width; ++x)
            At(static_cast<int>(x), static_cast<int>(row)).Ch = text[x];
    for (const InputEvent& input : config.Input) {
        INPUT_RECORD record = {};
        record.EventType = input.Type;
        if (input.Type == KEY_EVENT) {
            record.Event.KeyEvent.bKeyDown = input.KeyDown;
            record.Event.KeyEvent.wVirtualKeyCode = input.Key;
            record.Event.KeyEvent.wRepeatCount = 1;
        }
        (input.Later ? M->Later : M->Queue).push_back(record);
    }
}

const Config& CurrentConfig() { return M->Cfg; }
Record& CurrentRecord() { return M->Rec; }
uint32_t Tick() { return M->Cfg.RealTime ? RealTick() : M->TickNow; }
void OnEnd(std::function<void()> end) { M->End = std::move(end); }

void SetCommandLine(const std::string& text) { M->Cfg.CommandLine = text; }

int OpenDevices() {
    int open = 0;
    for (const auto& [id, object] : M->Handles)
        if (object.Open && (object.What == Kind::Disk || object.What == Kind::Volume)) ++open;
    return open;
}

std::pair<int, int> Cursor() { return {M->CursorX, M->CursorY}; }

std::vector<std::string> ScreenRows() {
    std::vector<std::string> rows;
    for (int y = 0; y < M->Cfg.Rows; ++y) {
        std::string row;
        for (int x = 0; x < M->Cfg.Width; ++x) row += At(x, y).Ch;
        row.erase(row.find_last_not_of(' ') + 1);
        rows.push_back(row);
    }
    while (!rows.empty() && rows.back().empty()) rows.pop_back();
    return rows;
}

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

// ---- process, libraries, errors, time ----------------------------------------

char* GetCommandLineA() { return M->Cfg.CommandLine.data(); }

void ExitProcess(UINT exitCode) {
    Event("ExitProcess " + std::to_string(exitCode));
    M->Rec.ExitCode = exitCode;
    M->Rec.Exited = true;
    EndProcess();
}

DWORD GetCurrentProcessId() { return kProcessId; }

HMODULE GetModuleHandleA(const char* name) {
    return Lower(name) == "kernel32.dll" ? reinterpret_cast<HMODULE>(0x7FF0000) : nullptr;
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
    if (module != reinterpret_cast<HMODULE>(0x7FF0000)) return nullptr;
    std::string procedure = name;
    if (procedure == "SetDefaultDllDirectories" && M->Cfg.DefaultDirs >= 0)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDefaultDllDirectoriesSim));
    if (procedure == "SetDllDirectoryA" && M->Cfg.SetDllDirectory)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&SetDllDirectoryASim));
    return nullptr;
}

HMODULE LoadLibraryExA(const char* name, HANDLE, DWORD flags) {
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
    Event("Beep " + std::to_string(frequency) + " " + std::to_string(duration));
    return TRUE;
}

void DebugBreak() {
    Event("DebugBreak");
    M->Rec.Abnormal = true;
    EndProcess();
}

int lstrlenA(const char* text) { return text == nullptr ? 0 : static_cast<int>(std::strlen(text)); }

int lstrcmpiA(const char* a, const char* b) {
    for (;; ++a, ++b) {
        char x = UpperAnsi(*a), y = UpperAnsi(*b);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == 0) return 0;
    }
}

// ---- memory ---------------------------------------------------------------------

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(0x5EA9); }

void* HeapAlloc(HANDLE, DWORD flags, SIZE_T bytes) {
    if (M->Cfg.AllocFailures > 0) {
        --M->Cfg.AllocFailures;
        Event("HeapAlloc " + std::to_string(bytes) + " -> none");
        return nullptr;
    }
    if (++M->Allocs == M->Cfg.HeapCorruptAfterAlloc) M->HeapCorrupt = true;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    if ((flags & HEAP_ZERO_MEMORY) != 0)
        std::memset(block, 0, bytes);
    else
        std::memset(block, 0xBE, bytes);
    return block;
}

BOOL HeapFree(HANDLE, DWORD, void* block) {
    std::free(block);
    if (++M->Frees == M->Cfg.HeapCorruptBeforeFree) M->HeapCorrupt = true;
    return TRUE;
}

BOOL HeapValidate(HANDLE, DWORD, const void*) { return M->HeapCorrupt ? FALSE : TRUE; }

void* VirtualAlloc(void* address, SIZE_T bytes, DWORD type, DWORD protect) {
    if (protect != PAGE_READWRITE) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    if (type == MEM_RESERVE && address == nullptr) {
        bool fails = ++M->Reserves == M->Cfg.ReserveFails;
        Event("VirtualAlloc reserve " + Hex(bytes) + (fails ? " -> none" : ""));
        if (fails) return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
        void* base = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
        M->Reservations.push_back({static_cast<BYTE*>(base), bytes, 0});
        return base;
    }
    if (type == MEM_COMMIT) {
        bool fails = ++M->Commits == M->Cfg.CommitFails;
        Event("VirtualAlloc commit " + Hex(bytes) + (fails ? " -> none" : ""));
        if (fails) return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
        for (Reservation& r : M->Reservations) {
            if (address != r.Base) continue;
            if (bytes > r.Size) return Fail(ERROR_INVALID_ADDRESS), nullptr;
            size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
            size_t length = (bytes + page - 1) / page * page;
            mprotect(r.Base, length, PROT_READ | PROT_WRITE);
            r.Committed = std::max<uint64_t>(r.Committed, bytes);
            return r.Base;
        }
        return Fail(ERROR_INVALID_ADDRESS), nullptr;
    }
    return Fail(ERROR_INVALID_PARAMETER), nullptr;
}

// ---- files, devices, volumes ------------------------------------------------------

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void*, DWORD disposition, DWORD flags, HANDLE) {
    std::string path = name;
    std::string call =
        "CreateFileA " + path + " access=" + Hex(access) + " share=" + std::to_string(share) + " flags=" + Hex(flags);
    auto fail = [&](DWORD error) {
        Event(call + " -> fail " + std::to_string(error));
        LastError = error;
        return INVALID_HANDLE_VALUE;
    };
    if (disposition != OPEN_EXISTING) return fail(ERROR_ACCESS_DENIED);
    if (path.size() > 259) return fail(ERROR_FILENAME_EXCED_RANGE);
    if (!path.empty() && path.back() == '\\') return fail(ERROR_PATH_NOT_FOUND);  // a root folder, not a device
    Object object;
    object.Name = path;
    object.Access = access;
    object.NoBuffering = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    std::string lower = Lower(path);
    const std::string drive = "\\\\.\\physicaldrive";
    bool found = false;
    if (lower.compare(0, drive.size(), drive) == 0 && lower.size() > drive.size()) {
        std::string digits = lower.substr(drive.size());
        if (digits.find_first_not_of("0123456789") == std::string::npos && digits.size() < 10) {
            int index = FindDisk(std::stoi(digits));
            if (index >= 0) {
                const Disk& disk = M->Cfg.Disks[static_cast<size_t>(index)];
                bool reads = (access & GENERIC_READ) != 0;
                if ((reads && !disk.ReadOpen) || (!reads && !disk.QueryOpen)) return fail(disk.OpenError);
                object.What = Kind::Disk;
                object.Index = index;
                found = true;
            }
        }
    } else if (lower.size() == 6 && lower.compare(0, 4, "\\\\.\\") == 0 && lower[5] == ':') {
        char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(path[4])));
        for (size_t i = 0; i < M->Cfg.Volumes.size(); ++i)
            if (M->Cfg.Volumes[i].Letter == letter) {
                object.What = Kind::Volume;
                object.Index = static_cast<int>(i);
                found = true;
            }
        if (!found && M->Cfg.Letters.count(letter) != 0) {
            object.What = Kind::Volume;
            object.Index = -2 - M->Cfg.Letters.at(letter);
            found = true;
        }
    } else {
        for (size_t i = 0; i < M->Cfg.Volumes.size() && !found; ++i) {
            if (!VolumeNameMatches(M->Cfg.Volumes[i].Name, path)) continue;
            if ((access & GENERIC_READ) != 0 && M->Cfg.Volumes[i].OpenFails) return fail(ERROR_ACCESS_DENIED);
            object.What = Kind::Volume;
            object.Index = static_cast<int>(i);
            found = true;
        }
        for (const Interface& device : M->Cfg.Interfaces) {
            if (found || Lower(device.Path) != lower) continue;
            int index = FindDisk(device.DiskNumber);
            if (index < 0) return fail(ERROR_FILE_NOT_FOUND);
            const Disk& disk = M->Cfg.Disks[static_cast<size_t>(index)];
            if (!disk.QueryOpen) return fail(disk.OpenError);
            object.What = Kind::Disk;
            object.Index = index;
            found = true;
        }
    }
    if (!found) return fail(ERROR_FILE_NOT_FOUND);
    HANDLE handle = NewHandle(object);
    LastError = 0;  // an open of something that exists clears the last error
    Event(call + " -> ok");
    return handle;
}

BOOL CloseHandle(HANDLE handle) {
    Object* object = Find(handle);
    if (object == nullptr || object->What == Kind::VolumeSearch || object->What == Kind::DeviceSet) {
        Event("CloseHandle invalid");
        return Fail(ERROR_INVALID_HANDLE);
    }
    object->Open = false;
    Event("CloseHandle " + object->Name);
    return TRUE;
}

BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* bytesRead, OVERLAPPED* overlapped) {
    Object* object = Find(file);
    if (bytesRead != nullptr) *bytesRead = 0;
    if (object == nullptr || object->What != Kind::Disk) {
        Event("ReadFile invalid handle");
        return Fail(ERROR_INVALID_HANDLE);
    }
    Disk& disk = *DiskOf(*object);
    uint64_t offset = overlapped != nullptr ? (static_cast<uint64_t>(overlapped->OffsetHigh) << 32 | overlapped->Offset)
                                            : object->Position;
    std::string call = "ReadFile " + object->Name + " off=" + std::to_string(offset) + " len=" + std::to_string(bytes);
    auto fail = [&](DWORD error) {
        Event(call + " -> fail " + std::to_string(error));
        return Fail(error);
    };
    if ((object->Access & GENERIC_READ) == 0) return fail(ERROR_ACCESS_DENIED);
    if (object->NoBuffering && (offset % disk.Sector != 0 || bytes % disk.Sector != 0 ||
                                reinterpret_cast<uintptr_t>(buffer) % disk.Sector != 0))
        return fail(ERROR_INVALID_PARAMETER);
    if (!Writable(buffer, bytes)) return fail(ERROR_NOACCESS);
    if (offset >= disk.Size) {
        Event(call + " -> 0");
        return TRUE;
    }
    if (offset + bytes > disk.Size) return fail(ERROR_INVALID_PARAMETER);
    ChargeRequest(disk, bytes);
    if (const Fault* fault = FaultAt(disk, false, offset, bytes)) return fail(fault->Error);
    uint64_t length = bytes;
    for (uint64_t at : disk.ShortAt)
        if (at >= offset && at < offset + length) length = at - offset;
    uint64_t readNumber = ++M->ReadCounts[object->Index];
    FillFromDisk(disk, offset, static_cast<BYTE*>(buffer), length, readNumber);
    object->Position = offset + length;
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(length);
    Event(call + " -> " + std::to_string(length));
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* bytesWritten, OVERLAPPED*) {
    if (bytesWritten != nullptr) *bytesWritten = 0;
    int which = 0;
    StdKind kind = KindOfStd(file, &which);
    if (kind == StdKind::Closed) {
        if (Object* object = Find(file);
            object != nullptr && (object->What == Kind::Disk || object->What == Kind::Volume)) {
            M->Rec.DiskWrites += 1;
            Event("WRITE TO " + object->Name);
            return Fail(ERROR_ACCESS_DENIED);
        }
        Event("WriteFile invalid handle");
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (which == 0) return Fail(ERROR_ACCESS_DENIED);
    const char* text = static_cast<const char*>(buffer);
    std::string& sink = which == 1 ? M->Rec.Stdout : M->Rec.Stderr;
    if (kind != StdKind::Nul && M->Cfg.Record) sink.append(text, bytes);
    if (kind == StdKind::Console) ConsoleWrite(text, bytes);
    if (M->Cfg.Echo) {
        ssize_t ignored = write(which, text, bytes);
        (void)ignored;
    }
    if (M->Cfg.Record)
        Event(std::string("write ") + (which == 1 ? "stdout" : "stderr") + " \"" + Escape(text, bytes, false) + "\"");
    if (bytesWritten != nullptr) *bytesWritten = bytes;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    int which = 0;
    StdKind kind = KindOfStd(file, &which);
    Event("FlushFileBuffers");
    if (kind == StdKind::File || kind == StdKind::Pipe) return TRUE;
    return Fail(ERROR_INVALID_HANDLE);
}

DWORD GetFileType(HANDLE file) {
    int which = 0;
    switch (KindOfStd(file, &which)) {
        case StdKind::Console:
        case StdKind::Nul:
            return FILE_TYPE_CHAR;
        case StdKind::File:
            return FILE_TYPE_DISK;
        case StdKind::Pipe:
            return FILE_TYPE_PIPE;
        case StdKind::Closed:
            break;
    }
    if (Find(file) != nullptr) return FILE_TYPE_DISK;
    LastError = ERROR_INVALID_HANDLE;
    return FILE_TYPE_UNKNOWN;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned,
                     OVERLAPPED* overlapped) {
    Object* object = Find(device);
    if (!M->Cfg.Record && object != nullptr && object->What == Kind::Disk) {
        DWORD ignored = 0;
        return DiskControl(*object, code, in, inSize, out, outSize, bytesReturned ? bytesReturned : &ignored);
    }
    const char* name = IoctlName(code);
    std::string call =
        std::string("DeviceIoControl ") + (object ? object->Name : "invalid") + " " + (name ? name : Hex(code).c_str());
    if (code == IOCTL_DISK_VERIFY && in != nullptr && inSize >= sizeof(VERIFY_INFORMATION)) {
        VERIFY_INFORMATION request;
        std::memcpy(&request, in, sizeof request);
        call += " off=" + std::to_string(request.StartingOffset) + " len=" + std::to_string(request.Length);
    }
    DWORD ignored = 0;
    if (bytesReturned == nullptr && overlapped == nullptr) bytesReturned = &ignored;
    *bytesReturned = 0;
    BOOL ok;
    if (object == nullptr)
        ok = Fail(ERROR_INVALID_HANDLE);
    else if (object->What == Kind::Disk)
        ok = DiskControl(*object, code, in, inSize, out, outSize, bytesReturned);
    else if (object->What == Kind::Volume)
        ok = VolumeControl(*object, code, out, outSize, bytesReturned);
    else
        ok = Fail(ERROR_INVALID_FUNCTION);
    Event(call + (ok ? " -> ok" : " -> fail " + std::to_string(LastError)));
    return ok;
}

BOOL GetDevicePowerState(HANDLE device, BOOL* on) {
    Object* object = Find(device);
    if (object == nullptr || object->What != Kind::Disk || DiskOf(*object)->Power < 0) {
        Event("GetDevicePowerState -> fail");
        return Fail(ERROR_INVALID_FUNCTION);
    }
    *on = DiskOf(*object)->Power == 1;
    Event(std::string("GetDevicePowerState -> ") + (*on ? "on" : "asleep"));
    return TRUE;
}

HANDLE FindFirstVolumeA(char* name, DWORD length) {
    if (M->Cfg.VolumeSearchFails || M->Cfg.Volumes.empty()) {
        Event("FindFirstVolumeA -> fail");
        LastError = ERROR_NO_MORE_FILES;
        return INVALID_HANDLE_VALUE;
    }
    const std::string& first = M->Cfg.Volumes[0].Name;
    if (first.size() + 1 > length) {
        LastError = ERROR_FILENAME_EXCED_RANGE;
        return INVALID_HANDLE_VALUE;
    }
    std::memcpy(name, first.c_str(), first.size() + 1);
    Object search;
    search.What = Kind::VolumeSearch;
    search.Index = 1;
    search.Name = "volume search";
    Event("FindFirstVolumeA " + first);
    return NewHandle(search);
}

BOOL FindNextVolumeA(HANDLE handle, char* name, DWORD length) {
    Object* search = Find(handle);
    if (search == nullptr || search->What != Kind::VolumeSearch) return Fail(ERROR_INVALID_HANDLE);
    if (static_cast<size_t>(search->Index) >= M->Cfg.Volumes.size()) return Fail(ERROR_NO_MORE_FILES);
    const std::string& next = M->Cfg.Volumes[static_cast<size_t>(search->Index++)].Name;
    if (next.size() + 1 > length) return Fail(ERROR_FILENAME_EXCED_RANGE);
    std::memcpy(name, next.c_str(), next.size() + 1);
    Event("FindNextVolumeA " + next);
    return TRUE;
}

BOOL FindVolumeClose(HANDLE handle) {
    Object* search = Find(handle);
    if (search == nullptr || search->What != Kind::VolumeSearch) return Fail(ERROR_INVALID_HANDLE);
    search->Open = false;
    Event("FindVolumeClose");
    return TRUE;
}

UINT GetDriveTypeA(const char* root) {
    std::string path = root;
    if (path.empty() || path.back() != '\\') return 1;  // DRIVE_NO_ROOT_DIR
    for (const Volume& volume : M->Cfg.Volumes)
        if (VolumeNameMatches(volume.Name, path.substr(0, path.size() - 1))) return volume.Type;
    return 1;
}

DWORD QueryDosDeviceA(const char* device, char* target, DWORD length) {
    std::string name = device;
    if (name.size() != 2 || name[1] != ':') return Fail(ERROR_FILE_NOT_FOUND), 0;
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
    bool exists = M->Cfg.Letters.count(letter) != 0;
    for (const Volume& volume : M->Cfg.Volumes) exists = exists || volume.Letter == letter;
    if (!exists) return Fail(ERROR_FILE_NOT_FOUND), 0;
    std::string text = std::string("\\Device\\HarddiskVolume") + letter;
    if (text.size() + 2 > length) return Fail(ERROR_INSUFFICIENT_BUFFER), 0;
    std::memcpy(target, text.c_str(), text.size() + 1);
    target[text.size() + 1] = 0;
    return static_cast<DWORD>(text.size() + 2);
}

BOOL GetVolumePathNamesForVolumeNameA(const char* name, char* names, DWORD length, DWORD* returned) {
    std::string path = name;
    for (const Volume& volume : M->Cfg.Volumes) {
        if (volume.Name != path) continue;
        std::string list;
        if (volume.Letter != 0) list += std::string(1, volume.Letter) + ":\\" + '\0';
        for (const std::string& mount : volume.Mounts) list += mount + '\0';
        list += '\0';
        if (returned != nullptr) *returned = static_cast<DWORD>(list.size());
        if (list.size() > length) return Fail(ERROR_MORE_DATA);
        std::memcpy(names, list.data(), list.size());
        return TRUE;
    }
    return Fail(123);  // ERROR_INVALID_NAME
}

// ---- console ------------------------------------------------------------------------

HANDLE GetStdHandle(DWORD which) {
    if (which == STD_INPUT_HANDLE) return StdHandle(0);
    if (which == STD_OUTPUT_HANDLE) return StdHandle(1);
    if (which == STD_ERROR_HANDLE) return StdHandle(2);
    LastError = ERROR_INVALID_HANDLE;
    return INVALID_HANDLE_VALUE;
}

BOOL WriteConsoleA(HANDLE console, const void* text, DWORD length, DWORD* written, void*) {
    int which = 0;
    if (KindOfStd(console, &which) != StdKind::Console || which == 0) {
        Event("WriteConsoleA -> fail 6");
        return Fail(ERROR_INVALID_HANDLE);
    }
    const char* chars = static_cast<const char*>(text);
    (which == 1 ? M->Rec.Stdout : M->Rec.Stderr).append(chars, length);
    ConsoleWrite(chars, length);
    if (M->Cfg.Echo) {
        ssize_t ignored = write(which, chars, length);
        (void)ignored;
    }
    Event(std::string("write ") + (which == 1 ? "stdout" : "stderr") + " \"" + Escape(chars, length, false) + "\"");
    if (written != nullptr) *written = length;
    return TRUE;
}

BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info) {
    int which = 0;
    if (KindOfStd(console, &which) != StdKind::Console || which == 0) return Fail(ERROR_INVALID_HANDLE);
    info->dwSize = {static_cast<SHORT>(M->Cfg.Width), static_cast<SHORT>(M->Cfg.Rows)};
    info->dwCursorPosition = {static_cast<SHORT>(M->CursorX), static_cast<SHORT>(M->CursorY)};
    info->wAttributes = 7;
    info->srWindow = {0, 0, static_cast<SHORT>(M->Cfg.Width - 1), static_cast<SHORT>(M->Cfg.Rows - 1)};
    info->dwMaximumWindowSize = info->dwSize;
    return TRUE;
}

BOOL ReadConsoleOutputA(HANDLE console, CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region) {
    int which = 0;
    if (KindOfStd(console, &which) != StdKind::Console || which == 0) return Fail(ERROR_INVALID_HANDLE);
    if (region->Top < 0 || region->Top >= M->Cfg.Rows || region->Left < 0) return Fail(ERROR_INVALID_PARAMETER);
    int right = std::min<int>(region->Right, M->Cfg.Width - 1);
    for (int x = region->Left; x <= right; ++x) {
        int index = (region->Top - region->Top + origin.Y) * size.X + (x - region->Left + origin.X);
        if (index >= size.X * size.Y) return Fail(ERROR_INVALID_PARAMETER);
        cells[index].Char.UnicodeChar = static_cast<unsigned char>(At(x, region->Top).Ch);
        cells[index].Attributes = At(x, region->Top).Attr;
    }
    region->Right = static_cast<SHORT>(right);
    region->Bottom = region->Top;
    return TRUE;
}

BOOL WriteConsoleOutputA(HANDLE console, const CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region) {
    int which = 0;
    if (KindOfStd(console, &which) != StdKind::Console || which == 0) return Fail(ERROR_INVALID_HANDLE);
    int right = std::min<int>(region->Right, M->Cfg.Width - 1);
    for (int x = region->Left; x <= right; ++x) {
        int index = origin.Y * size.X + (x - region->Left + origin.X);
        At(x, region->Top).Ch = cells[index].Char.AsciiChar;
        At(x, region->Top).Attr = cells[index].Attributes;
    }
    Event("WriteConsoleOutputA row " + std::to_string(region->Top) + " columns " + std::to_string(region->Left) + "-" +
          std::to_string(right));
    return TRUE;
}

HWND GetConsoleWindow() {
    if (M->Cfg.ConsoleWindow == Window::None) return nullptr;
    return reinterpret_cast<HWND>(0xC0DE);
}

BOOL FlushConsoleInputBuffer(HANDLE input) {
    Event("FlushConsoleInputBuffer");
    int which = 0;
    if (KindOfStd(input, &which) != StdKind::Console || which != 0) return Fail(ERROR_INVALID_HANDLE);
    M->Queue.clear();
    return TRUE;
}

BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* read) {
    Event("ReadConsoleInputA");
    int which = 0;
    if (KindOfStd(input, &which) != StdKind::Console || which != 0 || length == 0) return Fail(ERROR_INVALID_HANDLE);
    if (M->Queue.empty() && !M->Later.empty()) {
        M->Queue.push_back(M->Later.front());
        M->Later.erase(M->Later.begin());
    }
    if (M->Queue.empty()) {
        // Waits for input that never comes: only other threads may still run.
        std::unique_lock<std::mutex> lock(BatonLock);
        BlockedThreads.push_back(Self);
        PassBaton(lock);
    }
    records[0] = M->Queue.front();
    M->Queue.erase(M->Queue.begin());
    *read = 1;
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    Event("SetConsoleCtrlHandler " + std::to_string(add));
    if (add) M->CtrlHandler = handler;
    return TRUE;
}

// ---- user32 -----------------------------------------------------------------------------

int wvsprintfA(char* out, const char* format, va_list args) {
    Bind("USER32.dll");
    return SimFormatV(out, format, args);
}

int wsprintfA(char* out, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int count = wvsprintfA(out, format, args);
    va_end(args);
    return count;
}

char* CharUpperA(char* text) {
    Bind("USER32.dll");
    for (char* p = text; *p != 0; ++p) *p = UpperAnsi(*p);
    return text;
}

UINT MapVirtualKeyA(UINT code, UINT mapType) {
    Bind("USER32.dll");
    if (mapType != MAPVK_VK_TO_VSC) return 0;
    return code == 'C' ? 0x2E : code == 'A' ? 0x1E : 0;
}

void keybd_event(BYTE key, BYTE scan, DWORD flags, ULONG_PTR) {
    Bind("USER32.dll");
    Event("keybd_event " + Hex(key) + " scan " + Hex(scan) + " flags " + Hex(flags));
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
    Bind("USER32.dll");
    if (window == nullptr) return Fail(1400), 0;  // ERROR_INVALID_WINDOW_HANDLE
    *processId = M->Cfg.ConsoleWindow == Window::Own ? kProcessId : kShellProcessId;
    return 77;
}

// ---- shlwapi ---------------------------------------------------------------------------

int StrCmpNIA(const char* a, const char* b, int count) {
    Bind("SHLWAPI.dll");
    for (int i = 0; i < count; ++i) {
        char x = UpperAnsi(a[i]), y = UpperAnsi(b[i]);
        if (x != y) return static_cast<unsigned char>(x) < static_cast<unsigned char>(y) ? -1 : 1;
        if (x == 0) break;
    }
    return 0;
}

int StrToIntA(const char* text) {
    Bind("SHLWAPI.dll");
    bool negative = *text == '-';
    if (negative) ++text;
    uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<uint32_t>(*text - '0');
    return static_cast<int>(negative ? 0u - value : value);
}

BOOL StrTrimA(char* text, const char* trim) {
    Bind("SHLWAPI.dll");
    auto inSet = [trim](char c) { return c != 0 && std::strchr(trim, c) != nullptr; };
    size_t length = std::strlen(text);
    size_t start = 0;
    while (start < length && inSet(text[start])) ++start;
    size_t end = length;
    while (end > start && inSet(text[end - 1])) --end;
    if (start == 0 && end == length) return FALSE;
    std::memmove(text, text + start, end - start);
    text[end - start] = 0;
    return TRUE;
}

char* StrStrA(const char* text, const char* find) {
    Bind("SHLWAPI.dll");
    if (text == nullptr || find == nullptr || *find == 0) return nullptr;
    return const_cast<char*>(std::strstr(text, find));
}

// ---- setupapi ---------------------------------------------------------------------------

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char*, HWND, DWORD flags) {
    Bind("SETUPAPI.dll");
    bool disks = classGuid != nullptr && std::memcmp(classGuid, &GUID_DEVINTERFACE_DISK, sizeof(GUID)) == 0;
    Event("SetupDiGetClassDevsA flags " + Hex(flags) + (disks ? " disks" : " other"));
    if (M->Cfg.SetupFails || !disks) return Fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    Object set;
    set.What = Kind::DeviceSet;
    set.Index = 0;  // becomes 1 once the set has been walked to its end
    set.Name = "device set";
    return NewHandle(set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, void*, const GUID*, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
    Object* set = Find(handle);
    if (set == nullptr || set->What != Kind::DeviceSet) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_PARAMETER);
    std::vector<size_t> visible;
    for (size_t i = 0; i < M->Cfg.Interfaces.size(); ++i)
        if (!M->Cfg.Interfaces[i].Late || set->Index != 0) visible.push_back(i);
    if (index >= visible.size()) {
        set->Index = 1;  // plugged-in disks show up from the next walk on
        return Fail(ERROR_NO_MORE_ITEMS);
    }
    data->InterfaceClassGuid = GUID_DEVINTERFACE_DISK;
    data->Flags = 1;
    data->Reserved = visible[index] + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                                      void*) {
    Object* set = Find(handle);
    if (set == nullptr || data == nullptr || data->Reserved == 0) return Fail(ERROR_INVALID_PARAMETER);
    const Interface& device = M->Cfg.Interfaces[data->Reserved - 1];
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + device.Path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (device.DetailFails) return Fail(ERROR_INVALID_PARAMETER);
    if (detail == nullptr || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return Fail(1784);
    if (needed > detailSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, device.Path.c_str(), device.Path.size() + 1);
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    Object* set = Find(handle);
    if (set == nullptr || set->What != Kind::DeviceSet) return Fail(ERROR_INVALID_HANDLE);
    set->Open = false;
    Event("SetupDiDestroyDeviceInfoList");
    return TRUE;
}

}  // extern "C"
}  // namespace win
