// Read-twice comparison: equal chunks cost one pass of wide compares; differing
// bytes are listed with their disk positions up to the print limit.
#include <cpuid.h>
#include <immintrin.h>

#include "sectorsweep.h"

namespace {

constexpr DWORD kPrintLimit = 10000;

int DiffPrintEnabled = 1;

inline ULONGLONG Word(const BYTE* bytes, SIZE_T index) {
    ULONGLONG word;
    __builtin_memcpy(&word, bytes + index * 8, 8);
    return word;
}

// The quick test. Each loop compares the widest blocks it can and hands the
// words after its last whole block to the next narrower loop. A loop that used
// the 256- or 512-bit registers clears their upper halves itself before it
// returns or hands over (the compiler leaves that out before a tail call, and
// without optimization), so no later SSE2 instruction pays for a state
// transition.

bool WordsEqualPlain(const BYTE* first, const BYTE* second, SIZE_T words) {
    for (SIZE_T j = 0; j < words; ++j)
        if (Word(first, j) != Word(second, j)) return false;
    return true;
}

// The two buffers' words j to j + 1 XORed: zero where they are equal.
inline __m128i Differ128(const BYTE* first, const BYTE* second, SIZE_T j) {
    return _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(first + j * 8)),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(second + j * 8)));
}

// Sixteen words (128 bytes) per step, one test for them all: from the cache,
// faster than eight words per step; from memory, the same.
bool WordsEqualSse2(const BYTE* first, const BYTE* second, SIZE_T words) {
    SIZE_T j = 0;
    for (; j + 16 <= words; j += 16) {
        __m128i low = _mm_or_si128(_mm_or_si128(Differ128(first, second, j), Differ128(first, second, j + 2)),
                                   _mm_or_si128(Differ128(first, second, j + 4), Differ128(first, second, j + 6)));
        __m128i high = _mm_or_si128(_mm_or_si128(Differ128(first, second, j + 8), Differ128(first, second, j + 10)),
                                    _mm_or_si128(Differ128(first, second, j + 12), Differ128(first, second, j + 14)));
        __m128i differ = _mm_or_si128(low, high);
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(differ, _mm_setzero_si128())) != 0xFFFF) return false;
    }
    return WordsEqualPlain(first + j * 8, second + j * 8, words - j);
}

__attribute__((target("avx2"))) inline __m256i Differ256(const BYTE* first, const BYTE* second, SIZE_T j) {
    return _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + j * 8)),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + j * 8)));
}

// Sixteen words (128 bytes) per step.
__attribute__((target("avx2"))) bool WordsEqualAvx2(const BYTE* first, const BYTE* second, SIZE_T words) {
    SIZE_T j = 0;
    bool equal = true;
    for (; equal && j + 16 <= words; j += 16) {
        __m256i differ =
            _mm256_or_si256(_mm256_or_si256(Differ256(first, second, j), Differ256(first, second, j + 4)),
                            _mm256_or_si256(Differ256(first, second, j + 8), Differ256(first, second, j + 12)));
        equal = _mm256_testz_si256(differ, differ);
    }
    _mm256_zeroupper();
    return equal && WordsEqualSse2(first + j * 8, second + j * 8, words - j);
}

__attribute__((target("avx512f"))) inline __m512i Differ512(const BYTE* first, const BYTE* second, SIZE_T j) {
    return _mm512_xor_si512(_mm512_loadu_si512(first + j * 8), _mm512_loadu_si512(second + j * 8));
}

// Thirty-two words (256 bytes) per step, for buffers of kFullWidthCompare bytes
// and more; shorter ones go to the AVX2 loop (see kFullWidthCompare).
__attribute__((target("avx512f"))) bool WordsEqualAvx512(const BYTE* first, const BYTE* second, SIZE_T words) {
    if (words < kFullWidthCompare / 8) return WordsEqualAvx2(first, second, words);
    SIZE_T j = 0;
    bool equal = true;
    for (; equal && j + 32 <= words; j += 32) {
        __m512i differ =
            _mm512_or_si512(_mm512_or_si512(Differ512(first, second, j), Differ512(first, second, j + 8)),
                            _mm512_or_si512(Differ512(first, second, j + 16), Differ512(first, second, j + 24)));
        equal = _mm512_test_epi64_mask(differ, differ) == 0;
    }
    _mm256_zeroupper();
    return equal && WordsEqualAvx2(first + j * 8, second + j * 8, words - j);
}

// What the processor and the system report, read once for the choice.
ComparePath WidestPath() {
    unsigned a, b, c, d;
    DWORD leaf1Ecx = 0;
    DWORD leaf7Ebx = 0;
    DWORD xcr0 = 0;
    if (__get_cpuid(1, &a, &b, &c, &d)) leaf1Ecx = c;
    if (__get_cpuid_max(0, nullptr) >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        leaf7Ebx = b;
    }
    // xgetbv is an invalid instruction unless the system has turned XSAVE on.
    if ((leaf1Ecx & bit_OSXSAVE) != 0) {
        unsigned high;
        __asm__ volatile("xgetbv" : "=a"(xcr0), "=d"(high) : "c"(0));
    }
    return WidestComparePath(leaf1Ecx, leaf7Ebx, xcr0);
}

int Path = -1;  // chosen on first use

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

// The widest loop that the processor offers and the system saves the registers
// of. AVX2 needs the AVX bit and the system's XSAVE with the SSE and AVX state in
// XCR0; AVX-512 needs all that, AVX2 too (its loop hands short buffers and tails
// to the AVX2 loop), and XCR0's opmask and both ZMM parts.
ComparePath WidestComparePath(DWORD leaf1Ecx, DWORD leaf7Ebx, DWORD xcr0) {
    bool avxState = (leaf1Ecx & bit_OSXSAVE) != 0 && (leaf1Ecx & bit_AVX) != 0 && (xcr0 & 0x06) == 0x06;
    if (!avxState || (leaf7Ebx & bit_AVX2) == 0) return CompareSse2;
    if ((leaf7Ebx & bit_AVX512F) != 0 && (xcr0 & 0xE6) == 0xE6) return CompareAvx512;
    return CompareAvx2;
}

ComparePath ComparePathInUse() {
    if (Path < 0) UseComparePath(CompareWidest);
    return static_cast<ComparePath>(Path);
}

bool ChunksEqual(const BYTE* first, const BYTE* second, DWORD length) {
    SIZE_T words = length / 8;
    switch (ComparePathInUse()) {
        case CompareAvx512:
            return WordsEqualAvx512(first, second, words);
        case CompareAvx2:
            return WordsEqualAvx2(first, second, words);
        case CompareSse2:
            return WordsEqualSse2(first, second, words);
        default:
            return WordsEqualPlain(first, second, words);
    }
}

ComparePath UseComparePath(ComparePath path) {
    ComparePath widest = WidestPath();
    Path = path < widest ? path : widest;
    return static_cast<ComparePath>(Path);
}

DWORD CompareChunks(const BYTE* first, const BYTE* second, DWORD length, LONGLONG chunkOffset) {
    if (ChunksEqual(first, second, length)) return 0;
    SIZE_T words = length / 8;
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
