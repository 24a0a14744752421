// The chunk loop: moves the disk chunk by chunk, keeps the status line, adapts
// the chunk length and decides the outcome.
#include "sectorsweep.h"

namespace {

constexpr DWORD kGrowWindow = 50;
constexpr DWORD kSlowAfter = 500;
constexpr DWORD kRefreshPeriod = 500;
constexpr ULONGLONG kSpeedClassTrigger = 1000000000;

int SpeedClass = -1;
const char* EtaText = "";
const char* SpeedText = "";
DWORD LastRefreshTick = 0;
bool TextsComputed = false;

// One read of the current chunk at its own disk offset; a short read with no
// error set fails as the end of the data.
bool ReadChunk(PassProgress* pass, BYTE* buffer) {
    if (buffer == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    OVERLAPPED at;
    FillBytes(&at, 0, sizeof at);
    ULONGLONG offset = static_cast<ULONGLONG>(pass->Request.StartingOffset);
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(pass->Disk, buffer, pass->Request.Length, &read, &at)) return false;
    if (read == pass->Request.Length) return true;
    if (GetLastError() == 0) SetLastError(ERROR_HANDLE_EOF);
    return false;
}

enum ChunkResult { ChunkDone, ChunkFailed, ChunkDiffers };

ChunkResult MoveChunk(PassProgress* pass) {
    if (pass->Mode == Verify) {
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(pass->Disk, IOCTL_DISK_VERIFY, &pass->Request, sizeof pass->Request, nullptr, 0,
                                  &returned, nullptr);
        return ok ? ChunkDone : ChunkFailed;
    }
    if (!ReadChunk(pass, pass->Buffer1)) return ChunkFailed;
    if (pass->Mode == Read) return ChunkDone;
    if (!ReadChunk(pass, pass->Buffer2)) return ChunkFailed;
    if (CompareChunks(pass->Buffer1, pass->Buffer2, pass->Request.Length, pass->Request.StartingOffset) == 0)
        return ChunkDone;
    PrintError("\ndifference found -> abort");
    return ChunkDiffers;
}

void ChooseSpeedClass(const PassProgress* pass) {
    ULONGLONG done = static_cast<ULONGLONG>(pass->Request.StartingOffset);
    if (SpeedClass != -1 || done + pass->Request.Length < kSpeedClassTrigger) return;
    ULONGLONG m = ((done / 1024) / (static_cast<ULONGLONG>(GetTickCount() - pass->StartTick) + 1)) / 10;
    SpeedClass = m > 1000 ? 0 : m > 100 ? 1 : m > 10 ? 2 : 3;
}

void AdaptChunkLength(PassProgress* pass) {
    DWORD& length = pass->Request.Length;
    if (length >= kLargestChunk) return;
    if (GetTickCount() - pass->GrowTick < kGrowWindow) {
        // Growth stops at the buffers' reservation.
        length = length > kLargestChunk / 2 ? kLargestChunk : length * 2;
    } else if (pass->Elapsed > kSlowAfter && length > kSmallestHalving) {
        length /= 2;
    }
}

// The buffers grow to what the next chunk reads, once it is clamped to the disk:
// memory the pass will never read must not be able to fail it.
void CommitForNextChunk(PassProgress* pass) {
    DWORD length = pass->Request.Length;
    if (pass->Mode == Verify || length <= pass->Committed) return;
    pass->Buffer1 = CommitRange(pass->Buffer1, length);
    if (pass->Mode == ReadTwice) pass->Buffer2 = CommitRange(pass->Buffer2, length);
    pass->Committed = length;
}

// The error of a call that failed the pass; a call that failed without naming
// one still failed.
DWORD FailureError() {
    DWORD error = GetLastError();
    return error != 0 ? error : ERROR_GEN_FAILURE;
}

void ClampToDisk(PassProgress* pass) {
    ULONGLONG done = static_cast<ULONGLONG>(pass->Request.StartingOffset);
    if (done + pass->Request.Length > pass->DiskSize) pass->Request.Length = static_cast<DWORD>(pass->DiskSize - done);
}

}  // namespace

DWORD RunPassLoop(PassProgress* pass) {
    pass->StartTick = GetTickCount();
    pass->GrowTick = GetTickCount();
    pass->Request.StartingOffset = 0;
    pass->Request.Length = kFirstChunk;
    ClampToDisk(pass);
    bool differs = false;
    // The outcome comes from the disk's own calls: the console's writes and the
    // closing calls may leave errors of their own behind.
    DWORD failure = 0;

    for (;;) {
        if (LoadFlag(&AbortFlags.AbortRequested)) break;
        SetLastError(0);
        ChunkResult result = MoveChunk(pass);
        if (result != ChunkDone) {
            differs = result == ChunkDiffers;
            if (!differs) failure = FailureError();
            break;
        }
        // The bytes done are unsigned: the signed offset would overflow at 2^63.
        ULONGLONG done = static_cast<ULONGLONG>(pass->Request.StartingOffset) + pass->Request.Length;
        pass->Request.StartingOffset = static_cast<LONGLONG>(done);
        ChooseSpeedClass(pass);
        pass->Elapsed = GetTickCount() - pass->StartTick;
        ULONGLONG rate = done / (static_cast<ULONGLONG>(pass->Elapsed) + 1);
        ULONGLONG timeLeft = (pass->DiskSize - done) / (rate + 1) + 1;
        // The first iteration always has texts, whatever the tick count was.
        if (GetTickCount() - LastRefreshTick >= kRefreshPeriod || !TextsComputed) {
            EtaText = FormatDuration(timeLeft);
            SpeedText = FormatSpeed(done, pass->Elapsed);
            LastRefreshTick = GetTickCount();
            TextsComputed = true;
        }
        if (!LoadFlag(&AbortFlags.AbortRequested))
            Print(kStatusLineFormat, FormatSize(done, SpeedClass), SpeedText, EtaText);
        AdaptChunkLength(pass);
        ClampToDisk(pass);
        // Once the disk is done nothing grows: a commit then could only fail a clean pass.
        if (pass->Request.Length == 0) break;
        CommitForNextChunk(pass);
    }

    // A volume that stays locked fails a pass that otherwise succeeded; an earlier
    // failure keeps its own name.
    DWORD unlockFailure = ReleaseDiskAndVolumes(pass);
    if (failure == 0) failure = unlockFailure;
    if (LoadFlag(&AbortFlags.AbortRequested)) {
        StoreFlag(&AbortFlags.PassStopped, 1);
        while (!LoadFlag(&AbortFlags.HandlerDone)) Sleep(10);
        return 7;
    }
    StoreFlag(&AbortFlags.OutcomeDecided, 1);
    if (differs) {
        // The device did not serve the same bytes twice: the pass failed.
        PrintError("\n");
        return 6;
    }
    if (failure != 0) {
        EnsureLineStart();
        PrintError("failed with ERROR_%s\n", ErrorName(failure));
        return 6;
    }
    ULONGLONG done = static_cast<ULONGLONG>(pass->Request.StartingOffset);
    pass->Elapsed = GetTickCount() - pass->StartTick;
    ClearStatusLine();
    Print(kSummaryFormat, FormatSize(done, 0), FormatSpeed(done, pass->Elapsed), FormatDuration(pass->Elapsed));
    Print("ok\n");
    return 0;
}
