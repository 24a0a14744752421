// A drive's own commands without a drive: the bytes of each command, how a chunk
// becomes commands, the read-only list and the send function that enforces it,
// and how each kind of answer becomes the error the program prints.
#include <errno.h>
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/linux/drive.h"
#include "sectorsweep.h"

namespace {

using namespace lin;
using Bytes = std::vector<BYTE>;

Bytes CdbOf(const DriveCommand& command) { return Bytes(command.Cdb, command.Cdb + 16); }

TEST(DriveCommands, Verify16AndSmartReturnStatusBytes) {
    DriveCommand command;
    BuildScsiVerify(&command, 0x0123456789ABCDEFull, 65535);
    EXPECT_EQ(CdbOf(command),
              (Bytes{0x8F, 0x00, 0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00}));
    EXPECT_EQ(command.Data, nullptr);
    EXPECT_GT(command.TimeoutMs, 0u);

    BuildSmartReturnStatus(&command);
    // Non-data, CK_COND, SMART (B0h) with feature DAh and the 4Fh/C2h signature.
    EXPECT_EQ(CdbOf(command),
              (Bytes{0x85, 0x06, 0x20, 0x00, 0xDA, 0x00, 0x00, 0x00, 0x00, 0x00, 0x4F, 0x00, 0xC2, 0x00, 0xB0, 0x00}));
    EXPECT_GT(command.TimeoutMs, 0u);
}

TEST(DriveCommands, NvmeVerifyAndQueries) {
    DriveCommand command;
    BuildNvmeVerify(&command, 1, 0x100000002ull, 65536);
    EXPECT_EQ(command.Opcode, 0x0C);
    EXPECT_EQ(command.Namespace, 1u);
    EXPECT_EQ(command.Cdw10, 2u);
    EXPECT_EQ(command.Cdw11, 1u);
    EXPECT_EQ(command.Cdw12, 0xFFFFu);  // 0-based count, no FUA, no limited retry
    BuildNvmeVerify(&command, 3, 7, 1);
    EXPECT_EQ(command.Cdw12, 0u);
    EXPECT_GT(command.TimeoutMs, 0u);

    BYTE data[4096];
    BuildNvmeIdentify(&command, 0, 0x06, 0x00, data);
    EXPECT_EQ(command.Path, CommandPath::NvmeAdmin);
    EXPECT_EQ(command.Cdw10, 0x06u);
    EXPECT_EQ(command.Cdw11, 0u);
    BuildNvmeHealthLog(&command, data);
    EXPECT_EQ(command.Opcode, 0x02);
    EXPECT_EQ(command.Cdw10, (127u << 16) | 0x8000u | 0x02u);  // 128 dwords, retain the event, log 02h
    EXPECT_EQ(command.DataSize, 512u);
}

// A chunk of `blocks` at `lba` split at `limit`: the commands' starts and counts.
std::vector<std::pair<unsigned long long, DWORD>> Split(unsigned long long lba, unsigned long long blocks,
                                                        DWORD limit) {
    VerifySpan span = {lba, blocks, limit};
    std::vector<std::pair<unsigned long long, DWORD>> commands;
    unsigned long long at = 0;
    DWORD count = 0;
    while (NextVerifyCommand(&span, &at, &count)) commands.emplace_back(at, count);
    return commands;
}

TEST(DriveCommands, ChunkSplitsIntoCommands) {
    using List = std::vector<std::pair<unsigned long long, DWORD>>;
    const struct {
        unsigned long long Lba, Blocks;
        DWORD Limit;
        List Commands;
    } cases[] = {
        {0, 65535, 65535, {{0, 65535}}},
        {0, 65536, 65535, {{0, 65535}, {65535, 1}}},  // libata's bound is never reached
        {100, 131070, 65535, {{100, 65535}, {65635, 65535}}},
        {2048, 16384, 65535, {{2048, 16384}}},  // the first 8 MiB chunk, 512-byte blocks
        {0, 65536, 65536, {{0, 65536}}},        // NVMe's own bound
        {0, 2053, 1024, {{0, 1024}, {1024, 1024}, {2048, 5}}},
        {0x1FFFFFFFFull, 3, 2, {{0x1FFFFFFFFull, 2}, {0x200000001ull, 1}}},
        {5, 0, 65535, {}},
        {5, 10, 0, {}},  // no limit learned: nothing sent
    };
    for (const auto& c : cases) EXPECT_EQ(Split(c.Lba, c.Blocks, c.Limit), c.Commands) << c.Lba << "+" << c.Blocks;

    // The largest chunk, 1 GiB of 512-byte blocks: 32 whole commands and the rest.
    List big = Split(0, 0x40000000 / 512, 65535);
    ASSERT_EQ(big.size(), 33u);
    EXPECT_EQ(big.back(), std::make_pair(32ull * 65535, DWORD{32}));
}

TEST(DriveCommands, NvmeVerifyBlocksFromTheSizeLimit) {
    const struct {
        bool Known;
        BYTE Limit;
        DWORD BlockSize, Blocks;
    } cases[] = {
        {true, 7, 512, 1024},                           // 4 KiB << 7 = 512 KiB (QEMU's default)
        {true, 7, 4096, 128},   {true, 0, 512, 65536},  // no limit: the 16-bit count's
        {true, 20, 512, 65536}, {true, 63, 512, 65536}, {true, 1, 65536, 1}, {false, 0, 512, 512},  // unknown: 256 KiB
        {false, 0, 4096, 64},   {true, 7, 0, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(NvmeVerifyBlocks(c.Known, c.Limit, c.BlockSize), c.Blocks)
            << c.Known << " " << int{c.Limit} << " " << c.BlockSize;
}

TEST(ReadOnlyGuard, OnlyTheListedCommandsPass) {
    static BYTE data[4096];
    // The listed commands, then each changed in one place into something that
    // may write, change a setting or send data.
    const struct {
        const char* What;
        void (*Build)(DriveCommand*);
        bool Passes = false;
    } cases[] = {
        {"VERIFY(16)", [](DriveCommand* c) { BuildScsiVerify(c, 1, 1); }, true},
        {"SMART RETURN STATUS", [](DriveCommand* c) { BuildSmartReturnStatus(c); }, true},
        {"NVMe Verify", [](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 8); }, true},
        {"NVMe Identify", [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 0x06, 0, data); }, true},
        {"NVMe health log", [](DriveCommand* c) { BuildNvmeHealthLog(c, data); }, true},
        {"WRITE(16)", [](DriveCommand* c) { BuildScsiVerify(c, 1, 1), c->Cdb[0] = 0x8A; }},
        {"WRITE AND VERIFY(16)", [](DriveCommand* c) { BuildScsiVerify(c, 1, 1), c->Cdb[0] = 0x8E; }},
        {"VERIFY BYTCHK 1", [](DriveCommand* c) { BuildScsiVerify(c, 1, 1), c->Cdb[1] = 0x02; }},
        {"VERIFY with data", [](DriveCommand* c) { BuildScsiVerify(c, 1, 1), c->Data = data, c->DataSize = 512; }},
        {"SMART ENABLE", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[4] = 0xD8; }},
        {"SMART READ DATA", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[1] = 0x08, c->Cdb[4] = 0xD0; }},
        {"SET FEATURES", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[14] = 0xEF; }},
        {"SECURITY ERASE", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[14] = 0xF4; }},
        {"ATA PT with transfer", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[2] = 0x2E; }},
        {"ATA PT 48-bit", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[1] = 0x07; }},
        {"ATA PT no signature", [](DriveCommand* c) { BuildSmartReturnStatus(c), c->Cdb[12] = 0; }},
        {"SCSI opcode 0", [](DriveCommand* c) { *c = DriveCommand{}; }},
        {"NVMe Write", [](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 8), c->Opcode = 0x01; }},
        {"NVMe Read", [](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 8), c->Opcode = 0x02; }},
        {"NVMe Write Zeroes", [](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 8), c->Opcode = 0x08; }},
        {"NVMe Dataset Management", [](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 8), c->Opcode = 0x09; }},
        {"NVMe Verify with data",
         [](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 8), c->Data = data, c->DataSize = 4096; }},
        {"NVMe I/O Identify",
         [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 6, 0, data), c->Path = CommandPath::NvmeIo; }},
        {"NVMe Format", [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 6, 0, data), c->Opcode = 0x80; }},
        {"NVMe Set Features", [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 6, 0, data), c->Opcode = 0x09; }},
        {"NVMe Firmware Commit", [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 6, 0, data), c->Opcode = 0x10; }},
        {"NVMe Sanitize", [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 6, 0, data), c->Opcode = 0x84; }},
        {"Identify without buffer", [](DriveCommand* c) { BuildNvmeIdentify(c, 0, 6, 0, nullptr); }},
        {"error log", [](DriveCommand* c) { BuildNvmeHealthLog(c, data), c->Cdw10 = (c->Cdw10 & ~0xFFu) | 0x01; }},
        {"health log clearing its event", [](DriveCommand* c) { BuildNvmeHealthLog(c, data), c->Cdw10 &= ~0x8000u; }},
        {"health log longer than the buffer", [](DriveCommand* c) { BuildNvmeHealthLog(c, data), c->DataSize = 4096; }},
    };
    for (const auto& c : cases) {
        DriveCommand command;
        c.Build(&command);
        EXPECT_EQ(ReadOnlyCommand(command), c.Passes) << c.What;
    }
}

TEST(ReadOnlyGuard, TheSendFunctionRefusesBeforeTheDevice) {
    // On a descriptor that is not open: a refused command never reaches it
    // (EPERM, not EBADF); a listed one does.
    const struct {
        void (*Build)(DriveCommand*);
        bool Sent;
        int Errno;
    } cases[] = {
        {[](DriveCommand* c) { BuildScsiVerify(c, 0, 1), c->Cdb[0] = 0x8A; }, false, EPERM},
        {[](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 1), c->Opcode = 0x01; }, false, EPERM},
        {[](DriveCommand* c) { BuildScsiVerify(c, 0, 1); }, true, EBADF},
        {[](DriveCommand* c) { BuildNvmeVerify(c, 1, 0, 1); }, true, EBADF},
    };
    for (const auto& c : cases) {
        DriveCommand command;
        CommandAnswer answer;
        c.Build(&command);
        EXPECT_EQ(SendCommand(-1, command, &answer), c.Sent) << c.Errno;
        EXPECT_EQ(answer.Errno, c.Errno);
        if (!c.Sent) {
            EXPECT_STREQ(ErrorName(ScsiAnswerError(answer)), "ACCESS_DENIED");
        }
    }
}

// A CHECK CONDITION answer with sense data in either format.
CommandAnswer CheckCondition(bool descriptor, BYTE key, BYTE asc, BYTE ascq = 0) {
    CommandAnswer answer = {};
    answer.Status = 0x02;
    BYTE* s = answer.Sense;
    if (descriptor) {
        s[0] = 0x72, s[1] = key, s[2] = asc, s[3] = ascq, s[7] = 0;
        answer.SenseLength = 8;
    } else {
        s[0] = 0x70, s[2] = key, s[7] = 10, s[12] = asc, s[13] = ascq;
        answer.SenseLength = 18;
    }
    return answer;
}

TEST(Answers, SenseKeysInBothFormats) {
    const struct {
        BYTE Key, Asc;
        const char* Name;
    } cases[] = {
        {0x0, 0x00, "0"},                      // NO SENSE: success
        {0x1, 0x18, "0"},                      // RECOVERED ERROR: success
        {0x2, 0x04, "NOT_READY"},              // NOT READY
        {0x3, 0x11, "CRC"},                    // MEDIUM ERROR, unrecovered read error
        {0x4, 0x44, "DEVICE_HARDWARE_ERROR"},  // HARDWARE ERROR
        {0x5, 0x20, "INVALID_FUNCTION"},       // ILLEGAL REQUEST, invalid operation code
        {0x5, 0x21, "SECTOR_NOT_FOUND"},       // ILLEGAL REQUEST, LBA out of range
        {0x5, 0x24, "INVALID_PARAMETER"},      // ILLEGAL REQUEST, invalid field in CDB
        {0x5, 0x25, "INVALID_FUNCTION"},       // ILLEGAL REQUEST, anything else
        {0x6, 0x29, "MEDIA_CHANGED"},          // UNIT ATTENTION after its retries
        {0x7, 0x27, "WRITE_PROTECT"},          // DATA PROTECT
        {0xB, 0x00, "IO_DEVICE"},              // ABORTED COMMAND
        {0xE, 0x1D, "IO_DEVICE"},              // MISCOMPARE: not asked for, not known
    };
    for (bool descriptor : {false, true})
        for (const auto& c : cases)
            EXPECT_STREQ(ErrorName(ScsiAnswerError(CheckCondition(descriptor, c.Key, c.Asc))), c.Name)
                << (descriptor ? "descriptor " : "fixed ") << int{c.Key} << "/" << int{c.Asc};
}

TEST(Answers, ScsiStatusHostAndErrno) {
    auto answer = [](BYTE status, unsigned short host, unsigned short driver, int error) {
        CommandAnswer a = {};
        a.Status = status, a.Host = host, a.Driver = driver, a.Errno = error;
        return a;
    };
    const struct {
        CommandAnswer Answer;
        const char* Name;
    } cases[] = {
        {answer(0x00, 0, 0, 0), "0"},
        {answer(0x02, 0, 0x08, 0), "IO_DEVICE"},  // a check condition without sense data
        {answer(0x08, 0, 0, 0), "NOT_READY"},     // BUSY
        {answer(0x00, 0x03, 0, 0), "SEM_TIMEOUT"},
        {answer(0x00, 0x05, 0, 0), "SEM_TIMEOUT"},
        {answer(0x00, 0, 0x06, 0), "SEM_TIMEOUT"},  // the driver's timeout
        {answer(0x00, 0x01, 0, 0), "DEVICE_NOT_CONNECTED"},
        {answer(0x00, 0x07, 0, 0), "IO_DEVICE"},  // DID_ERROR
        {answer(0x00, 0, 0, ENOTTY), "INVALID_FUNCTION"},
        {answer(0x00, 0, 0, ETIMEDOUT), "SEM_TIMEOUT"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(ErrorName(ScsiAnswerError(c.Answer)), c.Name)
            << int{c.Answer.Status} << " " << c.Answer.Host << " " << c.Answer.Driver << " " << c.Answer.Errno;
    EXPECT_TRUE(RetryScsiAnswer(CheckCondition(true, 0x6, 0x29)));
    EXPECT_TRUE(RetryScsiAnswer(CheckCondition(false, 0x6, 0x28)));
    EXPECT_FALSE(RetryScsiAnswer(CheckCondition(false, 0x3, 0x11)));
}

TEST(Answers, NvmeStatus) {
    const struct {
        DWORD Status;
        int Errno;
        const char* Name;
    } cases[] = {
        {0x000, 0, "0"},
        {0x281, 0, "CRC"},   // unrecovered read error
        {0x4281, 0, "CRC"},  // with do-not-retry
        {0x2284, 0, "CRC"},  // reference tag check, more information
        {0x001, 0, "INVALID_FUNCTION"},
        {0x002, 0, "INVALID_PARAMETER"},  // over the verify size limit
        {0x006, 0, "IO_DEVICE"},          // internal error: QEMU's answer to a failed sector
        {0x080, 0, "SECTOR_NOT_FOUND"},
        {0x082, 0, "NOT_READY"},
        {0x280, 0, "DEVICE_HARDWARE_ERROR"},
        {0x007, 0, "SEM_TIMEOUT"},
        {0x371, 0, "SEM_TIMEOUT"},
        {0x370, 0, "DEVICE_NOT_CONNECTED"},
        {0x1FF, 0, "IO_DEVICE"},
        {0, EINTR, "SEM_TIMEOUT"},  // cancelled after its timeout
        {0, ENOTTY, "INVALID_FUNCTION"},
        {0, EACCES, "ACCESS_DENIED"},
    };
    for (const auto& c : cases) {
        CommandAnswer answer = {};
        answer.NvmeStatus = c.Status;
        answer.Errno = c.Errno;
        EXPECT_STREQ(ErrorName(NvmeAnswerError(answer)), c.Name) << std::hex << c.Status << " " << c.Errno;
    }
}

// SMART RETURN STATUS answers: the ATA registers in a descriptor or in the
// fixed format's information fields.
CommandAnswer AtaReturn(bool descriptor, BYTE status, BYTE mid, BYTE high) {
    CommandAnswer answer = CheckCondition(descriptor, 0x1, 0x00, 0x1D);
    BYTE* s = answer.Sense;
    if (descriptor) {
        s[7] = 14;
        BYTE* d = s + 8;
        d[0] = 0x09, d[1] = 0x0C, d[9] = mid, d[11] = high, d[13] = status;
        answer.SenseLength = 22;
    } else {
        s[4] = status, s[10] = mid, s[11] = high;
    }
    return answer;
}

TEST(Answers, SmartPrediction) {
    const struct {
        const char* What;
        CommandAnswer Answer;
        Prediction Expected;
    } cases[] = {
        {"descriptor, healthy", AtaReturn(true, 0x50, 0x4F, 0xC2), Prediction::Healthy},
        {"descriptor, threshold exceeded", AtaReturn(true, 0x50, 0xF4, 0x2C), Prediction::Failing},
        {"descriptor, aborted", AtaReturn(true, 0x51, 0xF4, 0x2C), Prediction::Unknown},
        {"descriptor, no signature", AtaReturn(true, 0x50, 0x00, 0x00), Prediction::Unknown},
        {"fixed, healthy", AtaReturn(false, 0x50, 0x4F, 0xC2), Prediction::Healthy},
        {"fixed, threshold exceeded", AtaReturn(false, 0x50, 0xF4, 0x2C), Prediction::Failing},

        {"no ATA behind it", CheckCondition(true, 0x5, 0x20), Prediction::Unknown},
        {"good status, no registers", CommandAnswer{}, Prediction::Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(SmartPrediction(c.Answer), c.Expected) << c.What;

    // Fixed format without ATA PASS THROUGH INFORMATION AVAILABLE: the same bytes
    // are some other command's information.
    CommandAnswer other = AtaReturn(false, 0x50, 0xF4, 0x2C);
    other.Sense[13] = 0x00;
    EXPECT_EQ(SmartPrediction(other), Prediction::Unknown);
    // A descriptor cut short by the sense length is not read.
    CommandAnswer cut = AtaReturn(true, 0x50, 0xF4, 0x2C);
    cut.SenseLength = 20;
    EXPECT_EQ(SmartPrediction(cut), Prediction::Unknown);
    // The ATA descriptor after another one (information, 10 more bytes).
    CommandAnswer second = CheckCondition(true, 0x1, 0x00, 0x1D);
    BYTE *s = second.Sense, *d = s + 20;
    s[7] = 26, s[8] = 0x00, s[9] = 0x0A;
    d[0] = 0x09, d[1] = 0x0C, d[9] = 0xF4, d[11] = 0x2C, d[13] = 0x50;
    second.SenseLength = 34;
    EXPECT_EQ(SmartPrediction(second), Prediction::Failing);
}

TEST(PowerState, RuntimeStatusTexts) {
    const struct {
        const char* Text;
        int State;
    } cases[] = {
        {"active", 1},       {"suspended", 0}, {"suspending", 0}, {"resuming", 0},
        {"unsupported", -1}, {"error", -2},    {"", -2},          {"Active", -2},
    };
    for (const auto& c : cases) EXPECT_EQ(RuntimePowerState(c.Text), c.State) << c.Text;
}

}  // namespace
