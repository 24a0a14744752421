// A drive's own commands: the media check (SCSI VERIFY(16), NVMe Verify), the
// failure prediction (ATA SMART RETURN STATUS through ATA PASS-THROUGH(16), the
// NVMe health log) and the Identify data that bounds an NVMe Verify. What is pure
// (building a command, splitting a range into commands, reading an answer, the
// read-only list) lives in drive_commands.cpp; sending through the kernel's
// passthrough ioctls and learning a device's transport in drive_io.cpp. Private
// to platform/linux/.
#pragma once

#include "platform/linux/internal.h"

namespace lin {

// ---- commands -------------------------------------------------------------------

enum class CommandPath : BYTE { Scsi, NvmeIo, NvmeAdmin };

// One command as the send function takes it. SCSI commands carry no data;
// NVMe admin commands read into `Data`.
struct DriveCommand {
    CommandPath Path;
    BYTE Cdb[16];  // Scsi: a 16-byte CDB
    BYTE Opcode;   // NVMe
    DWORD Namespace;
    DWORD Cdw10, Cdw11, Cdw12, Cdw13;
    void* Data;
    DWORD DataSize;
    DWORD TimeoutMs;
};

// What came back: the ioctl's errno (0 when it returned), then the SCSI status,
// the host and driver status and the sense bytes, or the NVMe status field
// (status code type << 8 | status code, with the kernel's more/do-not-retry bits).
struct CommandAnswer {
    int Errno;
    BYTE Status;
    unsigned short Host, Driver;
    BYTE Sense[32];
    int SenseLength;
    DWORD NvmeStatus;
};

constexpr BYTE kScsiVerify16 = 0x8F;
constexpr BYTE kScsiAtaPassThrough16 = 0x85;
constexpr BYTE kAtaSmart = 0xB0;
constexpr BYTE kSmartReturnStatus = 0xDA;
constexpr BYTE kNvmeVerify = 0x0C;
constexpr BYTE kNvmeIdentify = 0x06;
constexpr BYTE kNvmeGetLogPage = 0x02;
constexpr BYTE kNvmeHealthLog = 0x02;
constexpr BYTE kIdentifyCommandSetController = 0x06;  // CNS 06h
constexpr BYTE kNvmCommandSet = 0x00;
constexpr DWORD kNvmeHealthLogSize = 512;
constexpr DWORD kNvmeIdentifySize = 4096;

// The most blocks one command verifies: libata refuses more than 65,536 in its
// READ VERIFY SECTORS (EXT), and an odd bound keeps that refusal out of reach;
// NVMe counts 0-based in 16 bits.
constexpr DWORD kScsiVerifyBlocks = 65535;
constexpr DWORD kNvmeVerifyBlocks = 65536;

constexpr DWORD kVerifyTimeoutMs = 60000;
constexpr DWORD kQueryTimeoutMs = 30000;

void BuildScsiVerify(DriveCommand* command, unsigned long long lba, DWORD blocks);
void BuildSmartReturnStatus(DriveCommand* command);
void BuildNvmeVerify(DriveCommand* command, DWORD nsid, unsigned long long lba, DWORD blocks);
// Identify with a CNS and command set; Get Log Page of the health log, which
// retains its asynchronous event for whoever owns it.
void BuildNvmeIdentify(DriveCommand* command, DWORD nsid, BYTE cns, BYTE commandSet, void* data);
void BuildNvmeHealthLog(DriveCommand* command, void* data);

// The read-only list: true only for the commands above, with no data sent to
// the device. The send function refuses anything else.
bool ReadOnlyCommand(const DriveCommand& command);

// ---- splitting a chunk into commands ----------------------------------------------

struct VerifySpan {
    unsigned long long Lba;
    unsigned long long Blocks;  // left to verify
    DWORD Limit;                // at most this many a command
};

// The next command's first block and count; false when nothing is left.
bool NextVerifyCommand(VerifySpan* span, unsigned long long* lba, DWORD* blocks);

// The blocks one NVMe Verify may cover: the NVM command set's Verify Size Limit
// (a power of two in units of the smallest memory page) when the controller
// gave one, else the conservative bound when the limit is unknown.
DWORD NvmeVerifyBlocks(bool limitKnown, BYTE verifySizeLimit, DWORD blockSize);

// ---- answers ----------------------------------------------------------------------

struct SenseFacts {
    bool Present;
    BYTE Key, Asc, Ascq;
    bool AtaReturn;  // the ATA registers of a pass-through answer
    BYTE AtaError, AtaStatus, LbaMid, LbaHigh;
};

// Fixed (0x70/0x71) and descriptor (0x72/0x73) sense data.
SenseFacts ReadSense(const BYTE* sense, int length);

// The Win32 error of an answer; 0 when the command succeeded (errors.cpp).
DWORD ScsiAnswerError(const CommandAnswer& answer);
DWORD NvmeAnswerError(const CommandAnswer& answer);
// The sense key's error with its additional sense code (errors.cpp).
DWORD SenseKeyError(BYTE key, BYTE asc);
// The error of an NVMe status field; 0 for success (errors.cpp).
DWORD NvmeStatusError(DWORD status);
// Whether an answer is worth sending the command again for: a unit attention.
bool RetryScsiAnswer(const CommandAnswer& answer);

enum class Prediction : BYTE { Healthy, Failing, Unknown };
// SMART RETURN STATUS as the ATA registers show it.
Prediction SmartPrediction(const CommandAnswer& answer);

// "active" → 1 (on), "suspended" and the ways to and from it → 0 (off),
// "unsupported" → -1 (ask the parent device), anything else → -2 (unknown).
int RuntimePowerState(const char* text);

// ---- sending (drive_io.cpp) -------------------------------------------------------

// The one way a command reaches a device: refused (ERROR_ACCESS_DENIED, nothing
// sent) unless ReadOnlyCommand; else the ioctl, its outcome in `answer`.
bool SendCommand(int fd, const DriveCommand& command, CommandAnswer* answer);

// The requests of storage.cpp; each sets the last error when it fails.
BOOL VerifyRange(HandleRecord& device, unsigned long long offset, DWORD length);
BOOL PredictFailure(HandleRecord& device, BYTE* vendor, DWORD* predict);
BOOL PowerState(const HandleRecord& device, BOOL* on);
// Closes what the handle's commands opened.
void ReleaseDriveLink(HandleRecord& device);

}  // namespace lin
