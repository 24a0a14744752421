// The drive commands as bytes, and their answers read back: nothing here talks
// to a device, so all of it is checked without one.
#include "platform/linux/drive.h"

namespace lin {
namespace {

void Clear(DriveCommand* command, CommandPath path, DWORD timeoutMs) {
    *command = DriveCommand{};
    command->Path = path;
    command->TimeoutMs = timeoutMs;
}

void PutBigEndian(BYTE* at, unsigned long long value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, value >>= 8) at[i] = static_cast<BYTE>(value);
}

// ATA PASS-THROUGH(16) fields.
constexpr BYTE kProtocolNonData = 3 << 1;
constexpr BYTE kCheckCondition = 0x20;  // CK_COND: the registers come back in the sense data
constexpr BYTE kSmartLbaMid = 0x4F, kSmartLbaHigh = 0xC2;
constexpr BYTE kSmartFailingMid = 0xF4, kSmartFailingHigh = 0x2C;

constexpr DWORD kRetainEvent = 1u << 15;  // Get Log Page RAE
constexpr DWORD kSmallestPage = 4096;     // the memory page the NVMe limits count in (MPSMIN 0)
constexpr DWORD kUnknownVerifyBytes = 256 * 1024;

bool ScsiReadOnly(const DriveCommand& c) {
    if (c.Data != nullptr || c.DataSize != 0) return false;
    if (c.Cdb[0] == kScsiVerify16) return (c.Cdb[1] & 0x06) == 0;  // BYTCHK 0: nothing is sent to compare
    if (c.Cdb[0] == kScsiAtaPassThrough16)
        return c.Cdb[1] == kProtocolNonData && (c.Cdb[2] & ~kCheckCondition) == 0 && c.Cdb[3] == 0 &&
               c.Cdb[4] == kSmartReturnStatus && c.Cdb[10] == kSmartLbaMid && c.Cdb[12] == kSmartLbaHigh &&
               c.Cdb[14] == kAtaSmart;
    return false;
}

bool NvmeReadOnly(const DriveCommand& c) {
    if (c.Path == CommandPath::NvmeIo) return c.Opcode == kNvmeVerify && c.Data == nullptr && c.DataSize == 0;
    if (c.Opcode == kNvmeIdentify) return c.Data != nullptr && c.DataSize == kNvmeIdentifySize;
    if (c.Opcode == kNvmeGetLogPage)
        return (c.Cdw10 & 0xFF) == kNvmeHealthLog && (c.Cdw10 & kRetainEvent) != 0 && c.Data != nullptr &&
               c.DataSize == kNvmeHealthLogSize;
    return false;
}

}  // namespace

void BuildScsiVerify(DriveCommand* command, unsigned long long lba, DWORD blocks) {
    Clear(command, CommandPath::Scsi, kVerifyTimeoutMs);
    command->Cdb[0] = kScsiVerify16;  // byte 1: no protection check, DPO 0, BYTCHK 0
    PutBigEndian(command->Cdb + 2, lba, 8);
    PutBigEndian(command->Cdb + 10, blocks, 4);
}

void BuildSmartReturnStatus(DriveCommand* command) {
    Clear(command, CommandPath::Scsi, kQueryTimeoutMs);
    BYTE* cdb = command->Cdb;
    cdb[0] = kScsiAtaPassThrough16;
    cdb[1] = kProtocolNonData;  // 28-bit command, no data
    cdb[2] = kCheckCondition;   // T_LENGTH 0: nothing transferred
    cdb[4] = kSmartReturnStatus;
    cdb[10] = kSmartLbaMid;
    cdb[12] = kSmartLbaHigh;
    cdb[14] = kAtaSmart;
}

void BuildNvmeVerify(DriveCommand* command, DWORD nsid, unsigned long long lba, DWORD blocks) {
    Clear(command, CommandPath::NvmeIo, kVerifyTimeoutMs);
    command->Opcode = kNvmeVerify;
    command->Namespace = nsid;
    command->Cdw10 = static_cast<DWORD>(lba);
    command->Cdw11 = static_cast<DWORD>(lba >> 32);
    command->Cdw12 = (blocks - 1) & 0xFFFF;  // 0-based; no limited retry, no FUA, no protection check
}

void BuildNvmeIdentify(DriveCommand* command, DWORD nsid, BYTE cns, BYTE commandSet, void* data) {
    Clear(command, CommandPath::NvmeAdmin, kQueryTimeoutMs);
    command->Opcode = kNvmeIdentify;
    command->Namespace = nsid;
    command->Cdw10 = cns;
    command->Cdw11 = static_cast<DWORD>(commandSet) << 24;
    command->Data = data;
    command->DataSize = kNvmeIdentifySize;
}

void BuildNvmeHealthLog(DriveCommand* command, void* data) {
    Clear(command, CommandPath::NvmeAdmin, kQueryTimeoutMs);
    command->Opcode = kNvmeGetLogPage;
    command->Namespace = 0xFFFFFFFF;  // the controller as a whole
    command->Cdw10 = ((kNvmeHealthLogSize / 4 - 1) << 16) | kRetainEvent | kNvmeHealthLog;
    command->Data = data;
    command->DataSize = kNvmeHealthLogSize;
}

bool ReadOnlyCommand(const DriveCommand& command) {
    switch (command.Path) {
        case CommandPath::Scsi:
            return ScsiReadOnly(command);
        case CommandPath::NvmeIo:
        case CommandPath::NvmeAdmin:
            return NvmeReadOnly(command);
    }
    return false;
}

bool NextVerifyCommand(VerifySpan* span, unsigned long long* lba, DWORD* blocks) {
    if (span->Blocks == 0 || span->Limit == 0) return false;
    DWORD count = span->Blocks < span->Limit ? static_cast<DWORD>(span->Blocks) : span->Limit;
    *lba = span->Lba;
    *blocks = count;
    span->Lba += count;
    span->Blocks -= count;
    return true;
}

DWORD NvmeVerifyBlocks(bool limitKnown, BYTE verifySizeLimit, DWORD blockSize) {
    if (blockSize == 0) return 0;
    unsigned long long bytes = kUnknownVerifyBytes;
    if (limitKnown) {
        // 0: no limit. A limit too large to shift is none either.
        if (verifySizeLimit == 0 || verifySizeLimit > 40) return kNvmeVerifyBlocks;
        bytes = static_cast<unsigned long long>(kSmallestPage) << verifySizeLimit;
    }
    unsigned long long blocks = bytes / blockSize;
    if (blocks == 0) return 1;
    return blocks < kNvmeVerifyBlocks ? static_cast<DWORD>(blocks) : kNvmeVerifyBlocks;
}

SenseFacts ReadSense(const BYTE* sense, int length) {
    SenseFacts facts = {};
    if (sense == nullptr || length < 2) return facts;
    BYTE code = sense[0] & 0x7F;
    if (code == 0x70 || code == 0x71) {
        if (length < 3) return facts;
        facts.Present = true;
        facts.Key = sense[2] & 0x0F;
        int size = length < 8 ? length : 8 + sense[7];
        if (size > length) size = length;
        facts.Asc = size > 12 ? sense[12] : 0;
        facts.Ascq = size > 13 ? sense[13] : 0;
        // ATA PASS THROUGH INFORMATION AVAILABLE: the registers in the
        // information and command-specific fields.
        if (facts.Asc == 0x00 && facts.Ascq == 0x1D && size >= 12) {
            facts.AtaReturn = true;
            facts.AtaError = sense[3];
            facts.AtaStatus = sense[4];
            facts.LbaMid = sense[10];
            facts.LbaHigh = sense[11];
        }
        return facts;
    }
    if (code == 0x72 || code == 0x73) {
        if (length < 4) return facts;
        facts.Present = true;
        facts.Key = sense[1] & 0x0F;
        facts.Asc = sense[2];
        facts.Ascq = sense[3];
        int end = length < 8 ? length : 8 + sense[7];
        if (end > length) end = length;
        for (int at = 8; at + 1 < end; at += 2 + sense[at + 1]) {
            // The ATA Status Return descriptor.
            if (sense[at] != 0x09 || sense[at + 1] < 12 || at + 14 > end) continue;
            const BYTE* d = sense + at;
            facts.AtaReturn = true;
            facts.AtaError = d[3];
            facts.LbaMid = d[9];
            facts.LbaHigh = d[11];
            facts.AtaStatus = d[13];
            break;
        }
    }
    return facts;
}

bool RetryScsiAnswer(const CommandAnswer& answer) {
    constexpr BYTE kCheckConditionStatus = 0x02;
    constexpr BYTE kUnitAttention = 0x06;
    if (answer.Errno != 0 || answer.Host != 0 || answer.Status != kCheckConditionStatus) return false;
    SenseFacts facts = ReadSense(answer.Sense, answer.SenseLength);
    return facts.Present && facts.Key == kUnitAttention;
}

Prediction SmartPrediction(const CommandAnswer& answer) {
    if (answer.Errno != 0 || answer.Host != 0) return Prediction::Unknown;
    SenseFacts facts = ReadSense(answer.Sense, answer.SenseLength);
    if (!facts.AtaReturn || (facts.AtaStatus & 0x01) != 0) return Prediction::Unknown;  // ERR: SMART refused
    if (facts.LbaMid == kSmartFailingMid && facts.LbaHigh == kSmartFailingHigh) return Prediction::Failing;
    if (facts.LbaMid == kSmartLbaMid && facts.LbaHigh == kSmartLbaHigh) return Prediction::Healthy;
    return Prediction::Unknown;
}

int RuntimePowerState(const char* text) {
    if (Same(text, "active")) return 1;
    if (Same(text, "suspended") || Same(text, "suspending") || Same(text, "resuming")) return 0;
    if (Same(text, "unsupported")) return -1;
    return -2;
}

}  // namespace lin
