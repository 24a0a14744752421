// Command-line splitting and the reading of the disk argument and mode word.
#include <string>
#include <vector>

#include "unit/fixture.h"

namespace {

constexpr int kSlots = kMaxWords + 8;  // room behind the vector, to see that nothing lands there
char Untouched[] = "untouched";

struct Split {
    int Count = -1;
    std::vector<std::string> Words;
    char* Slots[kSlots];
};

Split SplitLine(const std::string& line) {
    BootMachine("stdout: file\n");
    sim::SetCommandLine(line);
    Split split;
    for (char*& slot : split.Slots) slot = Untouched;
    ParseCommandLine(&split.Count, split.Slots);
    for (int i = 0; i < split.Count; ++i) split.Words.push_back(split.Slots[i]);
    return split;
}

using Words = std::vector<std::string>;

TEST(CommandLine, SplitsAtBlanksOutsideQuotes) {
    struct {
        const char* Line;
        Words Expected;
    } cases[] = {
        {"sectorsweep.exe", {"sectorsweep.exe"}},
        {"s", {"s"}},
        {"\"C:\\x y\\s.exe\" 3", {"\"C:\\x y\\s.exe\"", "3"}},
        {"s.exe     1", {"s.exe", "1"}},
        {"s.exe 1 r   ", {"s.exe", "1", "r"}},
        {" s.exe 1", {"", "s.exe", "1"}},
        {"   ", {""}},
        {"s.exe a\tb", {"s.exe", "a\tb"}},
        {"s.exe\t1", {"s.exe\t1"}},
        {"s.exe ab\"c d\"e f", {"s.exe", "ab\"c d\"e", "f"}},
        {"s.exe \"c d\"e f", {"s.exe", "\"c d\"e", "f"}},
        {"s.exe \"\" 1", {"s.exe", "\"\"", "1"}},
        {"s.exe \"a\x01 b\" c", {"s.exe", "\"a\x01 b\"", "c"}},  // a control byte is ordinary
        // A quote without a partner takes the rest of the line, blanks included.
        {"s.exe 1 \"a  b  ", {"s.exe", "1", "\"a  b  "}},
        {"s.exe \"b\"c\" d", {"s.exe", "\"b\"c\" d"}},
        {"s.exe \"", {"s.exe", "\""}},
        {"\\\\x\\ \\", {"\\\\x\\", "\\"}},
    };
    for (const auto& c : cases) {
        Split split = SplitLine(c.Line);
        EXPECT_EQ(split.Words, c.Expected) << "line [" << c.Line << "]";
    }
}

// An empty line sets no slot and an overlong one only the first; more words than
// the vector holds set no slot past it.
TEST(CommandLine, StaysWithinItsLimits) {
    Split empty = SplitLine("");
    EXPECT_EQ(empty.Count, 0);
    EXPECT_EQ(empty.Slots[0], Untouched);

    std::string line = std::string(509, 'x') + " 1";  // 511 characters
    Split kept = SplitLine(line);
    EXPECT_EQ(kept.Count, 2);
    EXPECT_EQ(kept.Words.at(0).size(), 509u);
    Split refused = SplitLine(line + "2");
    EXPECT_EQ(refused.Count, 0);
    EXPECT_STREQ(refused.Slots[0], "");
    EXPECT_EQ(refused.Slots[1], Untouched);
    EXPECT_EQ(SplitLine(std::string(2000, ' ')).Count, 0);

    std::string words = "s.exe";
    for (int i = 1; i < kMaxWords; ++i) words += " " + std::to_string(i);
    for (const std::string& over : {words + "   ", words + " a b c d e f g h i j"}) {
        Split full = SplitLine(over);
        EXPECT_EQ(full.Count, kMaxWords);
        EXPECT_EQ(full.Words.back(), std::to_string(kMaxWords - 1));
        for (int i = kMaxWords; i < kSlots; ++i) EXPECT_EQ(full.Slots[i], Untouched) << i;
    }
}

TEST(DiskArgument, PrefixesChainInTheirOrderOnly) {
    BootMachine();
    struct {
        const char* Word;
        int Disk;  // -1: not a disk argument
    } cases[] = {
        {"0", 0},
        {"5", 5},
        {"007", 7},
        {"9", 9},
        {"1990", 1990},
        {"5:", -1},  // the characters either side of the digits
        {"/5", -1},
        {"", 0},
        {"disk", 0},
        {"\\\\.\\pd", 0},
        {"\\\\.\\PhysicalDrive", 0},
        {"DISK12", 12},
        {"\\\\.\\physicaldrive12", 12},
        {"\\\\.\\PD3", 3},
        {"disk\\\\.\\PhysicalDrive5", 5},
        {"disk\\\\.\\pd\\\\.\\PhysicalDrive5", 5},
        {"disk\\\\.\\pd5", 5},
        {"\\\\.\\pd\\\\.\\PhysicalDrive5", 5},
        {"\\\\.\\pddisk5", -1},
        {"\\\\.\\PhysicalDrivedisk5", -1},
        {"\\\\.\\PhysicalDrive\\\\.\\pd5", -1},
        {"diskdisk5", -1},
        {"5a", -1},
        {"a5", -1},
        {"+5", -1},
        {"-5", -1},
        {" 5", -1},
        {"5 ", -1},
        {"\"5\"", -1},
        {"2147483647", 2147483647},
        {"00000000002147483647", 2147483647},
        {"2147483648", -1},
        {"4294967301", -1},  // would wrap to 5
        {"99999999999999999999999", -1},
    };
    for (const auto& c : cases) {
        int disk = -99;
        EXPECT_EQ(ReadDiskArgument(c.Word, &disk) ? disk : -1, c.Disk) << c.Word;
    }
}

TEST(ModeWord, SecondAndThirdCharacterDecide) {
    BootMachine();
    struct {
        const char* Word;
        PassMode Mode;
    } cases[] = {
        {"r", Verify},   {"R", Verify},      {"x", Verify},      {"rr", Read},           {"xR", Read},
        {"-r", Read},    {"2r2", ReadTwice}, {"xR2", ReadTwice}, {"xr2junk", ReadTwice}, {"xr3", Read},
        {"x2", Verify},  {"xx2", Verify},    {"read", Verify},   {"\"r\"", Read},        {"xrx2", Read},
        {"\x01r", Read},  // any first character counts, even a control byte
    };
    for (const auto& c : cases) EXPECT_EQ(ReadModeWord(c.Word), c.Mode) << c.Word;
}

}  // namespace
