// A drive's own commands sent through the kernel: SG_IO for SCSI disks (sd:
// SCSI, SAS, and SATA behind libata, which translates), the NVMe passthrough
// ioctls for NVMe namespaces. Which of the two a device takes is told by sysfs
// and confirmed by the device: a disk whose kernel name begins with "nvme" is an
// NVMe namespace when NVME_IOCTL_ID gives its namespace id; a disk bound to the
// sd driver is a SCSI disk when it answers SG_GET_VERSION_NUM. Anything else
// (loop, virtio-blk, null_blk, device mapper, md) is sent nothing: passing SG_IO
// to a stacked device could reach the disk below it, whose block numbers are
// not the device's.
#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <stdint.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "platform/linux/drive.h"

namespace lin {
namespace {

constexpr int kUnitAttentionTries = 3;

// The answers of Identify and Get Log Page land here; the kernel maps them in.
alignas(4096) BYTE IdentifyData[kNvmeIdentifySize];
alignas(4096) BYTE HealthLog[kNvmeHealthLogSize];

bool DiskName(const HandleRecord& device, char* name) {
    DWORD partition = 0;
    const DiskRecord* disk = DiskAt(DiskNumberOfDevice(device.Device, &partition));
    if (disk == nullptr) return false;
    name[0] = 0;
    return Append(name, kNameSize, disk->Name);
}

bool BehindUsb(const char* name) {
    char path[kPathSize] = "/sys/block/";
    char target[kPathSize];
    if (!Append(path, kPathSize, name)) return false;
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = 0;
    constexpr DWORD kBusTypeUsb = 7;
    return BusTypeOfSysfsPath(target, false) == kBusTypeUsb;
}

bool BoundToSd(const char* name) {
    char path[kPathSize] = "/sys/block/";
    char target[kPathSize];
    if (!Append(path, kPathSize, name) || !Append(path, kPathSize, "/device/driver")) return false;
    ssize_t length = readlink(path, target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = 0;
    int at = static_cast<int>(length);
    while (at > 0 && target[at - 1] != '/') --at;
    return Same(target + at, "sd");
}

// A partition's first 512-byte unit on its disk; 0 for a whole disk.
unsigned long long PartitionStart(dev_t device) {
    char path[kPathSize] = "/sys/dev/block/";
    char text[32];
    AppendNumber(path, kPathSize, major(device));
    Append(path, kPathSize, ":");
    AppendNumber(path, kPathSize, minor(device));
    Append(path, kPathSize, "/start");
    if (ReadSmallFile(path, text, sizeof text) <= 0) return 0;
    unsigned long long value = 0;
    for (const char* p = text; *p >= '0' && *p <= '9'; ++p) value = value * 10 + static_cast<unsigned>(*p - '0');
    return value;
}

DWORD NoLink(DriveLink& link, DWORD error) {
    link.Kind = DriveTransport::None;
    link.Error = error;
    return error;
}

// The Verify Size Limit of the NVM command set's controller data; unknown when
// the controller does not answer that Identify (before NVMe 2.0).
DWORD LearnNvmeLimit(const DriveLink& link) {
    DriveCommand command;
    CommandAnswer answer;
    BuildNvmeIdentify(&command, 0, kIdentifyCommandSetController, kNvmCommandSet, IdentifyData);
    bool known = SendCommand(link.Fd, command, &answer) && NvmeAnswerError(answer) == 0;
    return NvmeVerifyBlocks(known, known ? IdentifyData[0] : 0, link.BlockSize);
}

// Learns once how the device takes commands; the error its requests fail with
// when it takes none.
DWORD Learn(HandleRecord& device) {
    DriveLink& link = device.Link;
    if (link.Kind == DriveTransport::Scsi || link.Kind == DriveTransport::Nvme) return 0;
    if (link.Kind == DriveTransport::None) return link.Error;
    char name[kNameSize];
    if (!DiskName(device, name)) return NoLink(link, ERROR_INVALID_FUNCTION);
    bool nvme = StartsWith(name, "nvme");
    if (!nvme && !BoundToSd(name)) return NoLink(link, ERROR_INVALID_FUNCTION);
    // A query-only handle cannot carry an ioctl: the commands get a descriptor
    // of their own, which needs the rights to read the device.
    if (device.Access != 0) {
        link.Fd = device.Fd;
    } else {
        link.Fd = open(device.Path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (link.Fd < 0) return NoLink(link, Win32ErrorOf(errno));
        link.OwnFd = true;
    }
    int blockSize = 0;
    uint64_t bytes = 0;
    if (ioctl(link.Fd, BLKSSZGET, &blockSize) != 0 || blockSize <= 0 || ioctl(link.Fd, BLKGETSIZE64, &bytes) != 0)
        return NoLink(link, Win32ErrorOf(errno != 0 ? errno : EINVAL));
    link.BlockSize = static_cast<DWORD>(blockSize);
    link.Blocks = bytes / link.BlockSize;
    link.FirstBlock = PartitionStart(device.Device) * 512 / link.BlockSize;
    if (nvme) {
        int nsid = ioctl(link.Fd, NVME_IOCTL_ID);
        if (nsid <= 0) return NoLink(link, ERROR_INVALID_FUNCTION);
        link.Namespace = static_cast<DWORD>(nsid);
        link.Kind = DriveTransport::Nvme;
        link.MaxBlocks = LearnNvmeLimit(link);
        return 0;
    }
    int version = 0;
    if (ioctl(link.Fd, SG_GET_VERSION_NUM, &version) != 0) return NoLink(link, ERROR_INVALID_FUNCTION);
    link.Kind = DriveTransport::Scsi;
    link.MaxBlocks = kScsiVerifyBlocks;
    link.Usb = BehindUsb(name);
    return 0;
}

// A SCSI command, sent again while the device reports a unit attention (a
// reset, a power-on): the condition is reported once and then cleared.
DWORD SendScsi(int fd, const DriveCommand& command, CommandAnswer* answer) {
    for (int attempt = 1;; ++attempt) {
        SendCommand(fd, command, answer);
        if (!RetryScsiAnswer(*answer) || attempt == kUnitAttentionTries) return ScsiAnswerError(*answer);
    }
}

}  // namespace

bool SendCommand(int fd, const DriveCommand& command, CommandAnswer* answer) {
    *answer = CommandAnswer{};
    if (!ReadOnlyCommand(command)) {
        answer->Errno = EPERM;
        return false;
    }
    if (command.Path == CommandPath::Scsi) {
        sg_io_hdr_t header = {};
        header.interface_id = 'S';
        header.dxfer_direction = SG_DXFER_NONE;
        header.cmd_len = sizeof command.Cdb;
        header.mx_sb_len = sizeof answer->Sense;
        header.cmdp = const_cast<BYTE*>(command.Cdb);
        header.sbp = answer->Sense;
        header.timeout = command.TimeoutMs;
        if (ioctl(fd, SG_IO, &header) != 0) {
            answer->Errno = errno;
            return true;
        }
        answer->Status = header.status;
        answer->Host = header.host_status;
        answer->Driver = header.driver_status;
        answer->SenseLength = header.sb_len_wr;
        return true;
    }
    nvme_passthru_cmd passthru = {};
    passthru.opcode = command.Opcode;
    passthru.nsid = command.Namespace;
    passthru.addr = reinterpret_cast<uintptr_t>(command.Data);
    passthru.data_len = command.DataSize;
    passthru.cdw10 = command.Cdw10;
    passthru.cdw11 = command.Cdw11;
    passthru.cdw12 = command.Cdw12;
    passthru.cdw13 = command.Cdw13;
    passthru.timeout_ms = command.TimeoutMs;
    int result = ioctl(fd, command.Path == CommandPath::NvmeIo ? NVME_IOCTL_IO_CMD : NVME_IOCTL_ADMIN_CMD, &passthru);
    if (result < 0)
        answer->Errno = errno;
    else
        answer->NvmeStatus = static_cast<DWORD>(result);
    return true;
}

BOOL VerifyRange(HandleRecord& device, unsigned long long offset, DWORD length) {
    if (DWORD error = Learn(device)) return Fail(error);
    const DriveLink& link = device.Link;
    if (offset % link.BlockSize != 0 || length % link.BlockSize != 0) return Fail(ERROR_INVALID_PARAMETER);
    unsigned long long first = offset / link.BlockSize;
    unsigned long long blocks = length / link.BlockSize;
    if (first > link.Blocks || blocks > link.Blocks - first) return Fail(ERROR_SECTOR_NOT_FOUND);
    VerifySpan span = {link.FirstBlock + first, blocks, link.MaxBlocks};
    unsigned long long lba = 0;
    DWORD count = 0;
    while (NextVerifyCommand(&span, &lba, &count)) {
        DriveCommand command;
        CommandAnswer answer;
        DWORD error = 0;
        if (link.Kind == DriveTransport::Nvme) {
            BuildNvmeVerify(&command, link.Namespace, lba, count);
            SendCommand(link.Fd, command, &answer);
            error = NvmeAnswerError(answer);
        } else {
            BuildScsiVerify(&command, lba, count);
            error = SendScsi(link.Fd, command, &answer);
        }
        if (error != 0) return Fail(error);
    }
    return TRUE;
}

BOOL PredictFailure(HandleRecord& device, BYTE* vendor, DWORD* predict) {
    if (DWORD error = Learn(device)) return Fail(error);
    DriveCommand command;
    CommandAnswer answer;
    if (device.Link.Kind == DriveTransport::Scsi) {
        // A USB bridge is sent no ATA pass-through (Windows sends it none
        // either): some bridges reset on one they do not know.
        if (device.Link.Usb) return Fail(ERROR_INVALID_FUNCTION);
        BuildSmartReturnStatus(&command);
        SendScsi(device.Link.Fd, command, &answer);
        Prediction prediction = SmartPrediction(answer);
        if (prediction == Prediction::Unknown) return Fail(ERROR_INVALID_FUNCTION);
        *predict = prediction == Prediction::Failing ? 1 : 0;
        return TRUE;
    }
    BuildNvmeHealthLog(&command, HealthLog);
    if (!SendCommand(device.Link.Fd, command, &answer) || NvmeAnswerError(answer) != 0)
        return Fail(ERROR_INVALID_FUNCTION);
    // Byte 0, critical warning: spare below its threshold, temperature, degraded
    // reliability, read-only media, volatile backup failed. The whole log
    // stands as the vendor's bytes, where Windows puts the drive's own data.
    *predict = HealthLog[0] != 0 ? 1 : 0;
    for (DWORD i = 0; i < kNvmeHealthLogSize; ++i) vendor[i] = HealthLog[i];
    return TRUE;
}

// The kernel's runtime power state of the disk's device, or of the nearest
// device above it that keeps one: a device without runtime power management
// (an NVMe controller) has no runtime_status or says "unsupported"; its PCI
// function has one.
BOOL PowerState(const HandleRecord& device, BOOL* on) {
    char name[kNameSize];
    if (!DiskName(device, name)) return Fail(ERROR_INVALID_FUNCTION);
    char folder[kPathSize] = "/sys/block/";
    if (!Append(folder, kPathSize, name) || !Append(folder, kPathSize, "/device")) return Fail(ERROR_INVALID_FUNCTION);
    for (int level = 0; level < 6; ++level) {
        char path[kPathSize] = "";
        char text[32];
        int state = -1;
        if (Append(path, kPathSize, folder) && Append(path, kPathSize, "/power/runtime_status") &&
            ReadSmallFile(path, text, sizeof text) > 0)
            state = RuntimePowerState(text);
        if (state >= 0) {
            *on = state == 1 ? TRUE : FALSE;
            return TRUE;
        }
        if (state == -2 || !Append(folder, kPathSize, "/..")) break;
    }
    return Fail(ERROR_INVALID_FUNCTION);
}

void ReleaseDriveLink(HandleRecord& device) {
    if (device.Link.OwnFd) close(device.Link.Fd);
    device.Link = DriveLink{};
    device.Link.Fd = -1;
}

}  // namespace lin
