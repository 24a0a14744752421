// The read-twice comparison: what it counts and exactly what it lists.
#include <vector>

#include "unit/fixture.h"

namespace {

std::vector<BYTE> Pattern(size_t length) {
    std::vector<BYTE> bytes(length);
    for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<BYTE>(i * 7 + 3);
    return bytes;
}

TEST(CompareChunks, EqualBuffersCountNothingAndPrintNothing) {
    BootMachine();
    std::vector<BYTE> a = Pattern(4096), b = a;
    EXPECT_EQ(CompareChunks(a.data(), b.data(), 4096, 0), 0u);
    EXPECT_EQ(Stdout(), "");
}

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

// The quick test runs in 128-byte blocks where it can, then word by word.
TEST(CompareChunks, QuickTestSeesADifferenceAnywhere) {
    BootMachine();
    const DWORD length = 4096 + 72;
    std::vector<BYTE> a = Pattern(length);
    for (size_t at : {size_t(0), size_t(127), size_t(128), size_t(4095), size_t(4096), size_t(4167)}) {
        std::vector<BYTE> b = a;
        b[at] ^= 0x40;
        EXPECT_EQ(CompareChunks(a.data(), b.data(), length, 0), 1u) << at;
    }
}

TEST(CompareChunks, BytesAfterTheLastWholeWordAreNotCompared) {
    BootMachine();
    std::vector<BYTE> a(20, 1), b(20, 1);
    b[16] = 2;
    b[19] = 2;
    EXPECT_EQ(CompareChunks(a.data(), b.data(), 20, 0), 0u);
    EXPECT_EQ(Stdout(), "");
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
// line follows every later call that finds any.
TEST(CompareChunks, PrintLimitCoversLaterCalls) {
    BootMachine();
    std::vector<BYTE> a(16384, 0), b(16384, 1);
    EXPECT_EQ(CompareChunks(a.data(), b.data(), 10000, 0), 10000u);
    std::string out = Stdout();
    size_t lines = 0;
    for (char c : out) lines += c == '\n';
    EXPECT_EQ(lines, 10002u);
    EXPECT_EQ(out.substr(0, 17), "00000000: 00 01\r\n");
    const std::string tail = "0000270F: 00 01\r\nfound > 10000 diffs -> no more printing\r\n10000 diffs found\r\n";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);

    size_t before = out.size();
    EXPECT_EQ(CompareChunks(a.data(), b.data(), 24, 0x10000), 24u);
    EXPECT_EQ(Stdout().substr(before), "24 diffs found\r\n");
    before = Stdout().size();
    EXPECT_EQ(CompareChunks(a.data(), a.data(), 24, 0), 0u);
    EXPECT_EQ(Stdout().size(), before);
}

}  // namespace
