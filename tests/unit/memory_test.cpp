// The validated heap and the reserve-then-commit buffers.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "unit/fixture.h"

namespace {

TEST(Heap, BlocksAreZeroFilledAlsoWhenReused) {
    BootMachine();
    for (int round = 0; round < 3; ++round) {
        BYTE* block = static_cast<BYTE*>(AllocZeroed(4096));
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(std::count(block, block + 4096, 0), 4096) << round;
        FillBytes(block, 0xA5, 4096);
        FreeChecked(block);
    }
    void* empty = AllocZeroed(0);
    EXPECT_NE(empty, nullptr);
    FreeChecked(empty);
    EXPECT_EQ(Stdout(), "");
}

TEST(Heap, WaitsUntilTheHeapCanSupply) {
    BootMachine(
        "stdout: file\nfail at HeapAlloc #1 NOT_ENOUGH_MEMORY\nfail at HeapAlloc #2 NOT_ENOUGH_MEMORY\n"
        "fail at HeapAlloc #3 NOT_ENOUGH_MEMORY\n");
    DWORD start = GetTickCount();
    void* block = AllocZeroed(100);
    EXPECT_NE(block, nullptr);
    EXPECT_EQ(std::count(static_cast<BYTE*>(block), static_cast<BYTE*>(block) + 100, 0), 100);
    EXPECT_EQ(GetTickCount() - start, 1500u);
    EXPECT_EQ(CountEvents("HeapAlloc 100 -> none"), 3);
    EXPECT_EQ(Stdout(), "");
    FreeChecked(block);
}

// Runs `body` on a machine whose end is reported on standard error, for a death test.
template <typename Body>
void RunToTheEnd(const std::string& machine, Body body) {
    BootMachine(machine);
    sim::OnEnd([] {
        const sim::Record& record = sim::CurrentRecord();
        for (const std::string& event : record.Events) std::fprintf(stderr, "%s\n", event.c_str());
        std::fprintf(stderr, "%s", record.Abnormal ? "abnormal end\n" : "ended\n");
        std::fflush(stderr);
        _exit(record.Abnormal ? 9 : 0);
    });
    body();
    std::fprintf(stderr, "returned\n");
    _exit(1);
}

TEST(HeapDeathTest, CorruptionAfterAnAllocationStopsAtOnce) {
    EXPECT_EXIT(RunToTheEnd("stdout: file\nheap: corrupt-after-alloc 2\n",
                            [] {
                                AllocZeroed(16);
                                AllocZeroed(16);
                                Print("after\n");
                            }),
                testing::ExitedWithCode(9), "^HeapAlloc 16\nHeapAlloc 16\nBeep 1000 3000\nDebugBreak\nabnormal end\n$");
}

TEST(HeapDeathTest, CorruptionAroundAFreeStopsAtOnce) {
    EXPECT_EXIT(RunToTheEnd("stdout: file\nheap: corrupt-after-free 1\n",
                            [] {
                                FreeChecked(AllocZeroed(16));
                                Print("after\n");
                            }),
                testing::ExitedWithCode(9), "^HeapAlloc 16\nBeep 1000 1000\nDebugBreak\nabnormal end\n$");
}

TEST(AddressSpace, CommitsGrowInPlace) {
    BootMachine();
    BYTE* base = ReserveAddressSpace(0x400000);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(CommitRange(base, 0x10000), base);
    base[0] = 0x5A;
    base[0xFFFF] = 0xA5;
    EXPECT_EQ(CommitRange(base, 0x200000), base);
    EXPECT_EQ(CommitRange(base, 0x100000), base);
    EXPECT_EQ(CommitRange(base, 0x400000), base);
    EXPECT_EQ(base[0], 0x5A);
    EXPECT_EQ(base[0xFFFF], 0xA5);
    base[0x3FFFFF] = 1;
    EXPECT_EQ(Stdout(), "");
}

TEST(AddressSpace, FailuresAreAbsentResults) {
    BootMachine();
    BYTE* base = ReserveAddressSpace(0x100000);
    ASSERT_NE(base, nullptr);
    EXPECT_EQ(CommitRange(base, 0x100001), nullptr);
    EXPECT_EQ(Stdout(), "\r\nerror 487 allocating more memory\r\n");
    EXPECT_EQ(CommitRange(base, 0x1000), base);  // the reservation is still there

    BootMachine();
    EXPECT_EQ(CommitRange(nullptr, 0x1000), nullptr);
    EXPECT_EQ(CountEvents("VirtualAlloc"), 0);
    EXPECT_EQ(Stdout(), "");

    BootMachine("stdout: file\nfail at \"VirtualAlloc reserve\" #2 NOT_ENOUGH_MEMORY\n");
    EXPECT_NE(ReserveAddressSpace(0x100000), nullptr);
    EXPECT_EQ(ReserveAddressSpace(0x100000), nullptr);
    EXPECT_EQ(Stdout(), "");

    BootMachine("stdout: file\nfail at \"VirtualAlloc commit\" #2 NOT_ENOUGH_MEMORY\n");
    base = ReserveAddressSpace(0x100000);
    EXPECT_EQ(CommitRange(base, 0x1000), base);
    EXPECT_EQ(CommitRange(base, 0x2000), nullptr);
    EXPECT_EQ(Stdout(), "\r\nerror 8 allocating more memory\r\n");
}

TEST(Text, CopyTextKeepsToItsCapacity) {
    char out[8];
    std::memset(out, '#', sizeof out);
    CopyText(out, "abcdef", 4);
    EXPECT_STREQ(out, "abc");
    EXPECT_EQ(out[4], '#');
    CopyText(out, "ab", 4);
    EXPECT_STREQ(out, "ab");
}

}  // namespace
