// Locking and dismounting the volumes of the target disk around a read-twice pass.
#include "sectorsweep.h"

namespace {

constexpr DWORD kVolumeNameSize = 52;

BOOL Control(HANDLE volume, DWORD code) {
    DWORD returned = 0;
    return DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr);
}

}  // namespace

VolumeLockSet* LockVolumesOfDisk(VolumeLockSet* set, int diskNumber) {
    for (int i = 0; i < kMaxLockedVolumes; ++i) {
        set->Handles[i] = nullptr;
        set->Locked[i] = 0;
    }
    set->VolumeCount = 0;
    set->LockedCount = 0;
    char name[kVolumeNameSize];
    FillBytes(name, 0, sizeof name);
    HANDLE search = FindFirstVolumeA(name, kVolumeNameSize);
    if (search == INVALID_HANDLE_VALUE) return set;
    // The set is full at 32 volumes: the search stops there.
    for (BOOL more = TRUE; more;
         more = set->VolumeCount < kMaxLockedVolumes && FindNextVolumeA(search, name, kVolumeNameSize)) {
        if (!IsLocalDiskType(GetDriveTypeA(name))) continue;
        StripTrailingChar(name, '\\');
        if (GetDiskNumber(name) != diskNumber) continue;
        HANDLE volume =
            CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE) continue;
        int slot = set->VolumeCount;
        set->Handles[slot] = volume;
        set->Locked[slot] = Control(volume, FSCTL_LOCK_VOLUME);
        if (set->Locked[slot]) {
            ++set->LockedCount;
            Control(volume, FSCTL_DISMOUNT_VOLUME);
        }
        ++set->VolumeCount;
    }
    FindVolumeClose(search);
    return set;
}

DWORD UnlockVolumes(VolumeLockSet* set) {
    DWORD failure = 0;
    for (int i = 0; i < set->VolumeCount; ++i) {
        if (set->Locked[i] && !Control(set->Handles[i], FSCTL_UNLOCK_VOLUME) && failure == 0) {
            failure = GetLastError();
            if (failure == 0) failure = ERROR_GEN_FAILURE;
        }
        CloseHandle(set->Handles[i]);
    }
    return failure;
}
