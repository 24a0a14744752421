// Focused checks of Wsprintf that need no Wine.  The exhaustive comparison
// against user32 is compare.sh; these pin the properties the rest of the
// simulator relies on.
#include "platform/format/wsprintf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Formats into a buffer with guard bytes behind the documented capacity.
struct Guarded {
    static constexpr unsigned char kGuard = 0xA5;
    char buf[kWsprintfCap + 64];
    Guarded() { std::memset(buf, kGuard, sizeof buf); }
    bool GuardIntact() const {
        for (size_t i = kWsprintfCap; i < sizeof buf; ++i)
            if (static_cast<unsigned char>(buf[i]) != kGuard) return false;
        return true;
    }
};

TEST(WsprintfCap, BelowCapReturnsStoredLength) {
    Guarded g;
    const std::string text(1022, 'a');
    EXPECT_EQ(Wsprintf(g.buf, "%s", text.c_str()), 1022);
    EXPECT_EQ(std::string(g.buf), text);
}

TEST(WsprintfCap, ReachingCapStores1023AndReturns1024) {
    for (size_t n : {1023u, 1024u, 5000u}) {
        Guarded g;
        const std::string text(n, 'b');
        EXPECT_EQ(Wsprintf(g.buf, "%s", text.c_str()), 1024) << n;
        EXPECT_EQ(std::strlen(g.buf), 1023u) << n;
        EXPECT_TRUE(g.GuardIntact()) << n;
    }
}

TEST(WsprintfCap, HugeWidthsAndPrefixesStayInsideTheBuffer) {
    const std::string lead(1019, 'c');
    Guarded a;
    EXPECT_EQ(Wsprintf(a.buf, "%99999u", 1u), 1024);
    EXPECT_TRUE(a.GuardIntact());
    // No room for "0x" plus digits: the output is cut, never overrun.
    for (size_t extra = 0; extra < 6; ++extra) {
        Guarded g;
        const std::string fmt = lead + std::string(extra, 'd') + "%#x|%#010X";
        Wsprintf(g.buf, fmt.c_str(), 0xabcu, 0x1u);
        EXPECT_LE(std::strlen(g.buf), 1023u);
        EXPECT_TRUE(g.GuardIntact()) << extra;
    }
}

TEST(WsprintfDirectives, I64Forms) {
    char buf[kWsprintfCap];
    Wsprintf(buf, "%I64u|%I64i|%I64X|%I64x", 18446744073709551615ull, -9223372036854775807ll - 1, 0xFEDCBA9876543210ull,
             0xABCull);
    EXPECT_STREQ(buf, "18446744073709551615|-9223372036854775808|FEDCBA9876543210|abc");
    Wsprintf(buf, "%012I64X|%016I64X|%2I64u|%2I64u", 0x1234ull, 0ull, 5ull, 123ull);
    EXPECT_STREQ(buf, "000000001234|0000000000000000| 5|123");
    // A 64-bit argument between 32-bit ones must not shift them.
    Wsprintf(buf, "%u %I64u %u", 1u, 0x100000002ull, 3u);
    EXPECT_STREQ(buf, "1 4294967298 3");
}

TEST(WsprintfDirectives, RunTimeWidthRowFormat) {
    char fmt[kWsprintfCap];
    char row[kWsprintfCap];
    Wsprintf(fmt, "Disk%%-4i %%-%is  %%%is  %%-%is  %%s\n", 4, 6, 18);
    ASSERT_STREQ(fmt, "Disk%-4i %-4s  %6s  %-18s  %s\n");
    const int n = Wsprintf(row, fmt, 1, "D:", "64 GB", "USB Flash", static_cast<const char*>(nullptr));
    EXPECT_STREQ(row, "Disk1    D:     64 GB  USB Flash           (null)\n");
    EXPECT_EQ(n, static_cast<int>(std::strlen(row)));
}

TEST(WsprintfDirectives, SignPaddingAndNonDirectives) {
    char buf[kWsprintfCap];
    Wsprintf(buf, "[%05i|%-5i|%08lX|%02X|%.3s|%c]", -42, -42, 0x1F2Eu, 0xABCu, "abcdef", 'Q');
    EXPECT_STREQ(buf, "[-0042|-42  |00001F2E|ABC|abc|Q]");
    // Not directives: copied from the offending character on, no argument
    // read, so the following %u still gets the first argument.
    Wsprintf(buf, "[%y|%5y|%lld|%u]", 7u);
    EXPECT_STREQ(buf, "[y|     y|ld|7]");
}

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

TEST(WsprintfDirectives, VaListIsNotConsumed) {
    // Like the Win64 wvsprintfA, which receives its va_list by value.
    std::string a, b;
    FormatTwice(&a, &b, "%s=%u", "x", 5u);
    EXPECT_EQ(a, "x=5");
    EXPECT_EQ(b, "x=5");
}

}  // namespace
