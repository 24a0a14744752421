// Disks on the simulated machine: opening devices, their requests and data,
// their faults and what each request costs in time.
#include <algorithm>
#include <cstring>

#include "sim/internal.h"

namespace sim {
namespace {

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

void ChargeRequest(const Disk& disk, uint64_t offset, uint64_t bytes) {
    uint64_t micros = static_cast<uint64_t>(disk.LatencyMs) * 1000;
    for (const auto& [where, ms] : disk.Slow)
        if (where.Overlaps(offset, bytes)) micros += static_cast<uint64_t>(ms) * 1000;
    if (disk.BytesPerMs != 0) micros += bytes * 1000 / disk.BytesPerMs;
    AdvanceMicros(micros);
}

const Fault* FaultAt(const Disk& disk, bool verify, uint64_t offset, uint64_t length) {
    for (const Fault& fault : disk.Faults)
        if ((verify ? fault.Verify : fault.Read) && fault.Where.Overlaps(offset, length)) return &fault;
    return nullptr;
}

// The disk number a disk answers with, or -1 when it refuses.
int DiskNumberAnswer(const Disk& disk) {
    if (disk.NumberRefused) return -1;
    return disk.DeviceNumber >= 0 ? static_cast<int>(disk.DeviceNumber) : disk.Number;
}

bool OpenPhysicalDrive(const std::string& lower, DWORD access, Object* object, DWORD* error) {
    const std::string drive = "\\\\.\\physicaldrive";
    if (lower.compare(0, drive.size(), drive) != 0 || lower.size() == drive.size()) return false;
    std::string digits = lower.substr(drive.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() >= 10) return false;
    int index = FindDisk(std::stoi(digits));
    if (index < 0) return false;
    const Disk& disk = M->Cfg.Disks[static_cast<size_t>(index)];
    bool reads = (access & GENERIC_READ) != 0;
    if ((reads && !disk.ReadOpen) || (!reads && !disk.QueryOpen)) {
        *error = disk.OpenError;
        return true;
    }
    object->What = Kind::Disk;
    object->Disk = static_cast<size_t>(index);
    return true;
}

// The names the record gives the requests the machine knows.
#define REQUEST_NAME(name, code) {name, #name},
const std::pair<DWORD, const char*> kRequestNames[] = {SECTORSWEEP_ALL_DEVICE_REQUESTS(REQUEST_NAME)};
#undef REQUEST_NAME

std::string RequestName(DWORD code) {
    for (const auto& [known, name] : kRequestNames)
        if (known == code) return name;
    return Hex(code);
}

}  // namespace

Disk& DiskOf(const Object& object) { return M->Cfg.Disks[object.Disk]; }

int FindDisk(int number) {
    for (size_t i = 0; i < M->Cfg.Disks.size(); ++i)
        if (M->Cfg.Disks[i].Number == number) return static_cast<int>(i);
    return -1;
}

void CountWrite(const std::string& what) {
    M->Rec.DiskWrites += 1;
    Event("WRITE " + what);
}

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

// A request the machine does not know: one whose control code asks for write
// access is a write; any other is a gap in the model, which fails the scenario.
BOOL UnknownRequest(const Object& object, DWORD code) {
    constexpr DWORD FILE_WRITE_ACCESS = 2;
    if (((code >> 14) & FILE_WRITE_ACCESS) != 0)
        CountWrite("request " + Hex(code) + " to " + object.Name);
    else
        M->Rec.Unmodelled.push_back("control code " + Hex(code) + " sent to " + object.Name);
    return Fail(ERROR_INVALID_FUNCTION);
}

BOOL DiskControl(Object& object, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    Disk& disk = DiskOf(object);
    // A driver may answer success and write less than the record, or nothing.
    auto shortReply = [&]() -> BOOL {
        *returned = 0;
        return TRUE;
    };
    auto reply = [&](const void* data, DWORD size) -> BOOL {
        if (outSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
        std::memcpy(out, data, size);
        *returned = size;
        return TRUE;
    };
    switch (code) {
        case IOCTL_DISK_GET_LENGTH_INFO: {
            if ((object.Access & GENERIC_READ) == 0) return Fail(ERROR_ACCESS_DENIED);
            const Reply& length = disk.Answers[DISK_ANSWER_LENGTH];
            if (length.Mode == Answer::Fail) return Fail(length.Error);
            if (length.Mode == Answer::Short) return shortReply();
            GET_LENGTH_INFORMATION info = {length.Mode == Answer::Zero ? 0 : static_cast<LONGLONG>(disk.Size)};
            return reply(&info, sizeof info);
        }
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: {
            const Reply& answer = disk.Answers[DISK_ANSWER_GEOMETRY];
            if (answer.Mode == Answer::Fail) return Fail(answer.Error);
            if (answer.Mode == Answer::Short) return shortReply();
            BYTE data[32] = {};
            DISK_GEOMETRY geometry = {static_cast<LONGLONG>(disk.Size / (255 * 63 * disk.Sector)), 12, 255, 63,
                                      disk.Sector};
            std::memcpy(data, &geometry, sizeof geometry);
            LONGLONG size = answer.Mode == Answer::Zero ? 0 : static_cast<LONGLONG>(disk.Size);
            std::memcpy(data + 24, &size, 8);
            return reply(data, sizeof data);
        }
        case IOCTL_STORAGE_PREDICT_FAILURE: {
            if (disk.Predict == Prediction::Unsupported) return Fail(ERROR_INVALID_FUNCTION);
            STORAGE_PREDICT_FAILURE answer = {};
            answer.PredictFailure = disk.Predict == Prediction::Yes ? 1 : 0;
            return reply(&answer, sizeof answer);
        }
        case IOCTL_STORAGE_QUERY_PROPERTY: {
            const Reply& answer = disk.Answers[DISK_ANSWER_DESCRIPTOR];
            if (answer.Mode == Answer::Fail) return Fail(answer.Error);
            if (inSize < sizeof(STORAGE_PROPERTY_QUERY) || in == nullptr) return Fail(ERROR_INVALID_PARAMETER);
            // Only the device descriptor's standard query (property 0, query type 0) is modelled.
            STORAGE_PROPERTY_QUERY query;
            std::memcpy(&query, in, sizeof query);
            if (query.PropertyId != 0 || query.QueryType != 0) {
                M->Rec.Unmodelled.push_back("storage property " + Hex(query.PropertyId) + " query type " +
                                            Hex(query.QueryType) + " sent to " + object.Name);
                return Fail(ERROR_NOT_SUPPORTED);
            }
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
            int number = DiskNumberAnswer(disk);
            if (number < 0) return Fail(ERROR_INVALID_FUNCTION);
            STORAGE_DEVICE_NUMBER answer = {kDeviceTypeDisk, static_cast<DWORD>(number), 0};
            return reply(&answer, sizeof answer);
        }
        case IOCTL_DISK_VERIFY: {
            if (inSize < sizeof(VERIFY_INFORMATION) || in == nullptr) return Fail(ERROR_INVALID_PARAMETER);
            VERIFY_INFORMATION request;
            std::memcpy(&request, in, sizeof request);
            uint64_t offset = static_cast<uint64_t>(request.StartingOffset);
            if (request.StartingOffset < 0 || offset + request.Length > disk.Size) return Fail(ERROR_SECTOR_NOT_FOUND);
            ChargeRequest(disk, offset, request.Length);
            if (const Fault* fault = FaultAt(disk, true, offset, request.Length)) return Fail(fault->Error);
            *returned = 0;
            return TRUE;
        }
        default:
            return UnknownRequest(object, code);
    }
}

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void*, DWORD disposition, DWORD flags, HANDLE) {
    CallGuard guard;
    std::string path = name;
    std::string call =
        "CreateFileA " + path + " access=" + Hex(access) + " share=" + std::to_string(share) + " flags=" + Hex(flags);
    auto fail = [&](DWORD error) {
        Event(call + " -> fail " + std::to_string(error));
        LastError = error;
        return INVALID_HANDLE_VALUE;
    };
    if (DWORD error = InjectedError(call)) return fail(error);
    if (disposition != OPEN_EXISTING) return fail(ERROR_ACCESS_DENIED);
    if (path.size() > 259) return fail(ERROR_FILENAME_EXCED_RANGE);
    if (!path.empty() && path.back() == '\\') return fail(ERROR_PATH_NOT_FOUND);  // a root folder, not a device
    Object object;
    object.Name = path;
    object.Access = access;
    object.NoBuffering = (flags & FILE_FLAG_NO_BUFFERING) != 0;
    DWORD error = 0;
    bool found = OpenPhysicalDrive(Lower(path), access, &object, &error) || OpenVolume(path, access, &object, &error) ||
                 OpenInterface(path, &object, &error);
    if (error != 0) return fail(error);
    if (!found) return fail(ERROR_FILE_NOT_FOUND);
    if ((access & kWriteAccess) != 0) CountWrite("access " + Hex(access) + " asked to open " + path);
    HANDLE handle = NewHandle(object);
    LastError = 0;  // an open of something that exists clears the last error
    Event(call + " -> ok");
    return handle;
}

BOOL CloseHandle(HANDLE handle) {
    CallGuard guard;
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
    CallGuard guard;
    Object* object = Find(file);
    if (bytesRead != nullptr) *bytesRead = 0;
    if (object == nullptr || object->What != Kind::Disk) {
        Event("ReadFile invalid handle");
        return Fail(ERROR_INVALID_HANDLE);
    }
    Disk& disk = DiskOf(*object);
    uint64_t offset = overlapped != nullptr ? (static_cast<uint64_t>(overlapped->OffsetHigh) << 32 | overlapped->Offset)
                                            : object->Position;
    std::string call = "ReadFile " + object->Name + " off=" + std::to_string(offset) + " len=" + std::to_string(bytes);
    auto fail = [&](DWORD error) {
        Event(call + " -> fail " + std::to_string(error));
        return Fail(error);
    };
    if (DWORD error = InjectedError(call)) return fail(error);
    // The system resets the event an OVERLAPPED names: one left unset is no handle.
    if (overlapped != nullptr && overlapped->hEvent != nullptr) return fail(ERROR_INVALID_HANDLE);
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
    ChargeRequest(disk, offset, bytes);
    if (const Fault* fault = FaultAt(disk, false, offset, bytes)) return fail(fault->Error);
    uint64_t length = bytes;
    for (uint64_t at : disk.ShortAt)
        if (at >= offset && at < offset + length) length = at - offset;
    uint64_t readNumber = ++M->ReadCounts[object->Disk];
    FillFromDisk(disk, offset, static_cast<BYTE*>(buffer), length, readNumber);
    object->Position = offset + length;
    if (bytesRead != nullptr) *bytesRead = static_cast<DWORD>(length);
    Event(call + " -> " + std::to_string(length));
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned,
                     OVERLAPPED* overlapped) {
    CallGuard guard;
    Object* object = Find(device);
    if (!M->Cfg.Record && object != nullptr && object->What == Kind::Disk) {
        DWORD ignored = 0;
        return DiskControl(*object, code, in, inSize, out, outSize, bytesReturned ? bytesReturned : &ignored);
    }
    std::string call = "DeviceIoControl " + (object ? object->Name : std::string("invalid")) + " " + RequestName(code);
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
    else if (DWORD error = InjectedError(call))
        ok = Fail(error);
    else if ((in == nullptr && inSize != 0) || (out == nullptr && outSize != 0))
        ok = Fail(ERROR_NOACCESS);  // the system probes the caller's buffers first
    else if (object->What == Kind::Disk)
        ok = DiskControl(*object, code, in, inSize, out, outSize, bytesReturned);
    else if (object->What == Kind::Volume || object->What == Kind::Letter)
        ok = VolumeControl(*object, code, out, outSize, bytesReturned);
    else
        ok = Fail(ERROR_INVALID_FUNCTION);
    Event(call + (ok ? " -> ok" : " -> fail " + std::to_string(LastError)));
    return ok;
}

BOOL GetDevicePowerState(HANDLE device, BOOL* on) {
    CallGuard guard;
    Object* object = Find(device);
    if (object == nullptr || object->What != Kind::Disk || DiskOf(*object).Power == PowerState::Unsupported) {
        Event("GetDevicePowerState -> fail");
        return Fail(ERROR_INVALID_FUNCTION);
    }
    *on = DiskOf(*object).Power == PowerState::Awake;
    Event(std::string("GetDevicePowerState -> ") + (*on ? "on" : "asleep"));
    return TRUE;
}

}  // extern "C"

// No path on a machine that models Windows; a disk may be given one to stand for
// a platform that has them.
int PlatformDiskPath(int number, char* path, int size) {
    CallGuard guard;
    int index = FindDisk(number);
    if (index < 0 || size <= 0) return 0;
    const std::string& text = M->Cfg.Disks[static_cast<size_t>(index)].PlatformPath;
    if (text.empty()) return 0;
    size_t length = std::min(text.size(), static_cast<size_t>(size - 1));
    std::memcpy(path, text.data(), length);
    path[length] = 0;
    return static_cast<int>(length);
}
}  // namespace win
