// What the formatter comparison under Wine (compare.sh, table.inc) cannot show.
#include "platform/format/wsprintf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

void FormatTwice(std::string* first, std::string* second, const char* format, ...) {
    char buf[kWsprintfCap];
    va_list ap;
    va_start(ap, format);
    WsprintfV(buf, format, ap);
    *first = buf;
    WsprintfV(buf, format, ap);
    *second = buf;
    va_end(ap);
}

// Like the Win64 wvsprintfA, which receives its va_list by value.
TEST(WsprintfDirectives, VaListIsNotConsumed) {
    std::string a, b;
    FormatTwice(&a, &b, "%s=%u", "x", 5u);
    EXPECT_EQ(a, "x=5");
    EXPECT_EQ(b, "x=5");
}

// Near the cap there is no room for "0x" and the digits: the text is cut, never
// overrun (user32 under Wine writes past the cap there, so the table cannot hold it).
TEST(WsprintfCap, PrefixesStayInsideTheBuffer) {
    for (size_t extra = 0; extra < 6; ++extra) {
        char buf[kWsprintfCap + 64];
        std::memset(buf, 0xA5, sizeof buf);
        const std::string format = std::string(1019 + extra, 'c') + "%#x|%#010X";
        Wsprintf(buf, format.c_str(), 0xabcu, 0x1u);
        EXPECT_EQ(std::strlen(buf), kWsprintfCap - 1) << extra;
        EXPECT_EQ(std::string(buf + kWsprintfCap, 64), std::string(64, '\xA5')) << extra;
    }
}

}  // namespace
