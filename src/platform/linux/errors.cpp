// The one table from errno to the Win32 error whose name the program prints, so
// a Linux user reads the same words as a Windows user: a medium error is CRC, a
// failed transfer IO_DEVICE, a device in use SHARING_VIOLATION. Codes the
// program has no name for (NOT_ENOUGH_MEMORY, NOT_SUPPORTED, ...) print as their
// number there, as they do on Windows. Anything not in the table is GEN_FAILURE.
// The answers of a drive's own commands (SCSI sense keys and statuses, NVMe
// status codes) map onto the same names here, so a medium error reads CRC
// whether the kernel or the drive reported it.
#include <errno.h>

#include "platform/linux/drive.h"
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

// SCSI sense keys. NO SENSE and RECOVERED ERROR are success; ILLEGAL REQUEST
// depends on its additional sense code.
struct SenseMapping {
    BYTE Key;
    int Asc;  // -1: any
    DWORD Error;
};

constexpr SenseMapping kSenseTable[] = {
    {0x0, -1, 0},     // NO SENSE
    {0x1, -1, 0},     // RECOVERED ERROR: the drive corrected it
    {0x2, -1, 21},    // NOT READY
    {0x3, -1, 23},    // CRC: MEDIUM ERROR
    {0x4, -1, 483},   // DEVICE_HARDWARE_ERROR
    {0x5, 0x20, 1},   // INVALID_FUNCTION: ILLEGAL REQUEST, invalid command operation code
    {0x5, 0x21, 27},  // SECTOR_NOT_FOUND: ILLEGAL REQUEST, LBA out of range
    {0x5, 0x24, 87},  // INVALID_PARAMETER: ILLEGAL REQUEST, invalid field in CDB (too many blocks)
    {0x5, -1, 1},     // INVALID_FUNCTION: any other ILLEGAL REQUEST
    {0x6, -1, 1110},  // MEDIA_CHANGED: a UNIT ATTENTION that outlived its retries
    {0x7, -1, 19},    // WRITE_PROTECT: DATA PROTECT
    {0xB, -1, 1117},  // IO_DEVICE: ABORTED COMMAND
};

// SCSI status bytes other than GOOD and CHECK CONDITION, and host bytes.
struct StatusMapping {
    int Value;
    DWORD Error;
};

constexpr StatusMapping kScsiStatusTable[] = {
    {0x08, 21},   // BUSY: NOT_READY
    {0x18, 170},  // RESERVATION CONFLICT: BUSY
    {0x28, 21},   // TASK SET FULL: NOT_READY
};

constexpr StatusMapping kHostTable[] = {
    {0x01, 1167},  // DID_NO_CONNECT: DEVICE_NOT_CONNECTED
    {0x02, 21},    // DID_BUS_BUSY: NOT_READY
    {0x03, 121},   // DID_TIME_OUT: SEM_TIMEOUT, the command ran past its timeout
    {0x04, 433},   // DID_BAD_TARGET: NO_SUCH_DEVICE
    {0x05, 121},   // DID_ABORT: SEM_TIMEOUT, the error handler aborted it
    {0x0E, 1167},  // DID_TRANSPORT_DISRUPTED
    {0x0F, 1167},  // DID_TRANSPORT_FAILFAST
};

// NVMe status fields (status code type << 8 | status code).
constexpr StatusMapping kNvmeTable[] = {
    {0x001, 1},     // INVALID_FUNCTION: invalid command opcode
    {0x002, 87},    // INVALID_PARAMETER: invalid field in command (a Verify over the size limit)
    {0x004, 1117},  // IO_DEVICE: data transfer error
    {0x006, 1117},  // IO_DEVICE: internal error
    {0x007, 121},   // SEM_TIMEOUT: aborted at the kernel's request, which it makes when a command times out
    {0x00B, 433},   // NO_SUCH_DEVICE: invalid namespace
    {0x080, 27},    // SECTOR_NOT_FOUND: LBA out of range
    {0x082, 21},    // NOT_READY: namespace not ready
    {0x280, 483},   // DEVICE_HARDWARE_ERROR: write fault
    {0x281, 23},    // CRC: unrecovered read error
    {0x282, 23},    // CRC: end-to-end guard check error
    {0x283, 23},    // CRC: end-to-end application tag check error
    {0x284, 23},    // CRC: end-to-end reference tag check error
    {0x286, 5},     // ACCESS_DENIED
    {0x371, 121},   // SEM_TIMEOUT: aborted by the host, which cancels a command that timed out
};

template <int N>
DWORD Lookup(const StatusMapping (&table)[N], int value, DWORD otherwise) {
    for (const StatusMapping& mapping : table)
        if (mapping.Value == value) return mapping.Error;
    return otherwise;
}

}  // namespace

DWORD SenseKeyError(BYTE key, BYTE asc) {
    for (const SenseMapping& mapping : kSenseTable)
        if (mapping.Key == key && (mapping.Asc < 0 || mapping.Asc == asc)) return mapping.Error;
    return ERROR_IO_DEVICE;
}

DWORD ScsiAnswerError(const CommandAnswer& answer) {
    constexpr BYTE kGood = 0x00, kCheckCondition = 0x02, kConditionMet = 0x04;
    constexpr unsigned kDriverTimeout = 0x06;
    if (answer.Errno != 0) return Win32ErrorOf(answer.Errno);
    if (answer.Host != 0) return Lookup(kHostTable, answer.Host, ERROR_IO_DEVICE);
    if ((answer.Driver & 0x0F) == kDriverTimeout) return 121;
    if (answer.Status == kGood || answer.Status == kConditionMet) return 0;
    if (answer.Status != kCheckCondition) return Lookup(kScsiStatusTable, answer.Status, ERROR_IO_DEVICE);
    SenseFacts facts = ReadSense(answer.Sense, answer.SenseLength);
    if (!facts.Present) return ERROR_IO_DEVICE;  // a check condition with nothing to say why
    return SenseKeyError(facts.Key, facts.Asc);
}

DWORD NvmeStatusError(DWORD status) {
    // Bits 13 and 14 (more information, do not retry) and the retry delay say
    // nothing of what went wrong.
    int code = static_cast<int>(status & 0x7FF);
    if (code == 0) return 0;
    if ((code >> 8) == 3 && code != 0x371) return 1167;  // path errors: DEVICE_NOT_CONNECTED, as ENOLINK
    return Lookup(kNvmeTable, code, ERROR_IO_DEVICE);
}

DWORD NvmeAnswerError(const CommandAnswer& answer) {
    // A passthrough command that timed out is cancelled and comes back as EINTR:
    // the kernel waits for it without letting signals in.
    if (answer.Errno == EINTR) return 121;
    if (answer.Errno != 0) return Win32ErrorOf(answer.Errno);
    return NvmeStatusError(answer.NvmeStatus);
}

DWORD Win32ErrorOf(int error) {
    if (error == 0) return 0;
    for (const ErrnoMapping& mapping : kErrnoTable)
        if (mapping.Errno == error) return mapping.Error;
    return ERROR_GEN_FAILURE;
}

BOOL FailErrno() { return Fail(Win32ErrorOf(errno)); }

}  // namespace lin
