// The device description: joining vendor and product, the caseless replace,
// and the descriptor request on a simulated disk.
#include <string>

#include "unit/fixture.h"

namespace {

std::string Describe(const std::string& vendor, const std::string& product) {
    char out[kDescriptionSize];
    FillBytes(out, 'Q', sizeof out);
    BuildDeviceDescription(vendor.c_str(), product.c_str(), out, kDescriptionSize);
    return out;
}

TEST(Description, JoinsTrimmedVendorAndProduct) {
    BootMachine();
    const std::string v126(126, 'v'), v127(127, 'v'), p127(127, 'p'), p253(253, 'p');
    const std::string cases[][3] = {
        {"  ACME  ", "ACME Disk 9   ", "ACME Disk 9"},
        {"ACME", "Disk 9", "ACME Disk 9"},
        {"Acme", "ACME Disk 9", "Acme ACME Disk 9"},
        {"ACME", "Super ACME", "ACME Super ACME"},
        {"ACME", "ACMEDisk", "ACMEDisk"},
        {"ACME", "ACME", "ACME"},
        {"Generic-", "SD/MMC", "Generic SD/MMC"},
        {"GENERIC-", "Card Reader", "Generic Card Reader"},
        {"gEnErIc-", "x", "Generic x"},
        {"Generic-", "", "Generic-"},
        {"", "\tDisk 9 ", "Disk 9"},
        {"\t \t", " \t", ""},
        {"", "", ""},
        {"ACME", "", "ACME"},
        {"  ", "Generic- Generic- Flash", "Generic Generic Flash"},
        // Only what fits the buffer is joined.
        {v127, p127, v127},
        {v126, p127, v126 + " " + p127},
        {"  " + v126 + "\t", p127, v126 + " " + p127},
        {std::string(255, 'v'), "p", std::string(255, 'v')},
        // An empty vendor adds no blank, but the rule counts two all the same.
        {"", p253, p253},
        {"", p253 + "p", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Describe(c[0], c[1]), c[2]) << c[0] << "|" << c[1];
}

std::string Replace(const std::string& text, const char* find, const char* replacement, ULONGLONG capacity,
                    DWORD* count) {
    char buffer[64];
    CopyText(buffer, text.c_str(), sizeof buffer);
    *count = ReplaceAllCaseless(buffer, find, replacement, capacity);
    return buffer;
}

TEST(ReplaceAllCaseless, AllOrNothing) {
    BootMachine();
    struct {
        const char* Text;
        const char* Find;
        const char* Replacement;
        ULONGLONG Capacity;
        const char* Result;
        DWORD Count;
    } cases[] = {
        {"aaa", "aa", "b", 3, "ba", 1},
        {"aaaa", "aa", "b", 4, "bb", 2},
        {"aaa", "", "b", 3, "aaa", 0},
        {"ab ab", "ab", "xyz", 5, "ab ab", 0},
        {"ab ab", "ab", "xyz", 7, "xyz xyz", 2},
        {"ab ab", "ab", "xyz", 6, "ab ab", 0},
        {"ab ab", "AB", "Xy", 5, "Xy Xy", 2},
        {"abc", "x", "y", 3, "abc", 0},
        {"abc", "abc", "", 3, "", 1},
        {"abcd", "b", "", 2, "abcd", 0},  // the text is already longer than the capacity
        {"", "a", "b", 0, "", 0},
        {"GeNeRiC- x", "generic- ", "Generic ", 10, "Generic x", 1},
        {"x\xE9y", "\xC9", "e", 3, "xey", 1},
        {"aXa", "a", "bb", 1000000, "bbXbb", 2},
        // An unbounded capacity does not ask for unbounded memory.
        {"Generic- a", "generic- ", "Generic ", ~0ull, "Generic a", 1},
        {"a-a", "a", "bcd", ~0ull - 1, "bcd-bcd", 2},
    };
    for (const auto& c : cases) {
        DWORD count = 99;
        EXPECT_EQ(Replace(c.Text, c.Find, c.Replacement, c.Capacity, &count), c.Result) << c.Text << "/" << c.Find;
        EXPECT_EQ(count, c.Count) << c.Text << "/" << c.Find;
    }
    char text[] = "aaa";
    EXPECT_EQ(ReplaceAllCaseless(text, "aa", "b"), 1u);
    EXPECT_STREQ(text, "ba");
    char grow[] = "ab";
    EXPECT_EQ(ReplaceAllCaseless(grow, "a", "xx"), 0u);  // the three-argument form never grows the text
    EXPECT_STREQ(grow, "ab");
}

// A reply that holds the two texts at bytes 40 and 300.
std::string DescribeTexts(const std::string& vendor, const std::string& product) {
    alignas(8) BYTE reply[kDescriptorReplySize] = {};
    const DWORD fields[] = {0, kDescriptorReplySize, 0, 40, 300};
    __builtin_memcpy(reply, fields, sizeof fields);
    __builtin_memcpy(reply + 40, vendor.data(), vendor.size());
    __builtin_memcpy(reply + 300, product.data(), product.size());
    char out[kDescriptionSize] = {};
    DescribeReply(reply, out);
    return out;
}

TEST(Description, ControlBytesAreShownAsQuestionMarks) {
    BootMachine();
    std::string low, shown;
    for (int byte = 1; byte < 0x80; ++byte) {
        low += static_cast<char>(byte);
        shown += byte < 0x20 || byte == 0x7F ? '?' : static_cast<char>(byte);
    }
    std::string high;
    for (int byte = 0x80; byte < 0x100; byte += 2) high += static_cast<char>(byte);
    EXPECT_EQ(DescribeTexts(high, low), high + " " + shown);
    // The ends are trimmed of blanks and tabs before: a tab there is not shown.
    EXPECT_EQ(DescribeTexts("\tACME\t", "\x1B[31mDisk\t9 "), "ACME ?[31mDisk?9");
}

// ---- the descriptor request ----------------------------------------------------

std::string Query(const std::string& disk) {
    BootMachine("stdout: file\n" + disk + "\n");
    HANDLE handle =
        CreateFileA("\\\\.\\PhysicalDrive1", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    char out[kDescriptionSize];
    FillBytes(out, 0, sizeof out);
    CopyText(out, "no name", kDescriptionSize);
    QueryDeviceDescription(handle, out);
    CloseHandle(handle);
    return out;
}

// The machine places the vendor at byte 40 and the product after it, unless
// the offsets say otherwise.
TEST(QueryDeviceDescription, TextsFromTheReply) {
    const std::string v200(200, 'v');
    const std::pair<std::string, std::string> cases[] = {
        {"vendor=\"ACME    \" product=\"  Disk 9\"", "ACME Disk 9"},
        {"vendor=\"Generic-\" product=\"Flash Disk\"", "Generic Flash Disk"},
        {"vendor=ACME product=Disk descriptor=fail", "no name"},
        {"", ""},
        {"vendor=ACME product=Disk vendor-offset=0 product-offset=0", ""},
        {"vendor=ACME product=Disk9", "ACME Disk9"},
        // Only the offset is held against Size; the text itself may run past it.
        {"vendor=ACME product=Disk9 descriptor-size=51", "ACME Disk9"},
        {"vendor=ACME product=Disk9 descriptor-size=46", "ACME Disk9"},
        {"vendor=ACME product=Disk9 descriptor-size=45", "ACME"},
        {"vendor=ACME product=Disk9 descriptor-size=40", ""},
        {"vendor=ACME product=Disk9 descriptor-size=0", ""},
        // A size of 64 KiB and more is read in all four of its bytes.
        {"vendor=ACME product=Disk9 descriptor-size=65536", "ACME Disk9"},
        {"vendor=ACME product=Disk9 vendor-offset=900 product-offset=40 descriptor-size=900", "Disk9"},
        // Long texts are cut, and never read past the reply.
        {"vendor=" + v200 + " product=Disk", std::string(127, 'v') + " Disk"},
        {"vendor=V product=" + std::string(300, 'p') + " product-offset=100 descriptor-size=1024",
         "V " + std::string(127, 'p')},
        // Texts running into the end of the 1024-byte reply, which is not terminated there.
        {"vendor=ABCDEFGH vendor-offset=1020 product=WXYZ product-offset=1000 descriptor-size=5000", "ABCD WXYZ"},
        {"vendor=" + v200 + " vendor-offset=900 product=x product-offset=1024 descriptor-size=4096",
         std::string(124, 'v')},
        {"vendor=A vendor-offset=4294967290 descriptor-size=4294967295", ""},
        // All four bytes of an offset count: 0x8000002D is not byte 45.
        {"vendor=ACME product=Disk9xyz vendor-offset=0x8000002D product-offset=40 descriptor-size=4294967295",
         "Disk9xyz"},
    };
    for (const auto& [disk, text] : cases) EXPECT_EQ(Query("disk 1 size=1MiB " + disk), text) << disk;
}

}  // namespace
