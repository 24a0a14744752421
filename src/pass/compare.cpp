// Read-twice comparison: equal chunks cost one word pass; differing bytes are
// listed with their disk positions up to the print limit.
#include "sectorsweep.h"

namespace {

constexpr DWORD kPrintLimit = 10000;

int DiffPrintEnabled = 1;

inline ULONGLONG Word(const BYTE* bytes, SIZE_T index) {
    ULONGLONG word;
    __builtin_memcpy(&word, bytes + index * 8, 8);
    return word;
}

bool WordsEqual(const BYTE* first, const BYTE* second, SIZE_T words) {
    SIZE_T j = 0;
    for (; j + 8 <= words; j += 8) {
        ULONGLONG differ = 0;
        for (SIZE_T k = 0; k < 8; ++k) differ |= Word(first, j + k) ^ Word(second, j + k);
        if (differ != 0) return false;
    }
    for (; j < words; ++j)
        if (Word(first, j) != Word(second, j)) return false;
    return true;
}

void PrintDifference(ULONGLONG position, BYTE first, BYTE second) {
    EnsureLineStart();
    if (position < 0x100000000ull)
        Print("%08lX: ", static_cast<DWORD>(position));
    else if (position < 0x1000000000000ull)
        Print("%012I64X: ", position);
    else
        Print("%016I64X: ", position);
    Print("%02X %02X\n", static_cast<DWORD>(first), static_cast<DWORD>(second));
}

}  // namespace

DWORD CompareChunks(const BYTE* first, const BYTE* second, DWORD length, LONGLONG chunkOffset) {
    SIZE_T words = length / 8;
    if (WordsEqual(first, second, words)) return 0;
    DWORD count = 0;
    for (SIZE_T j = 0; j < words; ++j) {
        if (Word(first, j) == Word(second, j)) continue;
        for (SIZE_T k = 0; k < 8; ++k) {
            BYTE a = first[j * 8 + k];
            BYTE b = second[j * 8 + k];
            if (a == b) continue;
            if (DiffPrintEnabled) PrintDifference(static_cast<ULONGLONG>(chunkOffset) + j * 8 + k, a, b);
            ++count;
            if (count == kPrintLimit) {
                if (DiffPrintEnabled) Print("found > 10000 diffs -> no more printing\n");
                DiffPrintEnabled = 0;
            }
        }
    }
    if (count != 0 && !DiffPrintEnabled) Print("%u diffs found\n", count);
    return count;
}
