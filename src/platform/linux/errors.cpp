// The one table from errno to the Win32 error whose name the program prints, so
// a Linux user reads the same words as a Windows user: a medium error is CRC, a
// failed transfer IO_DEVICE, a device in use SHARING_VIOLATION. Codes the
// program has no name for (NOT_ENOUGH_MEMORY, NOT_SUPPORTED, ...) print as their
// number there, as they do on Windows. Anything not in the table is GEN_FAILURE.
#include <errno.h>

#include "platform/linux/internal.h"

namespace lin {
namespace {

struct ErrnoMapping {
    int Errno;
    DWORD Error;
};

constexpr ErrnoMapping kErrnoTable[] = {
    // Opening a device.
    {ENOENT, 2},          // FILE_NOT_FOUND: no such device node
    {ENOTDIR, 3},         // PATH_NOT_FOUND
    {EACCES, 5},          // ACCESS_DENIED: the read modes need root
    {EPERM, 5},           // ACCESS_DENIED: refused whatever the rights (a VM's own disk)
    {EBUSY, 32},          // SHARING_VIOLATION: an exclusive open of a device in use
    {ENXIO, 433},         // NO_SUCH_DEVICE: a loop device with no file behind it
    {ENODEV, 1167},       // DEVICE_NOT_CONNECTED
    {ENOMEDIUM, 1112},    // NO_MEDIA_IN_DRIVE
    {EMEDIUMTYPE, 34},    // WRONG_DISK
    {EROFS, 19},          // WRITE_PROTECT
    {ENAMETOOLONG, 206},  // FILENAME_EXCED_RANGE
    {ELOOP, 1921},        // CANT_RESOLVE_FILENAME
    {EMFILE, 4},          // TOO_MANY_OPEN_FILES
    {ENFILE, 4},          // TOO_MANY_OPEN_FILES
    // What the block layer reports of a read (blk_status_t → errno).
    {ENODATA, 23},      // CRC: a medium error
    {EILSEQ, 23},       // CRC: protection information did not match
    {EIO, 1117},        // IO_DEVICE
    {EREMOTEIO, 1117},  // IO_DEVICE: the target refused the command
    {ENOLINK, 1167},    // DEVICE_NOT_CONNECTED: the transport to the device is down
    {ETIMEDOUT, 121},   // SEM_TIMEOUT
    {EAGAIN, 21},       // NOT_READY
    {ENOSPC, 112},      // DISK_FULL
    {EDQUOT, 112},      // DISK_FULL
    {EOVERFLOW, 27},    // SECTOR_NOT_FOUND: past the device's end
    {EUCLEAN, 1392},    // FILE_CORRUPT
    {ECANCELED, 995},   // OPERATION_ABORTED
    {EINVAL, 87},       // INVALID_PARAMETER: a request the device cannot take
    // Requests a device does not know.
    {ENOTTY, 1},       // INVALID_FUNCTION
    {ENOSYS, 1},       // INVALID_FUNCTION
    {ENOTBLK, 1},      // INVALID_FUNCTION
    {EOPNOTSUPP, 50},  // NOT_SUPPORTED
    // The process itself.
    {ENOMEM, 8},    // NOT_ENOUGH_MEMORY
    {EFAULT, 998},  // NOACCESS: a buffer that is not committed
    {EBADF, 6},     // INVALID_HANDLE
    {EPIPE, 232},   // NO_DATA: the reader of a pipe has gone
    {EEXIST, 183},  // ALREADY_EXISTS
};

}  // namespace

DWORD Win32ErrorOf(int error) {
    if (error == 0) return 0;
    for (const ErrnoMapping& mapping : kErrnoTable)
        if (mapping.Errno == error) return mapping.Error;
    return ERROR_GEN_FAILURE;
}

BOOL FailErrno() { return Fail(Win32ErrorOf(errno)); }

}  // namespace lin
