// Windows only: USER32, SHLWAPI and SETUPAPI are bound on their first use, from
// the system directory, after the program has hardened its library search.
#include "platform/win32.h"

using namespace win;

namespace {

struct Library {
    const char* Name;
    HMODULE Module;
};

Library User32 = {"USER32.dll", nullptr};
Library Shlwapi = {"SHLWAPI.dll", nullptr};
Library Setupapi = {"SETUPAPI.dll", nullptr};

HMODULE LoadSystemLibrary(const char* name) {
    HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    // Without the search flag (an old system): load by the full system path.
    char path[300];
    UINT length = GetSystemDirectoryA(path, 260);
    if (length == 0 || length >= 260) return nullptr;
    path[length++] = '\\';
    for (int i = 0; name[i] != 0; ++i) path[length++] = name[i];
    path[length] = 0;
    return LoadLibraryExA(path, nullptr, 0);
}

template <typename Function>
Function Bound(Library& library, const char* name, Function* cache) {
    Function function = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (function != nullptr) return function;
    HMODULE module = __atomic_load_n(&library.Module, __ATOMIC_ACQUIRE);
    if (module == nullptr) {
        module = LoadSystemLibrary(library.Name);
        __atomic_store_n(&library.Module, module, __ATOMIC_RELEASE);
    }
    if (module == nullptr) return nullptr;
    function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
    __atomic_store_n(cache, function, __ATOMIC_RELEASE);
    return function;
}

#define BIND(library, name)                   \
    static decltype(&win::name) cache_##name; \
    auto bound = Bound(library, #name, &cache_##name)

}  // namespace

namespace win {

// Windows names a disk by its number alone ("\\.\PhysicalDriveN").
int PlatformDiskPath(int, char*, int) { return 0; }

// Each entry point forwards to the real function of the same type once it is
// bound; an entry that cannot be bound answers like a failed call.
extern "C" {

int wvsprintfA(char* out, const char* format, va_list args) {
    BIND(User32, wvsprintfA);
    if (bound == nullptr) {
        out[0] = 0;
        return 0;
    }
    return bound(out, format, args);
}

char* CharUpperA(char* text) {
    BIND(User32, CharUpperA);
    return bound != nullptr ? bound(text) : text;
}

UINT MapVirtualKeyA(UINT code, UINT mapType) {
    BIND(User32, MapVirtualKeyA);
    return bound != nullptr ? bound(code, mapType) : 0;
}

void keybd_event(BYTE key, BYTE scan, DWORD flags, ULONG_PTR extra) {
    BIND(User32, keybd_event);
    if (bound != nullptr) bound(key, scan, flags, extra);
}

DWORD GetWindowThreadProcessId(HWND window, DWORD* processId) {
    BIND(User32, GetWindowThreadProcessId);
    return bound != nullptr ? bound(window, processId) : 0;
}

int StrCmpNIA(const char* a, const char* b, int count) {
    BIND(Shlwapi, StrCmpNIA);
    return bound != nullptr ? bound(a, b, count) : 1;
}

BOOL StrTrimA(char* text, const char* trim) {
    BIND(Shlwapi, StrTrimA);
    return bound != nullptr ? bound(text, trim) : FALSE;
}

char* StrStrA(const char* text, const char* find) {
    BIND(Shlwapi, StrStrA);
    return bound != nullptr ? bound(text, find) : nullptr;
}

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND parent, DWORD flags) {
    BIND(Setupapi, SetupDiGetClassDevsA);
    return bound != nullptr ? bound(classGuid, enumerator, parent, flags) : INVALID_HANDLE_VALUE;
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, void* deviceInfo, const GUID* interfaceGuid, DWORD index,
                                 SP_DEVICE_INTERFACE_DATA* data) {
    BIND(Setupapi, SetupDiEnumDeviceInterfaces);
    return bound != nullptr ? bound(set, deviceInfo, interfaceGuid, index, data) : FALSE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize, DWORD* requiredSize,
                                      void* deviceInfo) {
    BIND(Setupapi, SetupDiGetDeviceInterfaceDetailA);
    return bound != nullptr ? bound(set, data, detail, detailSize, requiredSize, deviceInfo) : FALSE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    BIND(Setupapi, SetupDiDestroyDeviceInfoList);
    return bound != nullptr ? bound(set) : FALSE;
}

}  // extern "C"
}  // namespace win
