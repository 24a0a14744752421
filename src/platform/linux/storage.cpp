// Disks and volumes on Linux: opening block devices (read-only, always), their
// size, reads with pread on an O_DIRECT descriptor, and the device requests the
// program sends, answered from the block device's ioctls, from sysfs, and from
// the drive's own commands (verify, failure prediction: drive_io.cpp). A lock
// of a volume is an exclusive open, which the kernel refuses while the volume is
// mounted or held; a dismount is nothing: a filesystem is never unmounted.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux/drive.h"
#include "platform/linux/internal.h"

namespace lin {
namespace {

constexpr int kMaxHandles = 64;
HandleRecord Handles[kMaxHandles];

constexpr DWORD kStorageDeviceProperty = 0;
constexpr DWORD kPropertyStandardQuery = 0;
constexpr BYTE kFixedMedia = 12;
constexpr BYTE kRemovableMedia = 11;
constexpr DWORD kReplySize = 1024;

// "\\.\PhysicalDriveN" (any letter case) names disk N; anything else but an
// absolute path names nothing.
bool ResolveName(const char* name, char* path) {
    const char kDrive[] = "\\\\.\\physicaldrive";
    if (StrCmpNIA(name, kDrive, sizeof kDrive - 1) == 0) {
        const char* digits = name + sizeof kDrive - 1;
        if (*digits == 0) return false;
        long long number = 0;
        for (const char* p = digits; *p != 0; ++p) {
            if (*p < '0' || *p > '9' || number > 0x7FFFFFFF) return false;
            number = number * 10 + (*p - '0');
        }
        const DiskRecord* disk = DiskAt(number > 0x7FFFFFFF ? -1 : static_cast<int>(number));
        return disk != nullptr && DevicePathOf(disk->Name, path, kPathSize);
    }
    if (name[0] != '/') return false;
    path[0] = 0;
    return Append(path, kPathSize, name);
}

// The sysfs folder of the whole disk a device is or lies on.
bool DiskFolder(dev_t device, char* folder) {
    DWORD partition = 0;
    const DiskRecord* disk = DiskAt(DiskNumberOfDevice(device, &partition));
    if (disk == nullptr) return false;
    folder[0] = 0;
    return Append(folder, kPathSize, "/sys/block/") && Append(folder, kPathSize, disk->Name);
}

bool ReadDiskFile(dev_t device, const char* file, char* out, int capacity) {
    char path[kPathSize];
    return DiskFolder(device, path) && Append(path, kPathSize, "/") && Append(path, kPathSize, file) &&
           ReadSmallFile(path, out, capacity) >= 0;
}

unsigned long long ReadNumber(const char* text) {
    unsigned long long value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<unsigned long long>(*text - '0');
    return value;
}

// The size in bytes: the device's own answer on a descriptor that can ask, else
// sysfs, which counts 512-byte units whatever the sector size.
bool DeviceSize(const HandleRecord& device, unsigned long long* size) {
    if (device.Access != 0) {
        uint64_t bytes = 0;
        if (ioctl(device.Fd, BLKGETSIZE64, &bytes) != 0) return FailErrno();
        *size = bytes;
        return true;
    }
    char path[kPathSize] = "/sys/dev/block/";
    char text[32];
    AppendNumber(path, kPathSize, major(device.Device));
    Append(path, kPathSize, ":");
    AppendNumber(path, kPathSize, minor(device.Device));
    Append(path, kPathSize, "/size");
    if (ReadSmallFile(path, text, sizeof text) <= 0) return Fail(ERROR_GEN_FAILURE);
    *size = ReadNumber(text) * 512;
    return true;
}

DWORD SectorSize(const HandleRecord& device) {
    int bytes = 0;
    if (device.Access != 0 && ioctl(device.Fd, BLKSSZGET, &bytes) == 0 && bytes > 0) return static_cast<DWORD>(bytes);
    char text[16];
    if (ReadDiskFile(device.Device, "queue/logical_block_size", text, sizeof text) && ReadNumber(text) > 0)
        return static_cast<DWORD>(ReadNumber(text));
    return 512;
}

bool Removable(dev_t device) {
    char text[8];
    return ReadDiskFile(device, "removable", text, sizeof text) && Same(text, "1");
}

BOOL Reply(void* out, DWORD outSize, const void* data, DWORD size, DWORD* returned) {
    if (out == nullptr || outSize < size) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (DWORD i = 0; i < size; ++i) static_cast<BYTE*>(out)[i] = static_cast<const BYTE*>(data)[i];
    *returned = size;
    return TRUE;
}

BOOL Geometry(const HandleRecord& device, void* out, DWORD outSize, DWORD* returned) {
    unsigned long long size = 0;
    if (!DeviceSize(device, &size)) return FALSE;
    DWORD sector = SectorSize(device);
    BYTE data[32] = {};
    DISK_GEOMETRY geometry = {static_cast<LONGLONG>(size / (255ull * 63 * sector)),
                              Removable(device.Device) ? kRemovableMedia : kFixedMedia, 255, 63, sector};
    __builtin_memcpy(data, &geometry, sizeof geometry);
    LONGLONG bytes = static_cast<LONGLONG>(size);
    __builtin_memcpy(data + 24, &bytes, 8);
    return Reply(out, outSize, data, sizeof data, returned);
}

// A storage device descriptor from sysfs: the bus from the device path, the
// vendor and model texts the kernel shows, bounded (the program masks their
// control bytes, as it does a Windows device's).
BOOL Descriptor(const HandleRecord& device, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned) {
    if (in == nullptr || inSize < sizeof(STORAGE_PROPERTY_QUERY)) return Fail(ERROR_INVALID_PARAMETER);
    const auto* query = static_cast<const STORAGE_PROPERTY_QUERY*>(in);
    if (query->PropertyId != kStorageDeviceProperty || query->QueryType != kPropertyStandardQuery)
        return Fail(ERROR_INVALID_FUNCTION);
    char folder[kPathSize];
    if (!DiskFolder(device.Device, folder)) return Fail(ERROR_INVALID_FUNCTION);
    alignas(8) BYTE data[kReplySize] = {};
    auto* descriptor = reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(data);
    descriptor->Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    descriptor->RemovableMedia = Removable(device.Device) ? 1 : 0;
    char target[kPathSize];
    ssize_t length = readlink(folder, target, sizeof target - 1);
    target[length > 0 ? length : 0] = 0;
    char type[16];
    bool sdCard = ReadDiskFile(device.Device, "device/type", type, sizeof type) && Same(type, "SD");
    descriptor->BusType = BusTypeOfSysfsPath(target, sdCard);
    DWORD at = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    auto place = [&](const char* file) -> DWORD {
        char text[128];
        if (!ReadDiskFile(device.Device, file, text, sizeof text) || text[0] == 0) return 0;
        DWORD offset = at;
        for (int i = 0; text[i] != 0 && at < kReplySize - 1; ++i) data[at++] = static_cast<BYTE>(text[i]);
        data[at++] = 0;
        return offset;
    };
    descriptor->VendorIdOffset = place("device/vendor");
    descriptor->ProductIdOffset = place("device/model");
    descriptor->ProductRevisionOffset = place("device/rev");
    descriptor->Size = at;
    DWORD size = outSize < at ? outSize : at;
    if (out == nullptr || size < 8) return Fail(ERROR_INSUFFICIENT_BUFFER);
    return Reply(out, size, data, size, returned);
}

BOOL DeviceNumber(const HandleRecord& device, void* out, DWORD outSize, DWORD* returned) {
    DWORD partition = 0;
    int number = DiskNumberOfDevice(device.Device, &partition);
    if (number < 0) return Fail(ERROR_INVALID_FUNCTION);
    STORAGE_DEVICE_NUMBER answer = {FILE_DEVICE_DISK, static_cast<DWORD>(number), partition};
    return Reply(out, outSize, &answer, sizeof answer, returned);
}

BOOL LockVolume(HandleRecord& volume) {
    if (volume.Access == 0) return Fail(ERROR_ACCESS_DENIED);
    if (volume.LockFd >= 0) return TRUE;
    int fd = open(volume.Path, O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd < 0) return FailErrno();
    volume.LockFd = fd;
    return TRUE;
}

BOOL UnlockVolume(HandleRecord& volume) {
    if (volume.LockFd < 0) return Fail(ERROR_NOT_LOCKED);
    close(volume.LockFd);
    volume.LockFd = -1;
    return TRUE;
}

}  // namespace

HandleRecord* NewHandle(HandleKind kind) {
    for (HandleRecord& record : Handles) {
        if (record.Kind != HandleKind::Free) continue;
        record = HandleRecord{};
        record.Kind = kind;
        record.Fd = -1;
        record.LockFd = -1;
        return &record;
    }
    Fail(ERROR_TOO_MANY_OPEN_FILES);
    return nullptr;
}

void FreeHandle(HandleRecord* record) { record->Kind = HandleKind::Free; }

HandleRecord* Find(HANDLE handle, HandleKind kind) {
    auto* record = static_cast<HandleRecord*>(handle);
    if (record < Handles || record >= Handles + kMaxHandles || record->Kind != kind) return nullptr;
    return record;
}

}  // namespace lin

using namespace lin;

namespace win {
extern "C" {

// Opens read-only whatever is asked: an access right that could change the
// device is refused, as is any disposition but opening what exists. No access
// rights is a query-only open (O_PATH), which needs no rights on the device.
HANDLE CreateFileA(const char* name, DWORD access, DWORD, void*, DWORD disposition, DWORD flags, HANDLE) {
    char path[kPathSize];
    if (disposition != OPEN_EXISTING || (access & ~GENERIC_READ) != 0) {
        Fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!ResolveName(name, path)) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    struct stat status;
    if (stat(path, &status) != 0) {
        FailErrno();
        return INVALID_HANDLE_VALUE;
    }
    if (!S_ISBLK(status.st_mode)) {
        Fail(ERROR_FILE_NOT_FOUND);  // only devices are opened here
        return INVALID_HANDLE_VALUE;
    }
    int mode = access == 0 ? O_PATH : O_RDONLY | ((flags & FILE_FLAG_NO_BUFFERING) != 0 ? O_DIRECT : 0);
    int fd = open(path, mode | O_CLOEXEC);
    if (fd < 0) {
        FailErrno();
        return INVALID_HANDLE_VALUE;
    }
    HandleRecord* record = NewHandle(HandleKind::Device);
    if (record == nullptr) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    record->Fd = fd;
    record->Access = access;
    record->Device = status.st_rdev;
    Append(record->Path, kPathSize, path);
    SetLastError(0);
    return record;
}

BOOL CloseHandle(HANDLE handle) {
    HandleRecord* record = Find(handle, HandleKind::Device);
    if (record == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (record->LockFd >= 0) close(record->LockFd);
    ReleaseDriveLink(*record);
    close(record->Fd);
    FreeHandle(record);
    return TRUE;
}

// A read of the whole length at the OVERLAPPED offset: pread again after a short
// transfer, so an error inside the range is the read's error; the end of the
// device ends it short with no error.
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* bytesRead, OVERLAPPED* overlapped) {
    if (bytesRead != nullptr) *bytesRead = 0;
    HandleRecord* record = Find(file, HandleKind::Device);
    if (record == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (record->Access == 0) return Fail(ERROR_ACCESS_DENIED);
    if (overlapped != nullptr && overlapped->hEvent != nullptr) return Fail(ERROR_INVALID_PARAMETER);
    unsigned long long offset =
        overlapped != nullptr ? (static_cast<unsigned long long>(overlapped->OffsetHigh) << 32 | overlapped->Offset)
                              : record->FilePosition;
    if (offset > 0x7FFFFFFFFFFFFFFFull) return Fail(ERROR_INVALID_PARAMETER);
    DWORD done = 0;
    while (done < bytes) {
        ssize_t got =
            pread(record->Fd, static_cast<BYTE*>(buffer) + done, bytes - done, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            if (bytesRead != nullptr) *bytesRead = done;
            return FailErrno();
        }
        if (got == 0) break;
        done += static_cast<DWORD>(got);
    }
    record->FilePosition = offset + done;
    if (bytesRead != nullptr) *bytesRead = done;
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned,
                     OVERLAPPED*) {
    DWORD ignored = 0;
    DWORD* returned = bytesReturned != nullptr ? bytesReturned : &ignored;
    *returned = 0;
    HandleRecord* record = Find(device, HandleKind::Device);
    if (record == nullptr) return Fail(ERROR_INVALID_HANDLE);
    switch (code) {
        case IOCTL_DISK_GET_LENGTH_INFO: {
            if (record->Access == 0) return Fail(ERROR_ACCESS_DENIED);
            unsigned long long size = 0;
            if (!DeviceSize(*record, &size)) return FALSE;
            GET_LENGTH_INFORMATION length = {static_cast<LONGLONG>(size)};
            return Reply(out, outSize, &length, sizeof length, returned);
        }
        case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
            return Geometry(*record, out, outSize, returned);
        case IOCTL_STORAGE_QUERY_PROPERTY:
            return Descriptor(*record, in, inSize, out, outSize, returned);
        case IOCTL_STORAGE_GET_DEVICE_NUMBER:
            return DeviceNumber(*record, out, outSize, returned);
        case FSCTL_LOCK_VOLUME:
            return LockVolume(*record);
        case FSCTL_DISMOUNT_VOLUME:
            return TRUE;
        case FSCTL_UNLOCK_VOLUME:
            return UnlockVolume(*record);
        case IOCTL_DISK_VERIFY: {
            // The drive checks its own media; a device that takes no commands
            // answers as a Windows driver without the request does.
            if (in == nullptr || inSize < sizeof(VERIFY_INFORMATION)) return Fail(ERROR_INVALID_PARAMETER);
            VERIFY_INFORMATION request;
            __builtin_memcpy(&request, in, sizeof request);
            if (request.StartingOffset < 0) return Fail(ERROR_INVALID_PARAMETER);
            return VerifyRange(*record, static_cast<unsigned long long>(request.StartingOffset), request.Length);
        }
        case IOCTL_STORAGE_PREDICT_FAILURE: {
            if (out == nullptr || outSize < sizeof(STORAGE_PREDICT_FAILURE)) return Fail(ERROR_INSUFFICIENT_BUFFER);
            STORAGE_PREDICT_FAILURE answer = {};
            if (!PredictFailure(*record, answer.VendorSpecific, &answer.PredictFailure)) return FALSE;
            return Reply(out, outSize, &answer, sizeof answer, returned);
        }
        default:
            return Fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL GetDevicePowerState(HANDLE device, BOOL* on) {
    HandleRecord* record = Find(device, HandleKind::Device);
    if (record == nullptr) return Fail(ERROR_INVALID_HANDLE);
    return PowerState(*record, on);
}

}  // extern "C"
}  // namespace win
