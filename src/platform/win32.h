// The Win32 subset that Sectorsweep uses, and nothing more, and the few things
// each platform supplies of its own.
//
// On Windows the kernel32 functions bind to the real DLL through its import
// library, and the USER32, SHLWAPI and SETUPAPI functions are bound on first use
// by first_use.cpp. On the host the simulated machine (sim/) implements all of
// them. The Linux build (platform/linux/) implements them over the kernel's
// block devices: disk N is the Nth whole block device of /sys/block with a
// non-zero size, in natural order of the kernel names; volumes are partitions
// (a disk without partitions is its own volume); the volume lock is an
// exclusive open. Program code includes this header and nothing else of the
// platform.
//
// Not Win32, at the end of this header: the texts that name a Windows-only
// thing, and the device path a platform gives a disk besides its number
// (PlatformDiskPath). Windows and the simulated machine share the texts
// (windows_texts.cpp); a simulated disk may be given a path to stand for a
// platform that has them (platform-path=, for unit tests). On Linux a disk can also be named by its device
// path ("/dev/sdb"): the command line the Linux build hands the program
// (GetCommandLineA) carries that disk's number in its place, so the program's
// own parse of the disk argument stays that of Windows. A path that names no
// disk is carried as the first number past the last disk, whose device path is
// the path typed; opening it fails with ERROR_FILE_NOT_FOUND.
#pragma once

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#include "platform/device_requests.h"

namespace win {

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int16_t SHORT;
typedef uint32_t UINT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef char16_t WCHAR;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* HWND;
typedef void* HDEVINFO;
typedef intptr_t (*FARPROC)();
typedef BOOL (*PHANDLER_ROUTINE)(DWORD ctrlType);

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;

// Errors the program names or tests for.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_NOT_READY = 21;
constexpr DWORD ERROR_CRC = 23;
constexpr DWORD ERROR_SECTOR_NOT_FOUND = 27;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_HANDLE_EOF = 38;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_MORE_DATA = 234;
constexpr DWORD ERROR_NO_MORE_ITEMS = 259;
constexpr DWORD ERROR_INVALID_ADDRESS = 487;
constexpr DWORD ERROR_IO_DEVICE = 1117;

// Files and devices.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD FILE_FLAG_NO_BUFFERING = 0x20000000u;
constexpr DWORD FILE_TYPE_UNKNOWN = 0;
constexpr DWORD FILE_TYPE_DISK = 1;
constexpr DWORD FILE_TYPE_CHAR = 2;
constexpr DWORD FILE_TYPE_PIPE = 3;
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD STD_OUTPUT_HANDLE = static_cast<DWORD>(-11);
constexpr DWORD STD_ERROR_HANDLE = static_cast<DWORD>(-12);
constexpr UINT DRIVE_REMOVABLE = 2;
constexpr UINT DRIVE_FIXED = 3;
constexpr UINT DRIVE_REMOTE = 4;
constexpr UINT DRIVE_CDROM = 5;
constexpr UINT DRIVE_RAMDISK = 6;

// Device requests (control codes) and their records: platform/device_requests.h.

// Memory.
constexpr DWORD HEAP_ZERO_MEMORY = 0x8;
constexpr DWORD MEM_COMMIT = 0x1000;
constexpr DWORD MEM_RESERVE = 0x2000;
constexpr DWORD PAGE_READWRITE = 0x04;

// Libraries.
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800;

// Console.
constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD CTRL_BREAK_EVENT = 1;
constexpr DWORD CTRL_CLOSE_EVENT = 2;
constexpr DWORD CTRL_LOGOFF_EVENT = 5;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6;
constexpr WORD KEY_EVENT = 0x1;
constexpr WORD MOUSE_EVENT = 0x2;
constexpr WORD WINDOW_BUFFER_SIZE_EVENT = 0x4;
constexpr WORD MENU_EVENT = 0x8;
constexpr WORD FOCUS_EVENT = 0x10;
constexpr UINT MAPVK_VK_TO_VSC = 0;
constexpr DWORD KEYEVENTF_KEYUP = 0x2;

// Device setup.
constexpr DWORD DIGCF_PRESENT = 0x2;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
static_assert(sizeof(GUID) == 16);

// {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}
constexpr GUID GUID_DEVINTERFACE_DISK = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
static_assert(sizeof(OVERLAPPED) == 32 && offsetof(OVERLAPPED, Offset) == 16 && offsetof(OVERLAPPED, hEvent) == 24);

struct COORD {
    SHORT X;
    SHORT Y;
};

struct SMALL_RECT {
    SHORT Left;
    SHORT Top;
    SHORT Right;
    SHORT Bottom;
};

struct CONSOLE_SCREEN_BUFFER_INFO {
    COORD dwSize;
    COORD dwCursorPosition;
    WORD wAttributes;
    SMALL_RECT srWindow;
    COORD dwMaximumWindowSize;
};
static_assert(sizeof(CONSOLE_SCREEN_BUFFER_INFO) == 22 && offsetof(CONSOLE_SCREEN_BUFFER_INFO, dwCursorPosition) == 4);

struct CHAR_INFO {
    union {
        WCHAR UnicodeChar;
        char AsciiChar;
    } Char;
    WORD Attributes;
};
static_assert(sizeof(CHAR_INFO) == 4);

struct KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        char AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
};
static_assert(sizeof(KEY_EVENT_RECORD) == 16 && offsetof(KEY_EVENT_RECORD, wVirtualKeyCode) == 6);

struct INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
        BYTE Other[16];
    } Event;
};
static_assert(sizeof(INPUT_RECORD) == 20 && offsetof(INPUT_RECORD, Event) == 4);

// The DeviceType of a disk's STORAGE_DEVICE_NUMBER; optical drives report others.
constexpr DWORD FILE_DEVICE_DISK = 7;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32);

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    char DevicePath[1];
};
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8);

#ifndef WIN32_SUBSET_NO_FUNCTIONS
extern "C" {

// kernel32: process, libraries, last error, time.
char* GetCommandLineA();
[[noreturn]] void ExitProcess(UINT exitCode);
DWORD GetCurrentProcessId();
HMODULE GetModuleHandleA(const char* name);
FARPROC GetProcAddress(HMODULE module, const char* name);
HMODULE LoadLibraryExA(const char* name, HANDLE file, DWORD flags);
UINT GetSystemDirectoryA(char* buffer, UINT size);
BOOL SetCurrentDirectoryA(const char* path);
DWORD GetLastError();
void SetLastError(DWORD code);
DWORD GetTickCount();
void Sleep(DWORD milliseconds);
BOOL Beep(DWORD frequency, DWORD duration);
void DebugBreak();
int lstrlenA(const char* text);
int lstrcmpiA(const char* a, const char* b);

// kernel32: memory.
HANDLE GetProcessHeap();
void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);
BOOL HeapFree(HANDLE heap, DWORD flags, void* block);
BOOL HeapValidate(HANDLE heap, DWORD flags, const void* block);
void* VirtualAlloc(void* address, SIZE_T bytes, DWORD type, DWORD protect);

// kernel32: files, devices, volumes.
HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags,
                   HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytes, DWORD* bytesRead, OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytes, DWORD* bytesWritten, OVERLAPPED* overlapped);
BOOL FlushFileBuffers(HANDLE file);
DWORD GetFileType(HANDLE file);
BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* bytesReturned,
                     OVERLAPPED* overlapped);
BOOL GetDevicePowerState(HANDLE device, BOOL* on);
HANDLE FindFirstVolumeA(char* name, DWORD length);
BOOL FindNextVolumeA(HANDLE search, char* name, DWORD length);
BOOL FindVolumeClose(HANDLE search);
UINT GetDriveTypeA(const char* root);
DWORD QueryDosDeviceA(const char* device, char* target, DWORD length);
BOOL GetVolumePathNamesForVolumeNameA(const char* volume, char* names, DWORD length, DWORD* returned);

// kernel32: console.
HANDLE GetStdHandle(DWORD which);
BOOL WriteConsoleA(HANDLE console, const void* text, DWORD length, DWORD* written, void* reserved);
BOOL GetConsoleScreenBufferInfo(HANDLE console, CONSOLE_SCREEN_BUFFER_INFO* info);
BOOL ReadConsoleOutputA(HANDLE console, CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region);
BOOL WriteConsoleOutputA(HANDLE console, const CHAR_INFO* cells, COORD size, COORD origin, SMALL_RECT* region);
HWND GetConsoleWindow();
BOOL FlushConsoleInputBuffer(HANDLE input);
BOOL ReadConsoleInputA(HANDLE input, INPUT_RECORD* records, DWORD length, DWORD* read);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// user32, bound on first use.
int wvsprintfA(char* out, const char* format, va_list args);
int wsprintfA(char* out, const char* format, ...);
char* CharUpperA(char* text);
UINT MapVirtualKeyA(UINT code, UINT mapType);
void keybd_event(BYTE key, BYTE scan, DWORD flags, ULONG_PTR extra);
DWORD GetWindowThreadProcessId(HWND window, DWORD* processId);

// shlwapi, bound on first use.
int StrCmpNIA(const char* a, const char* b, int count);
BOOL StrTrimA(char* text, const char* trim);
char* StrStrA(const char* text, const char* find);

// setupapi, bound on first use.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, void* deviceInfo, const GUID* interfaceGuid, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                                      void* deviceInfo);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

}  // extern "C"

// Not Win32: what each platform supplies of its own.
// The usage text's first line, which says what Verify asks of the device.
extern const char kUsageVerifyLine[];
// The usage text's line that says how a disk is named.
extern const char kUsageDiskLine[];
// The Verify pass's header, with the disk number (%u) and description (%s).
extern const char kVerifyHeaderFormat[];
// Copies the device path of disk `number` ("/dev/sdb") into `path`, at most
// size - 1 characters and terminated, and returns its length; returns 0 and
// leaves `path` alone where the platform names disks by number alone
// (Windows). Changes no last error.
int PlatformDiskPath(int number, char* path, int size);

#define INVALID_HANDLE_VALUE (reinterpret_cast<win::HANDLE>(intptr_t(-1)))
#endif

}  // namespace win
