// The requests that ask a disk or volume about itself: its length, its
// geometry, its descriptor, the disk number behind it, and its drive type.
#include "sectorsweep.h"

bool IsLocalDiskType(UINT type) { return type == DRIVE_REMOVABLE || type == DRIVE_FIXED || type == DRIVE_RAMDISK; }

BOOL QueryLength(HANDLE disk, ULONGLONG* size) {
    GET_LENGTH_INFORMATION length;
    FillBytes(&length, 0, sizeof length);
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr))
        return FALSE;
    if (length.Length < 0) return FALSE;
    *size = static_cast<ULONGLONG>(length.Length);
    return TRUE;
}

BOOL QueryGeometrySize(HANDLE disk, ULONGLONG* size) {
    alignas(8) BYTE geometry[40];
    FillBytes(geometry, 0, sizeof geometry);
    DWORD returned = 0;
    if (!DeviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry, sizeof geometry, &returned,
                         nullptr))
        return FALSE;
    LONGLONG answer = reinterpret_cast<DISK_GEOMETRY_EX*>(geometry)->DiskSize;
    if (answer < 0) return FALSE;
    *size = static_cast<ULONGLONG>(answer);
    return TRUE;
}

BOOL QueryDescriptor(HANDLE disk, BYTE* reply) {
    STORAGE_PROPERTY_QUERY query;
    FillBytes(&query, 0, sizeof query);
    FillBytes(reply, 0, kDescriptorReplySize);
    reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(reply)->Size = kDescriptorReplySize;
    DWORD returned = 0;
    return DeviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, reply, kDescriptorReplySize,
                           &returned, nullptr);
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
    if (!ok || returned == 0) return -1;
    // An optical drive counts its own devices: its number 0 is not Disk0.
    return number.DeviceType == FILE_DEVICE_DISK ? static_cast<int>(number.DeviceNumber) : -1;
}
