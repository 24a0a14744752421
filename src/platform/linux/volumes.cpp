// Volumes, mount points and the disk interfaces on Linux. A disk's volumes are
// its partitions, in natural order; a disk without partitions is a volume of its
// own (a filesystem on the whole device). A volume's names are its device path
// ("/dev/sdb1"), and its path names are where it is mounted, from
// /proc/self/mountinfo. There are no drive letters. The disk interfaces are the
// disks of the list, each named by its device path.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux/internal.h"

namespace lin {
namespace {

constexpr int kMaxVolumes = 1024;
constexpr int kVolumeNameSize = 40;

struct VolumeList {
    char Names[kMaxVolumes][kVolumeNameSize];
    int Count;
};

VolumeList Volumes;

struct PartitionWalk {
    const char* Disk;
    char Found[kMaxVolumes / 4][kNameSize];
    int Count;
};

void AddPartition(const char* name, void* context) {
    auto* walk = static_cast<PartitionWalk*>(context);
    if (walk->Count >= kMaxVolumes / 4 || Length(name) >= kNameSize) return;
    char path[kPathSize] = "/sys/block/";
    char number[16];
    if (!Append(path, kPathSize, walk->Disk) || !Append(path, kPathSize, "/") || !Append(path, kPathSize, name) ||
        !Append(path, kPathSize, "/partition") || ReadSmallFile(path, number, sizeof number) <= 0)
        return;
    // Insertion in natural order.
    int at = walk->Count++;
    while (at > 0 && NaturalCompare(walk->Found[at - 1], name) > 0) {
        walk->Found[at][0] = 0;
        Append(walk->Found[at], kNameSize, walk->Found[at - 1]);
        --at;
    }
    walk->Found[at][0] = 0;
    Append(walk->Found[at], kNameSize, name);
}

void AddVolume(const char* kernelName) {
    if (Volumes.Count >= kMaxVolumes) return;
    if (DevicePathOf(kernelName, Volumes.Names[Volumes.Count], kVolumeNameSize)) ++Volumes.Count;
}

void ListVolumes() {
    static PartitionWalk walk;
    Volumes.Count = 0;
    for (int i = 0; i < DiskCount(); ++i) {
        walk.Disk = DiskAt(i)->Name;
        walk.Count = 0;
        char folder[kPathSize] = "/sys/block/";
        Append(folder, kPathSize, walk.Disk);
        ForEachEntry(folder, AddPartition, &walk);
        if (walk.Count == 0) AddVolume(walk.Disk);
        for (int p = 0; p < walk.Count; ++p) AddVolume(walk.Found[p]);
    }
}

BOOL CopyName(const char* name, char* out, DWORD length) {
    DWORD size = static_cast<DWORD>(Length(name)) + 1;
    if (size > length) return Fail(ERROR_FILENAME_EXCED_RANGE);
    for (DWORD i = 0; i < size; ++i) out[i] = name[i];
    return TRUE;
}

int OctalDigit(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }

// One line of mountinfo at a time, from a bounded buffer; a line longer than
// the buffer is passed over.
struct LineReader {
    int Fd;
    char Buffer[8192];
    int Start;
    int End;
};

bool NextLine(LineReader& reader, char** line) {
    for (;;) {
        for (int i = reader.Start; i < reader.End; ++i) {
            if (reader.Buffer[i] != '\n') continue;
            reader.Buffer[i] = 0;
            *line = reader.Buffer + reader.Start;
            reader.Start = i + 1;
            return true;
        }
        int kept = reader.End - reader.Start;
        bool full = reader.Start == 0 && kept == static_cast<int>(sizeof reader.Buffer);
        if (full) kept = 0;  // too long a line: its start is dropped
        for (int i = 0; i < kept; ++i) reader.Buffer[i] = reader.Buffer[reader.Start + i];
        reader.Start = 0;
        reader.End = kept;
        ssize_t got = read(reader.Fd, reader.Buffer + kept, sizeof reader.Buffer - static_cast<size_t>(kept));
        if (got <= 0) return false;
        reader.End += static_cast<int>(got);
    }
}

// The fields of a mountinfo line, split at blanks in place: 0 mount id, 1 parent,
// 2 major:minor, 3 root, 4 mount point, ... "-", file system type, source.
int SplitFields(char* line, char** fields, int most) {
    int count = 0;
    for (char* p = line; *p != 0 && count < most;) {
        while (*p == ' ') *p++ = 0;
        if (*p == 0) break;
        fields[count++] = p;
        while (*p != 0 && *p != ' ') ++p;
    }
    return count;
}

bool SameDevice(const char* text, dev_t device) {
    char expected[32] = "";
    AppendNumber(expected, sizeof expected, major(device));
    Append(expected, sizeof expected, ":");
    AppendNumber(expected, sizeof expected, minor(device));
    return Same(text, expected);
}

}  // namespace

void DecodeMountPath(char* text) {
    char* out = text;
    for (const char* in = text; *in != 0;) {
        if (in[0] == '\\' && OctalDigit(in[1]) >= 0 && OctalDigit(in[2]) >= 0 && OctalDigit(in[3]) >= 0) {
            int value = OctalDigit(in[1]) * 64 + OctalDigit(in[2]) * 8 + OctalDigit(in[3]);
            *out++ = value == 0 || value > 0xFF ? '?' : static_cast<char>(value);
            in += 4;
        } else {
            *out++ = *in++;
        }
    }
    *out = 0;
}

}  // namespace lin

using namespace lin;

namespace win {
extern "C" {

HANDLE FindFirstVolumeA(char* name, DWORD length) {
    ListVolumes();
    if (Volumes.Count == 0) {
        Fail(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    if (!CopyName(Volumes.Names[0], name, length)) return INVALID_HANDLE_VALUE;
    HandleRecord* search = NewHandle(HandleKind::VolumeSearch);
    if (search == nullptr) return INVALID_HANDLE_VALUE;
    search->Position = 1;
    return search;
}

BOOL FindNextVolumeA(HANDLE handle, char* name, DWORD length) {
    HandleRecord* search = Find(handle, HandleKind::VolumeSearch);
    if (search == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (search->Position >= static_cast<DWORD>(Volumes.Count)) return Fail(ERROR_NO_MORE_FILES);
    return CopyName(Volumes.Names[search->Position++], name, length);
}

BOOL FindVolumeClose(HANDLE handle) {
    HandleRecord* search = Find(handle, HandleKind::VolumeSearch);
    if (search == nullptr) return Fail(ERROR_INVALID_HANDLE);
    FreeHandle(search);
    return TRUE;
}

// A device's kind: an optical drive, a RAM disk (zram, brd), a removable
// medium, or a fixed disk.
UINT GetDriveTypeA(const char* root) {
    constexpr UINT DRIVE_NO_ROOT_DIR = 1;
    struct stat status;
    if (root[0] != '/' || stat(root, &status) != 0 || !S_ISBLK(status.st_mode)) return DRIVE_NO_ROOT_DIR;
    DWORD partition = 0;
    const DiskRecord* disk = DiskAt(DiskNumberOfDevice(status.st_rdev, &partition));
    if (disk == nullptr) return DRIVE_NO_ROOT_DIR;
    if (StartsWith(disk->Name, "sr")) return DRIVE_CDROM;
    if (StartsWith(disk->Name, "zram") || StartsWith(disk->Name, "ram")) return DRIVE_RAMDISK;
    char path[kPathSize] = "/sys/block/";
    char text[8];
    Append(path, kPathSize, disk->Name);
    Append(path, kPathSize, "/removable");
    return ReadSmallFile(path, text, sizeof text) > 0 && Same(text, "1") ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

// No drive letters on Linux.
DWORD QueryDosDeviceA(const char*, char*, DWORD) {
    Fail(ERROR_FILE_NOT_FOUND);
    return 0;
}

// Where the volume is mounted, in the order of mountinfo: a mount of the device
// itself (by its device number) or of its path (a file system that shows a
// device number of its own, as btrfs does). Escapes are decoded; the table
// masks control bytes. The paths that fit the buffer are given; the first one always
// does, or the call fails.
BOOL GetVolumePathNamesForVolumeNameA(const char* volume, char* names, DWORD length, DWORD* returned) {
    struct stat status;
    if (volume[0] != '/' || stat(volume, &status) != 0 || !S_ISBLK(status.st_mode)) return Fail(ERROR_INVALID_NAME);
    if (length < 2) return Fail(ERROR_MORE_DATA);
    static LineReader reader;
    reader.Fd = open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
    if (reader.Fd < 0) return FailErrno();
    reader.Start = 0;
    reader.End = 0;
    DWORD used = 0;
    char* line = nullptr;
    bool cut = false;
    while (!cut && NextLine(reader, &line)) {
        char* fields[12];
        int count = SplitFields(line, fields, 12);
        int separator = 6;
        while (separator < count && !Same(fields[separator], "-")) ++separator;
        if (count < 5) continue;
        bool mine =
            SameDevice(fields[2], status.st_rdev) || (separator + 2 < count && Same(fields[separator + 2], volume));
        if (!mine) continue;
        char* path = fields[4];
        DecodeMountPath(path);
        DWORD size = static_cast<DWORD>(Length(path)) + 1;
        if (used + size + 1 > length) {
            cut = true;
            continue;
        }
        for (DWORD i = 0; i < size; ++i) names[used + i] = path[i];
        used += size;
    }
    close(reader.Fd);
    if (cut && used == 0) return Fail(ERROR_MORE_DATA);
    names[used++] = 0;
    if (used == 1) names[used++] = 0;
    if (returned != nullptr) *returned = used;
    return TRUE;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char*, HWND, DWORD) {
    if (classGuid == nullptr || __builtin_memcmp(classGuid, &GUID_DEVINTERFACE_DISK, sizeof(GUID)) != 0) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    HandleRecord* set = NewHandle(HandleKind::DeviceSet);
    return set != nullptr ? set : INVALID_HANDLE_VALUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO handle, void*, const GUID*, DWORD index, SP_DEVICE_INTERFACE_DATA* data) {
    if (Find(handle, HandleKind::DeviceSet) == nullptr) return Fail(ERROR_INVALID_HANDLE);
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return Fail(ERROR_INVALID_PARAMETER);
    if (index >= static_cast<DWORD>(DiskCount())) return Fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = GUID_DEVINTERFACE_DISK;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO handle, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                                      void*) {
    if (Find(handle, HandleKind::DeviceSet) == nullptr || data == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    const DiskRecord* disk = DiskAt(static_cast<int>(data->Reserved) - 1);
    char path[kPathSize];
    if (disk == nullptr || !DevicePathOf(disk->Name, path, kPathSize)) return Fail(ERROR_INVALID_PARAMETER);
    DWORD needed = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + Length(path) + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr || detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (needed > detailSize) return Fail(ERROR_INSUFFICIENT_BUFFER);
    for (int i = 0; i <= Length(path); ++i) detail->DevicePath[i] = path[i];
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO handle) {
    HandleRecord* set = Find(handle, HandleKind::DeviceSet);
    if (set == nullptr) return Fail(ERROR_INVALID_HANDLE);
    FreeHandle(set);
    return TRUE;
}

}  // extern "C"
}  // namespace win
