// Windows only, compiled and never linked: holds the subset's constants and
// record layouts against the SDK headers of the toolchain.
#define WIN32_SUBSET_NO_FUNCTIONS
#include "platform/win32.h"

// clang-format off
#define SUBSET_CONSTANTS(X)                                                                                       \
    X(ERROR_FILE_NOT_FOUND) X(ERROR_ACCESS_DENIED) X(ERROR_INVALID_HANDLE) X(ERROR_NOT_ENOUGH_MEMORY)              \
    X(ERROR_NOT_READY) X(ERROR_CRC) X(ERROR_SECTOR_NOT_FOUND) X(ERROR_GEN_FAILURE) X(ERROR_HANDLE_EOF) X(ERROR_NOT_SUPPORTED)          \
    X(ERROR_INVALID_PARAMETER) X(ERROR_INSUFFICIENT_BUFFER) X(ERROR_MORE_DATA) X(ERROR_NO_MORE_ITEMS)             \
    X(ERROR_INVALID_ADDRESS) X(ERROR_IO_DEVICE) X(GENERIC_READ) X(FILE_SHARE_READ) X(FILE_SHARE_WRITE)            \
    X(OPEN_EXISTING) X(FILE_FLAG_NO_BUFFERING) X(FILE_TYPE_UNKNOWN) X(FILE_TYPE_DISK) X(FILE_TYPE_CHAR)           \
    X(FILE_TYPE_PIPE) X(STD_INPUT_HANDLE) X(STD_OUTPUT_HANDLE) X(STD_ERROR_HANDLE) X(DRIVE_REMOVABLE)             \
    X(DRIVE_FIXED) X(DRIVE_REMOTE) X(DRIVE_CDROM) X(DRIVE_RAMDISK) X(HEAP_ZERO_MEMORY) X(MEM_COMMIT) X(MEM_RESERVE)              \
    X(PAGE_READWRITE) X(LOAD_LIBRARY_SEARCH_SYSTEM32) X(CTRL_C_EVENT) X(CTRL_BREAK_EVENT) X(CTRL_CLOSE_EVENT)     \
    X(CTRL_LOGOFF_EVENT) X(CTRL_SHUTDOWN_EVENT) X(KEY_EVENT) X(MOUSE_EVENT) X(WINDOW_BUFFER_SIZE_EVENT)           \
    X(MENU_EVENT) X(FOCUS_EVENT) X(MAPVK_VK_TO_VSC) X(KEYEVENTF_KEYUP) X(DIGCF_PRESENT) X(DIGCF_DEVICEINTERFACE)  \
    X(FILE_DEVICE_DISK)

// Taken before the SDK's macros of the same names exist.
#define CAPTURE(name) constexpr unsigned long long subset_##name = static_cast<unsigned long long>(win::name);
SUBSET_CONSTANTS(CAPTURE)
constexpr win::GUID subsetDiskGuid = win::GUID_DEVINTERFACE_DISK;

#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
// clang-format on

#define COMPARE(name) static_assert(subset_##name == static_cast<unsigned long long>(static_cast<DWORD>(name)), #name);
SUBSET_CONSTANTS(COMPARE)
// The device requests carry their codes in their table.
#define COMPARE_REQUEST(name, code) static_assert((code) == static_cast<DWORD>(name), #name);
SECTORSWEEP_DEVICE_REQUESTS(COMPARE_REQUEST)

static_assert(subsetDiskGuid.Data1 == 0x53F56307 && subsetDiskGuid.Data4[7] == 0x8B);

#define SAME_SIZE(ours, theirs) static_assert(sizeof(win::ours) == sizeof(::theirs), #ours " size");
#define SAME_OFFSET(ours, theirs, field) \
    static_assert(offsetof(win::ours, field) == offsetof(::theirs, field), #ours "." #field);

SAME_SIZE(GUID, GUID)
SAME_SIZE(OVERLAPPED, OVERLAPPED)
SAME_OFFSET(OVERLAPPED, OVERLAPPED, hEvent)
SAME_SIZE(COORD, COORD)
SAME_SIZE(SMALL_RECT, SMALL_RECT)
SAME_SIZE(CONSOLE_SCREEN_BUFFER_INFO, CONSOLE_SCREEN_BUFFER_INFO)
SAME_OFFSET(CONSOLE_SCREEN_BUFFER_INFO, CONSOLE_SCREEN_BUFFER_INFO, dwCursorPosition)
SAME_OFFSET(CONSOLE_SCREEN_BUFFER_INFO, CONSOLE_SCREEN_BUFFER_INFO, srWindow)
SAME_SIZE(CHAR_INFO, CHAR_INFO)
SAME_OFFSET(CHAR_INFO, CHAR_INFO, Attributes)
SAME_SIZE(KEY_EVENT_RECORD, KEY_EVENT_RECORD)
SAME_OFFSET(KEY_EVENT_RECORD, KEY_EVENT_RECORD, wVirtualKeyCode)
SAME_OFFSET(KEY_EVENT_RECORD, KEY_EVENT_RECORD, dwControlKeyState)
SAME_SIZE(INPUT_RECORD, INPUT_RECORD)
SAME_OFFSET(INPUT_RECORD, INPUT_RECORD, Event)
// The device requests' records, as their header lists them.
#define SAME_RECORD_SIZE(record) SAME_SIZE(record, record)
#define SAME_RECORD_OFFSET(record, field) SAME_OFFSET(record, record, field)
SECTORSWEEP_DEVICE_LAYOUTS(SAME_RECORD_SIZE, SAME_RECORD_OFFSET)
SAME_SIZE(SP_DEVICE_INTERFACE_DATA, SP_DEVICE_INTERFACE_DATA)
SAME_SIZE(SP_DEVICE_INTERFACE_DETAIL_DATA_A, SP_DEVICE_INTERFACE_DETAIL_DATA_A)
SAME_OFFSET(SP_DEVICE_INTERFACE_DETAIL_DATA_A, SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)
