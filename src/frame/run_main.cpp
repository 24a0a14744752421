// Start-up steps, argument dispatch and exit codes.
#include "sectorsweep.h"

namespace {

template <typename Function>
Function ProcedureAs(FARPROC procedure) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(procedure));
}

// The platform's lines say what Verify asks and how a disk is named.
const char kUsageFormat[] =
    "%s"
    "Effect seems to depend on the device!\n"
    "Usage:\n"
    "Sectorsweep [disknumber] | [-ld]\n"
    "%s"
    "-ld         list disks\n"
    "\n";

// Skips `prefix` at the start of `text`, ignoring letter case.
const char* SkipPrefix(const char* text, const char* prefix) {
    int length = TextLength(prefix);
    return StrCmpNIA(text, prefix, length) == 0 ? text + length : text;
}

}  // namespace

void HardenDllSearchPath() {
    HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
    FARPROC setDefault = GetProcAddress(kernel32, "SetDefaultDllDirectories");
    BOOL hardened = setDefault != nullptr && ProcedureAs<BOOL (*)(DWORD)>(setDefault)(LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (hardened) return;
    FARPROC setDirectory = GetProcAddress(kernel32, "SetDllDirectoryA");
    if (setDirectory != nullptr) ProcedureAs<BOOL (*)(const char*)>(setDirectory)("");
}

void ShowUsage() { Print(kUsageFormat, kUsageVerifyLine, kUsageDiskLine); }

BOOL ReadDiskArgument(const char* word, int* diskNumber) {
    if (word == nullptr) return FALSE;
    const char* digits = SkipPrefix(word, "disk");
    digits = SkipPrefix(digits, "\\\\.\\pd");
    digits = SkipPrefix(digits, "\\\\.\\PhysicalDrive");
    // Only digits, and a value that fits: a wrapped number would name another disk.
    ULONGLONG value = 0;
    for (const char* p = digits; *p != 0; ++p) {
        if (*p < '0' || *p > '9') return FALSE;
        value = value * 10 + static_cast<ULONGLONG>(*p - '0');
        if (value > 0x7FFFFFFF) return FALSE;
    }
    // The number is the one read here: a converter that cannot be bound answers 0,
    // which would name another disk.
    *diskNumber = static_cast<int>(value);
    return TRUE;
}

PassMode ReadModeWord(const char* word) {
    if (word[0] == 0 || (word[1] != 'R' && word[1] != 'r')) return Verify;
    return word[2] == '2' ? ReadTwice : Read;
}

DWORD RunMain(int count, char** words) {
    HardenDllSearchPath();
    SetCurrentDirectoryA("C:\\Windows\\System32");
    Print("Sectorsweep V1.0.2 - checks that a disk can serve every byte\n");
    DWORD code;
    int diskNumber = 0;
    if (count <= 1) {
        ShowUsage();
        code = 1;
    } else if (count > 3) {
        ShowUsage();
        code = 2;
    } else if (lstrcmpiA(words[1], "-ld") == 0) {
        RunDiskListing();
        code = 0;
    } else if (!ReadDiskArgument(words[1], &diskNumber)) {
        ShowUsage();
        code = 1;
    } else {
        code = RunDiskPass(diskNumber, count == 3 ? ReadModeWord(words[2]) : Verify);
    }
    WaitForKeyToClose();
    return code;
}
