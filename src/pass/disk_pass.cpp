// Opening and probing the target disk, up to the start of the pass loop.
#include "sectorsweep.h"

namespace {

BYTE* NewReadBuffer() { return CommitRange(ReserveAddressSpace(kLargestChunk), kFirstChunk); }

// The size in bytes, or 0 when the request fails.
ULONGLONG QueryDiskSize(HANDLE disk, bool readAccess) {
    ULONGLONG size = 0;
    BOOL ok = readAccess ? QueryLength(disk, &size) : QueryGeometrySize(disk, &size);
    return ok ? size : 0;
}

}  // namespace

// The early exits give the disk and its volumes back before the close prompt,
// and the loop's end before it decides the outcome.
DWORD ReleaseDiskAndVolumes(PassProgress* pass) {
    if (pass->Disk != nullptr) CloseHandle(pass->Disk);
    if (pass->LockSet == nullptr) return 0;
    DWORD failure = UnlockVolumes(pass->LockSet);
    FreeChecked(pass->LockSet);
    return failure;
}

DWORD RunDiskPass(int diskNumber, PassMode mode) {
    PassProgress pass;
    FillBytes(&pass, 0, sizeof pass);
    pass.Mode = mode;
    pass.Committed = kFirstChunk;
    if (mode != Verify) pass.Buffer1 = NewReadBuffer();
    if (mode == ReadTwice) pass.Buffer2 = NewReadBuffer();
    // Without both buffers the pass cannot read: its volumes stay mounted.
    if (mode == ReadTwice && pass.Buffer1 != nullptr && pass.Buffer2 != nullptr) {
        pass.LockSet = LockVolumesOfDisk(static_cast<VolumeLockSet*>(AllocZeroed(sizeof(VolumeLockSet))), diskNumber);
        if (pass.LockSet->VolumeCount != 0)
            Print("%i of %i volumes locked\n", pass.LockSet->LockedCount, pass.LockSet->VolumeCount);
    }

    char path[28];
    wsprintfA(path, "\\\\.\\PhysicalDrive%u", static_cast<DWORD>(diskNumber));
    // The messages name the disk by the platform's device path where it has one.
    char shownPath[kPathWorkSize];
    if (PlatformDiskPath(diskNumber, shownPath, kPathWorkSize) == 0) CopyText(shownPath, path, kPathWorkSize);
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
    bool readAccess = true;
    HANDLE disk = CreateFileA(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        if (mode != Verify) {
            Print("Error %s opening %s -> abort\n", LastErrorName(), shownPath);
            Print("Hint: reading from a disk device requires admin privileges.\n");
            ReleaseDiskAndVolumes(&pass);
            return 5;
        }
        readAccess = false;
        disk = CreateFileA(path, 0, share, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        if (disk == INVALID_HANDLE_VALUE) {
            Print("Error %s opening %s -> abort\n", LastErrorName(), shownPath);
            return 3;
        }
    }
    pass.Disk = disk;

    pass.DiskSize = QueryDiskSize(disk, readAccess);
    if (pass.DiskSize == 0) {
        Print("\ngetting size failed with ERROR_%s\n", LastErrorName());
        ReleaseDiskAndVolumes(&pass);
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
    // A disk that names itself nothing is named by its device path, where the platform has one.
    if (description[0] == 0) PlatformDiskPath(diskNumber, description, kDescriptionSize);

    DWORD number = static_cast<DWORD>(diskNumber);
    if (mode == Verify)
        Print(kVerifyHeaderFormat, number, description);
    else if (mode == Read)
        Print("reading for all of Disk %u (%s)...\n", number, description);
    else
        Print("reading twice all of Disk %u (%s)...\n", number, description);
    Print("size is %s\n", FormatSize(pass.DiskSize, 0));

    BOOL on = TRUE;
    if (GetDevicePowerState(disk, &on) && !on) Print("waking disk up...");

    return RunPassLoop(&pass);
}
