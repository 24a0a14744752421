// Quantity texts and error names.
#include <fstream>
#include <map>
#include <regex>
#include <string>

#include "unit/fixture.h"

namespace {

struct SizeCase {
    ULONGLONG Bytes;
    int Decimals;
    const char* Text;
};

TEST(QuantityText, SizesRoundHalfUpInDecimalUnits) {
    BootMachine();
    const SizeCase cases[] = {
        {0, 0, "0 "},
        {999, 0, "999 "},
        {1000, 0, "1 KB"},
        {1499, 0, "1 KB"},
        {1500, 0, "2 KB"},
        {1999999, 0, "2000 KB"},
        {2000000, 0, "2 MB"},
        {2500000, 0, "3 MB"},
        {999499999, 0, "999 MB"},
        {999999999, 0, "1000 MB"},
        {999999999, 3, "1000 MB"},
        {1000000000, 0, "1 GB"},
        {1499999999, 0, "1 GB"},
        {1500000000, 0, "2 GB"},
        {1000000000, 3, "1.000 GB"},
        {1234567890, -1, "1 GB"},
        {1234567890, 4, "1 GB"},
        {1234567890, 1, "1.2 GB"},
        {1234567890, 2, "1.23 GB"},
        {1234567890, 3, "1.235 GB"},
        {1999499999, 1, "2.0 GB"},
        {500107862016, 0, "500 GB"},
        {500107862016, 2, "500.11 GB"},
        {2000398934016, 2, "2000.40 GB"},
        {10000000000000000ull, 3, "10000000.000 GB"},
        {~0ull, 3, "18446744073.710 GB"},  // the longest text
    };
    for (const SizeCase& c : cases)
        EXPECT_STREQ(FormatSize(c.Bytes, c.Decimals), c.Text) << c.Bytes << " " << c.Decimals;
}

// Two sizes stand together, and beside the speed, the duration and an error
// name of the same line: no text, however long, lands in another's buffer.
TEST(QuantityText, SizeTextsRotateTwoBuffers) {
    BootMachine();
    const char* name = ErrorName(4294967295u);
    const char* first = FormatSize(10000000000000000ull, 3);
    const char* second = FormatSize(1234567890123456ull, 3);
    const char* speed = FormatSpeed(5000, 0);
    const char* duration = FormatDuration(3600000);
    EXPECT_STREQ(first, "10000000.000 GB");
    EXPECT_NE(first, second);
    EXPECT_STREQ(name, "4294967295");
    const char* third = FormatSize(0, 0);
    EXPECT_EQ(first, third);
    EXPECT_STREQ(second, "1234567.890 GB");
    EXPECT_STREQ(speed, "5.0 MB/s");
    EXPECT_STREQ(duration, " 1.0 hours");
    EXPECT_STREQ(ErrorName(4294967294u), "4294967294");
    EXPECT_STREQ(second, "1234567.890 GB");
}

TEST(QuantityText, SpeedsInTenthsOfTheirUnit) {
    BootMachine();
    struct {
        ULONGLONG Bytes;
        DWORD Ms;
        const char* Text;
    } cases[] = {
        {0, 0, "0 B/s"},
        {5000, 0, "5.0 MB/s"},
        {1000, 1000, "1000 B/s"},
        {1002, 1001, "1000 B/s"},  // the thousandths of the remainder do not round
        {1001, 1000, "1.0 KB/s"},
        {1049, 1000, "1.0 KB/s"},
        {1050, 1000, "1.1 KB/s"},
        {999949, 1000, "999.9 KB/s"},
        {999950, 1000, "1000.0 KB/s"},
        {1000000, 1000, "1000.0 KB/s"},
        {1000001, 1000, "1.0 MB/s"},
        {1049999, 1000, "1.0 MB/s"},
        {1050000, 1000, "1.1 MB/s"},
        {999849999, 1000, "999.8 MB/s"},
        {999950000, 1000, "1000.0 MB/s"},
        {123456789, 1000, "123.5 MB/s"},
        {1000000000, 1000, "1000.0 MB/s"},
        {1000000001, 1000, "1.0 GB/s"},
        {5000000000, 2000, "2.5 GB/s"},
        {1049999999, 1000, "1.0 GB/s"},
        {1050000000, 1000, "1.1 GB/s"},
        {~0ull, 1, "18446744073709.6 GB/s"},  // the longest text
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatSpeed(c.Bytes, c.Ms), c.Text) << c.Bytes << "/" << c.Ms;
}

TEST(QuantityText, DurationsTruncateTheirFraction) {
    BootMachine();
    struct {
        ULONGLONG Ms;
        const char* Text;
    } cases[] = {
        {0, " 0.0 seconds"},     {999, " 0.9 seconds"},    {59999, "59.9 seconds"},    {60000, " 1.0 minutes"},
        {65999, " 1.0 minutes"}, {66000, " 1.1 minutes"},  {3599999, "59.9 minutes"},  {3600000, " 1.0 hours"},
        {5400000, " 1.5 hours"}, {36000000, "10.0 hours"}, {360000000, "100.0 hours"}, {~0ull, "5124095576030.4 hours"},
        {59000, "59.0 seconds"}, {7199999, " 1.9 hours"},
    };
    for (const auto& c : cases) EXPECT_STREQ(FormatDuration(c.Ms), c.Text) << c.Ms;
}

TEST(ErrorNames, TableNamesAndDecimalFallback) {
    BootMachine();
    EXPECT_STREQ(ErrorName(0), "0");
    const char* first = ErrorName(2147942405u);
    EXPECT_STREQ(first, "2147942405");
    ErrorName(1785);
    EXPECT_STREQ(first, "1785");  // the fallback buffer is shared
    SetLastError(1117);
    EXPECT_STREQ(LastErrorName(), "IO_DEVICE");
}

// Each name of the table is the SDK's name of its code.
TEST(ErrorNames, EachNameIsTheSdkNameOfItsCode) {
    std::ifstream header("/usr/share/mingw-w64/include/winerror.h");
    if (!header) GTEST_SKIP() << "the mingw-w64 headers are not installed";
    std::map<std::string, DWORD> sdk;
    const std::regex define(R"(#define\s+ERROR_(\w+)\s+(?:__MSABI_LONG\()?(\d+)L?\)?\s*)");
    std::smatch match;
    for (std::string line; std::getline(header, line);)
        if (std::regex_match(line, match, define)) sdk.emplace(match[1], std::stoul(match[2]));
    // Three codes mingw-w64's header lacks, as Microsoft's documents them.
    sdk.emplace("VIRUS_INFECTED", 225);
    sdk.emplace("NO_SUCH_DEVICE", 433);
    sdk.emplace("DEVICE_HARDWARE_ERROR", 483);
    BootMachine();
    int named = 0;
    for (DWORD code = 0; code < 2000; ++code) {
        std::string name = ErrorName(code);
        if (name == std::to_string(code)) continue;
        ++named;
        ASSERT_TRUE(sdk.count(name)) << name;
        EXPECT_EQ(sdk[name], code) << name;
    }
    EXPECT_EQ(named, 39);  // every row is reached by its own code
}

}  // namespace
