// What the files of the Linux platform share: the last error, the handle table,
// the machine's disks from sysfs, small bounded text and file helpers, and the
// console's row model. Private to platform/linux/.
#pragma once

#include <sys/types.h>

#include "platform/win32.h"

namespace lin {

using namespace win;

// Win32 codes the platform answers with beyond those the program names.
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_NOT_LOCKED = 158;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_INVALID_USER_BUFFER = 1784;

// ---- process (process.cpp) ------------------------------------------------------

// The arguments main received, for the command line.
void SetArguments(int count, char** words);

// ---- errors -------------------------------------------------------------------

// The Win32 code whose name the program prints for an errno (errors.cpp).
DWORD Win32ErrorOf(int error);
// Sets the calling thread's last error and answers FALSE.
BOOL Fail(DWORD error);
// The same for the errno the last failed system call left.
BOOL FailErrno();

// ---- bounded texts --------------------------------------------------------------

int Length(const char* text);
bool Same(const char* a, const char* b);
bool StartsWith(const char* text, const char* prefix);
// Appends as much of `piece` as fits a buffer of `capacity`; false when cut.
bool Append(char* out, int capacity, const char* piece);
// Appends the decimal form of `value`.
bool AppendNumber(char* out, int capacity, unsigned long long value);
// Kernel names compared as people count: "loop2" before "loop10".
int NaturalCompare(const char* a, const char* b);

// ---- files ----------------------------------------------------------------------

// Reads at most capacity - 1 bytes of a small file (sysfs), drops trailing blanks
// and line ends, and terminates; -1 when it cannot be read.
int ReadSmallFile(const char* path, char* out, int capacity);
// Calls `visit` with each entry name of a folder, "." and ".." left out; false
// when the folder cannot be read.
bool ForEachEntry(const char* folder, void (*visit)(const char* name, void* context), void* context);

// ---- the machine's disks (storage.cpp) -------------------------------------------

constexpr int kNameSize = 32;
constexpr int kPathSize = 272;
constexpr int kMaxDisks = 512;

struct DiskRecord {
    char Name[kNameSize];  // the kernel name: "sda", "nvme0n1", "loop3"
    dev_t Device;
};

// The disks in their numbering, read from /sys/block once per process.
int DiskCount();
const DiskRecord* DiskAt(int number);
// The number of the disk a block device is or lies on, and its partition
// number (0 for the disk itself); -1 when it is on no disk of the list.
int DiskNumberOfDevice(dev_t device, DWORD* partition);
// "/dev/" and the kernel name, '!' read as '/' ("cciss!c0d0").
bool DevicePathOf(const char* kernelName, char* out, int capacity);
// Remembers a device path typed on the command line that names no disk: it
// stands as the first number past the last disk. Returns that number.
int RememberUnknownPath(const char* path);
// The bus type of a disk from its sysfs device path (BusType of a storage
// device descriptor).
DWORD BusTypeOfSysfsPath(const char* devicePath, bool sdCard);

// ---- handles --------------------------------------------------------------------

enum class HandleKind { Free, Std, Device, VolumeSearch, DeviceSet };

// How a device takes its own commands, learned on the first request that sends
// one (drive_io.cpp).
enum class DriveTransport : BYTE { Unknown, None, Scsi, Nvme };

struct DriveLink {
    DriveTransport Kind;
    DWORD Error;  // None: the error its requests fail with
    int Fd;       // carries the commands: the handle's descriptor, or one opened for them; -1
    bool OwnFd;   // Fd was opened for the commands and is closed with the handle
    bool Usb;     // behind a USB bridge
    DWORD BlockSize;
    DWORD Namespace;                // NVMe
    DWORD MaxBlocks;                // most blocks a command verifies
    unsigned long long FirstBlock;  // where a partition starts on its disk
    unsigned long long Blocks;      // the device's size in blocks
};

struct HandleRecord {
    HandleKind Kind;
    int Fd;          // Std: 0, 1 or 2; Device: the descriptor
    int LockFd;      // Device: the exclusive descriptor of a locked volume, or -1
    DWORD Access;    // Device: GENERIC_READ, or 0 for a query-only open
    dev_t Device;    // Device: the block device
    DWORD Position;  // VolumeSearch: the next volume; Device: unused
    unsigned long long FilePosition;
    char Path[kPathSize];  // Device: the path opened
    DriveLink Link;        // Device: its own commands
};

HandleRecord* NewHandle(HandleKind kind);
void FreeHandle(HandleRecord* record);
// The record behind a handle of that kind, or none.
HandleRecord* Find(HANDLE handle, HandleKind kind);

// ---- volumes (volumes.cpp) --------------------------------------------------------

// Each device path in `text` of mountinfo's octal escapes (\040) decoded in place.
void DecodeMountPath(char* text);

// ---- console (console.cpp) ---------------------------------------------------------

// Whether a standard descriptor is a terminal.
bool IsTerminal(int fd);

}  // namespace lin
