// Opening and probing the target disk, up to the start of the pass loop.
#include "sectorsweep.h"

namespace {

constexpr ULONGLONG kBufferReserve = 0x40000000;
constexpr ULONGLONG kFirstChunk = 0x800000;

BYTE* NewReadBuffer() { return CommitRange(ReserveAddressSpace(kBufferReserve), kFirstChunk); }

// The early exits give the disk and its volumes back before the close prompt.
void ReleaseEarly(PassProgress* pass) {
    if (pass->Disk != nullptr) CloseHandle(pass->Disk);
    if (pass->LockSet != nullptr) {
        UnlockVolumes(pass->LockSet);
        FreeChecked(pass->LockSet);
    }
}

// The size in bytes, or 0 when the request fails.
ULONGLONG QueryDiskSize(HANDLE disk, bool readAccess) {
    DWORD returned = 0;
    if (readAccess) {
        GET_LENGTH_INFORMATION length;
        FillBytes(&length, 0, sizeof length);
        if (!DeviceIoControl(disk, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length, &returned, nullptr))
            return 0;
        return static_cast<ULONGLONG>(length.Length);
    }
    ULONGLONG size = 0;
    return QueryGeometrySize(disk, &size) ? size : 0;
}

}  // namespace

DWORD RunDiskPass(int diskNumber, PassMode mode) {
    PassProgress pass;
    FillBytes(&pass, 0, sizeof pass);
    pass.Mode = mode;
    if (mode != Verify) pass.Buffer1 = NewReadBuffer();
    if (mode == ReadTwice) pass.Buffer2 = NewReadBuffer();
    if (mode == ReadTwice) {
        pass.LockSet = LockVolumesOfDisk(static_cast<VolumeLockSet*>(AllocZeroed(sizeof(VolumeLockSet))), diskNumber);
        if (pass.LockSet->VolumeCount != 0)
            Print("%i of %i volumes locked\n", pass.LockSet->LockedCount, pass.LockSet->VolumeCount);
    }

    char path[28];
    wsprintfA(path, "\\\\.\\PhysicalDrive%u", static_cast<DWORD>(diskNumber));
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    bool readAccess = true;
    HANDLE disk = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        if (mode != Verify) {
            Print("Error %s opening %s -> abort\n", LastErrorName(), path);
            Print("Hint: reading from a disk device requires admin privileges.\n");
            ReleaseEarly(&pass);
            return 5;
        }
        readAccess = false;
        disk = CreateFileA(path, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        if (disk == INVALID_HANDLE_VALUE) {
            Print("Error %s opening %s -> abort\n", LastErrorName(), path);
            return 3;
        }
    }
    pass.Disk = disk;

    pass.DiskSize = QueryDiskSize(disk, readAccess);
    if (pass.DiskSize == 0) {
        Print("\ngetting size failed with ERROR_%s\n", LastErrorName());
        ReleaseEarly(&pass);
        return 4;
    }

    STORAGE_PREDICT_FAILURE prediction;
    FillBytes(&prediction, 0, sizeof prediction);
    DWORD returned = 0;
    if (DeviceIoControl(disk, IOCTL_STORAGE_PREDICT_FAILURE, nullptr, 0, &prediction, sizeof prediction, &returned,
                        nullptr) &&
        prediction.PredictFailure != 0)
        Print("disk predicts failure!\n");

    SetConsoleCtrlHandler(ConsoleCtrlHandler, TRUE);

    char description[kDescriptionSize];
    FillBytes(description, 0, sizeof description);
    CopyText(description, "no name", kDescriptionSize);
    QueryDeviceDescription(disk, description);

    DWORD number = static_cast<DWORD>(diskNumber);
    if (mode == Verify)
        Print("calling IOCTL_DISK_VERIFY for all of Disk %u (%s)...\n", number, description);
    else if (mode == Read)
        Print("reading for all of Disk %u (%s)...\n", number, description);
    else
        Print("reading twice all of Disk %u (%s)...\n", number, description);
    Print("size is %s\n", FormatSize(pass.DiskSize, 0));

    BOOL on = TRUE;
    if (GetDevicePowerState(disk, &on) && !on) Print("waking disk up...");

    return RunPassLoop(&pass);
}
