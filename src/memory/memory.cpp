// Validated heap blocks and reserve-then-commit read buffers.
#include "sectorsweep.h"

namespace {

// After a corrupt heap nothing of the program may run: beep, then stop at once.
[[noreturn]] void StopAtOnce(DWORD beepMilliseconds) {
    Beep(1000, beepMilliseconds);
    DebugBreak();
    ExitProcess(0xC0000374);  // only reached when a debugger resumes
}

}  // namespace

void* AllocZeroed(ULONGLONG bytes) {
    void* block;
    while ((block = HeapAlloc(ProcessHeap, HEAP_ZERO_MEMORY, static_cast<SIZE_T>(bytes))) == nullptr) Sleep(500);
    if (!HeapValidate(ProcessHeap, 0, nullptr)) StopAtOnce(3000);
    return block;
}

void FreeChecked(void* block) {
    if (!HeapValidate(ProcessHeap, 0, nullptr)) StopAtOnce(1000);
    HeapFree(ProcessHeap, 0, block);
    if (!HeapValidate(ProcessHeap, 0, nullptr)) StopAtOnce(1000);
}

BYTE* ReserveAddressSpace(ULONGLONG bytes) {
    return static_cast<BYTE*>(VirtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE, PAGE_READWRITE));
}

BYTE* CommitRange(BYTE* base, ULONGLONG bytes) {
    if (base == nullptr) return nullptr;
    if (VirtualAlloc(base, static_cast<SIZE_T>(bytes), MEM_COMMIT, PAGE_READWRITE) != nullptr) return base;
    Print("\nerror %u allocating more memory\n", GetLastError());
    return nullptr;
}
