// Disk numbers behind device and volume paths, bus type names.
#include "sectorsweep.h"

namespace {

constexpr const char* kBusTypeNames[] = {
    "Unknown", "SCSI", "ATAPI", "ATA", "FireWire", "SSA",     "Fibre",  "USB",  "RAID", "iSCSI",
    "SAS",     "SATA", "SD",    "MMC", "Virtual",  "Virtual", "Spaces", "NVMe", "SCM",  "UFS",
};

}  // namespace

bool IsLocalDiskType(UINT type) { return type == DRIVE_REMOVABLE || type == DRIVE_FIXED || type == DRIVE_RAMDISK; }

BOOL QueryGeometrySize(HANDLE disk, ULONGLONG* size) {
    alignas(8) BYTE geometry[40];
    FillBytes(geometry, 0, sizeof geometry);
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned,
                         nullptr))
        return FALSE;
    *size = static_cast<ULONGLONG>(reinterpret_cast<DISK_GEOMETRY_EX*>(geometry)->DiskSize);
    return TRUE;
}

void StripTrailingChar(char* text, char ch) {
    int length = TextLength(text);
    if (length > 0 && text[length - 1] == ch) text[length - 1] = 0;
}

const char* BusTypeName(DWORD busType) {
    return busType < sizeof kBusTypeNames / sizeof kBusTypeNames[0] ? kBusTypeNames[busType] : "Unknown";
}

int GetDiskNumber(const char* path) {
    // A path that does not fit the working text is not cut: it names no disk.
    if (path[0] == 0 || TextLength(path) > kPathWorkSize - 1) return -1;
    char copy[kPathWorkSize];
    CopyText(copy, path, kPathWorkSize);
    StripTrailingChar(copy, '\\');
    HANDLE device = CreateFileA(copy, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) return -1;
    STORAGE_DEVICE_NUMBER number;
    FillBytes(&number, 0, sizeof number);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                              nullptr);
    CloseHandle(device);
    return ok && returned != 0 ? static_cast<int>(number.DeviceNumber) : -1;
}
