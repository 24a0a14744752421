// The process heap and virtual memory on the simulated machine: allocations
// that can fail or find the heap damaged, and reservations committed in place.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "sim/internal.h"

namespace sim {

bool Writable(const void* buffer, uint64_t length) {
    const BYTE* p = static_cast<const BYTE*>(buffer);
    for (const Reservation& r : M->Reservations)
        if (p >= r.Base && p < r.Base + r.Size) return p + length <= r.Base + r.Committed;
    return buffer != nullptr;
}

size_t LiveHeapBlocks() { return M->HeapBlocks.size(); }

namespace {

constexpr uintptr_t kProcessHeap = 0x5EA9;

// A heap call on a handle that is no heap faults on Windows. The process heap
// is shared with the system's threads (the control handler's among them), so
// its lock may not be skipped (HEAP_NO_SERIALIZE, 1).
void CheckHeap(HANDLE heap, DWORD flags, const char* call) {
    std::string problem = reinterpret_cast<uintptr_t>(heap) != kProcessHeap ? " on a handle that is no heap"
                          : (flags & 1) != 0                                ? " without the process heap's lock"
                                                                            : "";
    if (problem.empty()) return;
    Event(call + problem);
    M->Rec.Unmodelled.push_back(call + problem);
}

}  // namespace

}  // namespace sim

using namespace sim;

namespace win {
extern "C" {

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(kProcessHeap); }

void* HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    CallGuard guard;
    CheckHeap(heap, flags, "HeapAlloc");
    std::string call = "HeapAlloc " + std::to_string(bytes);
    if (InjectedError(call) != 0) {
        Event(call + " -> none");
        return nullptr;  // HeapAlloc sets no last error
    }
    Event(call);
    if (++M->Allocs == M->Cfg.HeapCorruptAfterAlloc) M->HeapCorrupt = true;
    void* block = std::malloc(bytes == 0 ? 1 : bytes);
    M->HeapBlocks.insert(block);
    std::memset(block, (flags & HEAP_ZERO_MEMORY) != 0 ? 0 : 0xBE, bytes);
    return block;
}

BOOL HeapFree(HANDLE heap, DWORD flags, void* block) {
    CallGuard guard;
    CheckHeap(heap, flags, "HeapFree");
    // Freeing what the heap did not give (none, or twice) is undefined on Windows.
    if (M->HeapBlocks.erase(block) == 0) {
        Event("HeapFree of a block the heap did not give");
        M->Rec.Unmodelled.push_back("HeapFree of a block the heap did not give");
        return TRUE;
    }
    std::free(block);
    if (++M->Frees == M->Cfg.HeapCorruptBeforeFree) M->HeapCorrupt = true;
    return TRUE;
}

BOOL HeapValidate(HANDLE heap, DWORD flags, const void*) {
    CallGuard guard;
    CheckHeap(heap, flags, "HeapValidate");
    return M->HeapCorrupt ? FALSE : TRUE;
}

void* VirtualAlloc(void* address, SIZE_T bytes, DWORD type, DWORD protect) {
    CallGuard guard;
    if (protect != PAGE_READWRITE) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    bool reserve = type == MEM_RESERVE && address == nullptr;
    if (!reserve && type != MEM_COMMIT) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    std::string call = std::string("VirtualAlloc ") + (reserve ? "reserve " : "commit ") + Hex(bytes);
    if (DWORD error = InjectedError(call)) {
        Event(call + " -> none");
        return Fail(error), nullptr;
    }
    Event(call);
    if (reserve) {
        void* base = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
        M->Reservations.push_back({static_cast<BYTE*>(base), bytes, 0});
        return base;
    }
    for (Reservation& r : M->Reservations) {
        if (address != r.Base) continue;
        if (bytes > r.Size) return Fail(ERROR_INVALID_ADDRESS), nullptr;
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t length = (bytes + page - 1) / page * page;
        mprotect(r.Base, length, PROT_READ | PROT_WRITE);
        r.Committed = std::max<uint64_t>(r.Committed, bytes);
        return r.Base;
    }
    return Fail(ERROR_INVALID_ADDRESS), nullptr;
}

}  // extern "C"
}  // namespace win
