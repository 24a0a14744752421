// What the formatter comparison under Wine (compare.sh, table.inc) cannot show.
#include "platform/format/wsprintf.h"

#include <gtest/gtest.h>

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

}  // namespace
