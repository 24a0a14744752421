// Win32 error codes by their SDK names, without the ERROR_ prefix.
#include "sectorsweep.h"

namespace {

struct ErrorNamePair {
    DWORD Code;
    const char* Name;
};

constexpr ErrorNamePair kErrorNames[] = {
    {1, "INVALID_FUNCTION"},
    {2, "FILE_NOT_FOUND"},
    {3, "PATH_NOT_FOUND"},
    {5, "ACCESS_DENIED"},
    {19, "WRITE_PROTECT"},
    {21, "NOT_READY"},
    {23, "CRC"},
    {27, "SECTOR_NOT_FOUND"},
    {31, "GEN_FAILURE"},
    {32, "SHARING_VIOLATION"},
    {33, "LOCK_VIOLATION"},
    {34, "WRONG_DISK"},
    {38, "HANDLE_EOF"},
    {53, "BAD_NETPATH"},
    {54, "NETWORK_BUSY"},
    {55, "DEV_NOT_EXIST"},
    {59, "UNEXP_NET_ERR"},
    {64, "NETNAME_DELETED"},
    {87, "INVALID_PARAMETER"},
    {112, "DISK_FULL"},
    {121, "SEM_TIMEOUT"},
    {123, "INVALID_NAME"},
    {144, "DIR_NOT_ROOT"},
    {183, "ALREADY_EXISTS"},
    {206, "FILENAME_EXCED_RANGE"},
    {225, "VIRUS_INFECTED"},
    {433, "NO_SUCH_DEVICE"},
    {483, "DEVICE_HARDWARE_ERROR"},
    {1006, "FILE_INVALID"},
    {1110, "MEDIA_CHANGED"},
    {1112, "NO_MEDIA_IN_DRIVE"},
    {1117, "IO_DEVICE"},
    {1127, "DISK_OPERATION_FAILED"},
    {1128, "DISK_RESET_FAILED"},
    {1167, "DEVICE_NOT_CONNECTED"},
    {1392, "FILE_CORRUPT"},
    {1450, "NO_SYSTEM_RESOURCES"},
    {1920, "CANT_ACCESS_FILE"},
    {1921, "CANT_RESOLVE_FILENAME"},
};
static_assert(sizeof kErrorNames / sizeof kErrorNames[0] == 39);

char FallbackName[64];

}  // namespace

const char* ErrorName(DWORD code) {
    for (const ErrorNamePair& pair : kErrorNames)
        if (pair.Code == code) return pair.Name;
    wsprintfA(FallbackName, "%u", code);
    return FallbackName;
}

const char* LastErrorName() { return ErrorName(GetLastError()); }
