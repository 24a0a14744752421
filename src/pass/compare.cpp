// Read-twice comparison: equal chunks cost one word pass; differing bytes are
// listed with their disk positions up to the print limit.
#include <cpuid.h>

#include "sectorsweep.h"

namespace {

constexpr DWORD kPrintLimit = 10000;

int DiffPrintEnabled = 1;

inline ULONGLONG Word(const BYTE* bytes, SIZE_T index) {
    ULONGLONG word;
    __builtin_memcpy(&word, bytes + index * 8, 8);
    return word;
}

// Eight words per step, folded in two 128-bit halves so a step is a few vector
// instructions.
typedef ULONGLONG WordPair __attribute__((vector_size(16)));

inline WordPair Pair(const BYTE* bytes, SIZE_T index) {
    WordPair pair;
    __builtin_memcpy(&pair, bytes + index * 8, 16);
    return pair;
}

inline WordPair StepDiffer(const BYTE* first, const BYTE* second, SIZE_T j) {
    return (Pair(first, j) ^ Pair(second, j)) | (Pair(first, j + 2) ^ Pair(second, j + 2)) |
           (Pair(first, j + 4) ^ Pair(second, j + 4)) | (Pair(first, j + 6) ^ Pair(second, j + 6));
}

bool WordsEqualSse2(const BYTE* first, const BYTE* second, SIZE_T words) {
    SIZE_T j = 0;
    for (; j + 8 <= words; j += 8) {
        WordPair differ = StepDiffer(first, second, j);
        if ((differ[0] | differ[1]) != 0) return false;
    }
    for (; j < words; ++j)
        if (Word(first, j) != Word(second, j)) return false;
    return true;
}

// Where the processor and the system support AVX2, two steps (128 bytes) go
// through four 256-bit compares and one test.
typedef long long WordQuad __attribute__((vector_size(32)));

__attribute__((target("avx2"))) inline WordQuad Quad(const BYTE* bytes, SIZE_T index) {
    WordQuad quad;
    __builtin_memcpy(&quad, bytes + index * 8, 32);
    return quad;
}

__attribute__((target("avx2"))) bool WordsEqualAvx2(const BYTE* first, const BYTE* second, SIZE_T words) {
    SIZE_T j = 0;
    for (; j + 16 <= words; j += 16) {
        WordQuad differ = (Quad(first, j) ^ Quad(second, j)) | (Quad(first, j + 4) ^ Quad(second, j + 4)) |
                          (Quad(first, j + 8) ^ Quad(second, j + 8)) | (Quad(first, j + 12) ^ Quad(second, j + 12));
        if (!__builtin_ia32_ptestz256(differ, differ)) return false;
    }
    return WordsEqualSse2(first + j * 8, second + j * 8, words - j);
}

bool HasAvx2() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0 || (c & bit_AVX) == 0) return false;
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    if ((low & 6) != 6) return false;  // the system saves the vector registers
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b & bit_AVX2) != 0;
}

int Avx2 = -1;

bool WordsEqual(const BYTE* first, const BYTE* second, SIZE_T words) {
    if (Avx2 < 0) Avx2 = HasAvx2() ? 1 : 0;
    return Avx2 ? WordsEqualAvx2(first, second, words) : WordsEqualSse2(first, second, words);
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
