// The machine's disks as sysfs shows them: the whole block devices of /sys/block
// with a non-zero size, in natural order of their kernel names, numbered from 0
// (loop devices in use count like any disk). The list is read once per process,
// so a number names the same disk for the whole run. Every file is read with a
// bound; what cannot be read is left out, never guessed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux/internal.h"

namespace lin {
namespace {

DiskRecord Disks[kMaxDisks];
int Count = -1;  // not read yet
char UnknownPath[kPathSize];

bool ParseDevice(const char* text, dev_t* device) {
    unsigned long long major = 0, minor = 0;
    const char* p = text;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') major = major * 10 + static_cast<unsigned long long>(*p++ - '0');
    if (*p++ != ':' || *p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') minor = minor * 10 + static_cast<unsigned long long>(*p++ - '0');
    if (*p != 0 || major > 0xFFFFFFFF || minor > 0xFFFFFFFF) return false;
    *device = makedev(static_cast<unsigned>(major), static_cast<unsigned>(minor));
    return true;
}

bool SysfsPath(char* out, const char* name, const char* file) {
    out[0] = 0;
    return Append(out, kPathSize, "/sys/block/") && Append(out, kPathSize, name) && Append(out, kPathSize, "/") &&
           Append(out, kPathSize, file);
}

void AddDisk(const char* name, void*) {
    if (Count >= kMaxDisks || Length(name) >= kNameSize) return;
    char path[kPathSize];
    char text[64];
    // A device without a size (an unused loop device, an empty drive) is no disk.
    if (!SysfsPath(path, name, "size") || ReadSmallFile(path, text, sizeof text) <= 0 || Same(text, "0")) return;
    DiskRecord disk;
    if (!SysfsPath(path, name, "dev") || ReadSmallFile(path, text, sizeof text) <= 0 ||
        !ParseDevice(text, &disk.Device))
        return;
    disk.Name[0] = 0;
    Append(disk.Name, kNameSize, name);
    // Insertion in natural order.
    int at = Count;
    while (at > 0 && NaturalCompare(Disks[at - 1].Name, disk.Name) > 0) {
        Disks[at] = Disks[at - 1];
        --at;
    }
    Disks[at] = disk;
    ++Count;
}

void ListOnce() {
    if (Count >= 0) return;
    Count = 0;
    ForEachEntry("/sys/block", AddDisk, nullptr);
}

}  // namespace

int ReadSmallFile(const char* path, char* out, int capacity) {
    out[0] = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    int length = 0;
    while (length < capacity - 1) {
        ssize_t got = read(fd, out + length, static_cast<size_t>(capacity - 1 - length));
        if (got <= 0) break;
        length += static_cast<int>(got);
    }
    close(fd);
    while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == ' ' || out[length - 1] == '\t')) --length;
    out[length] = 0;
    return length;
}

bool ForEachEntry(const char* folder, void (*visit)(const char* name, void* context), void* context) {
    DIR* listing = opendir(folder);
    if (listing == nullptr) return false;
    while (dirent* entry = readdir(listing)) {
        if (Same(entry->d_name, ".") || Same(entry->d_name, "..")) continue;
        visit(entry->d_name, context);
    }
    closedir(listing);
    return true;
}

int DiskCount() {
    ListOnce();
    return Count;
}

const DiskRecord* DiskAt(int number) {
    ListOnce();
    return number >= 0 && number < Count ? &Disks[number] : nullptr;
}

int DiskNumberOfDevice(dev_t device, DWORD* partition) {
    ListOnce();
    *partition = 0;
    for (int i = 0; i < Count; ++i)
        if (Disks[i].Device == device) return i;
    // A partition: its sysfs folder lies in its disk's and holds its number.
    char path[kPathSize] = "/sys/dev/block/";
    AppendNumber(path, kPathSize, major(device));
    Append(path, kPathSize, ":");
    AppendNumber(path, kPathSize, minor(device));
    char target[kPathSize];
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0) return -1;
    target[length] = 0;
    char number[16];
    if (!Append(path, kPathSize, "/partition") || ReadSmallFile(path, number, sizeof number) <= 0) return -1;
    // ".../block/sda/sda1": the disk is the folder before the last.
    int end = static_cast<int>(length);
    while (end > 0 && target[end - 1] != '/') --end;
    if (end == 0) return -1;
    target[--end] = 0;
    int start = end;
    while (start > 0 && target[start - 1] != '/') --start;
    for (int i = 0; i < Count; ++i) {
        if (!Same(Disks[i].Name, target + start)) continue;
        DWORD value = 0;
        for (const char* p = number; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<DWORD>(*p - '0');
        *partition = value;
        return i;
    }
    return -1;
}

bool DevicePathOf(const char* kernelName, char* out, int capacity) {
    out[0] = 0;
    if (!Append(out, capacity, "/dev/") || !Append(out, capacity, kernelName)) return false;
    for (char* p = out; *p != 0; ++p)
        if (*p == '!') *p = '/';
    return true;
}

int RememberUnknownPath(const char* path) {
    ListOnce();
    UnknownPath[0] = 0;
    Append(UnknownPath, kPathSize, path);
    return Count;
}

// The transport as the sysfs device path shows it, mapped onto the bus names
// Windows has: the first match wins, so a USB or SAS disk behind a SCSI host is
// USB or SAS.
DWORD BusTypeOfSysfsPath(const char* devicePath, bool sdCard) {
    struct Transport {
        const char* Part;
        DWORD BusType;
    };
    static const Transport kTransports[] = {
        {"/nvme", 17},                        // NVMe
        {"/usb", 7},                          // USB
        {"/ata", 11},                         // SATA (libata)
        {"/end_device-", 10},                 // SAS
        {"/session", 9},                      // iSCSI
        {"/fw", 4},                           // FireWire (1394)
        {"/mmc", 13},                         // MMC (an SD card: SD)
        {"/devices/virtual/block/md", 8},     // RAID
        {"/devices/virtual/block/loop", 15},  // a file behind the device: Virtual
        {"/devices/virtual/block/", 14},      // zram, device mapper, ram disks: Virtual
        {"/host", 1},                         // SCSI, virtio-scsi included
        {"/virtio", 14},                      // virtio-blk: Virtual
    };
    for (const Transport& transport : kTransports) {
        for (const char* p = devicePath; *p != 0; ++p) {
            if (!StartsWith(p, transport.Part)) continue;
            if (transport.BusType == 13 && sdCard) return 12;
            return transport.BusType;
        }
    }
    return 0;  // Unknown
}

}  // namespace lin

using namespace lin;

namespace win {

int PlatformDiskPath(int number, char* path, int size) {
    char text[kPathSize];
    if (const DiskRecord* disk = DiskAt(number)) {
        DevicePathOf(disk->Name, text, kPathSize);
    } else if (number == DiskCount() && UnknownPath[0] != 0) {
        text[0] = 0;
        Append(text, kPathSize, UnknownPath);
    } else {
        // A number that names no disk is shown as such.
        text[0] = 0;
        Append(text, kPathSize, "disk ");
        AppendNumber(text, kPathSize, static_cast<unsigned long long>(static_cast<unsigned>(number)));
    }
    if (size <= 0) return 0;
    path[0] = 0;
    Append(path, size, text);
    return Length(path);
}

}  // namespace win
