// The read-twice comparison: what it counts and exactly what it lists, through
// every quick-test loop the processor supports.
#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "unit/fixture.h"

namespace {

// Bytes with no short period, so that comparing the wrong part of a buffer
// (an offset off by a few words) never happens to match.
std::vector<BYTE> Pattern(size_t length) {
    std::vector<BYTE> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<BYTE>((i + 1) * 0x9E3779B97F4A7C15ull >> 56);
    return bytes;
}

// ---- each quick-test loop ----------------------------------------------------

const char* const kPathNames[] = {"Words", "Sse2", "Avx2", "Avx512"};  // by ComparePath

// Runs each case through one loop, and hands CompareChunks back its own choice
// afterwards.
class EachPath : public testing::TestWithParam<ComparePath> {
protected:
    void SetUp() override {
        BootMachine();
        if (UseComparePath(GetParam()) != GetParam())
            GTEST_SKIP() << "this processor lacks the " << kPathNames[GetParam()] << " loop";
    }
    // The cases ran through the loop under test, not the widest.
    void TearDown() override {
        if (!IsSkipped()) {
            EXPECT_EQ(ComparePathInUse(), GetParam());
        }
        UseComparePath(CompareWidest);
    }
};

// Left to itself, CompareChunks takes the widest loop this processor and its
// system run.
TEST(CompareChunks, TakesTheWidestPathThatRunsHere) {
    ComparePath widest = !__builtin_cpu_supports("avx2")     ? CompareSse2
                         : __builtin_cpu_supports("avx512f") ? CompareAvx512
                                                             : CompareAvx2;
    EXPECT_EQ(ComparePathInUse(), widest);
    EXPECT_EQ(UseComparePath(CompareWidest), widest);
}

// The choice from what cpuid and XCR0 report, for processors and systems other
// than this one (a virtual processor may offer AVX-512 with AVX2 masked).
TEST(CompareChunks, ChoosesALoopOnlyWithEveryBitItNeeds) {
    constexpr DWORD kOsXsave = 1u << 27, kAvx = 1u << 28;  // leaf 1, ECX
    constexpr DWORD kAvx2 = 1u << 5, kAvx512F = 1u << 16;  // leaf 7, EBX
    constexpr DWORD kLeaf1 = kOsXsave | kAvx | 0x1;        // with SSE3, which plays no part
    constexpr DWORD kLeaf7 = kAvx2 | kAvx512F | 0x8;       // with BMI1, likewise
    // XCR0: x87, SSE, AVX, the two MPX bits (no part), opmask, ZMM0-15 upper halves, ZMM16-31.
    constexpr DWORD kXcr0 = 0x1 | 0x2 | 0x4 | 0x18 | 0x20 | 0x40 | 0x80;
    struct Case {
        const char* what;
        DWORD leaf1Ecx, leaf7Ebx, xcr0;
        ComparePath path;
    };
    const Case cases[] = {
        {"everything", kLeaf1, kLeaf7, kXcr0, CompareAvx512},
        {"AVX-512F without AVX2", kLeaf1, kLeaf7 & ~kAvx2, kXcr0, CompareSse2},
        {"AVX2 without AVX-512F", kLeaf1, kLeaf7 & ~kAvx512F, kXcr0, CompareAvx2},
        {"no opmask state", kLeaf1, kLeaf7, kXcr0 & ~0x20u, CompareAvx2},
        {"no ZMM upper halves", kLeaf1, kLeaf7, kXcr0 & ~0x40u, CompareAvx2},
        {"no ZMM16-31", kLeaf1, kLeaf7, kXcr0 & ~0x80u, CompareAvx2},
        {"SSE and AVX state only", kLeaf1, kLeaf7, 0x7, CompareAvx2},
        {"no AVX state", kLeaf1, kLeaf7, kXcr0 & ~0x4u, CompareSse2},
        {"no SSE state", kLeaf1, kLeaf7, kXcr0 & ~0x2u, CompareSse2},
        {"XSAVE off (XCR0 unread)", kLeaf1 & ~kOsXsave, kLeaf7, 0, CompareSse2},
        {"XSAVE off, XCR0 as if read", kLeaf1 & ~kOsXsave, kLeaf7, kXcr0, CompareSse2},
        {"no AVX", kLeaf1 & ~kAvx, kLeaf7, kXcr0, CompareSse2},
        {"no leaf 7", kLeaf1, 0, kXcr0, CompareSse2},
        {"nothing", 0, 0, 0, CompareSse2},
    };
    for (const Case& c : cases) EXPECT_EQ(WidestComparePath(c.leaf1Ecx, c.leaf7Ebx, c.xcr0), c.path) << c.what;
}

INSTANTIATE_TEST_SUITE_P(CompareChunks, EachPath,
                         testing::Values(CompareAvx512, CompareAvx2, CompareSse2, CompareWords),
                         [](const testing::TestParamInfo<ComparePath>& info) { return kPathNames[info.param]; });

// Long enough for each loop's own blocks (AVX-512: 256 bytes; AVX2 and SSE2: 128)
// and one AVX2 block after the AVX-512 loop's, then fifteen single words and four
// bytes that are not compared.
constexpr DWORD kEveryStage = 4096 + 128 + 120 + 4;
// The same stages after the length from which the AVX-512 loop runs.
constexpr DWORD kLongEveryStage = kFullWidthCompare + kEveryStage;

TEST_P(EachPath, EqualBuffersCountNothingAndPrintNothing) {
    std::vector<BYTE> a = Pattern(kLongEveryStage), b = a;
    for (DWORD length : {0u, 8u, 64u, 256u, kEveryStage, 1u << 20, kFullWidthCompare - 256, kLongEveryStage}) {
        EXPECT_TRUE(ChunksEqual(a.data(), b.data(), length)) << length;
        EXPECT_EQ(CompareChunks(a.data(), b.data(), length, 0), 0u) << length;
    }
    EXPECT_EQ(Stdout(), "");
}

TEST_P(EachPath, SeesADifferenceInEveryComparedByte) {
    std::vector<BYTE> a = Pattern(kEveryStage);
    std::vector<BYTE> b = a;
    for (DWORD at = 0; at < kEveryStage; ++at) {
        b[at] ^= static_cast<BYTE>(1 << (at % 8));
        bool compared = at < kEveryStage / 8 * 8;
        EXPECT_EQ(ChunksEqual(a.data(), b.data(), kEveryStage), !compared) << at;
        EXPECT_EQ(CompareChunks(a.data(), b.data(), kEveryStage, 0), compared ? 1u : 0u) << at;
        b[at] = a[at];
    }
}

// In long buffers: each word of the first two 256-byte blocks, and each word
// from the last two blocks of the widest loop on, a different byte of each; the
// bytes after the last whole word are not compared. (The listing after a failed
// quick test is the same for every loop, so only the verdict is checked.)
TEST_P(EachPath, SeesADifferenceInEveryWordOfALongBuffer) {
    std::vector<BYTE> a = Pattern(kLongEveryStage), b = a;
    const DWORD lastBlocks = kLongEveryStage / 256 * 256 - 512;
    for (DWORD word = 0; word < kLongEveryStage / 8; word = word + 1 == 64 ? lastBlocks / 8 : word + 1) {
        DWORD at = word * 8 + word % 8;
        b[at] ^= 0x10;
        EXPECT_FALSE(ChunksEqual(a.data(), b.data(), kLongEveryStage)) << at;
        b[at] = a[at];
    }
    for (DWORD at = kLongEveryStage / 8 * 8; at < kLongEveryStage; ++at) {
        b[at] ^= 0x10;
        EXPECT_TRUE(ChunksEqual(a.data(), b.data(), kLongEveryStage)) << "not compared: " << at;
        b[at] = a[at];
    }
}

// XINUSE (xgetbv 1) shows whether the upper halves of the vector registers hold
// anything: a loop that leaves them dirty makes later SSE code pay on some processors.
bool ReportsUpperState() {
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_OSXSAVE) == 0 || __get_cpuid_max(0, nullptr) < 0xD) return false;
    __cpuid_count(0xD, 1, a, b, c, d);
    return (a & 4) != 0;
}

unsigned long long StateInUse() {
    unsigned low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(1));
    return static_cast<unsigned long long>(high) << 32 | low;
}

__attribute__((target("avx"))) void ClearUpperHalves() { _mm256_zeroupper(); }

constexpr unsigned long long kUpperHalves = 0x44;  // of YMM0-15 and of ZMM0-15

TEST_P(EachPath, LeavesTheUpperHalvesClear) {
    if (!ReportsUpperState()) GTEST_SKIP() << "the processor does not report the upper halves' state";
    ClearUpperHalves();
    if ((StateInUse() & kUpperHalves) != 0) GTEST_SKIP() << "the processor does not report them clear";
    std::vector<BYTE> a = Pattern(kLongEveryStage), b = a;
    for (DWORD length : {kEveryStage, kLongEveryStage}) {
        CompareChunks(a.data(), b.data(), length, 0);
        EXPECT_EQ(StateInUse() & kUpperHalves, 0u) << "after equal buffers of " << length;
        b[8] ^= 1;
        ClearUpperHalves();
        CompareChunks(a.data(), b.data(), length, 0);
        EXPECT_EQ(StateInUse() & kUpperHalves, 0u) << "after a difference in " << length;
        b[8] ^= 1;
        ClearUpperHalves();
    }
}

// ---- the listing -------------------------------------------------------------

TEST(CompareChunks, ListsEachDifferingByteWithItsDiskPosition) {
    BootMachine();
    std::vector<BYTE> a = Pattern(4096), b = a;
    b[0] = 0x00;      // first word
    b[4093] ^= 0x01;  // last word, two bytes of it, in order
    b[4090] ^= 0x80;
    a[1000] = 0x3A, b[1000] = 0x3B;  // the first read's byte comes first
    EXPECT_EQ(CompareChunks(a.data(), b.data(), 4096, 0x1E838), 4u);
    char expected[256];
    std::snprintf(expected, sizeof expected,
                  "0001E838: %02X 00\r\n0001EC20: 3A 3B\r\n0001F832: %02X %02X\r\n0001F835: %02X %02X\r\n", a[0],
                  a[4090], b[4090], a[4093], b[4093]);
    EXPECT_EQ(Stdout(), expected);
}

TEST(CompareChunks, PositionWidthFollowsMagnitude) {
    BootMachine();
    std::vector<BYTE> a(16, 0x11), b(16, 0x11);
    b[7] = 0x22;
    b[8] = 0x22;
    CompareChunks(a.data(), b.data(), 16, 0xFFFFFFF8ll);  // positions 2^32 - 1 and 2^32
    CompareChunks(a.data(), b.data(), 16, (1ll << 48) - 8);
    EXPECT_EQ(Stdout(),
              "FFFFFFFF: 11 22\r\n000100000000: 11 22\r\n"
              "FFFFFFFFFFFF: 11 22\r\n0001000000000000: 11 22\r\n");
}

TEST(CompareChunks, MovesOffTheStatusLineBeforeListing) {
    BootMachine("stdout: console 80x25\n");
    Print("\r8 MB  (1.0 MB/s)  -  ETA  1.0 seconds   \r");
    std::vector<BYTE> a(64, 0), b(64, 0);
    b[63] = 0xFF;
    EXPECT_EQ(CompareChunks(a.data(), b.data(), 64, 0x1000), 1u);
    EXPECT_EQ(sim::ScreenRows(),
              (std::vector<std::string>{"8 MB  (1.0 MB/s)  -  ETA  1.0 seconds", "0000103F: 00 FF"}));
}

// The listing stops at 10,000 differences for the rest of the process; the count
// line follows every later call that finds any. A child process runs it, so the
// switch stays on for the other tests.
TEST(CompareChunks, PrintLimitCoversLaterCalls) {
    auto checks = [] {
        BootMachine();
        std::vector<BYTE> a(16384, 0), b(16384, 1), one(a);
        one[5] = 7;
        EXPECT_EQ(CompareChunks(a.data(), b.data(), 10000, 0), 10000u);
        EXPECT_EQ(std::count(Stdout().begin(), Stdout().end(), '\n'), 10002);
        EXPECT_EQ(Stdout().substr(0, 17), "00000000: 00 01\r\n");
        EXPECT_TRUE(
            Stdout().ends_with("0000270F: 00 01\r\nfound > 10000 diffs -> no more printing\r\n10000 diffs found\r\n"));
        size_t before = Stdout().size();
        EXPECT_EQ(CompareChunks(a.data(), b.data(), 24, 0x10000), 24u);
        EXPECT_EQ(CompareChunks(a.data(), a.data(), 24, 0), 0u);
        EXPECT_EQ(CompareChunks(a.data(), one.data(), 24, 0), 1u);
        EXPECT_EQ(Stdout().substr(before), "24 diffs found\r\n1 diffs found\r\n");
        std::exit(testing::Test::HasFailure() ? 1 : 0);
    };
    EXPECT_EXIT(checks(), testing::ExitedWithCode(0), "");
}

}  // namespace
