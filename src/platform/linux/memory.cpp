// Memory on Linux: the process heap is the C library's, and an address-space
// reservation is an anonymous mapping without access whose prefix is committed
// with mprotect, so the buffer never moves as it grows.
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "platform/linux/internal.h"

namespace lin {
namespace {

constexpr DWORD ERROR_INVALID_ADDRESS = 487;

struct Reservation {
    BYTE* Base;
    SIZE_T Size;
};

constexpr int kMaxReservations = 16;
Reservation Reservations[kMaxReservations];

}  // namespace
}  // namespace lin

using namespace lin;

namespace win {
extern "C" {

HANDLE GetProcessHeap() { return reinterpret_cast<HANDLE>(&Reservations); }

void* HeapAlloc(HANDLE, DWORD, SIZE_T bytes) { return calloc(1, bytes == 0 ? 1 : bytes); }

BOOL HeapFree(HANDLE, DWORD, void* block) {
    free(block);
    return TRUE;
}

// The C library checks its heap on every call and stops the process itself.
BOOL HeapValidate(HANDLE, DWORD, const void*) { return TRUE; }

void* VirtualAlloc(void* address, SIZE_T bytes, DWORD type, DWORD protect) {
    if (protect != PAGE_READWRITE || bytes == 0) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    if (type == MEM_RESERVE && address == nullptr) {
        int slot = 0;
        while (slot < kMaxReservations && Reservations[slot].Base != nullptr) ++slot;
        if (slot == kMaxReservations) return Fail(ERROR_NOT_ENOUGH_MEMORY), nullptr;
        void* base = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (base == MAP_FAILED) return FailErrno(), nullptr;
        Reservations[slot] = {static_cast<BYTE*>(base), bytes};
        return base;
    }
    if (type != MEM_COMMIT) return Fail(ERROR_INVALID_PARAMETER), nullptr;
    BYTE* start = static_cast<BYTE*>(address);
    for (const Reservation& reservation : Reservations) {
        if (reservation.Base == nullptr || start < reservation.Base || start >= reservation.Base + reservation.Size)
            continue;
        if (bytes > static_cast<SIZE_T>(reservation.Base + reservation.Size - start))
            return Fail(ERROR_INVALID_ADDRESS), nullptr;
        SIZE_T page = static_cast<SIZE_T>(sysconf(_SC_PAGESIZE));
        BYTE* first = reservation.Base + (start - reservation.Base) / page * page;
        SIZE_T length = (static_cast<SIZE_T>(start - first) + bytes + page - 1) / page * page;
        if (mprotect(first, length, PROT_READ | PROT_WRITE) != 0) return FailErrno(), nullptr;
        return address;
    }
    return Fail(ERROR_INVALID_ADDRESS), nullptr;
}

}  // extern "C"
}  // namespace win
