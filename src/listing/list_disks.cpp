// Enumeration of the machine's disks for the listing, and the names of their buses.
#include "sectorsweep.h"

namespace {

constexpr int kDetailSize = 1024;
constexpr int kVolumeNameSize = 52;
constexpr int kPathListSize = 1024;
constexpr int kDosTargetSize = 260;

constexpr const char* kBusTypeNames[] = {
    "Unknown", "SCSI", "ATAPI", "ATA", "FireWire", "SSA",     "Fibre",  "USB",  "RAID", "iSCSI",
    "SAS",     "SATA", "SD",    "MMC", "Virtual",  "Virtual", "Spaces", "NVMe", "SCM",  "UFS",
};

// Appends ", " (when needed) and `count` characters of `piece`; what does not fit
// is left off whole.
void AppendLetters(char* letters, const char* piece, int count) {
    int length = TextLength(letters);
    int separator = length > 0 ? 2 : 0;
    if (length + separator + count > kLettersSize - 1) return;
    if (separator) {
        letters[length++] = ',';
        letters[length++] = ' ';
    }
    int start = length;
    for (int i = 0; i < count; ++i) letters[length++] = piece[i];
    letters[length] = 0;
    MaskControlBytes(letters + start);
}

void AppendToDisk(DiskList* list, int number, const char* piece, int count) {
    for (int i = 0; i < list->Count; ++i)
        if (list->Entries[i].DiskNumber == number) AppendLetters(list->Entries[i].Letters, piece, count);
}

void ReadDiskDetails(DiskListEntry* entry) {
    HANDLE disk =
        CreateFileA(entry->DevicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) return;
    if (QueryGeometrySize(disk, &entry->Size)) CopyText(entry->SizeText, FormatSize(entry->Size, 0), kSizeTextSize);
    alignas(8) BYTE reply[kDescriptorReplySize];
    if (QueryDescriptor(disk, reply)) {
        entry->BusName = BusTypeName(reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(reply)->BusType);
        DescribeReply(reply, entry->Description);
    }
    CloseHandle(disk);
}

void EnumerateInterfaces(DiskList* list, HDEVINFO set) {
    SP_DEVICE_INTERFACE_DATA data;
    DWORD counted = 0;
    for (;; ++counted) {
        FillBytes(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, counted, &data)) break;
    }
    list->Capacity = static_cast<int>(counted) + 10;
    list->Entries =
        static_cast<DiskListEntry*>(AllocZeroed(sizeof(DiskListEntry) * static_cast<ULONGLONG>(list->Capacity)));
    alignas(SP_DEVICE_INTERFACE_DETAIL_DATA_A) BYTE detailBuffer[kDetailSize];
    // Interfaces that appear after the count fill the spare room and no more.
    for (DWORD index = 0; list->Count < list->Capacity; ++index) {
        FillBytes(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_DISK, index, &data)) break;
        FillBytes(detailBuffer, 0, sizeof detailBuffer);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(detailBuffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, kDetailSize, nullptr, nullptr)) continue;
        int number = GetDiskNumber(detail->DevicePath);
        if (number < 0) continue;
        Print("\rgetting info about Disk%i", number);
        if (number > list->HighestNumber) list->HighestNumber = number;
        DiskListEntry* entry = &list->Entries[list->Count++];
        entry->DiskNumber = number;
        entry->BusName = "";
        wsprintfA(entry->DevicePath, "\\\\.\\PhysicalDrive%i", number);
        PlatformDiskPath(number, entry->PlatformPath, kDevicePathSize);
        ReadDiskDetails(entry);
    }
}

void AddDriveLetters(DiskList* list) {
    char target[kDosTargetSize];
    for (char letter = 'A'; letter <= 'Z'; ++letter) {
        char device[3] = {letter, ':', 0};
        if (QueryDosDeviceA(device, target, kDosTargetSize) == 0) continue;
        char path[7] = {'\\', '\\', '.', '\\', letter, ':', 0};
        int number = GetDiskNumber(path);
        if (number < 0) continue;
        AppendToDisk(list, number, device, 2);
    }
}

void AddMountPoints(DiskList* list) {
    char name[kVolumeNameSize];
    FillBytes(name, 0, sizeof name);
    HANDLE search = FindFirstVolumeA(name, kVolumeNameSize);
    if (search == INVALID_HANDLE_VALUE) return;
    char paths[kPathListSize];
    for (BOOL more = TRUE; more; more = FindNextVolumeA(search, name, kVolumeNameSize)) {
        if (!IsLocalDiskType(GetDriveTypeA(name))) continue;
        FillBytes(paths, 0, sizeof paths);
        DWORD returned = 0;
        if (!GetVolumePathNamesForVolumeNameA(name, paths, kPathListSize, &returned)) continue;
        // A drive root ("C:\") counts in the letter scan.
        int length = TextLength(paths);
        if (length == 0 || (length <= 3 && paths[1] == ':')) continue;
        int number = GetDiskNumber(name);
        if (number < 0) continue;
        // The folder goes in without its trailing backslash.
        AppendToDisk(list, number, paths, paths[length - 1] == '\\' ? length - 1 : length);
    }
    FindVolumeClose(search);
}

}  // namespace

const char* BusTypeName(DWORD busType) {
    return busType < sizeof kBusTypeNames / sizeof kBusTypeNames[0] ? kBusTypeNames[busType] : "Unknown";
}

DiskList* ListDisks(DiskList* list) {
    list->Count = 0;
    list->HighestNumber = 0;
    list->Capacity = 0;
    list->Entries = nullptr;
    HDEVINFO set =
        SetupDiGetClassDevsA(&GUID_DEVINTERFACE_DISK, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return list;
    EnumerateInterfaces(list, set);
    SetupDiDestroyDeviceInfoList(set);
    AddDriveLetters(list);
    AddMountPoints(list);
    ClearStatusLine();
    return list;
}
