// Sectorsweep: the program's own records and operations, by subsystem.
#pragma once

#include "platform/win32.h"

using namespace win;

// ---- frame ----------------------------------------------------------------

enum PassMode { Verify = 0, Read = 1, ReadTwice = 2 };

constexpr int kMaxWords = 32;
constexpr int kMaxCommandLine = 512;

// Splits the process command line into at most kMaxWords words.
void ParseCommandLine(int* count, char** words);
void HardenDllSearchPath();
DWORD RunMain(int count, char** words);
void ShowUsage();
// Reads a disk argument; FALSE when `word` is none.
BOOL ReadDiskArgument(const char* word, int* diskNumber);
PassMode ReadModeWord(const char* word);
extern "C" [[noreturn]] void Entry();
extern HANDLE ProcessHeap;

// ---- console --------------------------------------------------------------

constexpr int kMessageSize = 1024;

int Print(const char* format, ...);
int PrintError(const char* format, ...);
void ExpandNewlines(char* text);
SHORT ConsoleWidth();
SHORT CursorColumn();
SHORT CursorRow();
void EnsureLineStart();
void ClearStatusLine();
bool OwnsConsoleWindow();
void WaitForKeyToClose();

// ---- format ---------------------------------------------------------------

const char* FormatSize(ULONGLONG bytes, int decimals);
const char* FormatSpeed(ULONGLONG bytes, DWORD milliseconds);
const char* FormatDuration(ULONGLONG milliseconds);
const char* ErrorName(DWORD code);
const char* LastErrorName();

constexpr int kDescriptionSize = 256;
constexpr int kIdTextSize = 128;
constexpr DWORD kDescriptorReplySize = 1024;

void BuildDeviceDescription(const char* vendor, const char* product, char* out, DWORD capacity);
DWORD ReplaceAllCaseless(char* text, const char* find, const char* replacement, ULONGLONG capacity);
DWORD ReplaceAllCaseless(char* text, const char* find, const char* replacement);
// The description built from a descriptor reply's vendor and product texts.
void DescribeReply(const BYTE* reply, char* out);
void QueryDeviceDescription(HANDLE disk, char* out);

// ---- device queries -------------------------------------------------------

constexpr int kPathWorkSize = 272;

// The disk size from the length request, or from the geometry request; FALSE
// when the request fails or answers a negative size, which no disk has.
BOOL QueryLength(HANDLE disk, ULONGLONG* size);
BOOL QueryGeometrySize(HANDLE disk, ULONGLONG* size);
// Asks an open disk for its storage device descriptor, into a reply of
// kDescriptorReplySize bytes (8-byte aligned).
BOOL QueryDescriptor(HANDLE disk, BYTE* reply);
// The number of the disk behind a device or volume path, or -1 (also when the
// device is not a disk).
int GetDiskNumber(const char* path);
// Removable, fixed and RAM disk volumes; the others are not disks of this machine.
bool IsLocalDiskType(UINT type);

// ---- memory ---------------------------------------------------------------

void* AllocZeroed(ULONGLONG bytes);
void FreeChecked(void* block);
BYTE* ReserveAddressSpace(ULONGLONG bytes);
BYTE* CommitRange(BYTE* base, ULONGLONG bytes);

// ---- small text helpers (no C runtime) ------------------------------------

int TextLength(const char* text);
// Copies at most capacity - 1 characters and always terminates.
void CopyText(char* out, const char* text, int capacity);
void FillBytes(void* block, BYTE value, SIZE_T bytes);
void StripTrailingChar(char* text, char ch);
// Control bytes of a device's texts are shown as '?': the device must not drive
// the terminal.
void MaskControlBytes(char* text);

// ---- pass -----------------------------------------------------------------

// The chunk's first and largest lengths; the read buffers reserve the largest.
constexpr DWORD kFirstChunk = 0x800000;
constexpr DWORD kLargestChunk = 0x40000000;
// The chunk is halved only while longer than this.
constexpr DWORD kSmallestHalving = 0x100000;

constexpr int kMaxLockedVolumes = 32;

struct VolumeLockSet {
    HANDLE Handles[kMaxLockedVolumes];
    int Locked[kMaxLockedVolumes];
    int VolumeCount;
    int LockedCount;
};

struct PassProgress {
    HANDLE Disk;
    PassMode Mode;
    ULONGLONG DiskSize;
    VERIFY_INFORMATION Request;
    BYTE* Buffer1;
    BYTE* Buffer2;
    VolumeLockSet* LockSet;
    DWORD StartTick;
    DWORD GrowTick;
    DWORD Elapsed;
    // The bytes committed of each read buffer.
    DWORD Committed;
};

struct AbortFlagSet {
    int AbortRequested;
    int PassStopped;
    int HandlerDone;
    int EventHandled;
    // Set by the main thread once a pass that was not aborted has decided its
    // outcome, so a late event need not wait for a stop that never comes.
    int OutcomeDecided;
};
extern AbortFlagSet AbortFlags;

// The flags are shared with the control handler's thread.
inline int LoadFlag(const int* flag) { return __atomic_load_n(flag, __ATOMIC_SEQ_CST); }
inline void StoreFlag(int* flag, int value) { __atomic_store_n(flag, value, __ATOMIC_SEQ_CST); }

// The status line a pass keeps while it runs and the summary it ends with: the
// amount done, the average speed, and the time left or taken.
constexpr char kStatusLineFormat[] = "\r%s  (%s)  -  ETA %s   \r";
constexpr char kSummaryFormat[] = "%s  (%s)  -  %s\n";

DWORD RunDiskPass(int diskNumber, PassMode mode);
DWORD RunPassLoop(PassProgress* pass);
// Closes the disk, then unlocks and frees the volume lock set, whichever the pass
// has; returns the error of the first unlock that failed, or 0.
DWORD ReleaseDiskAndVolumes(PassProgress* pass);
DWORD CompareChunks(const BYTE* first, const BYTE* second, DWORD length, LONGLONG chunkOffset);
// CompareChunks' quick test: whether the chunks' whole words are equal (the last
// length % 8 bytes are not compared).
bool ChunksEqual(const BYTE* first, const BYTE* second, DWORD length);
// The quick test's loops, narrowest first. CompareChunks takes the widest that the
// processor and the system support; UseComparePath makes it take `path` instead
// (CompareWidest: back to the widest) and returns the loop now in use, which is
// narrower than `path` when the machine lacks it.
enum ComparePath { CompareWords, CompareSse2, CompareAvx2, CompareAvx512, CompareWidest };
// The AVX-512 loop takes buffers from this length on. Two of them fill the
// last-level cache of the processors measured, so they come from memory, where
// 512-bit loads are the faster; shorter ones may still sit in the cache, where the
// AVX2 loop is.
constexpr DWORD kFullWidthCompare = 0x1000000;
ComparePath UseComparePath(ComparePath path);
// The widest loop for what cpuid leaf 1 (ECX) and leaf 7 (EBX) and XCR0 report
// (0 where the processor or the system cannot report it).
ComparePath WidestComparePath(DWORD leaf1Ecx, DWORD leaf7Ebx, DWORD xcr0);
// The loop in use: the widest, chosen on first use, unless UseComparePath said otherwise.
ComparePath ComparePathInUse();
VolumeLockSet* LockVolumesOfDisk(VolumeLockSet* set, int diskNumber);
// Unlocks and closes the set's volumes; returns the error of the first unlock
// that failed, or 0.
DWORD UnlockVolumes(VolumeLockSet* set);
BOOL ConsoleCtrlHandler(DWORD ctrlType);
void SendKeyUps(const WCHAR* text);

// ---- listing --------------------------------------------------------------

constexpr int kDevicePathSize = 52;
constexpr int kLettersSize = 260;
constexpr int kSizeTextSize = 16;

struct DiskListEntry {
    char DevicePath[kDevicePathSize];
    // The platform's own device path of the disk, shown in the table; empty
    // where the number is the disk's only name (Windows).
    char PlatformPath[kDevicePathSize];
    char Letters[kLettersSize];
    char SizeText[kSizeTextSize];
    char Description[kDescriptionSize];
    const char* BusName;
    int DiskNumber;
    ULONGLONG Size;
};

struct DiskList {
    int HighestNumber;
    int Count;
    int Capacity;
    DiskListEntry* Entries;
};

DiskList* ListDisks(DiskList* list);
const char* BusTypeName(DWORD busType);
void RunDiskListing();
void PrintDiskTable(const DiskList* list, int sizedOnly);
void FreeDiskList(DiskList* list);
